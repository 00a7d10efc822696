// GetObject and HeadObject (one byte range, If-Match / If-None-Match, streamed in 64 KiB
// blocks), DeleteObject, and the empty tag set of GET ?tagging.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "auth/hash.h"
#include "base/state.h"
#include "base/text.h"
#include "http/request.h"
#include "http/response.h"
#include "ops/ops.h"
#include "store/layout.h"
#include "store/meta.h"

namespace {

constexpr size_t GET_BLOCK = 65536;        // bytes moved per read and send
constexpr size_t OBJ_HEADERS_MAX = 2047;   // ETag, Last-Modified, Accept-Ranges, user metadata
constexpr size_t OBJ_HEADERS_CAP = 2200;   // the same plus one Content-Range line

// Copies the user metadata block into out as complete "name:value\r\n" lines. The block can
// end in a line cut at its size limit, with a partial line end or none; such a line is closed
// here, and a piece that is no header at all is dropped, so the head always stays well-formed.
size_t well_formed_meta(const char *block, char *out, size_t cap) {
  size_t len = 0;
  const char *p = block;
  out[0] = 0;
  while (*p) {
    size_t n = strcspn(p, "\r\n");
    const char *colon = static_cast<const char *>(memchr(p, ':', n));
    if (colon && colon != p && len + n + 2 < cap) {
      memcpy(out + len, p, n);
      memcpy(out + len + n, "\r\n", 2);
      len += n + 2;
      out[len] = 0;
    }
    p += n;
    while (*p == '\r' || *p == '\n') p++;
  }
  return len;
}

// Unsigned decimal: leading white space skipped, digits up to the first other character,
// none read as 0, saturating at the top of the range.
uint64_t range_number(const char **pp) {
  const unsigned flags = DEC_BLANKS | DEC_PREFIX | DEC_EMPTY_ZERO | DEC_SATURATE;
  uint64_t v = 0;
  size_t used = 0;
  parse_decimal(*pp, strlen(*pp), UINT64_MAX, flags, &v, &used);
  *pp += used;
  return v;
}

// Works out one byte range of an object of the given size: 1 with first and last byte
// (inclusive), 0 when unsatisfiable. Only the first range of a list counts.
int parse_range(const char *value, uint64_t size, uint64_t *first, uint64_t *last) {
  const char *p = value;
  while (*p == ' ' || *p == '\t') p++;
  if (!istarts_with(p, "bytes=")) return 0;
  p += 6;
  if (*p == '-') {
    p++;
    uint64_t n = range_number(&p);
    if (n == 0 || size == 0) return 0;
    *first = n < size ? size - n : 0;
    *last = size - 1;
    return 1;
  }
  const char *dash = strchr(p, '-');
  if (!dash) return 0;
  const char *q = p;
  uint64_t a = range_number(&q);
  uint64_t b = size ? size - 1 : 0;
  if (dash[1]) {
    q = dash + 1;
    b = range_number(&q);
  }
  if (a >= size) return 0;
  if (b >= size) b = size - 1;
  if (b < a) return 0;
  *first = a;
  *last = b;
  return 1;
}

// MD5 hex of an open file, read from its start.
int md5_open_file(plat_file *f, char out[33]) {
  if (plat_file_seek(f, 0) != 0) return -1;
  md5_ctx c;
  md5_init(&c);
  char block[GET_BLOCK];
  for (;;) {
    long got = plat_file_read(f, block, sizeof(block));
    if (got < 0) return -1;
    if (got == 0) break;
    md5_update(&c, block, (size_t)got);
  }
  unsigned char digest[16];
  md5_final(&c, digest);
  hex_encode(digest, 16, out);
  out[32] = 0;
  return 0;
}

// Sends bytes [first, first + count) of the open file. Stops at the first failed send: the
// client is gone, and every further send would only wait out the send time-out again.
void stream_file(plat_sock s, plat_file *f, uint64_t first, uint64_t count) {
  if (!f || plat_file_seek(f, first) != 0) return;
  char block[GET_BLOCK];
  while (count) {
    size_t want = count < GET_BLOCK ? (size_t)count : GET_BLOCK;
    long got = plat_file_read(f, block, want);
    if (got <= 0) return;
    if (http_write_all(s, block, (uint64_t)got) != (uint64_t)got) return;
    count -= (uint64_t)got;
  }
}

}  // namespace

