// PutObject and CopyObject: both write the new object through the store's object writer, which
// commits it onto the key with its metadata record in one step; and the checks every write
// shares (content headers kept, If-None-Match and If-Match).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/date.h"
#include "digest/hash.h"
#include "digest/running.h"
#include "base/state.h"
#include "body/body.h"
#include "http/request.h"
#include "http/response.h"
#include "ops/checksums.h"
#include "ops/conditions.h"
#include "ops/ops.h"
#include "ops/versions_ops.h"
#include "store/content_type.h"
#include "store/files.h"
#include "store/layout.h"
#include "store/meta.h"
#include "store/names.h"
#include "store/object.h"
#include "store/tags.h"
#include "store/writer.h"

namespace {

constexpr size_t COPY_ETAG_MAX = 79;   // recorded source ETags longer than this are recomputed

int is_md5_text(const char *t) {
  size_t n = 0;
  for (; t[n]; n++)
    if (!((t[n] >= '0' && t[n] <= '9') || (t[n] >= 'a' && t[n] <= 'f'))) return 0;
  return n == 32;
}

// A writer for the request's own key, on the paths the dispatcher already worked out;
// writer_begin_object's results.
int begin_key_writer(object_writer *w, S3Request *r) {
  const request_paths *p = request_store_paths(r);
  // A key with no path: the writer's own verdict for it, with nothing begun.
  if (!p->bucket_ok || !p->key_ok) return -1;
  return writer_begin_object_at(w, r->bucket, r->key, p->key_file, p->bucket_dir);
}

}  // namespace

int check_content_headers(plat_sock s, S3Request *r) {
  content_headers c;
  int bad = -1;
  if (content_headers_from_head(r->head, r->head_len, &c, &bad) == 0) return 0;
  char message[96];
  snprintf(message, sizeof message, "Invalid value for header %s.",
           bad >= 0 && bad < CH_COUNT ? CONTENT_HEADER_NAMES[bad] : "");
  answer_error(s, r, 400, "InvalidArgument", message);
  return -1;
}

int read_write_condition(plat_sock s, S3Request *r, commit_condition *cond) {
  cond->if_none_match = 0;
  cond->if_match[0] = 0;
  owned_str none(hdr_value(r->head, r->head_len, "If-None-Match"));
  owned_str match(hdr_value(r->head, r->head_len, "If-Match"));
  if (!none.empty()) {
    // A write can only ask that the key be free; an entity tag here asks for what S3 does not do.
    if (strcmp(none.get(), "*") != 0) {
      answer_not_implemented(s, r);
      return -1;
    }
    cond->if_none_match = 1;
  }
  if (!match.empty() && copy_text(cond->if_match, sizeof cond->if_match, match.get()) != 1) {
    // A cut list could lose the very tag that matches.
    answer_error(s, r, 400, "InvalidArgument", "Invalid value for header If-Match.");
    return -1;
  }
  return 0;
}

void answer_store_busy(plat_sock s, S3Request *r, uint64_t uploaded) {
  set_error("bucket lock not granted in time: %s", r->bucket);
  answer_upload_error(s, r, uploaded, 503, "SlowDown", "Please reduce your request rate.");
}

void answer_commit_verdict(plat_sock s, S3Request *r, int verdict, uint64_t uploaded) {
  if (verdict == COMMIT_SLOW_DOWN)
    answer_store_busy(s, r, uploaded);
  else if (verdict == COMMIT_NO_BUCKET)
    answer_upload_error(s, r, uploaded, 404, "NoSuchBucket", "The specified bucket does not exist");
  else if (verdict == COMMIT_NO_OBJECT)
    answer_upload_error(s, r, uploaded, 404, "NoSuchKey", "The specified key does not exist");
  else
    answer_upload_error(s, r, uploaded, 412, "PreconditionFailed",
                        "At least one of the pre-conditions you specified did not hold");
}

