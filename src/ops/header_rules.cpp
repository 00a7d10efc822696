// Requests that ask for what this server cannot give: customer-key and key-service encryption,
// and Object Lock. They are refused before anything is stored, so no client is told that its
// data is encrypted under its key or locked when it lies in a plain file anyone can replace.
// The default encryption S3 reports for every object (AES256) is accepted and answered back.
#include <cstring>

#include "base/state.h"
#include "base/text.h"
#include "http/request.h"
#include "http/response.h"
#include "ops/ops.h"

const char SSE_ANSWER_HEADER[] = "x-amz-server-side-encryption: AES256\r\n";

namespace {

const char kNoObjectLock[] = "Bucket is missing Object Lock Configuration";
const char kBadEncryption[] = "The encryption method specified is not supported";

// What a request asks of the object it names, which decides the headers that count.
enum request_kind {
  KIND_NONE = 0,  // headers of these families ask for nothing here
  KIND_READ,      // GET, HEAD: a customer key names how to decrypt
  KIND_PART,      // UploadPart, UploadPartCopy, Complete: the upload decided the rest
  KIND_CREATE,    // PutObject, CopyObject, InitiateMultipartUpload, a browser form
};

// 1 when name[0..n) begins with prefix, compared without regard to case.
int name_starts(const char *name, size_t n, const char *prefix) {
  size_t k = strlen(prefix);
  if (n < k) return 0;
  for (size_t i = 0; i < k; i++)
    if (ascii_lower(name[i]) != ascii_lower(prefix[i])) return 0;
  return 1;
}

int name_is(const char *name, size_t n, const char *want) {
  return strlen(want) == n && name_starts(name, n, want);
}

int value_is(const char *value, size_t n, const char *want) {
  return strlen(want) == n && memcmp(value, want, n) == 0;
}

// The verdict on one header (or form field) of a request of that kind; an empty value asks for
// nothing.
header_verdict verdict_for(const char *name, size_t name_len, const char *value, size_t value_len,
                           request_kind kind) {
  if (kind == KIND_NONE || value_len == 0) return HDR_KEPT;
  // The key travels with every request that touches the object, reads included.
  if (name_starts(name, name_len, "x-amz-server-side-encryption-customer-"))
    return HDR_NOT_IMPLEMENTED;
  if (kind != KIND_READ &&
      name_starts(name, name_len, "x-amz-copy-source-server-side-encryption-customer-"))
    return HDR_NOT_IMPLEMENTED;
  if (kind != KIND_CREATE) return HDR_KEPT;
  if (name_is(name, name_len, "x-amz-server-side-encryption")) {
    if (value_is(value, value_len, "AES256")) return HDR_KEPT;
    if (value_is(value, value_len, "aws:kms") || value_is(value, value_len, "aws:kms:dsse"))
      return HDR_NOT_IMPLEMENTED;
    return HDR_BAD_ENCRYPTION;
  }
  // A key-service key or context only means something under aws:kms.
  if (name_is(name, name_len, "x-amz-server-side-encryption-aws-kms-key-id") ||
      name_is(name, name_len, "x-amz-server-side-encryption-context"))
    return HDR_NOT_IMPLEMENTED;
  if (name_is(name, name_len, "x-amz-object-lock-mode") ||
      name_is(name, name_len, "x-amz-object-lock-retain-until-date") ||
      name_is(name, name_len, "x-amz-object-lock-legal-hold"))
    return HDR_NO_OBJECT_LOCK;
  return HDR_KEPT;
}

// The kind of an object request, by method and query as the router tells them apart.
request_kind kind_of(const S3Request *r) {
  if (!r->key[0]) return KIND_NONE;
  if (ieq(r->method, "GET") || ieq(r->method, "HEAD")) return KIND_READ;
  int in_upload = qhas(r->query, "uploadId");
  if (ieq(r->method, "PUT")) return in_upload ? KIND_PART : KIND_CREATE;
  if (ieq(r->method, "POST")) {
    if (in_upload) return KIND_PART;
    return qhas(r->query, "uploads") ? KIND_CREATE : KIND_NONE;
  }
  return KIND_NONE;
}

// The worst verdict over the header lines of head[0..len) (the request line skipped): a lock
// refusal first, as it names the bucket's state, then 501, then a bad encryption value.
header_verdict head_verdict(const char *head, size_t len, request_kind kind) {
  header_verdict worst = HDR_KEPT;
  const char *p = (const char *)memchr(head, '\n', len);
  const char *end = head + len;
  while (p && ++p < end) {
    const char *eol = (const char *)memchr(p, '\n', (size_t)(end - p));
    const char *line_end = eol ? eol : end;
    const char *colon = (const char *)memchr(p, ':', (size_t)(line_end - p));
    if (colon) {
      const char *v = colon + 1;
      const char *ve = line_end;
      while (v < ve && (*v == ' ' || *v == '\t')) v++;
      while (ve > v && (ve[-1] == '\r' || ve[-1] == ' ' || ve[-1] == '\t')) ve--;
      header_verdict h = verdict_for(p, (size_t)(colon - p), v, (size_t)(ve - v), kind);
      if (h == HDR_NO_OBJECT_LOCK || (h == HDR_NOT_IMPLEMENTED && worst != HDR_NO_OBJECT_LOCK) ||
          (h == HDR_BAD_ENCRYPTION && worst == HDR_KEPT))
        worst = h;
    }
    p = eol;
  }
  return worst;
}

}  // namespace

header_verdict field_promise_verdict(const char *name, const char *value) {
  return verdict_for(name, strlen(name), value, strlen(value), KIND_CREATE);
}

void answer_header_verdict(plat_sock s, S3Request *r, header_verdict v) {
  if (v == HDR_NO_OBJECT_LOCK)
    answer_error(s, r, 400, "InvalidRequest", kNoObjectLock);
  else if (v == HDR_BAD_ENCRYPTION)
    answer_error(s, r, 400, "InvalidArgument", kBadEncryption);
  else
    answer_not_implemented(s, r);
}

int refuse_unkept_promises(plat_sock s, S3Request *r) {
  header_verdict v = head_verdict(r->head, r->head_len, kind_of(r));
  if (v == HDR_KEPT) return 0;
  answer_header_verdict(s, r, v);
  return 1;
}

void answer_stored_xml(plat_sock s, const S3Request *r, const dynbuf *doc, uint64_t served,
                       uint64_t uploaded) {
  count_request(served, uploaded);
  http_send_obj_headers(s, &r->answer, 200, "application/xml", doc->len, SSE_ANSWER_HEADER);
  http_write_all(s, &r->answer, doc->data, doc->len);
}
