// PutObject and CopyObject: both build the new object in a hidden temporary file inside the
// bucket directory and move it onto the key in one step, then write its metadata file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "auth/hash.h"
#include "base/state.h"
#include "http/body.h"
#include "http/request.h"
#include "http/response.h"
#include "ops/ops.h"
#include "store/layout.h"
#include "store/meta.h"

namespace {

constexpr size_t COPY_ETAG_BUF = 80;  // recorded source ETags of 80 characters and more are recomputed

// The key rules of request paths, applied to an already decoded key: no segment "." or "..",
// no segment above 255 bytes.
int valid_decoded_key(const char *key) {
  const char *seg = key;
  for (;;) {
    const char *end = strchr(seg, '/');
    size_t n = end ? (size_t)(end - seg) : strlen(seg);
    if (n > 255) return 0;
    if ((n == 1 && seg[0] == '.') || (n == 2 && seg[0] == '.' && seg[1] == '.')) return 0;
    if (!end) return 1;
    seg = end + 1;
  }
}

int is_md5_text(const char *t) {
  size_t n = 0;
  for (; t[n]; n++)
    if (!((t[n] >= '0' && t[n] <= '9') || (t[n] >= 'a' && t[n] <= 'f'))) return 0;
  return n == 32;
}

}  // namespace

int parse_copy_source(const char *value, char bucket[64], char key[4096]) {
  bucket[0] = 0;
  key[0] = 0;
  if (!value) return -1;
  while (*value == '/') value++;
  // An encoded NUL would end the text early and name a different key than the client meant.
  for (const char *p = value; *p; p++)
    if (p[0] == '%' && p[1] == '0' && p[2] == '0') return -1;

  size_t n = strlen(value);
  char *text = static_cast<char *>(malloc(n + 1));
  if (!text) return -1;
  memcpy(text, value, n + 1);
  pct_decode(text);

  int rc = -1;
  const char *slash = strchr(text, '/');
  if (slash) {
    size_t blen = (size_t)(slash - text);
    const char *k = slash + 1;
    if (valid_bucket_name(text, blen) && *k && strlen(k) <= S3_KEY_MAX && valid_decoded_key(k)) {
      memcpy(bucket, text, blen);
      bucket[blen] = 0;
      copy_text(key, S3_KEY_MAX + 1, k);
      rc = 0;
    }
  }
  free(text);
  if (rc != 0) {
    bucket[0] = 0;
    key[0] = 0;
  }
  return rc;
}

void op_put_object(plat_sock s, S3Request *r) {
  char path[S3_FS_PATH];
  char bucket_dir[S3_FS_PATH];
  if (object_path(r->bucket, r->key, path) != 0 || object_path(r->bucket, nullptr, bucket_dir) != 0) {
    answer_key_too_long(s, r);
    return;
  }
  char tmp[S3_FS_PATH];
  if (make_upload_temp(bucket_dir, tmp) != 0) {
    set_error("temporary name too long in %s", bucket_dir);
    send_error(s, 500, "InternalError", "Failed to store object body", r->path, nullptr);
    count_request(0, 0);
    return;
  }
  // A PUT into a bucket that does not exist creates it.
  mkdir_p(bucket_dir);
  mkdir_parent(path);

  char etag[33] = "";
  uint64_t len = 0;
  upload_error err = {500, "InternalError", "Failed to store object body"};
  if (receive_upload(s, r, tmp, "Failed to store object body", etag, &len, &err) != 0) {
    send_error(s, err.status, err.code, err.message, r->path, nullptr);
    count_request(0, len);
    return;
  }
  owned_str ctype(hdr_value(r->head, r->head_len, "Content-Type"));
  int moved;
  {
    plat_lock_guard commit(object_commit_lock());
    moved = replace_file(tmp, path);
    if (moved == 0)
      meta_save(r->bucket, r->key, etag, ctype.get() ? ctype.get() : "", r->head, r->head_len);
  }
  if (moved != 0) {
    set_error("rename failed: %s -> %s", tmp, path);
    plat_err perr;
    plat_unlink(tmp, &perr);
    send_error(s, 500, "InternalError", "Failed to move object into place", r->path, nullptr);
    count_request(0, len);
    return;
  }
  set_error("");
  count_request(0, len);

  char extra[64];
  snprintf(extra, sizeof(extra), "ETag: \"%s\"\r\n", etag);
  http_send_headers(s, 200, extra, 0, 0);
}

