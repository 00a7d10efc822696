// AWS Signature Version 4 verification of request heads: the Authorization parser, the canonical
// request, the signing key and check_auth, the gate every request passes before any operation.
//
// The canonical request is rebuilt from the bytes as received: method, path and query are never
// decoded, re-encoded or normalised, and signed headers keep the order the client listed them in.
// A client that canonicalises differently gets a mismatch, never a guess.
#include "auth/sigv4.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "auth/hash.h"
#include "base/date.h"
#include "base/state.h"
#include "base/text.h"
#include "http/response.h"

namespace {

constexpr char SCHEME[] = "AWS4-HMAC-SHA256 ";  // 17 characters, matched without regard to case
constexpr size_t SCHEME_LEN = sizeof SCHEME - 1;
constexpr char CREDENTIAL[] = "Credential=";
constexpr char SIGNED_HEADERS[] = "SignedHeaders=";
constexpr char SIGNATURE[] = "Signature=";
constexpr char REGION[] = "us-east-1";
constexpr char SERVICE[] = "s3";

constexpr size_t HEADER_NAME_MAX = 127;
constexpr size_t HEADER_VALUE_MAX = 1023;
constexpr size_t HEADER_LINE_MAX = 1023;
constexpr size_t CANON_HEADERS_MAX = 8191;  // block plus one must stay within this
constexpr size_t QUERY_TEXT_MAX = 2047;
constexpr size_t QUERY_PIECES_MAX = 64;
constexpr size_t CANON_QUERY_MAX = 4095;
constexpr size_t CANON_REQUEST_MAX = 8191;  // the five variable parts plus 128

constexpr long SKEW_MAX_SECONDS = 900;

// Overwrites key material before its stack frame is reused.
void wipe(void *p, size_t n) {
  volatile unsigned char *v = (volatile unsigned char *)p;
  while (n--) *v++ = 0;
}

// Offset of needle within hay[0..hay_len), or -1. Never looks beyond hay_len.
long find_in(const char *hay, size_t hay_len, const char *needle) {
  size_t n = strlen(needle);
  if (n > hay_len) return -1;
  for (size_t i = 0; i + n <= hay_len; i++)
    if (memcmp(hay + i, needle, n) == 0) return (long)i;
  return -1;
}

// Offset of the first c within s[0..len), or -1.
long find_char(const char *s, size_t len, char c) {
  const void *p = memchr(s, c, len);
  return p ? (long)((const char *)p - s) : -1;
}

// Copies n bytes into dst when n lies within [min_len, max_len] (dst holds max_len + 1).
int take_piece(char *dst, const char *src, size_t n, size_t min_len, size_t max_len) {
  if (n < min_len || n > max_len) return -1;
  memcpy(dst, src, n);
  dst[n] = 0;
  return 0;
}

struct span {
  const char *p;
  size_t n;
};

bool span_less(const span &a, const span &b) {
  size_t m = a.n < b.n ? a.n : b.n;
  int c = memcmp(a.p, b.p, m);
  if (c != 0) return c < 0;
  return a.n < b.n;
}

// Appends one canonical header line for the already lower-cased name; 0, or -1 when the block
// would grow beyond its limit.
int append_header_line(char *block, size_t *block_len, const char *name, const char *value) {
  char cut_value[HEADER_VALUE_MAX + 1];
  copy_text(cut_value, sizeof cut_value, value);
  char line[HEADER_LINE_MAX + 1];
  int w = snprintf(line, sizeof line, "%s:%s\n", name, cut_value);
  if (w < 0) return -1;
  size_t line_len = (size_t)w < sizeof line ? (size_t)w : sizeof line - 1;
  if (*block_len + line_len + 1 > CANON_HEADERS_MAX) return -1;
  memcpy(block + *block_len, line, line_len);
  *block_len += line_len;
  block[*block_len] = 0;
  return 0;
}

// The canonical headers block in SignedHeaders order into block[CANON_HEADERS_MAX + 1]:
// 0, 1 when a signed header is missing from the request, -1 when malformed or too long.
int build_canonical_headers(const char *signed_headers, const char *host, const char *amz_date,
                            const char *content_sha256, const char *head, size_t head_len,
                            char *block, size_t *block_len) {
  *block_len = 0;
  block[0] = 0;
  size_t sh_len = strlen(signed_headers);
  size_t pos = 0;
  // A ";" at the very end leaves pos == sh_len and so simply ends the list.
  while (pos < sh_len) {
    size_t end = pos;
    while (end < sh_len && signed_headers[end] != ';') end++;
    size_t n = end - pos;
    if (n == 0 || n > HEADER_NAME_MAX) return -1;
    char name[HEADER_NAME_MAX + 1];
    for (size_t i = 0; i < n; i++) name[i] = ascii_lower(signed_headers[pos + i]);
    name[n] = 0;

    int rc;
    if (strcmp(name, "host") == 0) {
      rc = append_header_line(block, block_len, name, host);
    } else if (strcmp(name, "x-amz-date") == 0) {
      rc = append_header_line(block, block_len, name, amz_date);
    } else if (strcmp(name, "x-amz-content-sha256") == 0) {
      rc = append_header_line(block, block_len, name, content_sha256);
    } else {
      owned_str v(head ? hdr_value(head, head_len, name) : nullptr);
      if (!v.get()) return 1;
      rc = append_header_line(block, block_len, name, v.get());
    }
    if (rc != 0) return -1;
    pos = end + 1;
  }
  return 0;
}

// Reads one number the way a "%<width>d" conversion does: leading white space skipped, an optional
// sign and the digits together at most width characters, at least one digit.
int scan_int(const char **pp, int width, int *out) {
  const char *p = *pp;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) p++;
  size_t n = 0;
  while (n < (size_t)width && p[n]) n++;
  // A minus before anything but zero fails here: no field of a date is negative.
  uint64_t v = 0;
  size_t used = 0;
  if (parse_decimal(p, n, INT32_MAX, DEC_SIGN | DEC_PREFIX, &v, &used) != 0) return -1;
  *out = (int)v;
  *pp = p + used;
  return 0;
}

