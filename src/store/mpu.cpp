// The multipart upload store: one directory per upload under root/.mpu/bucket/upload-id, holding
// "meta" (key line, content-type line, then the user metadata "name:value" lines and the
// content-header lines given at initiation, as object records keep them) and for each part N "N.part" (payload) and "N.etag" (MD5).
#include "store/mpu.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "digest/hash.h"
#include "base/state.h"
#include "base/text.h"
#include "platform/platform.h"
#include "store/files.h"
#include "store/layout.h"
#include "store/meta.h"
#include "store/object.h"
#include "store/temp_names.h"
#include "store/walk.h"

namespace {

constexpr size_t MPU_CTYPE_MAX = 255;   // content-type field of 256
constexpr size_t MPU_ETAG_READ = 63;    // characters of an ".etag" line that are read
constexpr size_t MPU_ETAG_MAX = 79;     // ETag field of 80
constexpr size_t MPU_USER_LINE_MAX = 1279;  // "name:value": a 255-byte name, ':', 1023 bytes
constexpr size_t SWEEP_BUCKETS = 512;   // bucket directories looked at per sweep
constexpr size_t SWEEP_UPLOADS = 2048;  // uploads looked at per bucket

// A small read-ahead buffer over one file, shared by consecutive read_line calls.
struct line_reader {
  plat_file *f = nullptr;
  char buf[4096];
  long len = 0;
  long pos = 0;
  int failed = 0;  // a read failed: nothing more is read, and what was read is not to be trusted
};

// Reads one line into out (at most max characters kept, the rest of the line skipped). Line
// feeds and carriage returns at its end are removed. 1 when a line was there, 0 at the end.
int read_line(line_reader *lr, char *out, size_t max) {
  size_t n = 0;
  int any = 0;
  for (;;) {
    if (lr->pos >= lr->len) {
      lr->len = lr->failed ? 0 : plat_file_read(lr->f, lr->buf, sizeof(lr->buf));
      lr->pos = 0;
      if (lr->len < 0) lr->failed = 1;
      if (lr->len <= 0) break;
    }
    char c = lr->buf[lr->pos++];
    any = 1;
    if (c == '\n') break;
    if (n < max) out[n++] = c;
  }
  while (n && (out[n - 1] == '\r' || out[n - 1] == '\n')) n--;
  out[n] = 0;
  return any;
}

}  // namespace

void mpu_new_upload_id(char out[33]) {
  unsigned char raw[16];
  // Without the OS source the id still has the right shape; uniqueness then rests on the
  // millisecond clock, read anew for every byte.
  if (plat_random_bytes(raw, sizeof(raw)) != 0) {
    for (size_t i = 0; i < sizeof(raw); i++) raw[i] = (unsigned char)(plat_tick_ms() & 0xffu);
  }
  hex_encode(raw, sizeof(raw), out);
  out[32] = 0;
}

int mpu_upload_dir(const char *bucket, const char *upload_id, char out[S3_FS_PATH]) {
  int n = snprintf(out, S3_FS_PATH, "%s/.mpu/%s/%s", s_storage_root, bucket, upload_id);
  return (n < 0 || (size_t)n >= S3_FS_PATH) ? -1 : 0;
}

int mpu_bucket_dir(const char *bucket, char out[S3_FS_PATH]) {
  int n = snprintf(out, S3_FS_PATH, "%s/.mpu/%s", s_storage_root, bucket);
  return (n < 0 || (size_t)n >= S3_FS_PATH) ? -1 : 0;
}

int mpu_file_path(const char *upload_dir, const char *name, char out[S3_MPU_FILE_PATH]) {
  int n = snprintf(out, S3_MPU_FILE_PATH, "%s/%s", upload_dir, name);
  return (n < 0 || (size_t)n >= S3_MPU_FILE_PATH) ? -1 : 0;
}

// Opens one file of an upload directory for line reading; null when it cannot be opened.
static plat_file *open_upload_file(const char *bucket, const char *upload_id, const char *name,
                                   line_reader *lr) {
  char dir[S3_FS_PATH];
  char path[S3_MPU_FILE_PATH];
  if (mpu_upload_dir(bucket, upload_id, dir) != 0 || mpu_file_path(dir, name, path) != 0)
    return nullptr;
  lr->f = plat_file_open(path, PLAT_READ);
  lr->len = lr->pos = 0;
  lr->failed = 0;
  return lr->f;
}