void op_copy_object(plat_sock s, S3Request *r) {
  char path[S3_FS_PATH];
  char bucket_dir[S3_FS_PATH];
  if (object_path(r->bucket, r->key, path) != 0 || object_path(r->bucket, nullptr, bucket_dir) != 0) {
    answer_key_too_long(s, r);
    return;
  }
  char src_bucket[S3_BUCKET_MAX + 1];
  char src_key[S3_KEY_MAX + 1];
  {
    owned_str source(hdr_value(r->head, r->head_len, "x-amz-copy-source"));
    if (parse_copy_source(source.get(), src_bucket, src_key) != 0) {
      send_error(s, 400, "InvalidArgument", "Invalid copy source", r->path, nullptr);
      return;
    }
  }
  char src_path[S3_FS_PATH];
  uint64_t src_size = 0;
  int64_t src_mtime = 0;
  int src_is_dir = 0;
  if (object_path(src_bucket, src_key, src_path) != 0 ||
      file_info(src_path, &src_size, &src_mtime, &src_is_dir) != 0 || src_is_dir) {
    send_error(s, 404, "NoSuchKey", "The source key does not exist", r->path, nullptr);
    return;
  }

  uint64_t body_len = 0;
  int overflow = 0;
  if (hdr_u64(r->head, r->head_len, "Content-Length", &body_len, &overflow) && body_len)
    discard_body(s, r, body_len);

  char req_ctype[256] = "";
  {
    owned_str v(hdr_value(r->head, r->head_len, "Content-Type"));
    if (!v.empty()) copy_text(req_ctype, sizeof(req_ctype), v.get());
  }
  char src_ctype[256] = "";
  char src_etag[COPY_ETAG_BUF] = "";
  char src_meta[1024] = "";
  // Read before the copy, so that a copy onto itself still sees the source's own record.
  int has_meta;
  {
    plat_lock_guard commit(object_commit_lock());
    has_meta = meta_load(src_bucket, src_key, src_ctype, src_etag, sizeof(src_etag), src_meta);
  }

  // Copy through a temporary file so that a failed copy, or a copy onto itself, leaves the
  // destination's previous content whole.
  char tmp[S3_FS_PATH];
  char md5[33] = "";
  uint64_t copied = 0;
  mkdir_p(bucket_dir);
  mkdir_parent(path);
  if (make_upload_temp(bucket_dir, tmp) != 0) {
    send_error(s, 500, "InternalError", "Copy failed", r->path, nullptr);
    return;
  }
  plat_err perr;
  if (copy_file_range_md5(src_path, 0, UINT64_MAX, tmp, md5, &copied) != 0) {
    plat_unlink(tmp, &perr);
    send_error(s, 500, "InternalError", "Copy failed", r->path, nullptr);
    return;
  }

  const char *ctype;
  if (req_ctype[0])
    ctype = req_ctype;
  else if (has_meta)
    ctype = src_ctype;
  else
    ctype = guess_content_type(r->key);
  // A recorded plain-upload ETag is the MD5 of the data; if the source was replaced while it
  // was copied, the record belongs to other bytes and the copy's own MD5 is kept instead.
  const char *etag = md5;
  if (src_etag[0] && !(is_md5_text(src_etag) && strcmp(src_etag, md5) != 0)) etag = src_etag;

  int moved;
  {
    plat_lock_guard commit(object_commit_lock());
    moved = replace_file(tmp, path);
    if (moved == 0) meta_save(r->bucket, r->key, etag, ctype, "", 0);
  }
  if (moved != 0) {
    plat_unlink(tmp, &perr);
    send_error(s, 500, "InternalError", "Copy failed", r->path, nullptr);
    return;
  }
  count_request(0, src_size);

  // LastModified is the source's time as it was found, also when the source is the
  // destination itself.
  char mtime[64];
  format_iso8601(src_mtime, mtime);
  char doc[1024];
  int n = snprintf(doc, sizeof(doc),
                   "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<CopyObjectResult>\n"
                   "  <ETag>\"%s\"</ETag>\n  <LastModified>%s</LastModified>\n"
                   "</CopyObjectResult>\n",
                   md5, mtime);
  if (n < 0 || (size_t)n >= sizeof(doc)) n = 0;
  http_send_obj_headers(s, 200, "application/xml", (uint64_t)n, nullptr);
  http_write_all(s, doc, (uint64_t)n);
}
