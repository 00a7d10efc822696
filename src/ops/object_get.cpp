// GetObject and HeadObject (one byte range or one part, entity-tag and date conditions, the
// recorded content headers and the response-* overrides, streamed in 64 KiB blocks),
// DeleteObject (If-Match makes it conditional).
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/date.h"
#include "digest/hash.h"
#include "base/state.h"
#include "base/text.h"
#include "http/request.h"
#include "http/response.h"
#include "ops/checksums.h"
#include "ops/conditions.h"
#include "ops/ops.h"
#include "ops/versions_ops.h"
#include "store/content_type.h"
#include "store/etag_cache.h"
#include "store/files.h"
#include "store/layout.h"
#include "store/meta.h"
#include "store/object.h"
#include "store/versions.h"

namespace {

constexpr size_t GET_BLOCK = 65536;        // bytes moved per read and send
// ETag, Last-Modified, Accept-Ranges (about 200), content headers, user metadata (1100), the
// tag count (40), the checksum lines (160).
constexpr size_t OBJ_HEADERS_MAX = 1440 + 160 + S3_CONTENT_BLOCK_CAP;
constexpr size_t OBJ_HEADERS_CAP = OBJ_HEADERS_MAX + 160;  // the same plus one Content-Range line

// The query parameters that override what a GET or HEAD answers with, by content_header_id;
// response-content-type overrides the content type.
const char *const OVERRIDE_PARAMS[CH_COUNT] = {
    "response-cache-control", "response-content-disposition", "response-content-encoding",
    "response-content-language", "response-expires"};

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

// The digits at *pp as a number, saturating at the top of the range (a first byte beyond every
// size is still a valid, unsatisfiable range). 0, or -1 when there are none.
int range_number(const char **pp, const char *end, uint64_t *out) {
  const char *p = *pp;
  while (p < end && *p >= '0' && *p <= '9') p++;
  if (p == *pp) return -1;
  parse_decimal(*pp, (size_t)(p - *pp), UINT64_MAX, DEC_SATURATE, out);
  *pp = p;
  return 0;
}

// One byte range of [p, end), blanks around it allowed: "first-", "first-last" or the
// suffix "-count". 1 with the range, 0 valid but unsatisfiable, -1 no valid range.
int parse_one_range(const char *p, const char *end, uint64_t size, uint64_t *first,
                     uint64_t *last) {
  while (p < end && (*p == ' ' || *p == '\t')) p++;
  while (end > p && (end[-1] == ' ' || end[-1] == '\t')) end--;
  if (p < end && *p == '-') {
    p++;
    uint64_t n = 0;
    if (range_number(&p, end, &n) != 0 || p != end) return -1;
    if (n == 0 || size == 0) return 0;
    *first = n < size ? size - n : 0;
    *last = size - 1;
    return 1;
  }
  uint64_t a = 0;
  if (range_number(&p, end, &a) != 0 || p == end || *p != '-') return -1;
  p++;
  uint64_t b = UINT64_MAX;
  if (p != end && (range_number(&p, end, &b) != 0 || p != end)) return -1;
  if (b < a) return -1;
  if (a >= size) return 0;
  *first = a;
  *last = b < size ? b : size - 1;
  return 1;
}

}  // namespace

int parse_range(const char *value, uint64_t size, uint64_t *first, uint64_t *last) {
  const char *p = value;
  while (*p == ' ' || *p == '\t') p++;
  if (!istarts_with(p, "bytes=")) return -1;
  p += 6;
  // Empty elements of the list are allowed, as in every HTTP list; at least one range is not.
  int verdict = -1;
  for (;;) {
    const char *comma = strchr(p, ',');
    const char *end = comma ? comma : p + strlen(p);
    const char *q = p;
    while (q < end && (*q == ' ' || *q == '\t')) q++;
    if (q != end) {
      uint64_t a = 0, b = 0;
      int one = parse_one_range(p, end, size, &a, &b);
      if (one < 0) return -1;
      if (verdict < 0) {
        verdict = one;
        *first = a;
        *last = b;
      }
    }
    if (!comma) break;
    p = comma + 1;
  }
  return verdict;
}