// Seconds since 1970 of an x-amz-date such as 20130524T000000Z (the Z is not required), or 0 when
// the text does not read as such a time, so that no skew check applies.
int64_t amz_date_seconds(const char *amz_date) {
  if (strlen(amz_date) < 15) return 0;
  const char *p = amz_date;
  civil_time tm;
  memset(&tm, 0, sizeof tm);
  if (scan_int(&p, 4, &tm.year) || scan_int(&p, 2, &tm.month) || scan_int(&p, 2, &tm.day)) return 0;
  if (*p != 'T') return 0;
  p++;
  if (scan_int(&p, 2, &tm.hour) || scan_int(&p, 2, &tm.minute) || scan_int(&p, 2, &tm.second))
    return 0;
  int64_t t = 0;
  if (seconds_from_civil(&tm, &t) != 0 || t <= 0) return 0;
  return t;
}

void refuse(plat_sock sock, const char *path, const char *code, const char *message) {
  count_request(0, 0);
  send_error(sock, 403, code, message, path, nullptr);
}

}  // namespace

int parse_sigv4_authz(const char *authz, char cred_key[128], char cred_date[64],
                      char signed_headers[512], char signature[129]) {
  cred_key[0] = cred_date[0] = signed_headers[0] = signature[0] = 0;
  size_t len = strlen(authz);
  if (len < SCHEME_LEN) return -1;
  for (size_t i = 0; i < SCHEME_LEN; i++)
    if (ascii_lower(authz[i]) != ascii_lower(SCHEME[i])) return -1;
  const char *rest = authz + SCHEME_LEN;
  size_t rest_len = len - SCHEME_LEN;

  // Credential=<key>/<date>/...: the region, service and terminator are not read.
  long c = find_in(rest, rest_len, CREDENTIAL);
  if (c < 0) return -1;
  const char *k = rest + c + (sizeof CREDENTIAL - 1);
  size_t k_room = rest_len - (size_t)c - (sizeof CREDENTIAL - 1);
  long slash1 = find_char(k, k_room, '/');
  if (slash1 < 0) return -1;
  const char *d = k + slash1 + 1;
  long slash2 = find_char(d, k_room - (size_t)slash1 - 1, '/');
  if (slash2 < 0) return -1;
  if (take_piece(cred_key, k, (size_t)slash1, 0, 127) || take_piece(cred_date, d, (size_t)slash2, 0, 63))
    return -1;

  long h = find_in(rest, rest_len, SIGNED_HEADERS);
  if (h < 0) return -1;
  const char *hv = rest + h + (sizeof SIGNED_HEADERS - 1);
  size_t h_room = rest_len - (size_t)h - (sizeof SIGNED_HEADERS - 1);
  long comma = find_char(hv, h_room, ',');
  if (comma < 0 || take_piece(signed_headers, hv, (size_t)comma, 0, 511)) return -1;

  long s = find_in(rest, rest_len, SIGNATURE);
  if (s < 0) return -1;
  const char *sv = rest + s + (sizeof SIGNATURE - 1);
  size_t s_room = rest_len - (size_t)s - (sizeof SIGNATURE - 1);
  long s_end = find_char(sv, s_room, ',');
  size_t s_len = s_end < 0 ? s_room : (size_t)s_end;
  if (take_piece(signature, sv, s_len, 8, 128)) return -1;
  return 0;
}

