// Temporary files: the running server's own temporary folder, held under a lock for the
// server's lifetime so that no other server's start-up sweep removes what it is writing, and
// the exclusively created, randomly named files in it.
#include "store/temp_names.h"

#include <cstdio>
#include <cstring>

#include "base/state.h"
#include "base/text.h"
#include "store/files.h"

namespace {

constexpr int NAME_ATTEMPTS = 8;  // a taken name is chosen again; 128 random bits never repeat
constexpr size_t ID_HEX = 32;
constexpr size_t ENTRY_NAME = 512;

struct temp_area {
  plat_mutex lock;
  int open;                     // 1 while folder and lock are held
  plat_file_lock held;          // the lock file's lock
  char root[S3_FS_PATH];        // the storage root the folder was made under
  char dir[S3_FS_PATH];         // root/.s3tmp/<id>
};

// Made on first use and never destroyed: a connection thread that outlives a stop may still
// ask for a temporary file.
temp_area *area() {
  static temp_area a;
  static const bool ready = (plat_mutex_init(&a.lock), a.open = 0, a.held.fd = -1, true);
  (void)ready;
  return &a;
}

// 32 hexadecimal digits of 16 random bytes into out[33]; -1 when the system source fails (no
// weaker name is made instead: a guessable name could meet another server's).
int random_hex(char out[ID_HEX + 1]) {
  unsigned char b[16];
  if (plat_random_bytes(b, sizeof b) != 0) return -1;
  hex_encode(b, sizeof b, out);
  out[ID_HEX] = 0;
  return 0;
}

int join(char out[S3_FS_PATH], const char *a, const char *b, const char *suffix) {
  int n = snprintf(out, S3_FS_PATH, "%s/%s%s", a, b, suffix);
  return n > 0 && (size_t)n < S3_FS_PATH ? 0 : -1;
}

// With the area's mutex held: makes and locks a new folder under s_storage_root.
int open_locked(temp_area *a) {
  char tree[S3_FS_PATH];
  char id[ID_HEX + 1];
  char lock_path[S3_FS_PATH];
  if (join(tree, s_storage_root, S3_TEMP_TREE, "") != 0) return -1;
  plat_mkdir(tree);
  for (int attempt = 0; attempt < NAME_ATTEMPTS; attempt++) {
    if (random_hex(id) != 0 || join(lock_path, tree, id, ".lock") != 0 ||
        join(a->dir, tree, id, "") != 0)
      return -1;
    // The lock comes before the folder: a sweep that finds the folder finds its lock held.
    plat_err err = PLAT_OK;
    plat_file *f = plat_file_create(lock_path, &err);
    if (!f) {
      if (err == PLAT_ERR_EXISTS) continue;
      return -1;
    }
    plat_file_close(f);
    // A sweep that took the new lock file first for a leftover makes this name unusable.
    if (plat_file_lock_take_wait(lock_path, 1, 0, 0, &a->held) != 0) continue;
    if (plat_mkdir(a->dir) != 0) {
      plat_file_lock_release(&a->held);
      plat_unlink(lock_path, &err);
      continue;
    }
    copy_text(a->root, sizeof a->root, s_storage_root);
    a->open = 1;
    return 0;
  }
  return -1;
}

// With the mutex held: lets the folder go (it is removed when empty, else by a later sweep).
void close_locked(temp_area *a) {
  if (!a->open) return;
  plat_rmdir(a->dir);
  plat_file_lock_release(&a->held);
  a->open = 0;
}

// Removes the dead folder tree/<id> (its lock held by the caller) with what is in it.
uint64_t remove_dead(const char *dir) {
  uint64_t removed = 0;
  plat_dir *d = plat_dir_open(dir);
  if (d) {
    char name[ENTRY_NAME];
    char path[S3_FS_PATH];
    int is_dir = 0;
    while (plat_dir_next(d, name, sizeof name, &is_dir) == 1) {
      plat_err err = PLAT_OK;
      if (join(path, dir, name, "") != 0) continue;
      if (is_dir)
        delete_dir_recursive(path);
      else if (plat_unlink(path, &err) == 0)
        removed++;
    }
    plat_dir_close(d);
  }
  plat_rmdir(dir);
  return removed;
}

}  // namespace

int temp_area_open() {
  temp_area *a = area();
  plat_lock_guard g(&a->lock);
  close_locked(a);
  return open_locked(a);
}

void temp_area_close() {
  temp_area *a = area();
  plat_lock_guard g(&a->lock);
  close_locked(a);
}

uint64_t temp_area_sweep() {
  char tree[S3_FS_PATH];
  if (join(tree, s_storage_root, S3_TEMP_TREE, "") != 0) return 0;
  plat_dir *d = plat_dir_open(tree);
  if (!d) return 0;
  uint64_t removed = 0;
  char name[ENTRY_NAME];
  char path[S3_FS_PATH];
  char lock_path[S3_FS_PATH];
  int is_dir = 0;
  while (plat_dir_next(d, name, sizeof name, &is_dir) == 1) {
    size_t n = strlen(name);
    // Each folder is judged by its lock file; a lock file left without its folder goes the
    // same way. Anything else in the tree is not a server's and is left alone.
    int lone_lock = !is_dir && n == ID_HEX + 5 && strcmp(name + ID_HEX, ".lock") == 0;
    if (!(is_dir && n == ID_HEX) && !lone_lock) continue;
    name[ID_HEX] = 0;
    if (join(path, tree, name, "") != 0 || join(lock_path, tree, name, ".lock") != 0) continue;
    if (is_dir) {
      plat_stat_t st;
      if (plat_lstat(lock_path, &st) != 0) {
        // A folder whose lock file is gone has no owner that could still hold it: its owner
        // made the lock file first and removes it last.
        removed += remove_dead(path);
        continue;
      }
    }
    plat_file_lock l;
    if (plat_file_lock_take_wait(lock_path, 1, 0, 0, &l) != 0) continue;  // alive
    if (is_dir) removed += remove_dead(path);
    plat_err err = PLAT_OK;
    plat_stat_t st;
    if (plat_lstat(path, &st) != 0) plat_unlink(lock_path, &err);
    plat_file_lock_release(&l);
  }
  plat_dir_close(d);
  return removed;
}

int temp_area_dir(char out[S3_FS_PATH]) {
  out[0] = 0;
  temp_area *a = area();
  plat_lock_guard g(&a->lock);
  // A store used without a start (or under another root since) gets its folder now.
  if (a->open && strcmp(a->root, s_storage_root) != 0) close_locked(a);
  if (!a->open && open_locked(a) != 0) return -1;
  return copy_text(out, S3_FS_PATH, a->dir) == 1 ? 0 : -1;
}

plat_file *temp_file_create(char out[S3_FS_PATH], const char *ext) {
  out[0] = 0;
  char dir[S3_FS_PATH];
  if (temp_area_dir(dir) != 0) return nullptr;
  char id[ID_HEX + 1];
  for (int attempt = 0; attempt < NAME_ATTEMPTS; attempt++) {
    if (random_hex(id) != 0 || join(out, dir, id, ext) != 0) break;
    plat_err err = PLAT_OK;
    plat_file *f = plat_file_create(out, &err);
    if (f) return f;
    if (err != PLAT_ERR_EXISTS) break;
  }
  out[0] = 0;
  return nullptr;
}

int temp_file_make(char out[S3_FS_PATH], const char *ext) {
  plat_file *f = temp_file_create(out, ext);
  if (!f) return -1;
  plat_file_close(f);
  return 0;
}
