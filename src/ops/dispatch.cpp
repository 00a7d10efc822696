// The life of one request on its connection: head, path rules, authentication, stream mode,
// then routing by path shape, method and query to exactly one operation.
#include <cstdio>
#include <cstring>

#include "auth/sigv4.h"
#include "auth/stream.h"
#include "base/state.h"
#include "body/body.h"
#include "http/request.h"
#include "http/response.h"
#include "ops/cors.h"
#include "ops/checksums.h"
#include "ops/ops.h"
#include "store/files.h"
#include "store/layout.h"
#include "store/names.h"
#include "store/walk.h"

static const char kNotImplemented[] =
    "A header you provided implies functionality that is not implemented";

// Object sub-resources answered by themselves: ?acl is read (and a private ACL set), ?tagging
// read, replaced and removed; every other method and every other of these is refused. Without
// this table PUT key?acl would reach PutObject and replace the object's data with the ACL
// document, and DELETE key?tagging would delete the object.
static const char *const kObjectSubresources[] = {"acl",     "tagging", "retention", "legal-hold",
                                                  "torrent", "restore", "select",    "attributes"};

// Bucket sub-resources with an operation of their own here. The configurations this server
// does not keep are config_defaults.cpp's; every other query parameter is no sub-resource and
// leaves the request to the bucket's plain operation.
static const char *const kBucketServed[] = {"location", "uploads", "versions", "delete"};

void answer_error(plat_sock s, S3Request *r, int status, const char *code, const char *message,
                  const char *extra_head) {
  count_request(0, 0);
  send_error(s, &r->answer, status, code, message, r->path, extra_head);
}

void answer_upload_error(plat_sock s, S3Request *r, uint64_t uploaded, int status,
                         const char *code, const char *message) {
  count_request(0, uploaded);
  send_error(s, &r->answer, status, code, message, r->path, nullptr);
}

void answer_not_implemented(plat_sock s, S3Request *r) {
  answer_error(s, r, 501, "NotImplemented", kNotImplemented);
}

void answer_key_too_long(plat_sock s, S3Request *r) {
  answer_error(s, r, 400, "KeyTooLongError", "Your key is too long");
}

const request_paths *request_store_paths(S3Request *r) {
  request_paths *p = &r->paths;
  if (!p->ready) {
    p->bucket_ok = object_path(r->bucket, nullptr, p->bucket_dir) == 0;
    p->key_ok = r->key[0] && object_path(r->bucket, r->key, p->key_file) == 0;
    p->ready = 1;
  }
  return p;
}

int answer_key_conflict(plat_sock s, S3Request *r, uint64_t uploaded) {
  const request_paths *p = request_store_paths(r);
  if (!p->bucket_ok || !p->key_ok) return 0;
  char conflict[S3_KEY_FIELD];
  if (key_placement_at(r->bucket, r->key, p->bucket_dir, p->key_file, conflict) != 1) return 0;
  // The message names the key in the way; it is cut so the document stays whole.
  char escaped[1024];
  xml_escape_str(conflict, escaped, sizeof escaped);
  char message[sizeof escaped + 64];
  snprintf(message, sizeof message, "The key cannot be stored beside the existing key \"%s\"",
           escaped);
  answer_upload_error(s, r, uploaded, 409, "KeyConflict", message);
  return 1;
}

void answer_xml(plat_sock s, const S3Request *r, const dynbuf *doc, uint64_t served,
                uint64_t uploaded) {
  count_request(served, uploaded);
  http_send_obj_headers(s, &r->answer, 200, "application/xml", doc->len, nullptr);
  http_write_all(s, &r->answer, doc->data, doc->len);
}

static int has_any(const char *query, const char *const *names, size_t count) {
  for (size_t i = 0; i < count; i++)
    if (qhas(query, names[i])) return 1;
  return 0;
}

static int has_copy_source(const S3Request *r) {
  return r->fields.copy_source_present && r->fields.copy_source_len > 0;
}

// The copy source names its key by the path's rules; one that is not UTF-8 names nothing.
static int copy_source_is_utf8(const S3Request *r) {
  owned_str src(request_copy_source(r));
  if (src.empty()) return 1;
  pct_decode(src.p);
  return text_is_utf8(src.p, strlen(src.p));
}

