// Streamed uploads: the stream value of one request, body-mode selection, the chunk-signature
// chain, trailer capture, the end-of-body checksum and trailer-signature checks, and the
// x-amz-content-sha256 comparison for bodies that are not streamed.
#pragma once

#include <cstddef>
#include <cstdint>

struct S3Request;
struct body_digests;

// The stream of one request. The dispatcher zeroes one per request, selection fills it, the
// body reader moves it forward and clears it, and the uploading operation reads sigfail.
struct stream_state {
  int32_t aws_chunked;      // the body is framed as aws-chunked
  int32_t check_sigs;       // chunk signatures are verified and end-of-body checks run
  int32_t trailer_mode;     // trailing checksum and trailer signature verified at the end
  int32_t unsigned_chunks;  // STREAMING-UNSIGNED-PAYLOAD-TRAILER: bare sizes, no chunk signatures
  unsigned char signing_key[32];
  char amz_date[24];           // x-amz-date, at most 23 characters
  char scope_date[12];         // the first 8 characters of the credential date
  char region[64];             // the credential scope's region, at most 63 characters
  char prev_signature[65];     // what the next chunk signature chains from
  char trailer_signature[65];  // x-amz-trailer-signature as received
  char trailer_text[1024];     // the canonical trailer lines the trailer signature covers
  char crc_trailer[128];       // x-amz-checksum-crc32 trailer value
  int32_t ck_algo;             // a checksum trailer of another algorithm (http/checksum.h), or 0
  char ck_value[128];          // its value
  int32_t sigfail;  // the body failed a signature or checksum check: answer 403, not 500
};

// Chooses the body mode of a bucket or object request from x-amz-content-sha256 and
// x-amz-decoded-content-length, never from Content-Encoding (and arms the signature chain when the secret key is set). A request that
// is not streamed leaves st untouched.
void stream_select(stream_state *st, const S3Request *r);
// Loads the signing key, dates and seed signature; leaves check_sigs 0 when the Authorization
// value does not parse or a date is short.
void stream_arm(stream_state *st, const char *authorization, const char *amz_date,
                const char *content_hash);
// 1 valid, 0 mismatch, -1 malformed.
int verify_chunk_signature(const stream_state *st, const char *line, const char *chunk_sha_hex);
// Clears aws_chunked, check_sigs, trailer_mode, unsigned_chunks and the captured trailers;
// sigfail keeps its value for the uploading operation.
void stream_clear(stream_state *st);

// The steps the aws-chunked reader takes on the stream.
// After a data chunk arrived (only when check_sigs): 0, or -1 with the last-error text set
// ("aws-chunked chunk signature mismatch" sets sigfail).
int stream_chunk_step(stream_state *st, const char *line, const char *chunk_sha_hex);
// The terminal chunk's line (only when check_sigs): 0 or -1 as above.
int stream_terminal_step(stream_state *st, const char *line);
// One trailer line after the terminal chunk, its line end removed.
void stream_trailer_line(stream_state *st, const char *line);
// End of body: trailing checksums and the trailer signature, against the digests computed
// while receiving (path is read only for an algorithm nobody announced). 0, or -1 with the
// last-error text set, and sigfail or d->failed_trailer telling the answer.
int stream_end_checks(stream_state *st, body_digests *d, const char *path);

// 1 when content_sha256 names a SHA-256 digest (64 hexadecimal digits, not a keyword).
int payload_hash_is_digest(const char *content_sha256);
// 1 when content_sha256 is a digest that differs from sha (the payload's SHA-256), else 0.
int payload_hash_differs(const char *content_sha256, const unsigned char sha[32]);