long sigv4_canonical_query(const char *query, char *out, size_t cap) {
  if (cap == 0) return -1;
  out[0] = 0;
  size_t qlen = strlen(query);
  if (qlen > QUERY_TEXT_MAX) return -1;
  span pieces[QUERY_PIECES_MAX];
  size_t count = 0;
  size_t pos = 0;
  while (pos < qlen && count < QUERY_PIECES_MAX) {
    size_t end = pos;
    while (end < qlen && query[end] != '&') end++;
    if (end > pos) pieces[count++] = span{query + pos, end - pos};
    pos = end + 1;
  }
  std::sort(pieces, pieces + count, span_less);

  size_t limit = cap - 1 < CANON_QUERY_MAX ? cap - 1 : CANON_QUERY_MAX;
  size_t n = 0;
  for (size_t i = 0; i < count; i++) {
    bool has_eq = memchr(pieces[i].p, '=', pieces[i].n) != nullptr;
    size_t need = (i ? 1 : 0) + pieces[i].n + (has_eq ? 0 : 1);
    if (n + need > limit) {
      out[0] = 0;
      return -1;
    }
    if (i) out[n++] = '&';
    memcpy(out + n, pieces[i].p, pieces[i].n);
    n += pieces[i].n;
    if (!has_eq) out[n++] = '=';
  }
  out[n] = 0;
  return (long)n;
}

void sigv4_signing_key(const char *cred_date, unsigned char out[32]) {
  char secret[4 + sizeof s_secret_key];
  int w = snprintf(secret, sizeof secret, "AWS4%s", s_secret_key);
  size_t secret_len = w < 0 ? 0 : ((size_t)w < sizeof secret ? (size_t)w : sizeof secret - 1);
  unsigned char k_date[32], k_region[32], k_service[32];
  hmac_sha256(secret, secret_len, cred_date, strlen(cred_date), k_date);
  hmac_sha256(k_date, 32, REGION, sizeof REGION - 1, k_region);
  hmac_sha256(k_region, 32, SERVICE, sizeof SERVICE - 1, k_service);
  hmac_sha256(k_service, 32, "aws4_request", 12, out);
  wipe(secret, sizeof secret);
  wipe(k_date, 32);
  wipe(k_region, 32);
  wipe(k_service, 32);
}