int mpu_meta_read(const char *bucket, const char *upload_id, char key[S3_KEY_FIELD],
                  char content_type[256]) {
  key[0] = 0;
  content_type[0] = 0;
  line_reader lr;
  plat_file_guard guard(open_upload_file(bucket, upload_id, "meta", &lr));
  if (!guard.f) return -1;
  if (!read_line(&lr, key, S3_KEY_MAX)) return -1;
  if (!read_line(&lr, content_type, MPU_CTYPE_MAX)) content_type[0] = 0;
  return lr.failed ? -1 : 0;
}

int mpu_meta_write(const char *upload_dir, const char *key, const char *content_type,
                   const char *head, size_t head_len) {
  char path[S3_MPU_FILE_PATH];
  if (mpu_file_path(upload_dir, "meta", path) != 0) return -1;
  plat_file_guard guard(plat_file_open(path, PLAT_WRITE_TRUNC));
  if (!guard.f) return -1;
  const char *ctype = content_type ? content_type : "";
  size_t klen = strlen(key), clen = strlen(ctype);
  if (plat_file_write(guard.f, key, klen) != (long)klen || plat_file_write(guard.f, "\n", 1) != 1 ||
      plat_file_write(guard.f, ctype, clen) != (long)clen || plat_file_write(guard.f, "\n", 1) != 1)
    return -1;
  if (meta_write_header_lines(guard.f, head, head_len) != 0) return -1;
  return plat_file_flush(guard.f);
}

int mpu_create(const char *bucket, const char *upload_id, const char *key,
               const char *content_type, const char *head, size_t head_len) {
  char udir[S3_FS_PATH];
  char bdir[S3_FS_PATH];
  if (mpu_upload_dir(bucket, upload_id, udir) != 0 || object_path(bucket, nullptr, bdir) != 0)
    return -1;
  bucket_lock_guard held(bucket, 0, 1);
  if (!held.held()) return -1;
  // A link in the bucket's place is no bucket of this store.
  plat_stat_t st;
  if (plat_lstat(bdir, &st) != 0 || !st.is_dir) return 1;
  if (mkdir_p(udir) == 0 && mpu_meta_write(udir, key, content_type, head, head_len) == 0)
    return 0;
  delete_dir_recursive(udir);
  return -1;
}

int mpu_meta_headers(const char *bucket, const char *upload_id, char block[S3_MPU_HEADERS_CAP]) {
  block[0] = 0;
  line_reader lr;
  plat_file_guard guard(open_upload_file(bucket, upload_id, "meta", &lr));
  if (!guard.f) return -1;
  char line[S3_TAG_LINE_MAX + 1];
  if (!read_line(&lr, line, MPU_USER_LINE_MAX) || !read_line(&lr, line, MPU_USER_LINE_MAX))
    return lr.failed ? -1 : 0;
  tag_set_box tags;
  if (!tags.set) return -1;
  // Whole "name:value\r\n" lines while they fit: a cut line would record a cut value.
  content_headers content;
  content_headers_clear(&content);
  size_t len = 0;
  int full = 0;
  while (read_line(&lr, line, S3_TAG_LINE_MAX)) {
    size_t n = strlen(line);
    if (tag_record_take(line, n, tags.set, S3_OBJECT_TAGS_MAX)) continue;
    // Only a tag line may be longer than a user metadata line.
    if (n > MPU_USER_LINE_MAX) line[n = MPU_USER_LINE_MAX] = 0;
    if (meta_content_line(line, n, &content)) continue;
    if (full || !n || !memchr(line, ':', n) || memchr(line, '\r', n)) continue;
    if (len + n + 2 >= S3_USER_META_CAP) {
      full = 1;
      continue;
    }
    memcpy(block + len, line, n);
    memcpy(block + len + n, "\r\n", 2);
    len += n + 2;
    block[len] = 0;
  }
  len += content_headers_render(&content, block + len, S3_MPU_HEADERS_CAP - len);
  if (tags.set->count) tags_render_header(tags.set, block + len, S3_MPU_HEADERS_CAP - len);
  // Headers cut short by a failed read would be recorded as if they were all.
  if (lr.failed) block[0] = 0;
  return lr.failed ? -1 : 0;
}

// root/.mpu/bucket/<id>.done into out; 0 / -1.
static int done_path(const char *bucket, const char *upload_id, char out[S3_FS_PATH]) {
  int n = snprintf(out, S3_FS_PATH, "%s/.mpu/%s/%s.done", s_storage_root, bucket, upload_id);
  return (n < 0 || (size_t)n >= S3_FS_PATH) ? -1 : 0;
}

