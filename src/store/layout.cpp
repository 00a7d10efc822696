// The storage tree's layout: how buckets, keys and their metadata map onto paths under the
// root, and whether the tree can hold a key beside the objects already stored.
#include "store/layout.h"

#include <cstdio>
#include <cstring>

#include "base/state.h"
#include "base/text.h"
#include "platform/platform.h"
#include "store/files.h"
#include "store/names.h"
#include "store/walk.h"

static constexpr size_t PATH_MAX_CHARS = S3_FS_PATH - 1;

// ---------------------------------------------------------------- paths

// Appends "/" and the stored form of key to out (holding n characters): each segment's stored
// form (store/names), the folder marker's name when the key ends in "/" (a folder marker is a
// file inside the directory its key names), and the object's name inside its directory when
// a directory stands in the object's place (the object "a" beside the key "a/b").
static int append_key_path(char out[S3_FS_PATH], size_t n, const char *key, int look = 1) {
  if (!key_is_storable(key)) return -1;
  for (const char *seg = key;;) {
    size_t sl = strcspn(seg, "/");
    const int last = seg[sl] == 0;
    if (n + 1 > PATH_MAX_CHARS) return -1;
    out[n++] = '/';
    if (last && sl == 0) {
      if (n + sizeof S3_FOLDER_MARKER - 1 > PATH_MAX_CHARS) return -1;
      memcpy(out + n, S3_FOLDER_MARKER, sizeof S3_FOLDER_MARKER);
      return 0;
    }
    long m = segment_stored_form(seg, sl, last, out + n, S3_FS_PATH - n);
    if (m < 0) return -1;
    n += size_t(m);
    if (last) break;
    seg += sl + 1;
  }
  plat_stat_t st;
  if (look && plat_lstat(out, &st) == 0 && st.is_dir) {
    if (n + sizeof S3_DIR_OBJECT > PATH_MAX_CHARS) return -1;
    out[n++] = '/';
    memcpy(out + n, S3_DIR_OBJECT, sizeof S3_DIR_OBJECT);
  }
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

int key_has_path(const char *bucket, const char *key) {
  char out[S3_FS_PATH];
  int n = snprintf(out, S3_FS_PATH, "%s/%s", s_storage_root, bucket ? bucket : "");
  if (n < 0 || size_t(n) > PATH_MAX_CHARS || !key || !*key) return 0;
  if (append_key_path(out, size_t(n), key, 0) != 0) return 0;
  // A path with room for the inner name of an object in a directory's place fits either way;
  // one without depends on what stands there.
  if (strlen(out) + 1 + sizeof S3_DIR_OBJECT <= PATH_MAX_CHARS) return 1;
  return object_path(bucket, key, out) == 0;
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

// ---------------------------------------------------------------- keys beside keys

int key_placement(const char *bucket, const char *key, char conflict[S3_KEY_FIELD]) {
  conflict[0] = 0;
  char path[S3_FS_PATH];
  return object_path(bucket, key, path) == 0 ? 0 : -1;
}

int key_placement_at(const char *, const char *, const char *, const char *,
                     char conflict[S3_KEY_FIELD]) {
  // Every key has a place beside every other: an object whose place a directory takes lives
  // inside it, and one in the way of a directory moves into it at the commit (store/object).
  conflict[0] = 0;
  return 0;
}
