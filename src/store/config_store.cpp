// Bucket configurations on disk: root/.s3meta/.config/<bucket>/<name>. ".config" begins with a
// dot, which no bucket name does, so the folder is never taken for a bucket's metadata records,
// and a bucket's configurations go with one removal of its folder.
#include "store/config_store.h"

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

// A configuration's name is a word of letters: never a separator, a dot or a path.
int plain_config_name(const char *name) {
  if (!name || !name[0] || strlen(name) > 32) return 0;
  for (const char *p = name; *p; p++)
    if (!((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z'))) return 0;
  return 1;
}

int bucket_folder(const char *bucket, char out[S3_FS_PATH]) {
  if (!plain_bucket_name(bucket)) return -1;
  int n = snprintf(out, S3_FS_PATH, "%s/.s3meta/.config/%s", s_storage_root, bucket);
  return (n > 0 && (size_t)n < S3_FS_PATH) ? 0 : -1;
}

int config_file(const char *bucket, const char *name, char out[S3_FS_PATH]) {
  if (!plain_config_name(name) || !plain_bucket_name(bucket)) return -1;
  int n = snprintf(out, S3_FS_PATH, "%s/.s3meta/.config/%s/%s", s_storage_root, bucket, name);
  return (n > 0 && (size_t)n < S3_FS_PATH) ? 0 : -1;
}


}  // namespace

int bucket_config_save(const char *bucket, const char *name, const char *doc, size_t len) {
  char path[S3_FS_PATH], tmp[S3_FS_PATH];
  if (len > BUCKET_CONFIG_MAX || config_file(bucket, name, path) != 0 ||
      temp_file_make(tmp, TEMP_RECORD) != 0)
    return -1;
  // Under the bucket lock, so a configuration never lands after its bucket was deleted (it
  // would then apply to the next bucket of that name).
  bucket_lock_guard held(bucket, 0, 1);
  char dir[S3_FS_PATH];
  if (!held.held() || object_path(bucket, nullptr, dir) != 0 || !is_directory(dir)) {
    set_error("cannot store the %s configuration of %s", name, bucket);
    remove_file(tmp);
    return -1;
  }
  mkdir_parent(path);
  if (write_file_synced(tmp, doc, len) != 0 || replace_file(tmp, path) != 0) {
    set_error("cannot store the %s configuration of %s", name, bucket);
    remove_file(tmp);
    return -1;
  }
  return 0;
}

int bucket_config_load(const char *bucket, const char *name, char **out, size_t *len) {
  *out = nullptr;
  *len = 0;
  char path[S3_FS_PATH];
  if (config_file(bucket, name, path) != 0) return -1;
  // Only this server writes the file, within the cap.
  return read_capped_file(path, BUCKET_CONFIG_MAX, out, len);
}

int bucket_config_remove(const char *bucket, const char *name) {
  char path[S3_FS_PATH];
  if (config_file(bucket, name, path) != 0) return -1;
  return remove_file(path) < 0 ? -1 : 0;
}

void bucket_configs_remove(const char *bucket) {
  char dir[S3_FS_PATH];
  if (bucket_folder(bucket, dir) == 0) delete_dir_recursive(dir);
}
