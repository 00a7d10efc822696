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
      write_file_synced(tmp, doc, len) != 0 || replace_file(tmp, path) != 0) {
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
  // Only this server writes the file, within the cap.
  return read_capped_file(path, CORS_CONFIG_MAX, out, len);
}

int cors_config_remove(const char *bucket) {
  char path[S3_FS_PATH];
  if (config_path(bucket, path) != 0) return -1;
  return remove_file(path) < 0 ? -1 : 0;
}