int parse_copy_source(const char *value, char bucket[S3_BUCKET_MAX + 1], char key[S3_KEY_FIELD]) {
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

void op_put_object(plat_sock s, S3Request *r, stream_state *st) {
  object_writer_guard w;
  int begun = begin_key_writer(&w.w, r);
  if (begun == -1) {
    answer_key_too_long(s, r);
    return;
  }
  if (begun != 0) {
    set_error("temporary name too long in bucket %s", r->bucket);
    answer_error(s, r, 500, "InternalError", "Failed to store object body");
    return;
  }
  commit_condition cond;
  if (check_content_headers(s, r) != 0 || check_request_tagging(s, r) != 0 ||
      read_write_condition(s, r, &cond) != 0)
    return;
  int named = CK_NONE;
  if (request_checksum_algo(s, r, &named) != 0) return;
  // Every new object keeps a checksum: the one the client named, else CRC64NVME.
  ck_value sum;
  sum.algo = stored_checksum_algo(named);
  sum.b64[0] = 0;

  char etag[33] = "";
  uint64_t len = 0;
  upload_error err = {500, "InternalError", "Failed to store object body"};
  if (receive_upload(s, r, st, writer_temp_path(&w.w), "Failed to store object body", etag, &len,
                     &err, &sum) != 0) {
    answer_upload_error(s, r, len, err.status, err.code, err.message);
    return;
  }
  // Another client may have stored a key in the way while the body came in.
  if (answer_key_conflict(s, r, len)) return;
  owned_str ctype(hdr_value(r->head, r->head_len, "Content-Type"));
  record_checksum whole = {sum.algo, CK_TYPE_FULL_OBJECT, ""};
  copy_text(whole.value, sizeof whole.value, sum.b64);
  int rc = writer_commit_object(&w.w, etag, ctype.get() ? ctype.get() : "", r->head, r->head_len,
                                &cond, nullptr, &whole);
  if (rc == COMMIT_PRECONDITION_FAILED || rc == COMMIT_NO_OBJECT || rc == COMMIT_SLOW_DOWN ||
      rc == COMMIT_NO_BUCKET) {
    answer_commit_verdict(s, r, rc, len);
    return;
  }
  if (rc != 0) {
    if (answer_key_conflict(s, r, len)) return;
    set_error("rename failed: %s -> %s/%s", writer_temp_path(&w.w), r->bucket, r->key);
    answer_upload_error(s, r, len, 500, "InternalError", "Failed to move object into place");
    return;
  }
  clear_error();
  count_request(0, len);

  char sum_lines[160];
  checksum_header_lines(whole.algo, whole.type, whole.value, sum_lines, sizeof sum_lines);
  char extra[320];
  snprintf(extra, sizeof(extra), "ETag: \"%s\"\r\n%s%s", etag, sum_lines, SSE_ANSWER_HEADER);
  answer_version_lines(r, w.w.vid, 0);
  http_send_headers(s, &r->answer, 200, extra, 0, 0);
}

// ---------------------------------------------------------------- CopyObject, step by step

namespace {

// The source of a copy as it was when the copy began: its data stays open, so the bytes
// copied are those of the version whose record was read.
struct copy_source {
  char bucket[S3_BUCKET_MAX + 1];
  char key[S3_KEY_MAX + 1];
  char vid[S3_VID_CAP];  // the version named ("" for the current one)
  object_view_guard view;
  tag_set_box tags;  // the version's tags, read with its record
};

// Parses x-amz-copy-source and takes the source's view. 0, or -1 after the error answer.
int open_copy_source(plat_sock s, S3Request *r, copy_source *src) {
  {
    owned_str source(request_copy_source(r));
    if (copy_source_version(source.p, src->vid) != 0 ||
        parse_copy_source(source.get(), src->bucket, src->key) != 0) {
      answer_error(s, r, 400, "InvalidArgument", "Invalid copy source");
      return -1;
    }
  }
  if (!src->tags.set) {
    answer_error(s, r, 500, "InternalError", "Copy failed");
    return -1;
  }
  int rc = object_snapshot_version(src->bucket, src->key, src->vid, &src->view.v, 0, nullptr,
                                   src->tags.set);
  if (rc == STORE_BUSY) {
    answer_store_busy(s, r, 0);
    return -1;
  }
  if (rc == VERSION_IS_MARKER) {
    answer_error(s, r, 400, "InvalidRequest",
                 "The source of a copy request may not specifically refer to a delete marker by "
                 "version id.");
    return -1;
  }
  if (rc != 0 && src->vid[0]) {
    answer_error(s, r, 404, "NoSuchVersion", "The specified version does not exist.");
    return -1;
  }
  if (rc != 0) {
    answer_error(s, r, 404, "NoSuchKey", "The source key does not exist");
    return -1;
  }
  return 0;
}

// Copies the source into the writer's temporary file, so that a failed copy, or a copy onto
// itself, leaves the destination's previous content whole. 0 with the copy's MD5, or -1.
int copy_to_temp(object_writer *w, const copy_source *src, char md5[33]) {
  return writer_copy_from(w, src->view.v.data, md5, nullptr) == 0 && writer_finish(w) == 0 ? 0
                                                                                          : -1;
}

// x-amz-metadata-directive: COPY (the default) keeps the source's content type and user
// metadata, REPLACE takes the request's. 1 REPLACE, 0 COPY, -1 anything else.
int replace_directive(const S3Request *r) {
  owned_str v(hdr_value(r->head, r->head_len, "x-amz-metadata-directive"));
  if (v.empty() || ieq(v.get(), "COPY")) return 0;
  return ieq(v.get(), "REPLACE") ? 1 : -1;
}

// x-amz-tagging-directive: COPY (the default) keeps the source's tags, REPLACE takes the
// request's x-amz-tagging (none when it has none). 1 REPLACE, 0 COPY, -1 anything else.
int tagging_directive(const S3Request *r) {
  owned_str v(hdr_value(r->head, r->head_len, "x-amz-tagging-directive"));
  if (v.empty() || ieq(v.get(), "COPY")) return 0;
  return ieq(v.get(), "REPLACE") ? 1 : -1;
}

// The header block the copy's record is made from: first the x-amz-tagging line of the tags
// the copy keeps (an empty one when it keeps none; the first such line of a block is the one
// recorded), then the request's head under REPLACE or what is kept of the source under COPY.
// 0, or -1 when memory ran out.
int copy_record_block(const S3Request *r, const copy_source *src, int replace_tags,
                      const char *meta, size_t meta_len, dynbuf *out) {
  tag_set_box chosen;
  if (!chosen.set) return -1;
  const tag_set *tags = src->tags.set;
  if (replace_tags) {
    tag_verdict v;
    tags_from_head(r->head, r->head_len, chosen.set, &v);
    tags = chosen.set;
  }
  char *line = static_cast<char *>(malloc(S3_TAG_HEADER_CAP));
  if (!line) return -1;
  size_t n = tags_render_header(tags, line, S3_TAG_HEADER_CAP);
  dynbuf_append(out, line, n);
  free(line);
  dynbuf_append(out, meta, meta_len);
  return out->failed || !n ? -1 : 0;
}

// The new object's content type: under REPLACE the request's, under COPY the source's record
// (which may be empty) when it has one; a guess from the destination key otherwise.
void copy_content_type(const S3Request *r, int replace, const object_view *src, char out[256]) {
  out[0] = 0;
  owned_str v(hdr_value(r->head, r->head_len, "Content-Type"));
  if (replace && !v.empty())
    copy_text(out, 256, v.get());
  else if (!replace && src->has_meta)
    copy_text(out, 256, src->content_type);
  else
    copy_text(out, 256, guess_content_type(r->key));
}

// The checks made before any byte is copied: the directive, a copy onto itself that changes
// nothing, and the x-amz-copy-source-if-* conditions against the source. 0, or -1 after the
// error answer.
int check_copy_request(plat_sock s, S3Request *r, const copy_source *src, int replace,
                       int replace_tags) {
  if (replace < 0) {
    answer_error(s, r, 400, "InvalidArgument", "Unknown metadata directive.");
    return -1;
  }
  if (replace_tags < 0) {
    answer_error(s, r, 400, "InvalidArgument", "Unknown tagging directive.");
    return -1;
  }
  if (replace && check_content_headers(s, r) != 0) return -1;
  if (replace_tags && check_request_tagging(s, r) != 0) return -1;
  if (!replace && !src->vid[0] && strcmp(src->bucket, r->bucket) == 0 &&
      strcmp(src->key, r->key) == 0) {
    answer_error(s, r, 400, "InvalidRequest",
                 "This copy request is illegal because it is trying to copy an object to itself "
                 "without changing the object's metadata, storage class, website redirect "
                 "location or encryption attributes.");
    return -1;
  }
  if (!has_conditions(r->head, r->head_len, &COPY_CONDITIONS)) return 0;
  char etag[S3_ETAG_CAP];
  view_etag(&src->view.v, etag);
  if (evaluate_conditions(r->head, r->head_len, &COPY_CONDITIONS, etag, src->view.v.mtime) !=
      COND_PASS) {
    answer_error(s, r, 412, "PreconditionFailed",
                 "At least one of the pre-conditions you specified did not hold");
    return -1;
  }
  return 0;
}

// The ETag recorded for the copy: the source's recorded one, unless it is missing, too long,
// or a plain MD5 that differs from the bytes copied; otherwise the copy's own MD5.
const char *copy_etag(const object_view *src, const char *md5) {
  const char *rec = src->etag;
  if (!rec[0] || strlen(rec) > COPY_ETAG_MAX) return md5;
  if (is_md5_text(rec) && strcmp(rec, md5) != 0) return md5;
  return rec;
}

// What a copy under COPY keeps of the source as a header block: its user metadata lines,
// which have the "name:value" form, and its content headers. Returns out.
const char *source_headers(const object_view *src, char *out, size_t cap) {
  size_t n = copy_text(out, cap, src->user_meta) ? strlen(out) : 0;
  if (!n) out[0] = 0;
  content_headers_render(&src->content, out + n, cap - n);
  return out;
}

// The CopyObjectResult: the MD5 of the bytes copied, and the source's time as it was found
// (also when the source is the destination itself). Counted with the source's size.
void answer_copy_result(plat_sock s, const S3Request *r, const object_view *src, const char *md5,
                        const record_checksum *sum) {
  char mtime[64];
  format_iso8601(src->mtime, mtime);
  dynbuf_guard elements;
  checksum_elements(&elements.b, "  ", sum->algo, sum->type, sum->value);
  char doc[1024];
  int n = snprintf(doc, sizeof(doc),
                   "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<CopyObjectResult>\n"
                   "  <ETag>\"%s\"</ETag>\n  <LastModified>%s</LastModified>\n%s"
                   "</CopyObjectResult>\n",
                   md5, mtime, elements.b.data && !elements.b.failed ? elements.b.data : "");
  if (n < 0 || (size_t)n >= sizeof(doc)) n = 0;
  count_request(0, src->size);
  http_send_obj_headers(s, &r->answer, 200, "application/xml", (uint64_t)n, SSE_ANSWER_HEADER);
  http_write_all(s, &r->answer, doc, (uint64_t)n);
}

// The copy's checksum: the algorithm asked with x-amz-checksum-algorithm, else the source's,
// else CRC64NVME. A whole-object value of the source's algorithm is kept as it is; any other
// (a composite, or another algorithm) is computed from the bytes copied. 0, or -1 when the
// copy cannot be read back.
int copy_checksum(int asked, const object_view *src, const char *copy_path, record_checksum *out) {
  const record_checksum *had = &src->sums.whole;
  int algo = asked != CK_NONE ? asked : stored_checksum_algo(had->algo);
  out->algo = algo;
  out->type = CK_TYPE_FULL_OBJECT;
  out->value[0] = 0;
  if (had->algo == algo && had->type == CK_TYPE_FULL_OBJECT && had->value[0]) {
    copy_text(out->value, sizeof out->value, had->value);
    return 0;
  }
  body_digests d;
  memset(&d, 0, sizeof d);
  if (ck_from_file(&d, algo, copy_path) != 0) return -1;
  char b64[CK_B64_CAP];
  ck_digest_b64(&d, algo, b64);
  copy_text(out->value, sizeof out->value, b64);
  return 0;
}

}  // namespace

void op_copy_object(plat_sock s, S3Request *r) {
  object_writer_guard w;
  if (begin_key_writer(&w.w, r) == -1) {
    answer_key_too_long(s, r);
    return;
  }
  copy_source src;
  if (open_copy_source(s, r, &src) != 0) return;

  uint64_t body_len = 0;
  int overflow = 0;
  if (request_length(r, &body_len, &overflow) && body_len)
    discard_body(s, r, body_len);
  const int replace = replace_directive(r);
  const int replace_tags = tagging_directive(r);
  commit_condition cond;
  if (check_copy_request(s, r, &src, replace, replace_tags) != 0 ||
      read_write_condition(s, r, &cond) != 0)
    return;
  int asked = CK_NONE;
  if (request_checksum_algo(s, r, &asked) != 0) return;

  char md5[33] = "";
  record_checksum sum;
  if (copy_to_temp(&w.w, &src, md5) != 0 ||
      copy_checksum(asked, &src.view.v, writer_temp_path(&w.w), &sum) != 0) {
    answer_error(s, r, 500, "InternalError", "Copy failed");
    return;
  }
  if (answer_key_conflict(s, r, 0)) return;
  char ctype[256];
  copy_content_type(r, replace, &src.view.v, ctype);
  char kept[S3_USER_META_CAP + S3_CONTENT_BLOCK_CAP];
  const char *meta = replace ? r->head : source_headers(&src.view.v, kept, sizeof kept);
  size_t meta_len = replace ? r->head_len : strlen(kept);
  dynbuf_guard block;
  if (copy_record_block(r, &src, replace_tags, meta, meta_len, &block.b) != 0) {
    answer_error(s, r, 500, "InternalError", "Copy failed");
    return;
  }
  int rc = writer_commit_object(&w.w, copy_etag(&src.view.v, md5), ctype, block.b.data,
                                block.b.len, &cond, nullptr, &sum);
  if (rc == COMMIT_PRECONDITION_FAILED || rc == COMMIT_NO_OBJECT || rc == COMMIT_SLOW_DOWN ||
      rc == COMMIT_NO_BUCKET) {
    answer_commit_verdict(s, r, rc, 0);
    return;
  }
  if (rc != 0) {
    if (answer_key_conflict(s, r, 0)) return;
    answer_error(s, r, 500, "InternalError", "Copy failed");
    return;
  }
  // The new version's id, and the source's when it has one.
  answer_version_lines(r, w.w.vid, 0);
  size_t used = strlen(r->answer.version_lines);
  if (src.view.v.version_id[0])
    snprintf(r->answer.version_lines + used, sizeof r->answer.version_lines - used,
             "x-amz-copy-source-version-id: %s\r\n", src.view.v.version_id);
  answer_copy_result(s, r, &src.view.v, md5, &sum);
}
