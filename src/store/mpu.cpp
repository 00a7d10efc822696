// The multipart upload store: one directory per upload under root/.mpu/bucket/upload-id, holding
// "meta" (key line, content-type line) and for each part N "N.part" (payload) and "N.etag" (MD5).
#include "store/mpu.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "auth/hash.h"
#include "base/state.h"
#include "base/text.h"
#include "platform/platform.h"
#include "store/walk.h"

namespace {

constexpr size_t MPU_KEY_MAX = 4095;    // key field of 4096
constexpr size_t MPU_CTYPE_MAX = 255;   // content-type field of 256
constexpr size_t MPU_ETAG_READ = 63;    // characters of an ".etag" line that are read
constexpr size_t MPU_ETAG_MAX = 79;     // ETag field of 80
constexpr size_t SWEEP_BUCKETS = 512;   // bucket directories looked at per sweep
constexpr size_t SWEEP_UPLOADS = 2048;  // uploads looked at per bucket

// A small read-ahead buffer over one file, shared by consecutive read_line calls.
struct line_reader {
  plat_file *f;
  char buf[4096];
  long len;
  long pos;
};

// Reads one line into out (at most max characters kept, the rest of the line skipped). Line
// feeds and carriage returns at its end are removed. 1 when a line was there, 0 at the end.
int read_line(line_reader *lr, char *out, size_t max) {
  size_t n = 0;
  int any = 0;
  for (;;) {
    if (lr->pos >= lr->len) {
      lr->len = plat_file_read(lr->f, lr->buf, sizeof(lr->buf));
      lr->pos = 0;
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
  return lr->f;
}

int mpu_meta_read(const char *bucket, const char *upload_id, char key[4096],
                  char content_type[256]) {
  key[0] = 0;
  content_type[0] = 0;
  line_reader lr;
  plat_file_guard guard(open_upload_file(bucket, upload_id, "meta", &lr));
  if (!guard.f) return -1;
  if (!read_line(&lr, key, MPU_KEY_MAX)) return -1;
  if (!read_line(&lr, content_type, MPU_CTYPE_MAX)) content_type[0] = 0;
  return 0;
}

int mpu_part_etag(const char *bucket, const char *upload_id, unsigned long part, char etag[80]) {
  char name[32];
  etag[0] = 0;
  snprintf(name, sizeof(name), "%lu.etag", part);
  line_reader lr;
  plat_file_guard guard(open_upload_file(bucket, upload_id, name, &lr));
  if (!guard.f) return -1;
  char line[MPU_ETAG_READ + 1];
  // An empty line is no ETag either: such a part would match any ETag a client gives.
  if (!read_line(&lr, line, MPU_ETAG_READ) || !line[0]) return -1;
  copy_text(etag, MPU_ETAG_MAX + 1, line);
  return 0;
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

void mpu_final_etag(const char *bucket, const char *upload_id, const unsigned long *parts,
                    size_t n, char out[48]) {
  md5_ctx c;
  md5_init(&c);
  for (size_t i = 0; i < n; i++) {
    char etag[80];
    if (mpu_part_etag(bucket, upload_id, parts[i], etag) == 0) mpu_etag_feed(&c, etag);
  }
  mpu_etag_finish(&c, n, out);
}

// The number of a part file's name "N.part" (N from 1 to the highest part number), else 0.
static uint32_t part_file_number(const char *name) {
  const char *dot = strrchr(name, '.');
  if (!dot || strcmp(dot + 1, "part") != 0) return 0;
  uint32_t n = 0;
  for (const char *p = name; p < dot && *p >= '0' && *p <= '9'; p++) {
    n = n * 10 + uint32_t(*p - '0');
    if (n > S3_MPU_MAX_PART) return 0;
  }
  return n;
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
        plat_stat_t st;
        if (plat_stat(meta, &st) != 0) continue;
        if (now - st.mtime > (int64_t)S3_MPU_MAX_AGE) delete_dir_recursive(udir);
      }
    }
  }
  free(buckets);
  free(uploads);
}
