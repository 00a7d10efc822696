// The life of one request on its connection: head, path rules, authentication, stream mode,
// then routing by path shape, method and query to exactly one operation.
#include <cstdio>
#include <cstring>

#include "auth/sigv4.h"
#include "auth/stream.h"
#include "base/state.h"
#include "http/body.h"
#include "http/request.h"
#include "http/response.h"
#include "ops/cors.h"
#include "ops/ops.h"
#include "store/layout.h"
#include "store/walk.h"

static const char kNotImplemented[] =
    "A header you provided implies functionality that is not implemented";

// Bucket sub-resources this server does not keep; refused whatever the method.
static const char *const kBucketSubresources[] = {
    "versioning", "tagging",       "lifecycle", "lifecycleConfiguration",
    "acl",        "policy",        "replication",
    "website",    "logging",       "notifications", "requestPayment",
    "analytics",  "inventory",     "metrics",   "accelerate",
    "object-lock"};

// Object sub-resources. Without this refusal PUT key?acl or PUT key?tagging would reach
// PutObject and replace the object's data with the sub-resource document, and DELETE
// key?tagging would delete the object. Tagging is listed apart: a GET of it is answered (with
// an empty tag set), every other method is refused like the rest.
static const char *const kObjectSubresources[] = {"acl",     "retention", "legal-hold", "torrent",
                                                  "restore", "select",    "attributes"};

void answer_error(plat_sock s, S3Request *r, int status, const char *code, const char *message,
                  const char *extra_head) {
  count_request(0, 0);
  send_error(s, status, code, message, r->path, extra_head);
}

void answer_upload_error(plat_sock s, S3Request *r, uint64_t uploaded, int status,
                         const char *code, const char *message) {
  count_request(0, uploaded);
  send_error(s, status, code, message, r->path, nullptr);
}

void answer_not_implemented(plat_sock s, S3Request *r) {
  answer_error(s, r, 501, "NotImplemented", kNotImplemented);
}

void answer_key_too_long(plat_sock s, S3Request *r) {
  answer_error(s, r, 400, "KeyTooLongError", "Your key is too long");
}

int answer_key_conflict(plat_sock s, S3Request *r, uint64_t uploaded) {
  char conflict[S3_KEY_FIELD];
  if (key_placement(r->bucket, r->key, conflict) != 1) return 0;
  // The message names the key in the way; it is cut so the document stays whole.
  char escaped[1024];
  xml_escape_str(conflict, escaped, sizeof escaped);
  char message[sizeof escaped + 64];
  snprintf(message, sizeof message, "The key cannot be stored beside the existing key \"%s\"",
           escaped);
  answer_upload_error(s, r, uploaded, 409, "KeyConflict", message);
  return 1;
}

void answer_xml(plat_sock s, const dynbuf *doc, uint64_t served, uint64_t uploaded) {
  count_request(served, uploaded);
  http_send_obj_headers(s, 200, "application/xml", doc->len, nullptr);
  http_write_all(s, doc->data, doc->len);
}

static int has_any(const char *query, const char *const *names, size_t count) {
  for (size_t i = 0; i < count; i++)
    if (qhas(query, names[i])) return 1;
  return 0;
}

