// Bucket CORS: the configuration document's rules, the preflight answer and the headers an
// actual cross-origin request gets.
#pragma once

#include <cstddef>

#include "http/request.h"
#include "http/response.h"
#include "platform/platform.h"

struct stream_state;

constexpr size_t CORS_BODY_MAX = 65536;  // bytes of a PutBucketCors body
constexpr size_t CORS_RULES_MAX = 100;   // rules in one configuration
constexpr size_t CORS_VALUE_MAX = 1023;  // characters of one decoded element value

// Checks a CORSConfiguration document and writes its rules, in a fixed element order and
// escaped, into out (the form stored and returned). 0 valid; -1 malformed: no rule, a rule
// without AllowedOrigin or AllowedMethod, a method other than GET PUT POST DELETE HEAD, more
// than one "*" in an AllowedOrigin or AllowedHeader, an unknown element, a control character
// in a value, a MaxAgeSeconds that is not a number, more than CORS_RULES_MAX rules.
int cors_normalize(const char *body, size_t len, dynbuf *out);

// The rule of a stored configuration that allows a request from origin with method and the
// comma-separated request headers (null or "" for none). 1 with the answer's header lines
// appended to lines (each ended by CR LF; preflight adds Allow-Headers and the preflight
// Vary), 0 when no rule allows it.
int cors_match(const char *doc, size_t len, const char *origin, const char *method,
               const char *request_headers, int preflight, dynbuf *lines);

// 1 when text matches pattern, which holds at most one "*" standing for any run of
// characters; ci: compare without regard to ASCII case.
int cors_wildcard_match(const char *pattern, const char *text, int ci);

// PUT, GET and DELETE /bucket?cors (the bucket exists).
void op_put_bucket_cors(plat_sock s, S3Request *r, stream_state *st);
void op_get_bucket_cors(plat_sock s, S3Request *r);
void op_delete_bucket_cors(plat_sock s, S3Request *r);
// OPTIONS on the service, a bucket or an object path: answered from the bucket's rules,
// unauthenticated.
void op_cors_preflight(plat_sock s, S3Request *r);
// The lines every answer to this request carries when it has an Origin header that a rule of
// its bucket allows for its method (and Vary: Origin whenever the bucket has rules), written
// into lines; nothing for other requests.
void cors_actual_headers(const S3Request *r, dynbuf *lines);