namespace {

// Sends bytes [first, first + count) of the open file. Stops at the first failed send: the
// client is gone, and every further send would only wait out the send time-out again.
void stream_file(plat_sock s, const S3Request *r, plat_file *f, uint64_t first, uint64_t count) {
  // A view's data stands at its start (whoever reads it puts it back there).
  if (!f || (first && plat_file_seek(f, first) != 0)) return;
  char block[GET_BLOCK];
  while (count) {
    size_t want = count < GET_BLOCK ? (size_t)count : GET_BLOCK;
    long got = plat_file_read(f, block, want);
    if (got <= 0) return;
    if (http_write_all(s, &r->answer, block, (uint64_t)got) != (uint64_t)got) return;
    count -= (uint64_t)got;
  }
}

// ---------------------------------------------------------------- GetObject, step by step

// The response-* overrides of one request; "" where none was given.
struct get_overrides {
  char ctype[S3_CONTENT_VALUE_CAP];
  content_headers c;
};

// One override parameter, percent-decoded, into out. 0, or -1 when its value could not stand
// in a response head (a control character would split it) or is too long.
int override_value(const S3Request *r, const char *name, char out[S3_CONTENT_VALUE_CAP]) {
  out[0] = 0;
  owned_str raw(qparam(r->query, name));
  if (!raw.get()) return 0;
  if (copy_text(out, S3_CONTENT_VALUE_CAP, raw.get()) != 1) return -1;
  pct_decode(out);
  if (content_value_usable(out)) return 0;
  out[0] = 0;
  return -1;
}

// The response-* parameters, which S3 honours on signed requests (presigned downloads use
// them); every request that reaches an operation is signed, or authentication is off. 0, or
// -1 after the 400 answer.
int read_overrides(plat_sock s, S3Request *r, get_overrides *o) {
  content_headers_clear(&o->c);
  const char *bad = nullptr;
  if (override_value(r, "response-content-type", o->ctype) != 0) bad = "response-content-type";
  for (int i = 0; i < CH_COUNT && !bad; i++)
    if (override_value(r, OVERRIDE_PARAMS[i], o->c.value[i]) != 0) bad = OVERRIDE_PARAMS[i];
  if (!bad) return 0;
  char message[96];
  snprintf(message, sizeof message, "Invalid value for parameter %s.", bad);
  answer_error(s, r, 400, "InvalidArgument", message, nullptr);
  return -1;
}

// The recorded ETag, else the MD5 of the open data, which is kept per file version (as
// listings keep theirs) so that the next HEAD of an object without a record reads nothing.
void object_etag(const object_view *v, char out[S3_ETAG_CAP]) {
  plat_file_id id;
  const bool known = !v->etag[0] && v->data && plat_file_handle_identity(v->data, &id) == 0;
  char hex[33];
  if (known && etag_cache_get(&id, hex)) {
    copy_text(out, S3_ETAG_CAP, hex);
    return;
  }
  view_etag(v, out);
  plat_file_id after;
  if (known && plat_file_handle_identity(v->data, &after) == 0 && etag_same_version(&id, &after) &&
      strcmp(out, "00000000000000000000000000000000") != 0)
    etag_cache_put(&id, out);
}

// What a GET or HEAD answers with, worked out from the object's view.
struct get_answer {
  char ctype[S3_CONTENT_VALUE_CAP];
  char etag[S3_ETAG_CAP];
  content_headers content;            // recorded, with the request's overrides
  char headers[OBJ_HEADERS_MAX + 1];  // ETag, Last-Modified, Accept-Ranges, content, user
};

// Content type, ETag and content headers: the recorded ones, else a guess from the key and the
// MD5 of the data (the data is only hashed when no ETag was recorded); overrides win.
void describe_object(const object_view *v, const char *key, const get_overrides *o,
                     get_answer *a) {
  const char *ctype = v->content_type[0] ? v->content_type : guess_content_type(key);
  copy_text(a->ctype, sizeof a->ctype, o->ctype[0] ? o->ctype : ctype);
  object_etag(v, a->etag);
  a->content = v->content;
  for (int i = 0; i < CH_COUNT; i++)
    if (o->c.value[i][0]) copy_text(a->content.value[i], S3_CONTENT_VALUE_CAP, o->c.value[i]);
}

// If-Match, If-None-Match, If-Modified-Since and If-Unmodified-Since. 1 when they decided the
// answer (412 or 304, sent and counted), 0 when the object is to be served. A 304 carries the
// object's ETag and Last-Modified, so a cache can refresh what it holds.
int answer_preconditions(plat_sock s, S3Request *r, int is_head, const object_view *v,
                         const get_answer *a) {
  condition_verdict c = evaluate_conditions(r->head, r->head_len, &GET_CONDITIONS, a->etag, v->mtime);
  if (c == COND_PASS) return 0;
  if (c == COND_FAILED) {
    answer_error(s, r, 412, "PreconditionFailed", "The precondition failed", nullptr);
    return 1;
  }
  char last_modified[64];
  format_rfc1123(v->mtime, last_modified);
  char extra[S3_ETAG_CAP + 96];
  snprintf(extra, sizeof extra, "ETag: \"%s\"\r\nLast-Modified: %s\r\n", a->etag, last_modified);
  count_request(0, 0);
  if (is_head)
    http_send_headers(s, &r->answer, 304, extra, 0, 0);
  else
    http_send_obj_headers(s, &r->answer, 304, a->ctype, 0, extra);
  return 1;
}

// The object headers of a 200 or 206; user metadata that would not fit is left out whole.
void build_object_headers(const object_view *v, get_answer *a) {
  char last_modified[64];
  format_rfc1123(v->mtime, last_modified);
  char content_lines[S3_CONTENT_BLOCK_CAP];
  content_headers_render(&a->content, content_lines, sizeof content_lines);
  char meta_lines[1100];
  well_formed_meta(v->user_meta, meta_lines, sizeof(meta_lines));
  // S3 names the tag count only for an object that has tags.
  char tag_count[40] = "";
  if (v->tag_count)
    snprintf(tag_count, sizeof tag_count, "x-amz-tagging-count: %u\r\n", (unsigned)v->tag_count);
  int n = snprintf(a->headers, sizeof(a->headers),
                   "ETag: \"%s\"\r\nLast-Modified: %s\r\nAccept-Ranges: bytes\r\n%s%s%s%s",
                   a->etag, last_modified, content_lines, meta_lines, tag_count,
                   SSE_ANSWER_HEADER);
  if (n < 0 || (size_t)n >= sizeof(a->headers))
    snprintf(a->headers, sizeof(a->headers),
             "ETag: \"%s\"\r\nLast-Modified: %s\r\nAccept-Ranges: bytes\r\n%s%s%s", a->etag,
             last_modified, content_lines, tag_count, SSE_ANSWER_HEADER);
}

// An error answer whose document carries more elements (escaped XML), counted (0, 0).
void answer_error_with(plat_sock s, S3Request *r, int status, const char *code,
                       const char *message, const char *extra_head, const char *elements) {
  count_request(0, 0);
  send_error(s, &r->answer, status, code, message, r->path, extra_head, elements);
}

// The 206 of bytes [first, first + len) of the object, with its Content-Range and any further
// head lines (more); a HEAD gets the same head without the bytes.
void answer_partial(plat_sock s, const S3Request *r, int is_head, const object_view *v,
                    const get_answer *a, uint64_t first, uint64_t len, const char *more) {
  char partial[OBJ_HEADERS_CAP];
  snprintf(partial, sizeof(partial), "%sContent-Range: bytes %llu-%llu/%llu\r\n%s", a->headers,
           (unsigned long long)first, (unsigned long long)(first + len - 1),
           (unsigned long long)v->size, more);
  // Counted with the planned length before the body goes out: a body the client cuts short
  // still counts whole.
  count_request(is_head ? 0 : len, 0);
  http_send_obj_headers(s, &r->answer, 206, a->ctype, len, partial);
  if (!is_head) stream_file(s, r, v->data, first, len);
}

// A Range header. 1 when it decided the answer (416, or a GET's 206 with its bytes), 0 when
// the whole object is to be answered (a range that is no valid byte range is ignored, as HTTP
// asks, and a HEAD answers a satisfiable range with the whole object's head).
int answer_range(plat_sock s, S3Request *r, int is_head, const object_view *v,
                 const get_answer *a, const char *range) {
  uint64_t first = 0, last = 0;
  int verdict = parse_range(range, v->size, &first, &last);
  if (verdict < 0) return 0;
  if (verdict == 0) {
    char extra[64];
    snprintf(extra, sizeof(extra), "Content-Range: bytes */%llu\r\n", (unsigned long long)v->size);
    // The range as sent, cut so the document stays whole; clients read the size from it.
    char requested[512];
    xml_escape_str(range, requested, sizeof requested);
    char elements[sizeof requested + 128];
    snprintf(elements, sizeof elements,
             "  <RangeRequested>%s</RangeRequested>\n  <ActualObjectSize>%llu</ActualObjectSize>\n",
             requested, (unsigned long long)v->size);
    answer_error_with(s, r, 416, "InvalidRange", "The requested range is not satisfiable",
                      is_head ? nullptr : extra, elements);
    return 1;
  }
  if (is_head) return 0;
  answer_partial(s, r, 0, v, a, first, last - first + 1, "");
  return 1;
}

// The partNumber query value: 1 with it, 0 when absent, -1 after the 400 answer for one that is
// no part number (S3's range is 1 to 10000).
int read_part_number(plat_sock s, S3Request *r, uint32_t *out) {
  *out = 0;
  owned_str v(qparam(r->query, "partNumber"));
  if (!v.get()) return 0;
  uint64_t n = 0;
  if (parse_decimal(v.get(), strlen(v.get()), S3_PARTS_MAX, 0, &n) != 0 || n == 0) {
    answer_error(s, r, 400, "InvalidArgument",
                 "Part number must be an integer between 1 and 10000, inclusive", nullptr);
    return -1;
  }
  *out = (uint32_t)n;
  return 1;
}

// GET or HEAD of one part. An object made from parts answers from its recorded layout, with
// the number of its parts; any other object (stored whole, copied, or completed before layouts
// were recorded) is one part, the whole object, as S3 answers for an object stored whole.
void answer_part(plat_sock s, S3Request *r, int is_head, const object_view *v,
                 const get_answer *a, uint32_t part) {
  const part_lookup *p = &v->parts;
  const uint32_t count = p->count ? p->count : 1;
  if (part > count) {
    char elements[160];
    snprintf(elements, sizeof elements,
             "  <PartNumberRequested>%u</PartNumberRequested>\n"
             "  <ActualPartCount>%u</ActualPartCount>\n",
             (unsigned)part, (unsigned)count);
    answer_error_with(s, r, 416, "InvalidPartNumber", "The requested partnumber is not satisfiable",
                      nullptr, elements);
    return;
  }
  const uint64_t first = p->count ? p->first : 0;
  const uint64_t len = p->count ? p->len : v->size;
  char more[64] = "";
  if (p->count)
    snprintf(more, sizeof more, "x-amz-mp-parts-count: %u\r\n", (unsigned)p->count);
  if (len) {
    answer_partial(s, r, is_head, v, a, first, len, more);
    return;
  }
  // No Content-Range can name an empty part: the whole of an empty object is answered as such,
  // an empty last part of a larger one as an empty 206.
  char head_lines[OBJ_HEADERS_CAP];
  snprintf(head_lines, sizeof head_lines, "%s%s", a->headers, more);
  count_request(0, 0);
  http_send_obj_headers(s, &r->answer, v->size ? 206 : 200, a->ctype, 0, head_lines);
}

// Adds the stored checksum to the answer's head when the client asks for it: the object's for
// a whole read, the part's for a read of one part (the whole object's when it was stored
// whole); none for a byte range, whose bytes no stored checksum covers.
void add_checksum_headers(const S3Request *r, const object_view *v, uint32_t part, int ranged,
                          get_answer *a) {
  if (ranged || !checksum_mode_enabled(r)) return;
  const record_sums *sums = &v->sums;
  char lines[160] = "";
  if (!part || !v->parts.count)
    checksum_header_lines(sums->whole.algo, sums->whole.type, sums->whole.value, lines,
                          sizeof lines);
  else if (sums->want_value[0])
    checksum_header_lines(sums->part_algo, sums->whole.type, sums->want_value, lines, sizeof lines);
  size_t used = strlen(a->headers);
  if (lines[0] && used + strlen(lines) < sizeof a->headers)
    memcpy(a->headers + used, lines, strlen(lines) + 1);
}

}  // namespace