// An uploadId of the form this server gives out: 32 lowercase hexadecimal digits. Any other
// value names no upload, and can name no directory either.
static int valid_upload_id(const char *v) {
  if (!v || strlen(v) != 32) return 0;
  for (const char *p = v; *p; p++)
    if (!((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f'))) return 0;
  return 1;
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

// 400 for a bucket or key name that is not a file name on every platform the store runs on.
static void answer_unportable_name(plat_sock s, S3Request *r) {
  const char *why = name_portability_problem(r->bucket);
  const char *what = why ? "Bucket name" : "Key";
  if (!why) why = name_portability_problem(r->key);
  char msg[256];
  snprintf(msg, sizeof msg, "%s is not a valid file name on every platform this server runs on: %s",
           what, why ? why : "unknown");
  answer_error(s, r, 400, "InvalidArgument", msg);
}

static void route_bucket(plat_sock s, S3Request *r, stream_state *st) {
  if (qhas(r->query, "cors")) {
    char dir[S3_FS_PATH];
    if (object_path(r->bucket, nullptr, dir) != 0)
      answer_error(s, r, 400, "InvalidRequest", "Invalid request path");
    else
      route_bucket_cors(s, r, st, dir);
    return;
  }
  if (has_any(r->query, kBucketSubresources,
              sizeof kBucketSubresources / sizeof kBucketSubresources[0])) {
    answer_not_implemented(s, r);
    return;
  }
  char dir[S3_FS_PATH];
  if (object_path(r->bucket, nullptr, dir) != 0) {
    answer_error(s, r, 400, "InvalidRequest", "Invalid request path");
    return;
  }
  const char *m = r->method;
  if (ieq(m, "PUT")) {
    op_create_bucket(s, r, dir);
  } else if (ieq(m, "DELETE")) {
    op_delete_bucket(s, r, dir);
  } else if (ieq(m, "GET")) {
    plat_stat_t st;
    if (plat_stat(dir, &st) != 0) {
      answer_error(s, r, 404, "NoSuchBucket", "The specified bucket does not exist");
    } else if (qhas(r->query, "location")) {
      op_get_bucket_location(s, r);
    } else if (qhas(r->query, "uploads")) {
      op_list_multipart_uploads(s, r);
    } else {
      op_list_objects(s, r, dir);
    }
  } else if (ieq(m, "HEAD")) {
    op_head_bucket(s, r, dir);
  } else if (ieq(m, "POST") && qhas(r->query, "delete")) {
    op_delete_objects(s, r, st);
  } else if (is_form_upload(r)) {
    op_post_object(s, r);
  } else {
    answer_error(s, r, 405, "MethodNotAllowed", "Method not supported for buckets");
  }
}

static int has_copy_source(const S3Request *r) {
  owned_str src(hdr_value(r->head, r->head_len, "x-amz-copy-source"));
  return !src.empty();
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

static void route_object(plat_sock s, S3Request *r, stream_state *st) {
  const char *m = r->method;
  if (has_any(r->query, kObjectSubresources,
              sizeof kObjectSubresources / sizeof kObjectSubresources[0])) {
    answer_not_implemented(s, r);
    return;
  }
  if (qhas(r->query, "tagging")) {
    if (ieq(m, "GET"))
      op_get_object_tagging(s, r);
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
  char dir[S3_FS_PATH];
  if (object_path(r->bucket, nullptr, dir) != 0 || !is_directory(dir)) {
    answer_error(s, r, 404, "NoSuchBucket", "The specified bucket does not exist");
    return 1;
  }
  // A part goes to the upload's own folder; the key's place is checked at completion.
  if (ieq(r->method, "PUT") && qhas(r->query, "uploadId")) return 0;
  return answer_key_conflict(s, r, 0);
}

// An OPTIONS request from a browser names its origin; one without is no preflight and keeps
// the answer every unsupported method gets.
static int is_cors_preflight(const S3Request *r) {
  if (!ieq(r->method, "OPTIONS")) return 0;
  owned_str origin(hdr_value(r->head, r->head_len, "Origin"));
  return origin.get() != nullptr;
}

static int authenticate(plat_sock s, const S3Request *r) {
  // The signature covers the path as sent, before a bucket.localhost Host rewrote it.
  return check_auth(r->method, request_sent_path(r), r->query, r->authorization, r->host, r->amz_date,
                    r->content_sha256, s, r->head, r->head_len);
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
  if (r->is_service) {
    if (!authenticate(s, r)) return;
    if (ieq(r->method, "GET"))
      op_list_buckets(s, r);
    else
      answer_error(s, r, 405, "MethodNotAllowed", "Only GET on / is supported");
    return;
  }
  int parsed = parse_bucket_key(r);
  if (parsed != 0 || (r->key[0] && !key_is_storable(r->key))) {
    set_error("bad path: %s", r->path);
    if (parsed == -2)
      answer_error(s, r, 400, "InvalidBucketName", "The specified bucket is not valid.");
    else if (parsed == -3)
      answer_unportable_name(s, r);
    else
      answer_error(s, r, 400, "InvalidRequest", "Invalid request path");
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
  if (cors_lines->len) http_set_request_headers(cors_lines->data);
  // A browser form upload carries no Authorization header: its signed policy is checked
  // by the upload itself.
  if (!is_form_upload(r) && !authenticate(s, r)) return;
  stream_select(st, r);
  if (r->key[0] && refuse_object_write(s, r)) return;
  if (refuse_unkept_promises(s, r)) return;
  send_continue_if_expected(s, r);
  if (r->key[0])
    route_object(s, r, st);
  else
    route_bucket(s, r, st);
}

void handle_connection(plat_sock s) {
  // The stream of this request's body: selected after authentication, moved forward by the
  // body reader, read by the upload that answers. It lives and dies with the request.
  stream_state st;
  memset(&st, 0, sizeof st);
  S3Request r;
  dynbuf_guard cors_lines;
  if (read_request_head(s, &r) == 0) run_request(s, &r, &st, &cors_lines.b);
  http_set_request_headers(nullptr);
  request_free(&r);
}
