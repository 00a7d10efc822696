// Objects as the store keeps them: the commit lock that pairs each data file with its metadata
// record, and the store, remove and read steps that take it.
//
// The lock is held only for the short steps that touch both files (two moves, a removal of
// both, a status + open + record read), never while a body is received or sent; the data and
// the record are flushed to disk before it is taken.
// Readers then always see the record of the version whose data they opened, also while several
// clients store the same key.
#include "store/object.h"

#include <cstdio>
#include <cstring>

#include "base/state.h"
#include "base/text.h"
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

// Opens a finished temporary file and forces its bytes to disk, so that once it replaces an
// object no crash can leave the object short. The open handle, or null.
plat_file *flushed_temp(const char *tmp) {
  plat_file *f = plat_file_open(tmp, PLAT_READ);
  if (f && plat_file_sync(f) != 0) {
    plat_file_close(f);
    return nullptr;
  }
  return f;
}

// The time a commit gives both its data file and its record: now, and always later than the
// record it replaces, even in the same clock tick or after the clock was set back. A reader
// trusts a record only when it is not older than the data (meta_load_current), so a crash
// between the two moves leaves new data with an old record that nobody trusts.
int64_t commit_stamp(const char *bucket, const char *key) {
  int64_t now = plat_time_now_ns();
  int64_t prev = 0;
  if (meta_mtime_ns(bucket, key, &prev) == 0 && prev >= now) now = prev + 1;
  return now;
}

// Makes a move into path's directory durable; a failure costs durability, never consistency.
void sync_parent(const char *path) {
  const char *slash = strrchr(path, '/');
  if (!slash || slash == path) return;
  char dir[S3_FS_PATH];
  if (copy_text_n(dir, sizeof dir, path, (size_t)(slash - path)) == 1) plat_dir_sync(dir);
}

}  // namespace

int object_commit(const char *tmp, const char *bucket, const char *key, const char *etag,
                  const char *content_type, const char *head, size_t head_len) {
  char path[S3_FS_PATH];
  int moved = -1;
  // The slow flushes happen before the lock: the data, then the record beside its place.
  plat_file_guard data(object_path(bucket, key, path) == 0 ? flushed_temp(tmp) : nullptr);
  meta_draft record;
  int drafted = data.f ? meta_draft_write(&record, bucket, key, etag,
                                           content_type ? content_type : "", head, head_len)
                       : -1;
  if (data.f) {
    plat_lock_guard commit(commit_lock());
    int64_t stamp = commit_stamp(bucket, key);
    int stamped = plat_file_set_mtime_ns(data.f, stamp);
    plat_file_close(data.release());
    moved = stamped == 0 ? replace_file(tmp, path) : -1;
    if (moved == 0 && drafted == 0) drafted = meta_draft_publish(&record, stamp) == 0 ? 1 : -1;
  }
  if (drafted == 0) meta_draft_discard(&record);
  // The moves are made durable after the lock, so readers never wait for the disk. A power cut
  // must never keep the record's move without the data's (the new record would pass the old
  // data as current): journaling file systems keep moves in their order, and the data's
  // directory is synced first.
  if (moved == 0) sync_parent(path);
  if (drafted == 1) sync_parent(record.path);
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
  int64_t data_mtime = 0;
  if (out->data && plat_file_mtime_ns(out->data, &data_mtime) == 0)
    out->has_meta = meta_load_current(bucket, key, data_mtime, out->content_type, out->etag,
                                      sizeof out->etag, out->user_meta);
  else
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
