// The parsed request of one connection, the head reader, and the lookups every later stage uses.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/limits.h"
#include "base/text.h"
#include "digest/checksum.h"
#include "http/response.h"
#include "platform/platform.h"

constexpr size_t S3_METHOD_MAX = 15;
// A target always fits whole, as the request line holds at most 4599 characters; a target cut
// to fit would name another key or leave part of its query unread (and unsigned).
constexpr size_t S3_TARGET_MAX = 4599;
constexpr size_t S3_VERSION_MAX = 15;
constexpr size_t S3_AUTHZ_MAX = 2047;
constexpr size_t S3_HOST_MAX = 511;
constexpr size_t S3_AMZ_DATE_MAX = 63;
constexpr size_t S3_SHA256_HDR_MAX = 127;
// The query is kept whole (it is never longer than the target), so that the operations read
// exactly the parameters the signature covers.
constexpr size_t S3_QUERY_MAX = S3_TARGET_MAX;
constexpr size_t S3_PATH_MAX = 4351;
constexpr size_t S3_HEAD_INITIAL = 8192;
constexpr size_t S3_REQUEST_LINE_MAX = 4599;

// The headers that more than one stage reads, each found once by the head reader (first
// occurrence, name case-insensitive, value trimmed, as hdr_value finds it).
struct head_fields {
  int cl_present;             // a Content-Length header is there
  int cl_empty;               // ... and its value is empty
  int cl_kind;                // read_content_length's reading of the value (CL_*)
  uint64_t cl_framed;         // the length the body framing takes (framed_content_length)
  int cl_framed_over;         // framed_content_length found it negative or beyond 64 bits
  char cl_text[41];           // the value's first 40 characters, for the error log
  int te_chunked;             // Transfer-Encoding is "chunked"
  unsigned ck_present;        // bit 1 << algo: that algorithm's x-amz-checksum-* header is there
  unsigned ck_nonempty;       // ... and its value is not empty
  // Each present value base64-decoded: one byte beyond the largest digest tells a too-long
  // value from an exact one.
  unsigned char ck_bytes[CK_COUNT][33];
  size_t ck_len[CK_COUNT];
  int decoded_present;        // x-amz-decoded-content-length is there
  int decoded_ok;             // ... and is one decimal number, decoded_len
  uint64_t decoded_len;
  int copy_source_present;    // x-amz-copy-source is there; its value is head[at, at + len)
  size_t copy_source_at;
  size_t copy_source_len;
};

// Finds the headers of head_fields in head[0, head_len) into *f.
void read_head_fields(const char *head, size_t head_len, head_fields *f);

// The store's paths for the request's bucket and key, worked out once per request (the
// operations' request_store_paths): each is usable only when its flag says so.
struct request_paths {
  int ready;                     // 1 once worked out
  int bucket_ok;                 // bucket_dir holds the bucket's folder
  int key_ok;                    // key_file holds the key's file (0: the key has no path)
  char bucket_dir[S3_FS_PATH];
  char key_file[S3_FS_PATH];
};

struct S3Request {
  char method[S3_METHOD_MAX + 1];
  char target[S3_TARGET_MAX + 1];
  char version[S3_VERSION_MAX + 1];
  char *head;          // every byte received so far (head and early body bytes), NUL-terminated
  size_t head_cap;     // bytes allocated for head
  size_t received;     // bytes held in head
  size_t head_len;     // length of the head including its empty line
  char authorization[S3_AUTHZ_MAX + 1];
  char host[S3_HOST_MAX + 1];
  char amz_date[S3_AMZ_DATE_MAX + 1];
  char content_sha256[S3_SHA256_HDR_MAX + 1];
  char query[S3_QUERY_MAX + 1];  // raw text after the first '?'
  char path[S3_PATH_MAX + 1];    // raw target before the first '?'
  char bucket[S3_BUCKET_MAX + 1];
  char key[S3_KEY_FIELD];        // percent-decoded
  const char *body_prefix;       // head + head_len: body bytes that came with the head
  size_t body_prefix_len;
  int is_service;                // path is "/" or holds no '/'
  size_t vhost_len;              // length of the "/bucket" a bucket.localhost Host put before path
  head_fields fields;            // the headers read more than once, found by the head reader
  answer_context answer;         // what every answer to it carries; filled by the dispatcher
  request_paths paths;           // filled on first use by request_store_paths
};

// The path as the client sent it, which its signature covers: for a request addressed by a
// bucket.localhost Host, path without the "/bucket" put in front of it.
inline const char *request_sent_path(const S3Request *r) { return r->path + r->vhost_len; }

// Reads and parses one request head from s. 0 with *r filled,
// or -1 when the connection is to be dropped unanswered (it is then shut down both ways, so the
// closing handshake does not wait on a client that is still sending). On both results the caller
// calls request_free.
int read_request_head(plat_sock s, S3Request *r);
// For heads received by the connection front: after more bytes arrived in buf[from,
// received) (NUL-terminated at received), the head's length once it is complete, 0 while it
// is not, -1 when it never can be (a NUL byte before its end, where the text search stops).
long head_scan(const char *buf, size_t from, size_t received);
// Takes the complete head in buf (malloc'd, cap bytes, received of them held) and parses it as
// read_request_head does. 0, or -1 when the request is to be dropped unanswered; on both
// results r owns buf and the caller calls request_free.
int request_from_head(S3Request *r, char *buf, size_t cap, size_t received, size_t head_len);
// Works out from the parsed head whether the client lets the connection carry another request
// and where the body ends, into c; cuts body_prefix to the body's own bytes. Returns how many
// bytes behind them (at body_prefix + body_prefix_len) belong to the next request.
size_t request_frame(S3Request *r, struct http_conn *c);
// Splits r->path into its bucket segment and percent-decoded key, and nothing more: the name
// rules are store/names.h's names_check_request. 0 split; -1 the key does not decode (a
// malformed escape, an encoded NUL, a "." or ".." segment, a segment over 255 bytes decoded,
// or a key over 4095 bytes), r->key then empty; -2 the bucket segment is longer than any
// bucket name, r->bucket then empty.
int parse_bucket_key(S3Request *r);
// 1 when every name and value of the raw query, percent-decoded, is UTF-8.
int query_is_utf8(const char *query);
// Sends the interim "100 Continue" when the request asks for it. Called once the request is
// known to go on to its operation: a refusal answered before the body goes out instead.
void send_continue_if_expected(plat_sock s, const S3Request *r);
void request_free(S3Request *r);

// A header's trimmed value (first occurrence, name case-insensitive), malloc'd; null if absent.
char *hdr_value(const char *region, size_t len, const char *name);
// Where that value lies: 1 with region[*at, *at + *n), or 0 when the header is absent.
int hdr_span(const char *region, size_t len, const char *name, size_t *at, size_t *n);
// The x-amz-copy-source value, malloc'd; null if absent.
char *request_copy_source(const S3Request *r);
// The Content-Length as hdr_u64 reads it: 1 when present (*out its framed length, *overflow
// set when negative or beyond 64 bits), 0 when absent.
int request_length(const S3Request *r, uint64_t *out, int *overflow);
// A query parameter's raw value when it appears as name=..., malloc'd; null otherwise.
char *qparam(const char *query, const char *name);
// 1 when the query holds the parameter with or without a value.
int qhas(const char *query, const char *name);

// Header value as unsigned 64-bit decimal (leading blanks skipped). 0 absent/empty/no digits;
// returns 1 when present and parsed, 0 when absent; *overflow set when beyond 64 bits or negative.
int hdr_u64(const char *region, size_t len, const char *name, uint64_t *out, int *overflow);