int verify_sigv4(const char *method, const char *path, const char *query, const char *authorization,
                 const char *host, const char *amz_date, const char *content_sha256,
                 const char *head, size_t head_len) {
  if (!s_secret_key[0]) return 1;
  char cred_key[128], cred_date[64], signed_headers[512], signature[129];
  if (parse_sigv4_authz(authorization, cred_key, cred_date, signed_headers, signature) != 0) return -1;
  if (s_access_key[0] && strcmp(cred_key, s_access_key) != 0) return 0;

  char headers[CANON_HEADERS_MAX + 1];
  size_t headers_len = 0;
  int hrc = build_canonical_headers(signed_headers, host, amz_date, content_sha256, head, head_len,
                                    headers, &headers_len);
  if (hrc < 0) return -1;
  if (hrc > 0) return 0;

  char cquery[CANON_QUERY_MAX + 1];
  long cq_len = sigv4_canonical_query(query, cquery, sizeof cquery);
  if (cq_len < 0) return -1;

  size_t method_len = strlen(method), path_len = strlen(path), sh_len = strlen(signed_headers);
  if (method_len + path_len + (size_t)cq_len + headers_len + sh_len + 128 > CANON_REQUEST_MAX)
    return -1;

  const char *payload = content_sha256[0] ? content_sha256 : S3_EMPTY_SHA256;
  // Room for the parts above plus the payload hash (at most 127 characters) and five line feeds.
  char creq[CANON_REQUEST_MAX + 256];
  int cr_len = snprintf(creq, sizeof creq, "%s\n%s\n%s\n%s\n%s\n%s", method, path, cquery, headers,
                        signed_headers, payload);
  if (cr_len < 0 || (size_t)cr_len >= sizeof creq) return -1;
  char creq_hash[65];
  sha256_hex(creq, (size_t)cr_len, creq_hash);

  char sts[512];
  int sts_len = snprintf(sts, sizeof sts, "AWS4-HMAC-SHA256\n%s\n%s/%s/%s/aws4_request\n%s", amz_date,
                         cred_date, REGION, SERVICE, creq_hash);
  if (sts_len < 0 || (size_t)sts_len >= sizeof sts) return -1;

  unsigned char key[32], mac[32];
  sigv4_signing_key(cred_date, key);
  hmac_sha256(key, 32, sts, (size_t)sts_len, mac);
  char expected[65];
  hex_encode(mac, 32, expected);
  int ok = const_time_eq(expected, 64, signature, strlen(signature));
  wipe(key, sizeof key);
  wipe(mac, sizeof mac);
  wipe(expected, sizeof expected);
  return ok ? 1 : 0;
}

int check_auth(const char *method, const char *path, const char *query, const char *authorization,
               const char *host, const char *amz_date, const char *content_sha256, plat_sock sock,
               const char *head, size_t head_len) {
  if (!s_access_key[0] || !s_secret_key[0]) return 1;

  int64_t t = amz_date_seconds(amz_date);
  if (t > 0) {
    int64_t diff = server_now() - t;
    if (diff < 0) diff = -diff;
    if (diff > SKEW_MAX_SECONDS) {
      set_error("RequestTimeTooSkewed (%lds)", (long)diff);
      refuse(sock, path, "RequestTimeTooSkewed",
             "The difference between the request time and the server's time is too large");
      return 0;
    }
  }

  if (!authorization[0]) {
    set_error("Access Denied: missing Authorization header");
    refuse(sock, path, "AccessDenied", "Access Denied");
    return 0;
  }

  int rc = verify_sigv4(method, path, query, authorization, host, amz_date, content_sha256, head,
                        head_len);
  if (rc == 1) return 1;
  set_error("SigV4 verification failed (%s)", rc == 0 ? "signature mismatch" : "bad authorization");
  refuse(sock, path, "SignatureDoesNotMatch",
         "The request signature we calculated does not match the signature you provided");
  return 0;
}
