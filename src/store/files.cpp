// The file helpers the store and the operations share: directories, the replacing move,
// deletion, file status and times, and the copy used by CopyObject and UploadPartCopy.
#include "store/files.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/date.h"
#include "base/text.h"
#include "digest/hash.h"
#include "platform/platform.h"
#include "store/names.h"

static constexpr size_t PATH_MAX_CHARS = S3_FS_PATH - 1;
static constexpr size_t NAME_BUF = 256;  // one directory entry name, cut at 255 characters

// ---------------------------------------------------------------- directories

// 1 when path leads to a directory, through a link too (the storage root may be one).
static int reaches_directory(const char *path) {
  plat_stat_t st;
  return plat_stat(path, &st) == 0 && st.is_dir ? 1 : 0;
}

int mkdir_p(const char *path) {
  size_t len = strlen(path);
  if (len > PATH_MAX_CHARS) return -1;
  // Nearly always every level is there already (a record beside others of its bucket): one
  // status call then does instead of a failing mkdir per level.
  if (reaches_directory(path)) return 0;
  char buf[S3_FS_PATH];
  memcpy(buf, path, len + 1);
  // Levels start after the first character, so a leading "/" is not a level of its own.
  // Failures (mostly "exists") are ignored: whether the last level is a directory decides.
  for (size_t i = 1; i < len; i++) {
    if (buf[i] != '/') continue;
    buf[i] = 0;
    plat_mkdir(buf);
    buf[i] = '/';
  }
  plat_mkdir(buf);
  // Only the last level decides: a file or a link to nothing in its place, or a parent that
  // could not be made, leaves no directory there.
  return reaches_directory(buf) ? 0 : -1;
}

void mkdir_parent(const char *path) {
  const char *slash = strrchr(path, '/');
  if (!slash || slash == path) return;
  size_t n = size_t(slash - path);
  if (n > PATH_MAX_CHARS) return;
  char buf[S3_FS_PATH];
  memcpy(buf, path, n);
  buf[n] = 0;
  mkdir_p(buf);
}

int is_directory(const char *path) {
  plat_stat_t st;
  return plat_lstat(path, &st) == 0 && st.is_dir ? 1 : 0;
}

int root_entry_is_bucket(const char *root, const char *name) {
  if (!plain_bucket_name(name)) return 0;
  char path[S3_FS_PATH];
  int n = snprintf(path, sizeof path, "%s/%s", root, name);
  plat_stat_t st;
  return n > 0 && (size_t)n < sizeof path && (plat_lstat(path, &st) != 0 || !st.is_link);
}

int file_info(const char *path, uint64_t *size, int64_t *mtime, int *is_dir) {
  plat_stat_t st;
  if (plat_stat(path, &st) != 0) return -1;
  if (size) *size = st.size;
  if (mtime) *mtime = st.mtime;
  if (is_dir) *is_dir = st.is_dir;
  return 0;
}

int remove_file(const char *path) {
  plat_err err = PLAT_OK;
  if (plat_unlink(path, &err) == 0) return 0;
  return err == PLAT_ERR_NOT_FOUND ? 1 : -1;
}

// ---------------------------------------------------------------- replacing move

int replace_file(const char *src, const char *dst) {
  // Another thread that holds the destination open can make the move fail for a moment on some
  // platforms; those conflicts are retried for about a second, anything else fails at once.
  for (int attempt = 0; attempt < 200; attempt++) {
    plat_err err = PLAT_OK;
    if (plat_rename_replace(src, dst, &err) == 0) return 0;
    if (err != PLAT_ERR_BUSY) return -1;
    plat_sleep_ms(5);
  }
  return -1;
}

// ---------------------------------------------------------------- recursive deletion

// Cuts path back to its parent (the text before its last '/'), never shorter than floor.
static void path_pop(char *path, size_t *len, size_t floor) {
  size_t n = *len;
  while (n > floor && path[n - 1] != '/') n--;
  if (n > floor) n--;
  path[n] = 0;
  *len = n;
}

static int path_push(char *path, size_t *len, const char *name) {
  size_t nl = strlen(name);
  if (*len + 1 + nl > PATH_MAX_CHARS) return -1;
  path[*len] = '/';
  memcpy(path + *len + 1, name, nl + 1);
  *len += 1 + nl;
  return 0;
}