int mpu_done_write(const char *bucket, const char *upload_id, const char *key, const char *etag,
                   uint64_t size) {
  char path[S3_FS_PATH];
  char dir[S3_FS_PATH];
  char tmp[S3_FS_PATH];
  if (done_path(bucket, upload_id, path) != 0 || mpu_bucket_dir(bucket, dir) != 0 ||
      temp_file_make(tmp, TEMP_RECORD) != 0)
    return -1;
  char tail[128];
  int n = snprintf(tail, sizeof tail, "\n%s\n%llu\n", etag, (unsigned long long)size);
  if (n < 0 || (size_t)n >= sizeof tail) return -1;
  int rc = -1;
  {
    plat_file_guard f(plat_file_open(tmp, PLAT_WRITE_KEEP));
    size_t klen = strlen(key);
    if (f.f && plat_file_write(f.f, key, klen) == (long)klen &&
        plat_file_write(f.f, tail, (size_t)n) == n && plat_file_flush(f.f) == 0)
      rc = 0;
  }
  // Moved into place whole, so a reader never meets a cut record.
  if (rc == 0) rc = replace_file(tmp, path);
  if (rc != 0) remove_file(tmp);
  return rc;
}

int mpu_done_read(const char *bucket, const char *upload_id, char key[S3_KEY_FIELD], char etag[80],
                  uint64_t *size) {
  key[0] = 0;
  etag[0] = 0;
  *size = 0;
  char path[S3_FS_PATH];
  if (done_path(bucket, upload_id, path) != 0) return -1;
  line_reader lr;
  lr.f = plat_file_open(path, PLAT_READ);
  plat_file_guard guard(lr.f);
  if (!guard.f) return -1;
  char line[MPU_ETAG_READ + 1];
  if (!read_line(&lr, key, S3_KEY_MAX) || !key[0] || !read_line(&lr, etag, MPU_ETAG_MAX) ||
      !etag[0] || !read_line(&lr, line, MPU_ETAG_READ) ||
      parse_decimal(line, strlen(line), UINT64_MAX, 0, size) != 0)
    return -1;
  return 0;
}

// A part record's checksum line "ALG BASE64" into sum (CK_NONE when it is not one).
static void parse_sum_line(const char *line, mpu_part_sum *sum) {
  sum->algo = CK_NONE;
  sum->value[0] = 0;
  const char *sp = strchr(line, ' ');
  if (!sp) return;
  int algo = ck_from_algo_name(line, (size_t)(sp - line));
  const char *v = sp + 1;
  size_t n = strlen(v);
  if (algo == CK_NONE || n == 0 || n >= CK_B64_CAP) return;
  for (size_t i = 0; i < n; i++) {
    char c = v[i];
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
          c == '+' || c == '/' || c == '='))
      return;
  }
  sum->algo = algo;
  memcpy(sum->value, v, n + 1);
}

// Reads the record of a part from its path: 0 with the ETag, its checksum (when sum is given)
// and the part data's version from its "+Version" line (when version is given; records written
// before parts named their data do not have one), -1 missing or empty.
static int read_etag_file(const char *path, char etag[80], mpu_part_sum *sum = nullptr,
                          record_version *version = nullptr) {
  etag[0] = 0;
  if (version) version->present = 0;
  if (sum) {
    sum->algo = CK_NONE;
    sum->value[0] = 0;
  }
  line_reader lr;
  lr.f = plat_file_open(path, PLAT_READ);
  plat_file_guard guard(lr.f);
  if (!guard.f) return -1;
  char line[MPU_ETAG_READ + 1];
  // An empty line is no ETag either: such a part would match any ETag a client gives.
  if (!read_line(&lr, line, MPU_ETAG_READ) || !line[0] || lr.failed) return -1;
  copy_text(etag, MPU_ETAG_MAX + 1, line);
  record_version scratch_version;
  // After the ETag: the checksum line, when the part has one, and the version line.
  for (int i = 0; i < 2 && read_line(&lr, line, MPU_ETAG_READ) && !lr.failed; i++) {
    if (record_version_line(line, strlen(line), version ? version : &scratch_version)) continue;
    if (sum) parse_sum_line(line, sum);
  }
  return 0;
}

int mpu_part_checksum(const char *udir, unsigned long part, mpu_part_sum *sum) {
  char path[S3_MPU_FILE_PATH];
  char name[32];
  char etag[80];
  snprintf(name, sizeof(name), "%lu.etag", part);
  if (mpu_file_path(udir, name, path) != 0) return -1;
  return read_etag_file(path, etag, sum);
}

