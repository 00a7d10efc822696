// AWS Signature Version 2: the "AWS key:signature" Authorization header, the AWSAccessKeyId /
// Expires / Signature query of a presigned URL, and the signature of a browser form's policy.
#pragma once

#include <cstddef>
#include <cstdint>

#include "auth/sigv4.h"

// 1 when an Authorization value names Version 2: "AWS " followed by anything.
int sigv2_is_header(const char *authorization);
// 1 when a query carries Version 2 query authentication (AWSAccessKeyId, Signature or both).
int sigv2_is_query(const char *query);

// Parses "AWS <key>:<signature>" (the key up to the last ":"): 0 with key and signature filled,
// or -1 when the value does not have that shape or a piece is empty or too long.
int parse_sigv2_authz(const char *authz, char key[128], char signature[129]);

// What a Version 2 string to sign is built from.
struct sigv2_request {
  const char *method;
  const char *resource;  // the path as sent, "/bucket" in front when the Host named the bucket
  const char *query;     // raw text after the first "?"
  const char *date_line; // the Date header, "" when x-amz-date is sent, or the Expires parameter
  const char *head;      // the raw request head (request line first)
  size_t head_len;
  // Query authentication: x-amz-* parameters stand for headers the request does not carry,
  // and content-type / content-md5 parameters for absent Content-Type / Content-MD5 headers,
  // as presigning clients move the headers they signed into the URL.
  int from_query;
};

// The string to sign:
//   method \n Content-MD5 \n Content-Type \n date \n canonical x-amz-* headers resource
// where every x-amz-* header (name lower-cased, value trimmed, repeated names joined by ",")
// makes one "name:value\n" line in name order, and the resource is followed by the query's
// sub-resources and response overrides, sorted by name, values percent-decoded. A malloc'd
// text with its length in *len, or null when memory runs out. Its size is bounded by the head
// and the request target.
char *sigv2_string_to_sign(const sigv2_request *in, size_t *len);

// The Base64 HMAC-SHA1 of sts under s_secret_key into out[29].
void sigv2_sign(const char *sts, size_t len, char out[29]);

// The verdicts on a Version 2 request into *v (status 0: let through). Header: the signing
// time (x-amz-date, else Date) within 15 minutes of the server's clock. Query: Expires not
// passed. A refusal sets the last-error text.
void sigv2_check_header(const S3Request *r, auth_verdict *v);
void sigv2_check_query(const S3Request *r, auth_verdict *v);

// A browser form's signature: the Base64 HMAC-SHA1 of the Base64 policy text. 1 valid, 0
// mismatch, -1 the access key is not the server's. Compared in constant time.
int sigv2_verify_policy(const char *policy_b64, const char *access_key, const char *signature);
