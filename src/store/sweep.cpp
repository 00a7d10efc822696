// The start-up sweep of temporary files: uploads, copies, joined multipart objects and
// metadata records that were being written when the process died. Their names never show in
// a listing, but their space would stay taken until the bucket is deleted. The same walk puts
// back the objects that a kill left in the middle of a move between "a" and "a/" (a moving
// folder), so they read again under their keys.
#include "store/sweep.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/state.h"
#include "platform/platform.h"
#include "store/names.h"
#include "store/object.h"

namespace {

constexpr size_t PENDING_CAP = 16u << 20;  // bytes of directory paths waiting to be visited
constexpr size_t NAME_BUF = 512;           // one entry name (file systems allow 255 bytes)

// Directories still to be visited, as packed NUL-terminated paths. Beyond PENDING_CAP bytes a
// directory is skipped: its leftovers stay hidden and go with their bucket.
struct pending_dirs {
  char *text = nullptr;
  size_t len = 0;
  size_t cap = 0;
  ~pending_dirs() { free(text); }
  void push(const char *p) {
    size_t n = strlen(p) + 1;
    if (len + n > cap) {
      size_t nc = cap ? cap * 2 : 65536;
      while (nc < len + n) nc *= 2;
      if (nc > PENDING_CAP) return;
      char *t = static_cast<char *>(realloc(text, nc));
      if (!t) return;
      text = t;
      cap = nc;
    }
    memcpy(text + len, p, n);
    len += n;
  }
  // Pops the last path into out[S3_FS_PATH]; 0 when none is left.
  int pop(char *out) {
    if (len == 0) return 0;
    size_t at = len - 1;
    while (at > 0 && text[at - 1] != 0) at--;
    memcpy(out, text + at, len - at);
    len = at;
    return 1;
  }
};

struct sweep_state {
  int64_t cutoff_ns;   // files last written before this are stale
  uint64_t budget;     // directory entries still to be looked at
  uint64_t removed;
};

// Joins dir and name into out; 0, or -1 when it does not fit.
int join(const char *dir, const char *name, char out[S3_FS_PATH]) {
  int n = snprintf(out, S3_FS_PATH, "%s/%s", dir, name);
  return n < 0 || (size_t)n >= S3_FS_PATH ? -1 : 0;
}

// A temporary name (is_temp_name), a regular file (never a link), and stale.
void consider(sweep_state *s, const char *path) {
  int is_file = 0;
  int64_t mtime = 0;
  if (plat_entry_info(path, &is_file, &mtime) != 0 || !is_file || mtime >= s->cutoff_ns) return;
  plat_err err = PLAT_OK;
  if (plat_unlink(path, &err) == 0) s->removed++;
}

// Visits every directory below top, a directory of bucket's data or record tree (bucket null
// for a tree no object moves in); a symbolic link is never listed as a directory, so the walk
// stays inside the tree. A moving folder is repaired under the bucket's exclusive lock, as
// another server on the same root may be moving an object through it right now; when the lock
// cannot be had, that server's own repair puts it back.
void sweep_tree(sweep_state *s, const char *top, const char *bucket) {
  pending_dirs pending;
  pending.push(top);
  char dir[S3_FS_PATH];
  char path[S3_FS_PATH];
  char name[NAME_BUF];
  while (s->budget > 0 && pending.pop(dir)) {
    plat_dir *d = plat_dir_open(dir);
    if (!d) continue;
    int is_dir = 0;
    while (s->budget > 0 && plat_dir_next(d, name, sizeof name, &is_dir) == 1) {
      s->budget--;
      if (join(dir, name, path) != 0) continue;
      if (is_dir && strcmp(name, S3_MOVING_FOLDER) == 0) {
        if (bucket) object_moves_repair(bucket, dir);
      } else if (is_dir) {
        pending.push(path);
      } else if (is_temp_name(name)) {
        consider(s, path);
      }
    }
    plat_dir_close(d);
  }
}

}  // namespace

int moves_repair_tree(const char *top) {
  pending_dirs pending;
  pending.push(top);
  char dir[S3_FS_PATH];
  char path[S3_FS_PATH];
  char name[NAME_BUF];
  int repaired = 0;
  while (pending.pop(dir)) {
    plat_dir *d = plat_dir_open(dir);
    if (!d) continue;
    int is_dir = 0;
    int found = 0;
    while (plat_dir_next(d, name, sizeof name, &is_dir) == 1) {
      if (!is_dir || join(dir, name, path) != 0) continue;
      if (strcmp(name, S3_MOVING_FOLDER) == 0)
        found = 1;
      else
        pending.push(path);
    }
    plat_dir_close(d);
    // After the listing, so the entries put back are not met again.
    if (found) {
      object_moves_repair_held(dir);
      repaired++;
    }
  }
  return repaired;
}

uint64_t temp_sweep() {
  sweep_state s;
  s.cutoff_ns = plat_time_now_ns() - S3_TEMP_GRACE_SECONDS * 1000000000;
  s.budget = S3_TEMP_SWEEP_ENTRIES;
  s.removed = 0;
  plat_dir *root = plat_dir_open(s_storage_root);
  if (!root) return 0;
  char name[NAME_BUF];
  char path[S3_FS_PATH];
  int is_dir = 0;
  // Buckets are the root's directories without a leading "."; the metadata tree is the one
  // reserved directory that holds temporary files (uploads in progress have their own sweep).
  while (plat_dir_next(root, name, sizeof name, &is_dir) == 1) {
    if (!is_dir || !plain_bucket_name(name) || join(s_storage_root, name, path) != 0) continue;
    sweep_tree(&s, path, name);
  }
  plat_dir_close(root);
  // The metadata tree: each bucket's records under its name, the server's own directories
  // (locks, kept versions, uploads) under names beginning with ".".
  char meta[S3_FS_PATH];
  if (join(s_storage_root, ".s3meta", meta) != 0) return s.removed;
  plat_dir *top = plat_dir_open(meta);
  if (!top) return s.removed;
  while (s.budget > 0 && plat_dir_next(top, name, sizeof name, &is_dir) == 1) {
    s.budget--;
    if (join(meta, name, path) != 0) continue;
    if (is_dir)
      sweep_tree(&s, path, plain_bucket_name(name) ? name : nullptr);
    else if (is_temp_name(name))
      consider(&s, path);
  }
  plat_dir_close(top);
  return s.removed;
}
