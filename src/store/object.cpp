// Objects as the store keeps them: the commit lock that pairs each data file with its metadata
// record, and the store, remove and read steps that take it.
//
// The lock is held only for the short steps that touch both files (a move and a record write,
// a removal of both, a status + open + record read), never while a body is received or sent.
// Readers then always see the record of the version whose data they opened, also while several
// clients store the same key.
#include "store/object.h"

#include <cstdio>
#include <cstring>

#include "base/state.h"
#include "store/layout.h"
#include "store/meta.h"

namespace {

plat_mutex *commit_lock() {
  // Made on first use and never destroyed: a connection thread that outlives a stop may still
  // hold it.
  static plat_mutex lock;
  static const bool ready = (plat_mutex_init(&lock), true);
  (void)ready;
  return &lock;
}

// A bucket name as the request parser lets it through. The tree removal below must never be
// pointed at the whole metadata or upload tree, or above it, by an empty or odd name.
int plain_bucket_name(const char *bucket) {
  if (!bucket || !bucket[0] || strchr(bucket, '/')) return 0;
  return strcmp(bucket, ".") != 0 && strcmp(bucket, "..") != 0;
}

// Removes root/<tree>/bucket with everything in it; a missing one is fine.
void remove_bucket_tree(const char *tree, const char *bucket) {
  char path[S3_FS_PATH];
  int n = snprintf(path, sizeof path, "%s/%s/%s", s_storage_root, tree, bucket);
  if (n > 0 && (size_t)n < sizeof path) delete_dir_recursive(path);
}

}  // namespace

int object_commit(const char *tmp, const char *bucket, const char *key, const char *etag,
                  const char *content_type, const char *head, size_t head_len) {
  char path[S3_FS_PATH];
  int moved = -1;
  if (object_path(bucket, key, path) == 0) {
    plat_lock_guard commit(commit_lock());
    moved = replace_file(tmp, path);
    if (moved == 0) meta_save(bucket, key, etag, content_type ? content_type : "", head, head_len);
  }
  if (moved != 0) remove_file(tmp);
  return moved == 0 ? 0 : -1;
}

int object_remove(const char *bucket, const char *key) {
  char path[S3_FS_PATH];
  if (object_path(bucket, key, path) != 0) return -1;
  plat_lock_guard commit(commit_lock());
  // remove_file never removes a directory: a key that names one is refused.
  int removed = remove_file(path);
  if (removed >= 0) meta_remove(bucket, key);
  return removed;
}

int object_snapshot(const char *bucket, const char *key, object_view *out) {
  out->size = 0;
  out->mtime = 0;
  out->data = nullptr;
  out->has_meta = 0;
  out->content_type[0] = 0;
  out->etag[0] = 0;
  out->user_meta[0] = 0;
  char path[S3_FS_PATH];
  if (object_path(bucket, key, path) != 0) return -1;
  // The open file pins the version whose status and record are read here, even if another
  // upload replaces the object right after.
  plat_lock_guard snapshot(commit_lock());
  int is_dir = 0;
  if (file_info(path, &out->size, &out->mtime, &is_dir) != 0 || is_dir) return -1;
  out->data = plat_file_open(path, PLAT_READ);
  out->has_meta = meta_load(bucket, key, out->content_type, out->etag, sizeof out->etag,
                            out->user_meta);
  return 0;
}

void object_release(object_view *v) {
  if (v->data) plat_file_close(v->data);
  v->data = nullptr;
}

void bucket_remove_records(const char *bucket) {
  if (!plain_bucket_name(bucket)) return;
  remove_bucket_tree(".mpu", bucket);
  remove_bucket_tree(".s3meta", bucket);
}