int mpu_checksum_write(const char *udir, int algo, int type) {
  char path[S3_MPU_FILE_PATH];
  if (mpu_file_path(udir, "checksum", path) != 0) return -1;
  char line[64];
  int n = snprintf(line, sizeof line, "%s %s\n", ck_name(algo), ck_type_name(type));
  plat_file_guard f(plat_file_open(path, PLAT_WRITE_TRUNC));
  if (!f.f || n < 0 || (size_t)n >= sizeof line || plat_file_write(f.f, line, (size_t)n) != n ||
      plat_file_flush(f.f) != 0 || plat_file_sync(f.f) != 0) {
    remove_file(path);
    return -1;
  }
  return 0;
}

void mpu_checksum_read(const char *udir, int *algo, int *type) {
  *algo = CK_NONE;
  *type = CK_TYPE_NONE;
  char path[S3_MPU_FILE_PATH];
  if (mpu_file_path(udir, "checksum", path) != 0) return;
  line_reader lr;
  lr.f = plat_file_open(path, PLAT_READ);
  plat_file_guard guard(lr.f);
  if (!guard.f) return;
  char line[64];
  if (!read_line(&lr, line, sizeof line - 1) || lr.failed) return;
  const char *sp = strchr(line, ' ');
  if (!sp) return;
  int a = ck_from_algo_name(line, (size_t)(sp - line));
  int t = ck_type_from_name(sp + 1, strlen(sp + 1));
  if (a == CK_NONE || t == CK_TYPE_NONE) return;
  *algo = a;
  *type = t;
}

int mpu_part_etag(const char *bucket, const char *upload_id, unsigned long part, char etag[80]) {
  char dir[S3_FS_PATH];
  char path[S3_MPU_FILE_PATH];
  char name[32];
  etag[0] = 0;
  snprintf(name, sizeof(name), "%lu.etag", part);
  if (mpu_upload_dir(bucket, upload_id, dir) != 0 || mpu_file_path(dir, name, path) != 0) return -1;
  return read_etag_file(path, etag);
}

void mpu_etag_feed(md5_ctx *c, const char *stored_etag) {
  unsigned char digest[16];
  if (strlen(stored_etag) < 32 || hex_decode(stored_etag, digest, sizeof(digest)) != 0) return;
  md5_update(c, digest, sizeof(digest));
}

void mpu_etag_finish(md5_ctx *c, size_t parts, char out[48]) {
  unsigned char digest[16];
  char hex[33];
  md5_final(c, digest);
  hex_encode(digest, sizeof(digest), hex);
  hex[32] = 0;
  snprintf(out, 48, "%s-%d", hex, (int)parts);
}

// The number of a part file's name "N.part" (N from 1 to the highest part number), else 0.
static uint32_t part_file_number(const char *name) {
  const char *dot = strrchr(name, '.');
  if (!dot || strcmp(dot + 1, "part") != 0) return 0;
  uint64_t n = 0;
  if (parse_decimal(name, (size_t)(dot - name), S3_MPU_MAX_PART, 0, &n) != 0) return 0;
  return (uint32_t)n;
}

size_t mpu_list_parts(const char *upload_dir, uint32_t after, mpu_part_info *out, size_t cap,
                      int *more) {
  *more = 0;
  // One flag per possible part number: the listing never grows with what the directory holds.
  unsigned char *present = static_cast<unsigned char *>(calloc(S3_MPU_MAX_PART + 1, 1));
  if (!present) return 0;
  plat_dir *d = plat_dir_open(upload_dir);
  if (d) {
    char name[S3_NAME_SLOT];
    int is_dir = 0;
    while (plat_dir_next(d, name, sizeof name, &is_dir) == 1) {
      uint32_t n = is_dir ? 0 : part_file_number(name);
      if (n > after) present[n] = 1;
    }
    plat_dir_close(d);
  }
  size_t count = 0;
  for (uint32_t n = after + 1; n <= S3_MPU_MAX_PART; n++) {
    if (!present[n]) continue;
    char file[32];
    char path[S3_MPU_FILE_PATH];
    plat_stat_t st;
    snprintf(file, sizeof file, "%lu.part", static_cast<unsigned long>(n));
    if (mpu_file_path(upload_dir, file, path) != 0 || plat_stat(path, &st) != 0) continue;
    if (count == cap) {
      *more = 1;
      break;
    }
    out[count++] = mpu_part_info{n, st.size, st.mtime};
  }
  free(present);
  return count;
}

