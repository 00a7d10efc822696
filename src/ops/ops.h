// Entry points of the S3 operations. The dispatcher calls exactly one per request; each writes
// its own answer and counts the request. bucket_dir is root/bucket.
#pragma once

#include "base/limits.h"
#include "http/request.h"
#include "http/response.h"
#include "store/tags.h"

// S3's message for a body that is not the XML document the operation takes.
inline constexpr char MALFORMED_XML[] =
    "The XML you provided was not well-formed or did not validate against our published schema.";
#include "platform/platform.h"

struct stream_state;  // the request's stream (auth/stream.h), read by the uploads

// One request on one connection, from head to answer (dispatch.cpp).
void handle_connection(plat_sock s);
// Answers one request whose head was read (by the connection engine); the caller frees it.
void serve_request(plat_sock s, S3Request *r);

// Service and buckets (bucket_ops.cpp)
void op_list_buckets(plat_sock s, S3Request *r);
void op_create_bucket(plat_sock s, S3Request *r, const char *bucket_dir);
void op_delete_bucket(plat_sock s, S3Request *r, const char *bucket_dir);
void op_head_bucket(plat_sock s, S3Request *r, const char *bucket_dir);
void op_get_bucket_location(plat_sock s, S3Request *r);

// Objects (object_put.cpp, object_get.cpp)
void op_put_object(plat_sock s, S3Request *r, stream_state *st);
void op_copy_object(plat_sock s, S3Request *r);
void op_get_object(plat_sock s, S3Request *r, int is_head);
void op_delete_object(plat_sock s, S3Request *r);

// Tagging (tagging.cpp): an object's tags live in its record, a bucket's beside its CORS rules.
void op_get_object_tagging(plat_sock s, S3Request *r);
void op_put_object_tagging(plat_sock s, S3Request *r, stream_state *st);
void op_delete_object_tagging(plat_sock s, S3Request *r);
void op_get_bucket_tagging(plat_sock s, S3Request *r);
void op_put_bucket_tagging(plat_sock s, S3Request *r, stream_state *st);
void op_delete_bucket_tagging(plat_sock s, S3Request *r);
// S3's answer to a tag set it refuses (for_bucket: the bucket's count limit), counted
// (0, uploaded).
void answer_tag_verdict(plat_sock s, S3Request *r, tag_verdict v, int for_bucket,
                        uint64_t uploaded);
// The x-amz-tagging header of a write that takes it (PutObject, CreateMultipartUpload): 0 when
// it is absent or a set S3 takes; -1 after the error answer.
int check_request_tagging(plat_sock s, S3Request *r);

// Listing (listing.cpp)
void op_list_objects(plat_sock s, S3Request *r, const char *bucket_dir);
// ListObjectVersions: every object is its one "null" version, as in a bucket that never had
// versioning.
void op_list_object_versions(plat_sock s, S3Request *r);

// Configurations kept by none (config_defaults.cpp). bucket_config_subresource gives the name
// of the first such bucket sub-resource the query carries, or null. The GET answers are those
// of a bucket without the configuration; a DELETE answers 204 and changes nothing.
const char *bucket_config_subresource(const char *query);
void op_get_bucket_config(plat_sock s, S3Request *r, const char *name);
void op_delete_bucket_config(plat_sock s, S3Request *r);
// Configurations kept per bucket (bucket_configs.cpp). bucket_config_kept: 1 when the
// configuration of that query name is one of them. PUT checks and stores the document (404 for
// a bucket that is no folder); GET answers it, or op_get_bucket_config's answer when none is
// stored; DELETE removes it, 204.
int bucket_config_kept(const char *name);
void op_put_kept_config(plat_sock s, S3Request *r, stream_state *st, const char *name);
void op_get_kept_config(plat_sock s, S3Request *r, const char *name);
void op_delete_kept_config(plat_sock s, S3Request *r, const char *name);
// GET ?policyStatus: IsPublic true while the stored policy opens the bucket to everyone.
void op_get_policy_status(plat_sock s, S3Request *r);
// 1 when the bucket's policy lets a request without credentials read the object key (or, with
// key null, list the bucket) and no public access block restricts it.
int policy_opens(const char *bucket, const char *key);
// GET key?acl: the owner's FULL_CONTROL. PUT key?acl: 200 for the canned "private" ACL with no
// body, 501 for anything else. Both 404 for a key that names no object.
void op_get_object_acl(plat_sock s, S3Request *r);
void op_put_object_acl(plat_sock s, S3Request *r);