void op_get_object(plat_sock s, S3Request *r, int is_head) {
  owned_str range(hdr_value(r->head, r->head_len, "Range"));
  owned_str if_match(hdr_value(r->head, r->head_len, "If-Match"));
  owned_str if_none(hdr_value(r->head, r->head_len, "If-None-Match"));

  char path[S3_FS_PATH];
  if (object_path(r->bucket, r->key, path) != 0) {
    answer_key_too_long(s, r);
    return;
  }
  // Status, data and metadata are taken together: the open file pins the version whose
  // metadata was read, even if another upload replaces the object meanwhile.
  uint64_t size = 0;
  int64_t mtime = 0;
  int is_dir = 0;
  int found = 0;
  char ctype[256] = "";
  char etag[96] = "";
  char user_meta[1024] = "";
  plat_file_guard data(nullptr);
  {
    plat_lock_guard snapshot(object_commit_lock());
    if (file_info(path, &size, &mtime, &is_dir) == 0 && !is_dir) {
      found = 1;
      data.f = plat_file_open(path, PLAT_READ);
      meta_load(r->bucket, r->key, ctype, etag, sizeof(etag), user_meta);
    }
  }
  if (!found) {
    answer_error(s, r, 404, "NoSuchKey", "The specified key does not exist", nullptr);
    return;
  }
  if (!ctype[0]) copy_text(ctype, sizeof(ctype), guess_content_type(r->key));
  // The recorded ETag wins; the data is only hashed when none was recorded.
  if (!etag[0]) {
    char md5[33];
    if (!data.f || md5_open_file(data.f, md5) != 0)
      copy_text(md5, sizeof(md5), "00000000000000000000000000000000");
    copy_text(etag, sizeof(etag), md5);
  }
  char last_modified[64];
  format_rfc1123(mtime, last_modified);

  if (!if_match.empty() && strcmp(if_match.get(), "*") != 0 && !strstr(if_match.get(), etag)) {
    answer_error(s, r, 412, "PreconditionFailed", "The precondition failed", nullptr);
    return;
  }
  if (!if_none.empty() && (strcmp(if_none.get(), "*") == 0 || strstr(if_none.get(), etag))) {
    if (is_head)
      http_send_headers(s, 304, "", 0, 0);
    else
      http_send_obj_headers(s, 304, ctype, 0, nullptr);
    count_request(0, 0);
    return;
  }

  char meta_lines[1100];
  well_formed_meta(user_meta, meta_lines, sizeof(meta_lines));
  char headers[OBJ_HEADERS_MAX + 1];
  int n = snprintf(headers, sizeof(headers),
                   "ETag: \"%s\"\r\nLast-Modified: %s\r\nAccept-Ranges: bytes\r\n%s", etag,
                   last_modified, meta_lines);
  if (n < 0 || (size_t)n >= sizeof(headers))
    snprintf(headers, sizeof(headers), "ETag: \"%s\"\r\nLast-Modified: %s\r\nAccept-Ranges: bytes\r\n",
             etag, last_modified);

  if (!range.empty()) {
    uint64_t first = 0, last = 0;
    if (!parse_range(range.get(), size, &first, &last)) {
      char extra[64];
      snprintf(extra, sizeof(extra), "Content-Range: bytes */%llu\r\n", (unsigned long long)size);
      answer_error(s, r, 416, "InvalidRange", "The requested range is not satisfiable",
                   is_head ? nullptr : extra);
      return;
    }
    if (!is_head) {
      char partial[OBJ_HEADERS_CAP];
      snprintf(partial, sizeof(partial), "%sContent-Range: bytes %llu-%llu/%llu\r\n", headers,
               (unsigned long long)first, (unsigned long long)last, (unsigned long long)size);
      uint64_t len = last - first + 1;
      http_send_obj_headers(s, 206, ctype, len, partial);
      count_request(len, 0);
      stream_file(s, data.f, first, len);
      return;
    }
  }

  http_send_obj_headers(s, 200, ctype, size, headers);
  if (is_head) {
    count_request(0, 0);
    return;
  }
  count_request(size, 0);
  stream_file(s, data.f, 0, size);
}

void op_delete_object(plat_sock s, S3Request *r) {
  char path[S3_FS_PATH];
  if (object_path(r->bucket, r->key, path) != 0) {
    answer_key_too_long(s, r);
    return;
  }
  // remove_file never removes a directory: a key that names one is refused.
  int removed;
  {
    plat_lock_guard commit(object_commit_lock());
    removed = remove_file(path);
    if (removed >= 0) meta_remove(r->bucket, r->key);
  }
  if (removed < 0) {
    answer_error(s, r, 500, "InternalError", "Failed to delete object", nullptr);
    return;
  }
  set_error("");
  http_send_headers(s, 204, "", 0, 0);
  count_request(0, 0);
}

void op_get_object_tagging(plat_sock s, S3Request *r) {
  char path[S3_FS_PATH];
  if (object_path(r->bucket, r->key, path) != 0) {
    answer_key_too_long(s, r);
    return;
  }
  uint64_t size = 0;
  int64_t mtime = 0;
  int is_dir = 0;
  if (file_info(path, &size, &mtime, &is_dir) != 0 || is_dir) {
    answer_error(s, r, 404, "NoSuchKey", "The specified key does not exist", nullptr);
    return;
  }
  // The store keeps no tags: every object has an empty tag set.
  static const char doc[] =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Tagging xmlns=\"" S3_XMLNS
      "\"><TagSet></TagSet></Tagging>\n";
  const uint64_t len = sizeof(doc) - 1;
  http_send_obj_headers(s, 200, "application/xml", len, nullptr);
  count_request(len, 0);
  http_write_all(s, doc, len);
}