// PUT, GET and DELETE /bucket?cors, on a bucket that exists.
static void route_bucket_cors(plat_sock s, S3Request *r, stream_state *st, const char *dir) {
  const char *m = r->method;
  if (!ieq(m, "PUT") && !ieq(m, "GET") && !ieq(m, "DELETE")) {
    answer_error(s, r, 405, "MethodNotAllowed", "Method not supported for buckets");
  } else if (!is_directory(dir)) {
    answer_error(s, r, 404, "NoSuchBucket", "The specified bucket does not exist");
  } else if (ieq(m, "PUT")) {
    op_put_bucket_cors(s, r, st);
  } else if (ieq(m, "GET")) {
    op_get_bucket_cors(s, r);
  } else {
    op_delete_bucket_cors(s, r);
  }
}

// PUT, GET and DELETE /bucket?tagging, on a bucket that exists; HEAD is HeadBucket.
static void route_bucket_tagging(plat_sock s, S3Request *r, stream_state *st, const char *dir) {
  const char *m = r->method;
  if (ieq(m, "HEAD")) {
    op_head_bucket(s, r, dir);
  } else if (!ieq(m, "PUT") && !ieq(m, "GET") && !ieq(m, "DELETE")) {
    answer_error(s, r, 405, "MethodNotAllowed", "Method not supported for buckets");
  } else if (!is_directory(dir)) {
    answer_error(s, r, 404, "NoSuchBucket", "The specified bucket does not exist");
  } else if (ieq(m, "PUT")) {
    op_put_bucket_tagging(s, r, st);
  } else if (ieq(m, "GET")) {
    op_get_bucket_tagging(s, r);
  } else {
    op_delete_bucket_tagging(s, r);
  }
}

// 400 for a bucket name that is not a directory name on every platform the store runs on.
static void answer_unportable_name(plat_sock s, S3Request *r) {
  const char *why = name_portability_problem(r->bucket);
  char msg[256];
  snprintf(msg, sizeof msg,
           "Bucket name is not a valid file name on every platform this server runs on: %s",
           why ? why : "unknown");
  answer_error(s, r, 400, "InvalidArgument", msg);
}

// Whether a bucket exists for the operations that only read it: anything of that name in the
// root, as ListBuckets shows it (a symbolic link is none).
static int bucket_entry_exists(const char *dir) {
  plat_stat_t st;
  return plat_lstat(dir, &st) == 0 && !st.is_link;
}

// A configuration of a bucket that exists: one kept here is stored, answered and removed; one
// this server keeps none of is never a listing, never a DeleteBucket, never a PUT that claims
// to have stored something.
static void route_bucket_config(plat_sock s, S3Request *r, stream_state *st, const char *dir,
                                const char *name) {
  const char *m = r->method;
  int kept = bucket_config_kept(name);
  if (!bucket_entry_exists(dir)) {
    answer_error(s, r, 404, "NoSuchBucket", "The specified bucket does not exist");
  } else if (kept && ieq(m, "GET")) {
    op_get_kept_config(s, r, name);
  } else if (kept && ieq(m, "PUT")) {
    op_put_kept_config(s, r, st, name);
  } else if (kept && ieq(m, "DELETE")) {
    op_delete_kept_config(s, r, name);
  } else if (ieq(m, "GET") && strcmp(name, "policyStatus") == 0) {
    op_get_policy_status(s, r);
  } else if (ieq(m, "GET")) {
    op_get_bucket_config(s, r, name);
  } else if (ieq(m, "HEAD")) {
    op_head_bucket(s, r, dir);
  } else if (ieq(m, "PUT")) {
    answer_not_implemented(s, r);
  } else if (ieq(m, "DELETE")) {
    op_delete_bucket_config(s, r);
  } else {
    answer_error(s, r, 405, "MethodNotAllowed", "Method not supported for buckets");
  }
}

// ?location, ?uploads, ?versions and ?delete: each on its one method; HEAD is HeadBucket.
static void route_bucket_served(plat_sock s, S3Request *r, stream_state *st, const char *dir) {
  const char *m = r->method;
  if (ieq(m, "HEAD")) {
    op_head_bucket(s, r, dir);
  } else if (ieq(m, "POST") && qhas(r->query, "delete")) {
    op_delete_objects(s, r, st);
  } else if (!ieq(m, "GET") || qhas(r->query, "delete")) {
    answer_error(s, r, 405, "MethodNotAllowed", "Method not supported for buckets");
  } else if (!bucket_entry_exists(dir)) {
    answer_error(s, r, 404, "NoSuchBucket", "The specified bucket does not exist");
  } else if (qhas(r->query, "location")) {
    op_get_bucket_location(s, r);
  } else if (qhas(r->query, "uploads")) {
    op_list_multipart_uploads(s, r);
  } else {
    op_list_object_versions(s, r);
  }
}