// Multipart (multipart.cpp, multipart_list.cpp); upload_id is the validated uploadId value.
void op_initiate_multipart(plat_sock s, S3Request *r);
void op_upload_part(plat_sock s, S3Request *r, const char *upload_id, stream_state *st);
void op_upload_part_copy(plat_sock s, S3Request *r, const char *upload_id);
void op_complete_multipart(plat_sock s, S3Request *r, const char *upload_id, stream_state *st);
void op_abort_multipart(plat_sock s, S3Request *r, const char *upload_id);
void op_list_parts(plat_sock s, S3Request *r, const char *upload_id);
void op_list_multipart_uploads(plat_sock s, S3Request *r);

// Browser form uploads (post_object.cpp): 1 when r is a POST of multipart/form-data to a
// bucket, which authenticates with its signed policy instead of an Authorization header.
int is_form_upload(const S3Request *r);
void op_post_object(plat_sock s, S3Request *r);

// Multi-object delete (multi_delete.cpp)
void op_delete_objects(plat_sock s, S3Request *r, stream_state *st);

// Shared by the operations that store objects (object_put.cpp).
struct commit_condition;
// The content headers a stored object keeps (Cache-Control, Content-Disposition,
// Content-Encoding, Content-Language, Expires): 0 when each one given can be kept; -1 after a
// 400 InvalidArgument naming one that holds a control character or is too long.
int check_content_headers(plat_sock s, S3Request *r);
// If-None-Match and If-Match of a write into cond. 0, or -1 after the answer: 501 for an
// If-None-Match other than "*", 400 for an If-Match list too long to keep.
int read_write_condition(plat_sock s, S3Request *r, commit_condition *cond);
// 503 SlowDown, when the store's bucket lock was not granted in time (STORE_BUSY), counted
// with the bytes uploaded.
void answer_store_busy(plat_sock s, S3Request *r, uint64_t uploaded);
// The answer to object_commit's COMMIT_* verdicts: 412 PreconditionFailed, 404 NoSuchKey or
// 503 SlowDown, counted with the bytes uploaded.
void answer_commit_verdict(plat_sock s, S3Request *r, int verdict, uint64_t uploaded);

// Shared by CopyObject and UploadPartCopy (object_put.cpp): parses x-amz-copy-source by the
// request-path rules into bucket[64] and key[4096]. 0, or -1 when invalid.
int parse_copy_source(const char *value, char bucket[S3_BUCKET_MAX + 1], char key[S3_KEY_FIELD]);

// Common answers (dispatch.cpp). Each counts the request before it is sent.
// 501 NotImplemented for an unsupported feature, counted (0, 0).
void answer_not_implemented(plat_sock s, S3Request *r);
// An S3 error document naming the request path, counted (0, 0); extra_head as for send_error.
void answer_error(plat_sock s, S3Request *r, int status, const char *code, const char *message,
                  const char *extra_head = nullptr);
// The same after a request body was received: counted (0, uploaded).
void answer_upload_error(plat_sock s, S3Request *r, uint64_t uploaded, int status,
                         const char *code, const char *message);
