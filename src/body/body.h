// Request body reception: fixed length, HTTP chunked and aws-chunked framing into a file, plus
// the small in-memory and discarding readers the XML operations use.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/limits.h"
#include "digest/checksum.h"
#include "digest/running.h"
#include "http/request.h"
#include "platform/platform.h"

struct stream_state;



// Receives one body into out_path (created or truncated), framed as st says (null: a body
// that is not streamed). 0 with etag_out (32 lowercase hex digits) and *len_out set; -1 with
// the last-error text set (and st->sigfail for signature and checksum failures). digests may
// be null. st is cleared at the end (stream_clear), unless out_path cannot be created.
int read_body_to_file(plat_sock sock, const char *head, size_t head_len, const char *prefix,
                      size_t prefix_len, const char *out_path, char etag_out[33],
                      uint64_t *len_out, body_digests *digests, stream_state *st);

// Outcome of an upload that failed: the S3 answer the operation sends.
struct upload_error {
  int status;
  const char *code;
  const char *message;
};

// Receives an upload body (PutObject, UploadPart) into path and runs every payload check:
// streaming signatures and trailers (st, the request's stream), x-amz-content-sha256,
// Content-MD5 and x-amz-checksum-*. 0 on success; -1 with the file removed and *err set
// (internal_message is the 500 text). *len_out holds the bytes received in both cases (for
// the traffic counters).
// sum, when given with an algorithm, has that checksum of the payload computed and its Base64
// value set on success.
int receive_upload(plat_sock sock, const S3Request *r, stream_state *st, const char *path,
                   const char *internal_message, char etag_out[33], uint64_t *len_out,
                   upload_error *err, ck_value *sum = nullptr);

// Reads a request body whole into memory (the XML of CompleteMultipartUpload and
// DeleteObjects), in any framing (Content-Length, HTTP chunked, aws-chunked with its signature
// checks), at most max bytes of payload. The body is then held to x-amz-content-sha256 when
// that is a digest, and to Content-MD5 and x-amz-checksum-* when sent. 0 with *out (malloc'd,
// NUL-terminated, caller frees; "" for an empty body) and *len; -1 with *err set: 400
// MaxMessageLengthExceeded beyond max, 400 XAmzContentSHA256Mismatch, 400 BadDigest or
// InvalidDigest, 403 SignatureDoesNotMatch for a failed stream, 411 MissingContentLength for a
// stream with nothing to carry it, 400 IncompleteBody otherwise.
// object_checksums: the x-amz-checksum-* headers describe the object the request makes (as on
// CompleteMultipartUpload), not this body, and are left to the operation.
int read_whole_body(plat_sock sock, const S3Request *r, stream_state *st, size_t max, char **out,
                    size_t *len, upload_error *err, int object_checksums = 0);

// A streamed body (st says aws-chunked) must come with Content-Length or HTTP chunked framing:
// 0 when it does or when the body is not streamed; -1 with *err set (411 MissingContentLength)
// otherwise. Checked before the client is told to send its body.
int stream_length_check(const S3Request *r, const stream_state *st, upload_error *err);

// The Content-Length header, when present, must be one decimal number: 0 when it is (or when
// it is absent); -1 with *err set when it is empty (400 MissingContentLength), negative or not
// a number (400 InvalidArgument).
int content_length_check(const S3Request *r, upload_error *err);

// Reads up to want body bytes into dst (prefix first, then the socket, through a buffer).
// Stops early when the peer closes or the receive times out. Returns the bytes stored.
size_t read_body_to_mem(plat_sock sock, const S3Request *r, char *dst, size_t want);
// Reads and drops n body bytes the same way.
void discard_body(plat_sock sock, const S3Request *r, uint64_t n);