// The newest modification time (seconds) among the files of the upload folder udir, at least
// since (its "meta" file's).
static int64_t upload_last_write(const char *udir, int64_t since) {
  int64_t newest = since;
  plat_dir *d = plat_dir_open(udir);
  if (!d) return newest;
  char name[S3_NAME_SLOT];
  char path[S3_FS_PATH];
  int is_dir = 0;
  while (plat_dir_next(d, name, sizeof name, &is_dir) == 1) {
    plat_stat_t st;
    int n = snprintf(path, sizeof path, "%s/%s", udir, name);
    if (n < 0 || (size_t)n >= sizeof path || plat_lstat(path, &st) != 0) continue;
    if (st.mtime > newest) newest = st.mtime;
  }
  plat_dir_close(d);
  return newest;
}

void mpu_gc_sweep() {
  char (*buckets)[S3_NAME_SLOT] =
      static_cast<char (*)[S3_NAME_SLOT]>(malloc(SWEEP_BUCKETS * S3_NAME_SLOT));
  char (*uploads)[S3_NAME_SLOT] =
      static_cast<char (*)[S3_NAME_SLOT]>(malloc(SWEEP_UPLOADS * S3_NAME_SLOT));
  if (!buckets || !uploads) {
    free(buckets);
    free(uploads);
    return;
  }
  char root[S3_FS_PATH];
  int rn = snprintf(root, sizeof(root), "%s/.mpu", s_storage_root);
  if (rn > 0 && (size_t)rn < sizeof(root)) {
    int64_t now = server_now();
    size_t nb = list_dir_names(root, buckets, SWEEP_BUCKETS, nullptr, nullptr);
    for (size_t b = 0; b < nb; b++) {
      char bdir[S3_FS_PATH];
      int n = snprintf(bdir, sizeof(bdir), "%s/%s", root, buckets[b]);
      if (n < 0 || (size_t)n >= sizeof(bdir)) continue;
      size_t nu = list_dir_names(bdir, uploads, SWEEP_UPLOADS, nullptr, nullptr);
      for (size_t u = 0; u < nu; u++) {
        char udir[S3_FS_PATH];
        char meta[S3_MPU_FILE_PATH];
        n = snprintf(udir, sizeof(udir), "%s/%s", bdir, uploads[u]);
        if (n < 0 || (size_t)n >= sizeof(udir) || mpu_file_path(udir, "meta", meta) != 0)
          continue;
        // Uploads without "meta" (and plain files) are never swept: their age is unknown.
        // A completion record goes when its upload would have.
        plat_stat_t st;
        const size_t name_len = strlen(uploads[u]);
        if (name_len > 5 && strcmp(uploads[u] + name_len - 5, ".done") == 0) {
          if (plat_stat(udir, &st) == 0 && !st.is_dir && now - st.mtime > (int64_t)S3_MPU_MAX_AGE)
            remove_file(udir);
          continue;
        }
        if (plat_stat(meta, &st) != 0) continue;
        // An upload is as old as its last part: one still receiving parts is never swept.
        if (now - upload_last_write(udir, st.mtime) > (int64_t)S3_MPU_MAX_AGE)
          delete_dir_recursive(udir);
      }
    }
  }
  free(buckets);
  free(uploads);
}

// ---------------------------------------------------------------- storing and joining parts

// udir/N.ext into out; 0 / -1.
static int part_path(const char *udir, unsigned long part, const char *ext,
                     char out[S3_MPU_FILE_PATH]) {
  char name[40];
  snprintf(name, sizeof name, "%lu.%s", part, ext);
  return mpu_file_path(udir, name, out);
}

// The upload's own lock is taken on its "meta" file, which exists exactly as long as the upload
// does: a lock that cannot be taken means the upload is gone, and no file is ever created.
static int upload_lock(const char *udir, int exclusive, plat_file_lock *out) {
  char meta[S3_MPU_FILE_PATH];
  out->fd = -1;
  if (mpu_file_path(udir, "meta", meta) != 0) return -1;
  return plat_file_lock_take(meta, exclusive, 0, out);
}