// Removes the tree at path; with files_too 0 it removes only directories and fails (keeping
// the rest) at the first file it meets.
static int remove_tree(const char *path, int files_too) {
  // Depth first with one path buffer: descend into the first sub-directory found, and once a
  // directory is removed go back to its parent and list it again from the start. Nothing is
  // held per level, so keys nested thousands of levels deep are no problem.
  size_t top_len = strlen(path);
  if (top_len > PATH_MAX_CHARS) return -1;
  char cur[S3_FS_PATH];
  memcpy(cur, path, top_len + 1);
  size_t len = top_len;
  int fresh = 1;  // cur was just entered (a failed listing then means "remove it as it is")
  for (;;) {
    plat_dir *d = plat_dir_open(cur);
    if (!d && !fresh) return -1;
    int descended = 0;
    if (d) {
      char name[NAME_BUF];
      int is_dir = 0;
      while (plat_dir_next(d, name, sizeof name, &is_dir) == 1) {
        if (is_dir) {
          plat_dir_close(d);
          d = nullptr;
          if (path_push(cur, &len, name) != 0) return -1;
          descended = 1;
          break;
        }
        if (!files_too) {
          plat_dir_close(d);
          return -1;
        }
        size_t saved = len;
        if (path_push(cur, &len, name) != 0) {
          plat_dir_close(d);
          return -1;
        }
        plat_err err = PLAT_OK;
        int rc = plat_unlink(cur, &err);
        cur[saved] = 0;
        len = saved;
        if (rc != 0) {
          plat_dir_close(d);
          return -1;
        }
      }
      if (d) plat_dir_close(d);
    }
    if (descended) {
      fresh = 1;
      continue;
    }
    if (plat_rmdir(cur) != 0) return -1;
    if (len <= top_len) return 0;
    path_pop(cur, &len, top_len);
    fresh = 0;
  }
}

int delete_dir_recursive(const char *path) { return remove_tree(path, 1); }

int delete_empty_dirs(const char *path) { return remove_tree(path, 0); }

// ---------------------------------------------------------------- file times

int file_mtime_rfc1123(const char *path, char out[64]) {
  plat_stat_t st;
  if (plat_stat(path, &st) != 0) return -1;
  format_rfc1123(st.mtime, out);
  return 0;
}

int file_mtime_iso8601(const char *path, char out[64]) {
  plat_stat_t st;
  if (plat_stat(path, &st) != 0) return -1;
  format_iso8601(st.mtime, out);
  return 0;
}

// ---------------------------------------------------------------- copying

int copy_file_range_md5(const char *src, uint64_t offset, uint64_t count, const char *dst,
                        char md5_out[33], uint64_t *copied) {
  constexpr size_t BLOCK = 65536;
  if (copied) *copied = 0;
  plat_file_guard in(plat_file_open(src, PLAT_READ));
  if (!in.f) return -1;
  if (offset && plat_file_seek(in.f, offset) != 0) return -1;
  plat_file_guard out(plat_file_open(dst, PLAT_WRITE_TRUNC));
  if (!out.f) return -1;
  unsigned char *buf = static_cast<unsigned char *>(malloc(BLOCK));
  if (!buf) return -1;
  md5_ctx md5;
  md5_init(&md5);
  uint64_t done = 0;
  int rc = 0;
  const bool to_end = count == UINT64_MAX;
  while (to_end || done < count) {
    size_t want = BLOCK;
    if (!to_end && count - done < want) want = size_t(count - done);
    long got = plat_file_read(in.f, buf, want);
    if (got < 0) {
      rc = -1;
      break;
    }
    if (got == 0) {
      if (!to_end) rc = -1;  // the source is shorter than the range asked for
      break;
    }
    if (plat_file_write(out.f, buf, size_t(got)) != got) {
      rc = -1;
      break;
    }
    md5_update(&md5, buf, size_t(got));
    done += uint64_t(got);
  }
  free(buf);
  if (rc == 0 && plat_file_flush(out.f) != 0) rc = -1;
  if (copied) *copied = done;
  if (rc == 0 && md5_out) {
    unsigned char digest[16];
    md5_final(&md5, digest);
    hex_encode(digest, 16, md5_out);
    md5_out[32] = 0;
  }
  return rc;
}

int write_file_synced(const char *path, const void *data, size_t len) {
  plat_file_guard f(plat_file_open(path, PLAT_WRITE_KEEP));
  if (!f.f) return -1;
  if (len && plat_file_write(f.f, data, len) != (long)len) return -1;
  return plat_file_sync(f.f);
}

int read_capped_file(const char *path, size_t cap, char **out, size_t *len) {
  *out = nullptr;
  *len = 0;
  plat_err err = PLAT_OK;
  plat_file_guard f(plat_file_open_err(path, PLAT_READ, &err));
  if (!f.f) {
    // Missing is the usual answer (a bucket without this configuration), told by the open.
    if (err == PLAT_ERR_NOT_FOUND) return 0;
    plat_stat_t st;
    return plat_stat(path, &st) == 0 ? -1 : 0;
  }
  char *buf = static_cast<char *>(malloc(cap + 1));
  if (!buf) return -1;
  size_t got = 0;
  while (got < cap) {
    long n = plat_file_read(f.f, buf + got, cap - got);
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