// 400 KeyTooLongError: a path that object_path refuses is never acted on, counted (0, 0).
void answer_key_too_long(plat_sock s, S3Request *r);
// 409 KeyConflict, naming the stored key that keeps this request's key from being stored ("a"
// for "a/b", "a/x" for "a"), counted (0, uploaded). 1 when answered; 0 when the key can be
// stored (an empty directory in its place has then been removed).
int answer_key_conflict(plat_sock s, S3Request *r, uint64_t uploaded);
// The store's paths for r's bucket and key, worked out on the first call and kept in r, so that
// a write's checks, its writer and its second look at the key's place share one reckoning.
const request_paths *request_store_paths(S3Request *r);
// 200 with an XML document, counted with the given byte amounts.
void answer_xml(plat_sock s, const S3Request *r, const dynbuf *doc, uint64_t served,
                uint64_t uploaded);

// The parsers of request values and bodies that the operations above use, each a pure verdict.
// Range header against an object of size bytes (object_get.cpp): 1 with the first and last
// byte (inclusive), 0 when valid but unsatisfiable, -1 when it is no valid byte range (another
// unit, bad syntax, a last byte before the first), which a read ignores. Every range of a list
// must be valid; only the first one is served.
int parse_range(const char *value, uint64_t size, uint64_t *first, uint64_t *last);
// One entry of a Complete request: the part number and the ETag the client gave (may be empty).
struct completion_entry {
  uint32_t part;
  char etag[80];
  int ck_algo;             // the part's checksum element, CK_NONE when it has none
  char ck_value[64];       // its text as sent
};
// Parses the Part elements of a Complete body (multipart.cpp) into list, which has room for
// S3_PARTS_MAX. The count, or a negative verdict (multipart.cpp's PARTS_ values): more
// entries than that, a part number missing or not a number, or one outside 1..10000.
long parse_completion_list(const char *body, size_t len, completion_entry *list);
// The next <Key> of a DeleteObjects body from *pos on (multi_delete.cpp): 1 with the key's text
// (XML references decoded) in key and *pos moved past it; 0 when there is none, or when the
// next one is longer than a key can be (which ends the processing).
int delete_body_next_key(const char *body, size_t len, size_t *pos, char key[S3_KEY_FIELD]);
// The VersionId of the Object element that holds the key just read (from: where the search for
// that key began; key_end: the *pos it left) into vid[40]: 0 none, 1 read, -1 not one this
// store gives.
int delete_body_version_id(const char *body, size_t len, size_t from, size_t key_end,
                           char vid[40]);

// Promises this server cannot keep (header_rules.cpp). Customer-key (SSE-C) and key-service
// (aws:kms, aws:kms:dsse) encryption answer 501 and Object Lock 400 InvalidRequest, before
// anything is stored; x-amz-server-side-encryption: AES256 is accepted, and every stored object
// is answered with SSE_ANSWER_HEADER, as S3 answers for its default encryption (the data itself
// lies in plain files).
enum header_verdict {
  HDR_KEPT = 0,         // nothing asked that is not done
  HDR_NOT_IMPLEMENTED,  // 501 NotImplemented
  HDR_BAD_ENCRYPTION,   // 400 InvalidArgument: an x-amz-server-side-encryption S3 does not know
  HDR_NO_OBJECT_LOCK,   // 400 InvalidRequest "Bucket is missing Object Lock Configuration"
};
extern const char SSE_ANSWER_HEADER[];  // "x-amz-server-side-encryption: AES256\r\n"
// Checks the headers of an object request (reads, writes, parts, Initiate) before its body is
// taken: 1 when refused and answered, 0 when it may go on.
int refuse_unkept_promises(plat_sock s, S3Request *r);
// The verdict on one field of a browser form, which stores an object as a PutObject does.
header_verdict field_promise_verdict(const char *name, const char *value);
// 200 with the XML result of a write that stored or will store an object (Initiate, Complete),
// with SSE_ANSWER_HEADER; counted as answer_xml.
void answer_stored_xml(plat_sock s, const S3Request *r, const dynbuf *doc, uint64_t served,
                       uint64_t uploaded);
// Answers a verdict other than HDR_KEPT, counted (0, 0).
void answer_header_verdict(plat_sock s, S3Request *r, header_verdict v);
