// The storage tree: how buckets, keys and metadata map onto paths under the root, and the small
// file helpers the operations share (directories, replacing moves, deletion, emptiness tests,
// file times, content types, temporary names, the copy used by CopyObject and UploadPartCopy).
#include "store/layout.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "digest/hash.h"
#include "base/state.h"
#include "base/text.h"
#include "platform/platform.h"
#include "store/walk.h"

static constexpr size_t PATH_MAX_CHARS = S3_FS_PATH - 1;
static constexpr size_t NAME_BUF = 256;  // one directory entry name, cut at 255 characters

// ---------------------------------------------------------------- paths

// 1 when some "/"-separated segment of key is one of the server's own file names: such a key
// would alias a folder marker or a temporary file, so it names no object.
static int key_has_own_segment(const char *key) {
  char seg[NAME_BUF];
  for (const char *p = key; *p;) {
    size_t n = strcspn(p, "/");
    if (n > 0 && n < sizeof seg) {
      memcpy(seg, p, n);
      seg[n] = 0;
      if (is_own_name(seg, 0)) return 1;
    }
    p += n;
    if (*p == '/') p++;
  }
  return 0;
}

int key_is_storable(const char *key) {
  if (!key || !key[0]) return 0;
  if (key[strspn(key, "/")] == 0) return 0;  // only "/": the bucket directory itself
  return !key_has_own_segment(key);
}

// 1 when the segment (n bytes) names a device on Windows: the part before the first "." is,
// blanks at its end ignored, CON, PRN, AUX, NUL, or COM or LPT and a digit 1-9 (also the
// superscripts 1, 2 and 3, which Windows takes for the same ports).
static int is_device_segment(const char *seg, size_t n) {
  size_t base = 0;
  while (base < n && seg[base] != '.') base++;
  while (base > 0 && seg[base - 1] == ' ') base--;
  auto up = [&](size_t i) { return char(seg[i] >= 'a' && seg[i] <= 'z' ? seg[i] - 32 : seg[i]); };
  auto is = [&](const char *word) {
    for (size_t i = 0; i < 3; i++)
      if (up(i) != word[i]) return false;
    return true;
  };
  if (base == 3) return is("CON") || is("PRN") || is("AUX") || is("NUL");
  if (base < 4 || !(is("COM") || is("LPT"))) return 0;
  if (base == 4) return seg[3] >= '1' && seg[3] <= '9';
  // UTF-8 of the superscripts: C2 B9, C2 B2, C2 B3.
  return base == 5 && (unsigned char)seg[3] == 0xC2 &&
         ((unsigned char)seg[4] == 0xB9 || (unsigned char)seg[4] == 0xB2 ||
          (unsigned char)seg[4] == 0xB3);
}

const char *name_portability_problem(const char *name) {
  for (const char *seg = name;;) {
    size_t n = strcspn(seg, "/");
    for (size_t i = 0; i < n; i++) {
      unsigned char c = (unsigned char)seg[i];
      if (c == '\\') return "it contains \"\\\"";
      if (c == ':') return "it contains \":\"";
      if (c < 0x20) return "it contains a control character";
      if (strchr("<>\"|?*", c)) return "it contains one of <>\"|?*";
    }
    if (n > 0 && (seg[n - 1] == '.' || seg[n - 1] == ' '))
      return "a segment ends in \".\" or \" \"";
    if (is_device_segment(seg, n)) return "a segment is a reserved device name";
    if (!seg[n]) return nullptr;
    seg += n + 1;
  }
}

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
  if (!name[0] || name[0] == '.') return 0;
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
  if (found != 0 || remove_tree(path, 0) != 0) return name_conflict(conflict, key, kl, "/", "");
  char meta[S3_FS_PATH];
  if (meta_path(bucket, key, meta) == 0 && is_directory(meta)) remove_tree(meta, 0);
  return 0;
}

