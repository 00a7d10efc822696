// Bucket CORS configurations on disk: root/.s3meta/.cors/<bucket>, a name that no bucket's
// metadata records can take (bucket names never begin with "."), so a configuration is never
// seen as an object or as the records of one.
#include "store/cors_store.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/state.h"
#include "platform/platform.h"
#include "store/files.h"
#include "store/layout.h"
#include "store/names.h"
#include "store/object.h"
#include "store/temp_names.h"

namespace {

int config_path(const char *bucket, char out[S3_FS_PATH]) {
  if (!plain_bucket_name(bucket)) return -1;
  int n = snprintf(out, S3_FS_PATH, "%s/.s3meta/.cors/%s", s_storage_root, bucket);
  return (n > 0 && (size_t)n < S3_FS_PATH) ? 0 : -1;
}

// Writes the whole document into the temporary file at path (made empty) and forces it to
// disk. 0 / -1.
int write_synced(const char *path, const char *doc, size_t len) {
  plat_file_guard f(plat_file_open(path, PLAT_WRITE_KEEP));
  if (!f.f) return -1;
  if (len && plat_file_write(f.f, doc, len) != (long)len) return -1;
  return plat_file_sync(f.f);
}

}  // namespace

int cors_config_save(const char *bucket, const char *doc, size_t len) {
  char path[S3_FS_PATH], tmp[S3_FS_PATH];
  if (len > CORS_CONFIG_MAX || config_path(bucket, path) != 0 || temp_file_make(tmp, TEMP_RECORD) != 0)
    return -1;
  mkdir_parent(path);
  // Under the bucket lock, so a configuration never lands after its bucket was deleted (it
  // would then apply to the next bucket of that name).
  bucket_lock_guard held(bucket, 0, 1);
  char dir[S3_FS_PATH];
  if (!held.held() || object_path(bucket, nullptr, dir) != 0 || !is_directory(dir) ||
      write_synced(tmp, doc, len) != 0 || replace_file(tmp, path) != 0) {
    set_error("cannot store the CORS configuration of %s", bucket);
    remove_file(tmp);
    return -1;
  }
  return 0;
}

int cors_config_load(const char *bucket, char **out, size_t *len) {
  *out = nullptr;
  *len = 0;
  char path[S3_FS_PATH];
  if (config_path(bucket, path) != 0) return -1;
  plat_file_guard f(plat_file_open(path, PLAT_READ));
  if (!f.f) {
    plat_stat_t st;
    return plat_stat(path, &st) == 0 ? -1 : 0;
  }
  // Only this server writes the file, within the cap; anything longer is cut, never overrun.
  char *buf = static_cast<char *>(malloc(CORS_CONFIG_MAX + 1));
  if (!buf) return -1;
  size_t got = 0;
  while (got < CORS_CONFIG_MAX) {
    long n = plat_file_read(f.f, buf + got, CORS_CONFIG_MAX - got);
    if (n < 0) {
      free(buf);
      return -1;
    }
    if (n == 0) break;
    got += (size_t)n;
  }
  buf[got] = 0;
  *out = buf;
  *len = got;
  return 1;
}

int cors_config_remove(const char *bucket) {
  char path[S3_FS_PATH];
  if (config_path(bucket, path) != 0) return -1;
  return remove_file(path) < 0 ? -1 : 0;
}