static void route_bucket(plat_sock s, S3Request *r, stream_state *st) {
  char dir[S3_FS_PATH];
  if (object_path(r->bucket, nullptr, dir) != 0) {
    answer_error(s, r, 400, "InvalidRequest", "Invalid request path");
    return;
  }
  if (qhas(r->query, "cors")) {
    route_bucket_cors(s, r, st, dir);
    return;
  }
  if (qhas(r->query, "tagging")) {
    route_bucket_tagging(s, r, st, dir);
    return;
  }
  if (const char *config = bucket_config_subresource(r->query)) {
    route_bucket_config(s, r, st, dir, config);
    return;
  }
  if (has_any(r->query, kBucketServed, sizeof kBucketServed / sizeof kBucketServed[0])) {
    route_bucket_served(s, r, st, dir);
    return;
  }
  const char *m = r->method;
  if (ieq(m, "PUT")) {
    op_create_bucket(s, r, dir);
  } else if (ieq(m, "DELETE")) {
    op_delete_bucket(s, r, dir);
  } else if (ieq(m, "GET")) {
    if (!bucket_entry_exists(dir))
      answer_error(s, r, 404, "NoSuchBucket", "The specified bucket does not exist");
    else
      op_list_objects(s, r, dir);
  } else if (ieq(m, "HEAD")) {
    op_head_bucket(s, r, dir);
  } else if (is_form_upload(r)) {
    op_post_object(s, r);
  } else {
    answer_error(s, r, 405, "MethodNotAllowed", "Method not supported for buckets");
  }
}


// A request that carries uploadId at all is a multipart request, whatever its value: an id
// that names no upload must never turn UploadPart into PutObject or Abort into DeleteObject.
static void route_multipart(plat_sock s, S3Request *r, stream_state *st) {
  const char *m = r->method;
  owned_str part(qparam(r->query, "partNumber"));
  int routed = (ieq(m, "PUT") && part.p) || ieq(m, "POST") || ieq(m, "DELETE") || ieq(m, "GET");
  if (!routed) {
    answer_error(s, r, 405, "MethodNotAllowed", "Method not allowed for multipart");
    return;
  }
  owned_str id(qparam(r->query, "uploadId"));
  if (!valid_upload_id(id.p)) {
    set_error("malformed uploadId");
    answer_error(s, r, 404, "NoSuchUpload",
                 "The specified upload does not exist. The upload ID may be invalid, or the "
                 "upload may have been aborted or completed.");
    return;
  }
  const char *upload_id = id.p;
  if (ieq(m, "PUT")) {
    if (has_copy_source(r))
      op_upload_part_copy(s, r, upload_id);
    else
      op_upload_part(s, r, upload_id, st);
  } else if (ieq(m, "POST")) {
    op_complete_multipart(s, r, upload_id, st);
  } else if (ieq(m, "DELETE")) {
    op_abort_multipart(s, r, upload_id);
  } else {
    op_list_parts(s, r, upload_id);
  }
}

static int has_object_subresource(const S3Request *r) {
  return has_any(r->query, kObjectSubresources,
                 sizeof kObjectSubresources / sizeof kObjectSubresources[0]);
}

static void route_object(plat_sock s, S3Request *r, stream_state *st) {
  const char *m = r->method;
  if (has_object_subresource(r)) {
    // Exactly one of them, on its own method; a second one beside it is refused too.
    int several = 0;
    for (const char *n : kObjectSubresources) several += qhas(r->query, n);
    // A tag change beside an upload's parameters asks for two things at once.
    const int multipart = qhas(r->query, "uploadId") || qhas(r->query, "uploads");
    if (several == 1 && qhas(r->query, "acl") && ieq(m, "GET"))
      op_get_object_acl(s, r);
    else if (several == 1 && qhas(r->query, "acl") && ieq(m, "PUT"))
      op_put_object_acl(s, r);
    else if (several == 1 && qhas(r->query, "tagging") && ieq(m, "GET"))
      op_get_object_tagging(s, r);
    else if (several == 1 && qhas(r->query, "attributes") && ieq(m, "GET"))
      op_get_object_attributes(s, r);
    else if (several == 1 && qhas(r->query, "tagging") && ieq(m, "PUT") && !multipart)
      op_put_object_tagging(s, r, st);
    else if (several == 1 && qhas(r->query, "tagging") && ieq(m, "DELETE") && !multipart)
      op_delete_object_tagging(s, r);
    else
      answer_not_implemented(s, r);
    return;
  }
  if (qhas(r->query, "uploadId")) {
    route_multipart(s, r, st);
    return;
  }
  if (qhas(r->query, "uploads") && (ieq(m, "POST") || ieq(m, "PUT"))) {
    op_initiate_multipart(s, r);
  } else if (ieq(m, "PUT")) {
    if (has_copy_source(r))
      op_copy_object(s, r);
    else
      op_put_object(s, r, st);
  } else if (ieq(m, "GET")) {
    op_get_object(s, r, 0);
  } else if (ieq(m, "HEAD")) {
    op_get_object(s, r, 1);
  } else if (ieq(m, "DELETE")) {
    op_delete_object(s, r);
  } else {
    answer_error(s, r, 405, "MethodNotAllowed", "Method not supported for objects");
  }
}