void op_get_object(plat_sock s, S3Request *r, int is_head) {
  char path[S3_FS_PATH];
  if (object_path(r->bucket, r->key, path) != 0) {
    answer_key_too_long(s, r);
    return;
  }
  get_overrides overrides;
  if (read_overrides(s, r, &overrides) != 0) return;
  uint32_t part = 0;
  if (read_part_number(s, r, &part) < 0) return;
  owned_str range(hdr_value(r->head, r->head_len, "Range"));
  if (part && range.get()) {
    answer_error(s, r, 400, "InvalidRequest",
                 "Cannot specify both Range header and partNumber query parameter", nullptr);
    return;
  }
  char vid[S3_VID_CAP];
  if (request_version_id(s, r, vid) != 0) return;
  object_view_guard view;
  int taken = object_snapshot_version(r->bucket, r->key, vid, &view.v, part, nullptr, nullptr,
                                      path);
  if (taken == STORE_BUSY) {
    answer_store_busy(s, r, 0);
    return;
  }
  if (taken == VERSION_IS_MARKER) {
    // A delete marker named by its id has no body to give: its method is not allowed.
    answer_version_lines(r, view.v.version_id, 1);
    answer_error(s, r, 405, "MethodNotAllowed",
                 "The specified method is not allowed against this resource.", "Allow: DELETE\r\n");
    return;
  }
  if (taken != 0) {
    if (vid[0]) {
      answer_error(s, r, 404, "NoSuchVersion",
                   "The specified version does not exist.", nullptr);
      return;
    }
    char marker[S3_VID_CAP];
    if (object_current_marker(r->bucket, r->key, marker)) answer_version_lines(r, marker, 1);
    answer_error(s, r, 404, "NoSuchKey", "The specified key does not exist", nullptr);
    return;
  }
  answer_version_lines(r, view.v.version_id, 0);
  // An object whose data cannot be opened is never answered 200: the body could not follow
  // its head (and a HEAD would carry a made-up ETag).
  if (!view.v.data) {
    set_error("cannot open object data %s/%s", r->bucket, r->key);
    answer_error(s, r, 500, "InternalError", "We encountered an internal error. Please try again.",
                 nullptr);
    return;
  }
  get_answer a;
  describe_object(&view.v, r->key, &overrides, &a);
  if (answer_preconditions(s, r, is_head, &view.v, &a)) return;
  build_object_headers(&view.v, &a);
  add_checksum_headers(r, &view.v, part, !range.empty(), &a);
  if (part) {
    answer_part(s, r, is_head, &view.v, &a, part);
    return;
  }
  if (!range.empty() && answer_range(s, r, is_head, &view.v, &a, range.get())) return;
  count_request(is_head ? 0 : view.v.size, 0);
  http_send_obj_headers(s, &r->answer, 200, a.ctype, view.v.size, a.headers);
  if (!is_head) stream_file(s, r, view.v.data, 0, view.v.size);
}