// Writes "etag\n", the part's checksum line (when it has one) and the line naming the part
// data's version into a fresh temporary file; 0 with its path, or -1.
static int write_etag_temp(const char *etag, const char *sum_line, const record_version *version,
                           char tmp[S3_FS_PATH]) {
  plat_file_guard f(temp_file_create(tmp, TEMP_RECORD));
  char line[320];
  int n = sum_line && sum_line[0] ? snprintf(line, sizeof line, "%s\n%s\n", etag, sum_line)
                                  : snprintf(line, sizeof line, "%s\n", etag);
  if (n > 0 && (size_t)n < sizeof line)
    n += (int)record_version_format(version, line + n, sizeof line - (size_t)n);
  if (!f.f || n < 0 || (size_t)n >= sizeof line || plat_file_write(f.f, line, (size_t)n) != n ||
      plat_file_flush(f.f) != 0 || plat_file_sync(f.f) != 0) {
    remove_file(tmp);
    return -1;
  }
  return 0;
}

// The two moves of a part commit, the upload's lock held. The data goes first; should its
// record then fail to move, the record is removed too, so the part counts as missing rather
// than paired with an earlier payload's ETag.
static int move_part_files(const char *udir, unsigned long part, const char *data_tmp,
                           const char *etag_tmp) {
  char data[S3_MPU_FILE_PATH];
  char record[S3_MPU_FILE_PATH];
  if (part_path(udir, part, "part", data) != 0 || part_path(udir, part, "etag", record) != 0)
    return -2;
  plat_err err = PLAT_OK;
  if (plat_rename_replace(data_tmp, data, &err) != 0) return -2;
  if (plat_rename_replace(etag_tmp, record, &err) != 0) {
    remove_file(record);
    return -2;
  }
  return 0;
}

// Forces a received part's bytes to disk before it is moved into place: a part answered 200 is
// joined later from what the disk kept. 0 with the data's version, or -1.
static int sync_file(const char *path, record_version *version) {
  plat_file_guard f(plat_file_open(path, PLAT_READ));
  return f.f && plat_file_sync(f.f) == 0 && record_version_of(f.f, version) == 0 ? 0 : -1;
}

int mpu_part_commit(const char *bucket, const char *udir, unsigned long part,
                    const char *data_tmp, const char *etag, const char *sum_line) {
  char etag_tmp[S3_FS_PATH];
  record_version version;
  if (sync_file(data_tmp, &version) != 0 ||
      write_etag_temp(etag, sum_line, &version, etag_tmp) != 0) {
    remove_file(data_tmp);
    return -2;
  }
  int rc = -1;
  {
    // Shared bucket lock: DeleteBucket, which removes the bucket's uploads, waits for it.
    bucket_lock_guard bucket_held(bucket, 0, 1);
    plat_file_lock upload_held;
    if (bucket_held.held() && upload_lock(udir, 1, &upload_held) == 0) {
      rc = move_part_files(udir, part, data_tmp, etag_tmp);
      plat_file_lock_release(&upload_held);
    }
  }
  // A lock that failed while the upload is still there is a failure to store, not a gone upload.
  char meta[S3_MPU_FILE_PATH];
  plat_stat_t st;
  if (rc == -1 && mpu_file_path(udir, "meta", meta) == 0 && plat_lstat(meta, &st) == 0) rc = -2;
  // The moves themselves; a failure costs durability, never consistency.
  if (rc == 0) plat_dir_sync(udir);
  // Whatever was not moved: a vanished upload's files are gone already, so this is a no-op then.
  remove_file(data_tmp);
  remove_file(etag_tmp);
  return rc;
}

int mpu_part_open(const char *udir, unsigned long part, plat_file **out, char etag[80],
                  mpu_part_sum *sum) {
  *out = nullptr;
  etag[0] = 0;
  char data[S3_MPU_FILE_PATH];
  char record[S3_MPU_FILE_PATH];
  if (part_path(udir, part, "part", data) != 0 || part_path(udir, part, "etag", record) != 0)
    return -1;
  plat_file_lock held;
  if (upload_lock(udir, 0, &held) != 0) return -1;
  int rc = -1;
  record_version version;
  if (read_etag_file(record, etag, sum, &version) == 0) {
    *out = plat_file_open(data, PLAT_READ);
    rc = *out ? 0 : -2;
    // Under the upload's lock no part commit is half done: data that is not the version its
    // record names (a crash between the two moves) is no part to join under that ETag.
    plat_file_id id;
    if (*out && version.present &&
        (plat_file_handle_identity(*out, &id) != 0 || !record_version_matches(&version, &id))) {
      plat_file_close(*out);
      *out = nullptr;
      rc = -2;
    }
  }
  plat_file_lock_release(&held);
  return rc;
}