// A write that stores an object (PUT: PutObject, CopyObject, UploadPart; POST: initiating or
// completing a multipart upload) is refused before its body is read, and so instead of the
// interim answer, when the bucket does not exist (it is never created on the way) or when the
// tree cannot hold the key beside a stored one. 1 when refused and answered.
static int refuse_object_write(plat_sock s, S3Request *r) {
  if (!ieq(r->method, "PUT") && !ieq(r->method, "POST")) return 0;
  const request_paths *p = request_store_paths(r);
  if (!p->bucket_ok || !is_directory(p->bucket_dir)) {
    answer_error(s, r, 404, "NoSuchBucket", "The specified bucket does not exist");
    return 1;
  }
  // A part goes to the upload's own folder; the key's place is checked at completion. A
  // sub-resource stores no object and must not clear an empty directory in the key's place.
  if (ieq(r->method, "PUT") && qhas(r->query, "uploadId")) return 0;
  if (has_object_subresource(r)) return 0;
  return answer_key_conflict(s, r, 0);
}

// Every OPTIONS on a bucket or key is a preflight, answered from the bucket's CORS rules alone
// and never from credentials a browser does not send; one without an Origin is refused there.
static int is_cors_preflight(const S3Request *r) { return ieq(r->method, "OPTIONS"); }

// A request that names no credential at all: no Authorization header and none of the query
// parameters of a presigned URL. Only such a request may be let in by a bucket's policy; one
// with a signature that does not check is refused whatever the policy says.
static int carries_no_credentials(const S3Request *r) {
  static const char *const kQueryAuth[] = {"X-Amz-Algorithm", "X-Amz-Credential", "X-Amz-Signature",
                                           "AWSAccessKeyId", "Signature"};
  return !r->authorization[0] &&
         !has_any(r->query, kQueryAuth, sizeof kQueryAuth / sizeof kQueryAuth[0]);
}

// 1 when the request's key names a stored object (a regular file in its place).
static int public_key_exists(S3Request *r) {
  const request_paths *p = request_store_paths(r);
  uint64_t size = 0;
  int64_t mtime = 0;
  int is_dir = 0;
  return p->key_ok && file_info(p->key_file, &size, &mtime, &is_dir) == 0 && !is_dir;
}

// The reads a public bucket serves to everyone: GetObject and HeadObject of a key (no
// sub-resource, no upload, no version), and the bucket's listing and HeadBucket; each only
// when the bucket's policy allows it.
static int public_read_allowed(S3Request *r) {
  if (!r->bucket[0] || (!ieq(r->method, "GET") && !ieq(r->method, "HEAD"))) return 0;
  if (r->key[0]) {
    if (has_object_subresource(r) || qhas(r->query, "uploadId") || qhas(r->query, "uploads") ||
        qhas(r->query, "versionId"))
      return 0;
    if (!policy_opens(r->bucket, r->key)) return 0;
    // As on S3, whoever may not list the bucket learns nothing of the keys it does not hold:
    // a missing key is refused like any other request, not answered 404.
    return public_key_exists(r) || policy_opens(r->bucket, nullptr);
  }
  if (qhas(r->query, "cors") || bucket_config_subresource(r->query) ||
      has_any(r->query, kBucketServed, sizeof kBucketServed / sizeof kBucketServed[0]))
    return 0;
  return policy_opens(r->bucket, nullptr);
}