int key_placement(const char *bucket, const char *key, char conflict[S3_KEY_FIELD]) {
  conflict[0] = 0;
  char dir[S3_FS_PATH];
  char path[S3_FS_PATH];
  if (object_path(bucket, nullptr, dir) != 0 || object_path(bucket, key, path) != 0) return -1;
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

// ---------------------------------------------------------------- the server's own names

// Advances past a run of decimal digits (at least one); null when there is none.
static const char *skip_digits(const char *p) {
  const char *start = p;
  while (*p >= '0' && *p <= '9') p++;
  return p == start ? nullptr : p;
}

// Matches "<digits>-<digits>...-<digits>.tmp" with `groups` runs of digits, the first one
// optionally negative (a clock before 1970 gives a negative seconds field).
static int temp_tail_matches(const char *p, int groups, int first_signed) {
  if (first_signed && *p == '-') p++;
  for (int g = 0; g < groups; g++) {
    if (g && *p++ != '-') return 0;
    p = skip_digits(p);
    if (!p) return 0;
  }
  return strcmp(p, ".tmp") == 0;
}

int is_folder_marker(const char *name, int is_dir) {
  return !is_dir && strcmp(name, S3_FOLDER_MARKER) == 0;
}

int is_own_name(const char *name, int is_dir) {
  // Only files are ever made under these names; a directory so named is a user's key segment.
  if (is_dir || name[0] != '.') return 0;
  if (is_folder_marker(name, is_dir)) return 1;
  if (strncmp(name, ".upload-", 8) == 0 && temp_tail_matches(name + 8, 3, 1)) return 1;
  if (strncmp(name, ".mpu-", 5) == 0 && temp_tail_matches(name + 5, 2, 0)) return 1;
  // The copy a move across file systems makes beside its destination, ".<name>.xdev-N-N.tmp".
  const char *x = strstr(name + 1, ".xdev-");
  if (x && x > name + 1 && temp_tail_matches(x + 6, 2, 0)) return 1;
  return 0;
}

int key_is_own_name(const char *key) {
  const char *slash = strrchr(key, '/');
  return is_own_name(slash ? slash + 1 : key, 0);
}

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

// ---------------------------------------------------------------- content types

struct content_type_row {
  const char *suffix;
  const char *type;
};

static const content_type_row CONTENT_TYPES[] = {
    {".txt", "text/plain"},          {".html", "text/html"},
    {".htm", "text/html"},           {".css", "text/css"},
    {".js", "application/javascript"}, {".json", "application/json"},
    {".xml", "application/xml"},     {".png", "image/png"},
    {".jpg", "image/jpeg"},          {".jpeg", "image/jpeg"},
    {".gif", "image/gif"},           {".webp", "image/webp"},
    {".svg", "image/svg+xml"},       {".pdf", "application/pdf"},
    {".zip", "application/zip"},     {".gz", "application/gzip"},
    {".mp4", "video/mp4"},           {".mp3", "audio/mpeg"},
    {".wav", "audio/wav"},
};

const char *guess_content_type(const char *name) {
  // The suffix runs from the last "." of the whole key, so "release.old/readme" has none known.
  const char *dot = name ? strrchr(name, '.') : nullptr;
  if (dot) {
    for (const content_type_row &row : CONTENT_TYPES)
      if (ieq(dot, row.suffix)) return row.type;
  }
  return "binary/octet-stream";
}

// ---------------------------------------------------------------- temporary names

// Process-wide counter behind every temporary name; it keeps two names made in the same second
// apart even when the platform reuses a thread id.
static std::atomic<uint32_t> s_seq{0};

uint32_t next_seq() { return s_seq.fetch_add(1) + 1; }

int make_upload_temp(const char *dir, char out[S3_FS_PATH]) {
  int n = snprintf(out, S3_FS_PATH, "%s/.upload-%lld-%lu-%lu.tmp", dir,
                   static_cast<long long>(plat_time_now()),
                   static_cast<unsigned long>(plat_thread_id()),
                   static_cast<unsigned long>(next_seq()));
  if (n < 0 || size_t(n) > PATH_MAX_CHARS) {
    out[0] = 0;
    return -1;
  }
  return 0;
}

int make_mpu_temp(const char *dir, size_t dir_len, char out[S3_FS_PATH]) {
  if (dir_len > PATH_MAX_CHARS) {
    out[0] = 0;
    return -1;
  }
  int n = snprintf(out, S3_FS_PATH, "%.*s/.mpu-%lu-%lu.tmp", static_cast<int>(dir_len), dir,
                   static_cast<unsigned long>(plat_thread_id()),
                   static_cast<unsigned long>(next_seq()));
  if (n < 0 || size_t(n) > PATH_MAX_CHARS) {
    out[0] = 0;
    return -1;
  }
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
