// AWS Signature Version 4 verification of request heads.
#pragma once

#include <cstddef>
#include <cstdint>

#include "http/request.h"

#define S3_EMPTY_SHA256 "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"

// The room for a refusal's further document elements. With the longest escaped path as its
// Resource, the error document still fits its writer's buffer.
constexpr size_t AUTH_ELEMENTS_MAX = 3072;

// What authentication decided about one request: status 0 lets it proceed; any other status
// (400 or 403) refuses it with that S3 error code and message, for the caller to answer.
struct auth_verdict {
  int status;
  const char *code;   // static text, or null when status is 0
  char message[256];  // the document's Message, placed in it as it stands
  // More elements of the document (StringToSign, ServerTime...), XML already escaped, or "".
  char elements[AUTH_ELEMENTS_MAX];
};

// The verdict on the request's signature, from its Authorization header or, for a presigned
// URL, from its X-Amz-* query parameters, over the path as the client sent it. A refusal also
// sets the last-error text; nothing is sent and nothing is counted here.
auth_verdict check_auth(const S3Request *r);

// The region of a credential scope: 1 to 63 visible ASCII characters, no "/" and no ",".
constexpr size_t SIGV4_REGION_MAX = 63;

// Parses "AWS4-HMAC-SHA256 Credential=key/date/region/...,SignedHeaders=...,Signature=...".
// Buffers of 128, 64, 64, 512 and 129 bytes. 0, or -1 when it does not parse.
int parse_sigv4_authz(const char *authz, char cred_key[128], char cred_date[64],
                      char region[SIGV4_REGION_MAX + 1], char signed_headers[512],
                      char signature[129]);

// 1 valid (or authentication off), 0 mismatch, -1 malformed or over a limit.
int verify_sigv4(const char *method, const char *path, const char *query, const char *authorization,
                 const char *host, const char *amz_date, const char *content_sha256,
                 const char *head, size_t head_len);

// The signing time as the request's string to sign carries it: x-amz-date, else the Date
// header written in x-amz-date's form, into iso[17]. 0, or -1 when neither reads.
int sigv4_signing_time(const char *amz_date, const char *head, size_t head_len, char iso[17]);

// The signing key for a credential date and region under s_secret_key, service s3. Any region
// is served: the scope the client signed with is the scope its signature is checked under.
void sigv4_signing_key(const char *cred_date, const char *region, unsigned char out[32]);

// The canonical query of a raw query text into out[cap]: pieces split at "&", empty ones
// dropped, each split at its first "=" into name and value, both percent-decoded and encoded
// again with the unreserved set (A-Z a-z 0-9 - _ . ~ kept, every other byte as %XX in upper
// case), sorted by name and then by value, joined as name=value. "+" is a plain byte (%2B); a
// "%" without two hexadecimal digits after it is a plain byte too. Returns its length, or -1
// when the query is longer than a request target can be or the result does not fit in cap - 1.
long sigv4_canonical_query(const char *query, char *out, size_t cap);
// The longest canonical query a request target can give: every byte written as %XX, every
// piece given its "=".
constexpr size_t SIGV4_CANON_QUERY_MAX = 3 * S3_QUERY_MAX + S3_QUERY_MAX / 2 + 1;

// 1 when the head carries an x-amz-* header whose name is not in the ";"-separated
// signed_headers list (compared without regard to case), else 0. The request line is skipped.
int sigv4_unsigned_amz_header(const char *signed_headers, const char *head, size_t head_len);


// The signature of a browser form upload: the HMAC of the base64 policy text under the signing
// key of the credential (access-key/date/region/s3/aws4_request, any region). 1 valid, 0
// mismatch (also another access key, service or terminator), -1 the credential does not parse.
// Compared in constant time.
int sigv4_verify_policy(const char *policy_b64, const char *credential, const char *signature);
