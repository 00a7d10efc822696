// The storage tree's layout: how buckets, keys and their metadata map onto paths under the
// root, and whether the tree can hold a key beside the objects already stored.
#include "store/layout.h"

#include <cstdio>
#include <cstring>

#include "base/state.h"
#include "base/text.h"
#include "store/files.h"
#include "store/names.h"
#include "store/walk.h"

static constexpr size_t PATH_MAX_CHARS = S3_FS_PATH - 1;

// ---------------------------------------------------------------- paths

// Appends "/" key to out (holding n characters), and the folder marker's name when the key
// ends in "/": a folder marker is a file inside the directory its key names.
static int append_key_path(char out[S3_FS_PATH], size_t n, const char *key) {
  if (!key_is_storable(key)) return -1;
  size_t kl = strlen(key);
  const int marker = key[kl - 1] == '/';
  int m = snprintf(out + n, S3_FS_PATH - n, "/%s%s", key, marker ? S3_FOLDER_MARKER : "");
  if (m < 0 || n + size_t(m) > PATH_MAX_CHARS) return -1;
  return 0;
}

int object_path(const char *bucket, const char *key, char out[S3_FS_PATH]) {
  int n = snprintf(out, S3_FS_PATH, "%s/%s", s_storage_root, bucket ? bucket : "");
  if (n < 0 || size_t(n) > PATH_MAX_CHARS) return -1;
  if (key && *key && append_key_path(out, size_t(n), key) != 0) return -1;
  size_t root_len = strlen(s_storage_root);
  if (strncmp(out, s_storage_root, root_len) != 0) return -1;
  if (out[root_len] != '/' && out[root_len] != 0) return -1;
  return 0;
}

int meta_path(const char *bucket, const char *key, char out[S3_FS_PATH]) {
  // A cut metadata path would name another object's record, so it is refused instead. The
  // record of a folder marker sits at the mirrored place of its file.
  int n = snprintf(out, S3_FS_PATH, "%s/.s3meta/%s", s_storage_root, bucket ? bucket : "");
  if (n < 0 || size_t(n) > PATH_MAX_CHARS || !key || !*key ||
      append_key_path(out, size_t(n), key) != 0) {
    out[0] = 0;
    return -1;
  }
  return 0;
}

// ---------------------------------------------------------------- keys the tree cannot hold

// Names the conflicting key key[0..n), then tail, then more, in conflict[4096] (cut to fit).
// Returns 1.
static int name_conflict(char conflict[S3_KEY_FIELD], const char *key, size_t n, const char *tail,
                         const char *more) {
  copy_text_n(conflict, S3_KEY_FIELD, key, n);
  size_t at = strlen(conflict);
  copy_text(conflict + at, S3_KEY_FIELD - at, tail);
  at = strlen(conflict);
  copy_text(conflict + at, S3_KEY_FIELD - at, more);
  return 1;
}

// A directory stands where the object's file goes. It is in the way only while it holds an
// object (named into conflict); empty levels left by deleted keys are removed here, in the
// data tree and in the metadata tree. 0 clear, 1 conflict.
static int clear_directory_in_way(const char *bucket, const char *key, const char *path,
                                  char conflict[S3_KEY_FIELD]) {
  const size_t kl = strlen(key);
  char first[S3_KEY_FIELD] = "";
  int found = -1;
  {
    key_walk_guard g;
    if (g.w && key_walk_open(g.w, path, "", KEY_SEEK_FROM) == 0)
      found = key_walk_next(g.w, first, nullptr, nullptr);
  }
  if (found == 1) return name_conflict(conflict, key, kl, "/", first);
  // A walk that could not finish, or a level holding a file of the server's own (an upload
  // being completed into it), keeps the directory.
  if (found != 0 || delete_empty_dirs(path) != 0) return name_conflict(conflict, key, kl, "/", "");
  char meta[S3_FS_PATH];
  if (meta_path(bucket, key, meta) == 0 && is_directory(meta)) delete_empty_dirs(meta);
  return 0;
}

int key_placement(const char *bucket, const char *key, char conflict[S3_KEY_FIELD]) {
  conflict[0] = 0;
  char dir[S3_FS_PATH];
  char path[S3_FS_PATH];
  if (object_path(bucket, nullptr, dir) != 0 || object_path(bucket, key, path) != 0) return -1;
  return key_placement_at(bucket, key, dir, path, conflict);
}

int key_placement_at(const char *bucket, const char *key, const char *dir, const char *path,
                     char conflict[S3_KEY_FIELD]) {
  conflict[0] = 0;
  // Every level above the key must be a directory, or not exist yet: an object there is in
  // the way ("a" for "a/b").
  size_t dl = strlen(dir);
  char level[S3_FS_PATH];
  memcpy(level, dir, dl);
  level[dl] = '/';
  for (size_t i = 1; key[i]; i++) {
    if (key[i] != '/' || key[i - 1] == '/') continue;
    if (dl + 1 + i > PATH_MAX_CHARS) return -1;
    memcpy(level + dl + 1, key, i);
    level[dl + 1 + i] = 0;
    int is_dir = 0;
    if (file_info(level, nullptr, nullptr, &is_dir) == 0 && !is_dir)
      return name_conflict(conflict, key, i, "", "");
  }
  int is_dir = 0;
  if (file_info(path, nullptr, nullptr, &is_dir) == 0 && is_dir)
    return clear_directory_in_way(bucket, key, path, conflict);
  return 0;
}