void op_delete_object(plat_sock s, S3Request *r) {
  char path[S3_FS_PATH];
  if (object_path(r->bucket, r->key, path) != 0) {
    answer_key_too_long(s, r);
    return;
  }
  // If-Match makes the delete conditional, as S3 does: the object goes only when it is one the
  // header names, tested and removed in one step; without an object the answer is NoSuchKey.
  owned_str if_match(hdr_value(r->head, r->head_len, "If-Match"));
  char vid[S3_VID_CAP];
  if (request_version_id(s, r, vid) != 0) return;
  if (vid[0] || bucket_versioning(r->bucket) != VERSIONING_OFF) {
    // In a versioned bucket a delete adds a marker, or removes the version it names.
    char out_vid[S3_VID_CAP];
    int marker = 0;
    int rc = object_delete_version(r->bucket, r->key, vid, out_vid, &marker);
    if (rc == STORE_BUSY) {
      answer_store_busy(s, r, 0);
      return;
    }
    if (rc < 0) {
      answer_error(s, r, 500, "InternalError", "Failed to delete object", nullptr);
      return;
    }
    answer_version_lines(r, out_vid, marker);
    clear_error();
    count_request(0, 0);
    http_send_headers(s, &r->answer, 204, "", 0, 0);
    return;
  }
  int rc = if_match.empty() ? object_remove(r->bucket, r->key)
                            : object_remove_if_match(r->bucket, r->key, if_match.get());
  if (rc == STORE_BUSY) {
    answer_store_busy(s, r, 0);
    return;
  }
  if (rc == COMMIT_NO_OBJECT) {
    answer_error(s, r, 404, "NoSuchKey", "The specified key does not exist", nullptr);
    return;
  }
  if (rc == COMMIT_PRECONDITION_FAILED) {
    answer_error(s, r, 412, "PreconditionFailed",
                 "At least one of the pre-conditions you specified did not hold", nullptr);
    return;
  }
  if (rc < 0) {
    answer_error(s, r, 500, "InternalError", "Failed to delete object", nullptr);
    return;
  }
  clear_error();
  count_request(0, 0);
  http_send_headers(s, &r->answer, 204, "", 0, 0);
}