// 1 when authentication lets the request through; 0 after answering its refusal, whose
// document names the path as sent (the one the signature covers, before a bucket.localhost
// Host rewrote it).
static int authenticate(plat_sock s, S3Request *r) {
  auth_verdict v = check_auth(r);
  if (v.status == 0) return 1;
  if (carries_no_credentials(r) && public_read_allowed(r)) {
    // S3 takes the response-* overrides only from a signed request.
    static const char *const kOverrides[] = {
        "response-content-type", "response-cache-control", "response-content-disposition",
        "response-content-encoding", "response-content-language", "response-expires"};
    if (!has_any(r->query, kOverrides, sizeof kOverrides / sizeof kOverrides[0])) return 1;
    answer_error(s, r, 400, "InvalidRequest",
                 "Request specific response headers cannot be used for anonymous GET requests.");
    return 0;
  }
  count_request(0, 0);
  send_error(s, &r->answer, v.status, v.code, v.message, request_sent_path(r), nullptr,
             v.elements[0] ? v.elements : nullptr);
  return 0;
}

static void run_request(plat_sock s, S3Request *r, stream_state *st, dynbuf *cors_lines) {
  {
    // A Content-Length that is not one number leaves the body's end unknown.
    upload_error bad;
    if (content_length_check(r, &bad) != 0) {
      answer_error(s, r, bad.status, bad.code, bad.message);
      return;
    }
  }
  // A key, prefix or marker that is not UTF-8 names nothing S3 could hold.
  if (!query_is_utf8(r->query)) {
    answer_error(s, r, 400, "InvalidURI", "Couldn't parse the specified URI.");
    return;
  }
  if (r->is_service) {
    if (ieq(r->method, "OPTIONS")) {
      op_cors_preflight(s, r);
      return;
    }
    if (!authenticate(s, r)) return;
    if (ieq(r->method, "GET"))
      op_list_buckets(s, r);
    else
      answer_error(s, r, 405, "MethodNotAllowed", "Only GET on / is supported");
    return;
  }
  name_verdict names = names_check_request(r, parse_bucket_key(r));
  if (names != NAME_OK) {
    set_error("bad path: %s", r->path);
    if (names == NAME_BAD_BUCKET)
      answer_error(s, r, 400, "InvalidBucketName", "The specified bucket is not valid.");
    else if (names == NAME_UNPORTABLE)
      answer_unportable_name(s, r);
    else if (names == NAME_NOT_UTF8)
      answer_error(s, r, 400, "InvalidURI", "Couldn't parse the specified URI.");
    else
      answer_error(s, r, 400, "InvalidRequest", "Invalid request path");
    return;
  }
  if (r->key[0] && !copy_source_is_utf8(r)) {
    answer_error(s, r, 400, "InvalidArgument", "Invalid copy source");
    return;
  }
  // Browsers send a preflight without credentials: it is answered from the bucket's CORS
  // rules alone. Every other answer to a request from an allowed origin, refusals of
  // authentication included, carries the CORS headers, so the page can read it.
  if (is_cors_preflight(r)) {
    op_cors_preflight(s, r);
    return;
  }
  cors_actual_headers(r, cors_lines);
  if (cors_lines->len) r->answer.lines = cors_lines->data;
  // A browser form upload carries no Authorization header: its signed policy is checked
  // by the upload itself.
  if (!is_form_upload(r) && !authenticate(s, r)) return;
  stream_select(st, r);
  {
    upload_error bad;
    if (stream_length_check(r, st, &bad) != 0) {
      answer_error(s, r, bad.status, bad.code, bad.message);
      return;
    }
  }
  if (r->key[0] && refuse_object_write(s, r)) return;
  if (refuse_unkept_promises(s, r)) return;
  send_continue_if_expected(s, r);
  if (r->key[0])
    route_object(s, r, st);
  else
    route_bucket(s, r, st);
}

void serve_request(plat_sock s, S3Request *r) {
  // The stream of this request's body: selected after authentication, moved forward by the
  // body reader, read by the upload that answers. It lives and dies with the request.
  stream_state st;
  memset(&st, 0, sizeof st);
  dynbuf_guard cors_lines;
  r->answer.head_only = ieq(r->method, "HEAD");
  run_request(s, r, &st, &cors_lines.b);
  http_flush_held();
}

void handle_connection(plat_sock s) {
  S3Request r;
  if (read_request_head(s, &r) == 0) serve_request(s, &r);
  request_free(&r);
}
