// AWS Signature Version 4 verification of request heads: the Authorization parser, the canonical
// request, the signing key and check_auth, the gate every request passes before any operation.
//
// The canonical request is rebuilt from the bytes as received: method and path are never decoded,
// re-encoded or normalised, and signed headers keep the order the client listed them in. The
// query is the one part SigV4 defines a canonical form for (each name and value decoded, encoded
// again and sorted), because clients send its characters raw or escaped as they please and sign
// the escaped form. A client that canonicalises differently gets a mismatch, never a guess.
#include "auth/sigv4.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "auth/sigv2.h"
#include "base/limits.h"
#include "digest/hash.h"
#include "base/date.h"
#include "base/state.h"
#include "base/text.h"

namespace {

constexpr char SCHEME[] = "AWS4-HMAC-SHA256 ";  // 17 characters, matched without regard to case
constexpr size_t SCHEME_LEN = sizeof SCHEME - 1;
constexpr char CREDENTIAL[] = "Credential=";
constexpr char SIGNED_HEADERS[] = "SignedHeaders=";
constexpr char SIGNATURE[] = "Signature=";
constexpr char SERVICE[] = "s3";

constexpr size_t HEADER_NAME_MAX = 127;
// The query comes from the request target, so it can never be longer than the target; a piece
// is at least one character plus its "&", which bounds the pieces. Every piece is signed.
constexpr size_t QUERY_TEXT_MAX = S3_TARGET_MAX;
constexpr size_t QUERY_PIECES_MAX = S3_TARGET_MAX / 2 + 1;
constexpr size_t CANON_QUERY_MAX = SIGV4_CANON_QUERY_MAX;

constexpr long SKEW_MAX_SECONDS = 900;
constexpr char HOST_UNSIGNED_MESSAGE[] =
    "The authorization header is malformed; the SignedHeaders must include host.";

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

// One canonical query parameter: its encoded name and value, held in a scratch buffer.
struct query_param {
  size_t name_at, name_len;
  size_t value_at, value_len;
};

int bytes_cmp(const char *a, size_t an, const char *b, size_t bn) {
  size_t m = an < bn ? an : bn;
  int c = memcmp(a, b, m);
  if (c != 0) return c;
  return an < bn ? -1 : (an > bn ? 1 : 0);
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == '.' || c == '~';
}

// Decodes src[0..n) and encodes it again with the unreserved set, appending to buf at *used.
// buf has room for 3 bytes per source byte, so this never runs out (a "%XX" source gives at
// most its own three bytes back).
void canonical_encode(const char *src, size_t n, char *buf, size_t *used) {
  static const char hex[] = "0123456789ABCDEF";
  size_t u = *used;
  for (size_t i = 0; i < n; i++) {
    unsigned char c = (unsigned char)src[i];
    int hi = -1, lo = -1;
    if (c == '%' && i + 2 < n) {
      hi = hex_digit(src[i + 1]);
      lo = hex_digit(src[i + 2]);
    }
    if (hi >= 0 && lo >= 0) {
      c = (unsigned char)(hi * 16 + lo);
      i += 2;
    }
    if (unreserved(c)) {
      buf[u++] = (char)c;
    } else {
      buf[u++] = '%';
      buf[u++] = hex[c >> 4];
      buf[u++] = hex[c & 15];
    }
  }
  *used = u;
}

void hash_text(sha256_ctx *c, const char *text) { sha256_update(c, text, strlen(text)); }

// The value a signed header enters the canonical request with. It is taken whole from the head,
// whatever its length: a value cut short would leave its tail unsigned. host, x-amz-date and
// x-amz-content-sha256 fall back to the captured inputs when no head is given or the head lacks
// them (an absent one signs as empty); any other absent header gives null.
char *signed_value(const char *name, const char *host, const char *amz_date,
                   const char *content_sha256, const char *head, size_t head_len) {
  char *v = head ? hdr_value(head, head_len, name) : nullptr;
  if (v) return v;
  const char *input = strcmp(name, "host") == 0                   ? host
                      : strcmp(name, "x-amz-date") == 0           ? amz_date
                      : strcmp(name, "x-amz-content-sha256") == 0 ? content_sha256
                                                                  : nullptr;
  if (!input) return nullptr;
  size_t n = strlen(input);
  char *copy = (char *)malloc(n + 1);
  if (copy) memcpy(copy, input, n + 1);
  return copy;
}

// Feeds the canonical headers block, in SignedHeaders order, into c: 0, 1 when a signed header
// is missing from the request, -1 when a name is malformed (or memory runs out). Hashing as it
// goes keeps no copy of the values, so their size is bounded only by the head.
int hash_canonical_headers(sha256_ctx *c, const char *signed_headers, const char *host,
                           const char *amz_date, const char *content_sha256, const char *head,
                           size_t head_len) {
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
    owned_str v(signed_value(name, host, amz_date, content_sha256, head, head_len));
    if (!v.get()) {
      bool known = strcmp(name, "host") == 0 || strcmp(name, "x-amz-date") == 0 ||
                   strcmp(name, "x-amz-content-sha256") == 0;
      return known ? -1 : 1;
    }
    hash_text(c, name);
    sha256_update(c, ":", 1);
    hash_text(c, v.get());
    sha256_update(c, "\n", 1);
    pos = end + 1;
  }
  return 0;
}

// The time a request was signed at, as the x-amz-date text that goes into the string to sign.
// x-amz-date when sent; otherwise the Date header, written in x-amz-date's form, as signers that
// sign with Date (and then send no x-amz-date) put it into their string to sign. 0 with iso and
// *t set; -1 when the date that counts is missing or does not read.
int request_time(const char *amz_date, const char *head, size_t head_len, char iso[AMZ_DATE_LEN + 1],
                 int64_t *t) {
  iso[0] = 0;
  if (amz_date[0]) {
    if (parse_amz_date(amz_date, t) != 0) return -1;
    memcpy(iso, amz_date, AMZ_DATE_LEN + 1);
    return 0;
  }
  owned_str date(head ? hdr_value(head, head_len, "date") : nullptr);
  civil_time tm;
  // A Date header reads as signers write it: weekday optional, "UTC" or "+0000" for GMT.
  const unsigned signer_form = HTTP_DATE_ANY_WEEKDAY | HTTP_DATE_ZONES;
  if (!date.get() || read_http_date(date.get(), signer_form, t) != 0 ||
      civil_from_seconds(*t, &tm) != 0)
    return -1;
  int w = snprintf(iso, AMZ_DATE_LEN + 1, "%04d%02d%02dT%02d%02d%02dZ", tm.year, tm.month, tm.day,
                   tm.hour, tm.minute, tm.second);
  return (w == (int)AMZ_DATE_LEN) ? 0 : -1;
}

// 1 when name[0..n) appears in the ";"-separated list, compared without regard to case.
int listed(const char *list, const char *name, size_t n) {
  for (const char *p = list; *p;) {
    size_t m = strcspn(p, ";");
    if (m == n) {
      size_t i = 0;
      while (i < n && ascii_lower(p[i]) == ascii_lower(name[i])) i++;
      if (i == n) return 1;
    }
    p += m;
    if (*p) p++;
  }
  return 0;
}

// Makes v the refusal with this code and message (cut to fit, which none of them needs).
void refuse(auth_verdict *v, const char *code, const char *message, int status = 403) {
  v->status = status;
  v->code = code;
  copy_text(v->message, sizeof v->message, message);
}

// The region of a credential scope, from s[0..room) up to the next "/" (or "," or the end) into
// region: 0, or -1 when it is empty, longer than SIGV4_REGION_MAX or holds a blank or control
// byte. The region only enters the signing key and the string to sign, which the client made
// with the same text; it names no place this server keeps data in.
int scope_region(const char *s, size_t room, char region[SIGV4_REGION_MAX + 1]) {
  size_t n = 0;
  while (n < room && s[n] != '/' && s[n] != ',') n++;
  if (take_piece(region, s, n, 1, SIGV4_REGION_MAX) != 0) return -1;
  for (size_t i = 0; i < n; i++)
    if ((unsigned char)region[i] <= ' ' || (unsigned char)region[i] >= 0x7f) return -1;
  return 0;
}

}  // namespace

int sigv4_unsigned_amz_header(const char *signed_headers, const char *head, size_t head_len) {
  if (!head) return 0;
  // The request line is skipped.
  const void *first_lf = memchr(head, '\n', head_len);
  size_t line = first_lf ? (size_t)((const char *)first_lf - head) + 1 : head_len;
  static const char prefix[] = "x-amz-";
  const size_t plen = sizeof prefix - 1;
  while (line < head_len) {
    const void *lf = memchr(head + line, '\n', head_len - line);
    size_t end = lf ? (size_t)((const char *)lf - head) : head_len;
    const char *text = head + line;
    size_t n = end - line;
    const void *colon = memchr(text, ':', n);
    if (colon && n >= plen) {
      size_t i = 0;
      while (i < plen && ascii_lower(text[i]) == prefix[i]) i++;
      // The name as sent, up to its colon: a blank before the colon keeps it from counting as
      // signed, so such a line is refused rather than guessed at.
      size_t name_len = (size_t)((const char *)colon - text);
      if (i == plen && !listed(signed_headers, text, name_len)) return 1;
    }
    line = end + 1;
  }
  return 0;
}

int parse_sigv4_authz(const char *authz, char cred_key[128], char cred_date[64],
                      char region[SIGV4_REGION_MAX + 1], char signed_headers[512],
                      char signature[129]) {
  cred_key[0] = cred_date[0] = region[0] = signed_headers[0] = signature[0] = 0;
  size_t len = strlen(authz);
  if (len < SCHEME_LEN) return -1;
  for (size_t i = 0; i < SCHEME_LEN; i++)
    if (ascii_lower(authz[i]) != ascii_lower(SCHEME[i])) return -1;
  const char *rest = authz + SCHEME_LEN;
  size_t rest_len = len - SCHEME_LEN;

  // Credential=<key>/<date>/<region>/...: the service and terminator are not read (any other
  // text than s3/aws4_request gives another signature).
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
  const char *g = d + slash2 + 1;
  size_t g_room = k_room - (size_t)slash1 - 1 - (size_t)slash2 - 1;
  if (scope_region(g, g_room, region) != 0) return -1;

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

namespace {

bool param_less(const char *buf, const query_param &a, const query_param &b) {
  int c = bytes_cmp(buf + a.name_at, a.name_len, buf + b.name_at, b.name_len);
  if (c != 0) return c < 0;
  return bytes_cmp(buf + a.value_at, a.value_len, buf + b.value_at, b.value_len) < 0;
}

}  // namespace

long sigv4_canonical_query(const char *query, char *out, size_t cap) {
  if (cap == 0) return -1;
  out[0] = 0;
  size_t qlen = strlen(query);
  if (qlen > QUERY_TEXT_MAX) return -1;
  // Encoded names and values, 3 bytes per source byte at most: about 87 KiB of the connection
  // thread's stack, fixed by the longest request target.
  char scratch[3 * QUERY_TEXT_MAX];
  query_param params[QUERY_PIECES_MAX];
  size_t count = 0, used = 0;
  size_t pos = 0;
  while (pos < qlen) {
    size_t end = pos;
    while (end < qlen && query[end] != '&') end++;
    if (end > pos) {
      if (count == QUERY_PIECES_MAX) return -1;  // never drop a piece: it would go unsigned
      const void *eq = memchr(query + pos, '=', end - pos);
      size_t name_end = eq ? (size_t)((const char *)eq - query) : end;
      query_param &q = params[count++];
      q.name_at = used;
      canonical_encode(query + pos, name_end - pos, scratch, &used);
      q.name_len = used - q.name_at;
      q.value_at = used;
      if (eq) canonical_encode(query + name_end + 1, end - name_end - 1, scratch, &used);
      q.value_len = used - q.value_at;
    }
    pos = end + 1;
  }
  std::sort(params, params + count,
            [&scratch](const query_param &a, const query_param &b) { return param_less(scratch, a, b); });

  size_t limit = cap - 1 < CANON_QUERY_MAX ? cap - 1 : CANON_QUERY_MAX;
  size_t n = 0;
  for (size_t i = 0; i < count; i++) {
    const query_param &q = params[i];
    size_t need = (i ? 1 : 0) + q.name_len + 1 + q.value_len;
    if (n + need > limit) {
      out[0] = 0;
      return -1;
    }
    if (i) out[n++] = '&';
    memcpy(out + n, scratch + q.name_at, q.name_len);
    n += q.name_len;
    out[n++] = '=';
    memcpy(out + n, scratch + q.value_at, q.value_len);
    n += q.value_len;
  }
  out[n] = 0;
  return (long)n;
}

void sigv4_signing_key(const char *cred_date, const char *region, unsigned char out[32]) {
  char secret[4 + sizeof s_secret_key];
  int w = snprintf(secret, sizeof secret, "AWS4%s", s_secret_key);
  size_t secret_len = w < 0 ? 0 : ((size_t)w < sizeof secret ? (size_t)w : sizeof secret - 1);
  unsigned char k_date[32], k_region[32], k_service[32];
  hmac_sha256(secret, secret_len, cred_date, strlen(cred_date), k_date);
  hmac_sha256(k_date, 32, region, strlen(region), k_region);
  hmac_sha256(k_region, 32, SERVICE, sizeof SERVICE - 1, k_service);
  hmac_sha256(k_service, 32, "aws4_request", 12, out);
  wipe(secret, sizeof secret);
  wipe(k_date, 32);
  wipe(k_region, 32);
  wipe(k_service, 32);
}

namespace {

// Everything a signature is checked against once the mechanism (header or query) has been read.
struct sig_check {
  const char *method, *path, *cquery, *signed_headers, *cred_date, *region, *sign_time,
      *payload_hash, *signature;
  const char *host, *amz_date, *content_sha256, *head;
  size_t head_len;
};

// 1 the signature matches, 0 it does not (or a signed header is missing), -1 malformed.
int verify_signature(const sig_check *in) {
  // The canonical request goes straight into its digest, so no part of it is ever cut to fit.
  sha256_ctx c;
  sha256_init(&c);
  hash_text(&c, in->method);
  sha256_update(&c, "\n", 1);
  hash_text(&c, in->path);
  sha256_update(&c, "\n", 1);
  hash_text(&c, in->cquery);
  sha256_update(&c, "\n", 1);
  int hrc = hash_canonical_headers(&c, in->signed_headers, in->host, in->amz_date,
                                   in->content_sha256, in->head, in->head_len);
  if (hrc < 0) return -1;
  if (hrc > 0) return 0;
  sha256_update(&c, "\n", 1);
  hash_text(&c, in->signed_headers);
  sha256_update(&c, "\n", 1);
  hash_text(&c, in->payload_hash);
  unsigned char creq_digest[32];
  sha256_final(&c, creq_digest);
  char creq_hash[65];
  hex_encode(creq_digest, 32, creq_hash);

  char sts[512];
  int sts_len = snprintf(sts, sizeof sts, "AWS4-HMAC-SHA256\n%s\n%s/%s/%s/aws4_request\n%s",
                         in->sign_time, in->cred_date, in->region, SERVICE, creq_hash);
  if (sts_len < 0 || (size_t)sts_len >= sizeof sts) return -1;

  unsigned char key[32], mac[32];
  sigv4_signing_key(in->cred_date, in->region, key);
  hmac_sha256(key, 32, sts, (size_t)sts_len, mac);
  char expected[65];
  hex_encode(mac, 32, expected);
  int ok = const_time_eq(expected, 64, in->signature, strlen(in->signature));
  wipe(key, sizeof key);
  wipe(mac, sizeof mac);
  wipe(expected, sizeof expected);
  return ok ? 1 : 0;
}

}  // namespace

int verify_sigv4(const char *method, const char *path, const char *query, const char *authorization,
                 const char *host, const char *amz_date, const char *content_sha256,
                 const char *head, size_t head_len) {
  if (!s_secret_key[0]) return 1;
  char cred_key[128], cred_date[64], region[SIGV4_REGION_MAX + 1], signed_headers[512], signature[129];
  if (parse_sigv4_authz(authorization, cred_key, cred_date, region, signed_headers, signature) != 0)
    return -1;
  if (s_access_key[0] && strcmp(cred_key, s_access_key) != 0) return 0;

  char cquery[CANON_QUERY_MAX + 1];
  if (sigv4_canonical_query(query, cquery, sizeof cquery) < 0) return -1;

  // Without x-amz-date the Date header, in x-amz-date's form, is the signing time.
  char iso[AMZ_DATE_LEN + 1];
  int64_t t = 0;
  const char *when = amz_date;
  if (!amz_date[0] && request_time(amz_date, head, head_len, iso, &t) == 0) when = iso;
  sig_check in = {method, path, cquery, signed_headers, cred_date, region, when,
                  content_sha256[0] ? content_sha256 : S3_EMPTY_SHA256, signature,
                  host, amz_date, content_sha256, head, head_len};
  return verify_signature(&in);
}

namespace {

// The refusals that need the parsed Authorization value: a credential scope for another day than
// the signing time's, a signature that does not cover host (made for one bucket.localhost name,
// it would serve every other bucket), and an x-amz-* header the signature does not cover (an
// unsigned x-amz-copy-source would turn a captured PutObject into a copy of any object). 1 when
// the request was refused here, with *v the refusal. An Authorization value that does not parse
// is left to verify_sigv4.
int refuse_scope_or_unsigned(auth_verdict *v, const char *authorization, const char *iso,
                             const char *head, size_t head_len) {
  char cred_key[128], cred_date[64], region[SIGV4_REGION_MAX + 1], signed_headers[512], signature[129];
  if (parse_sigv4_authz(authorization, cred_key, cred_date, region, signed_headers, signature) != 0)
    return 0;
  if (strlen(cred_date) != 8 || memcmp(cred_date, iso, 8) != 0) {
    set_error("SigV4 verification failed (credential date %s is not the day of %s)", cred_date, iso);
    refuse(v, "AuthorizationHeaderMalformed",
           "The authorization header is malformed; Invalid credential date. Date is not the same "
           "as X-Amz-Date.",
           400);
    return 1;
  }
  if (!listed(signed_headers, "host", 4)) {
    set_error("SigV4 verification failed (host is not a signed header)");
    refuse(v, "AuthorizationHeaderMalformed", HOST_UNSIGNED_MESSAGE, 400);
    return 1;
  }
  if (sigv4_unsigned_amz_header(signed_headers, head, head_len)) {
    set_error("Access Denied: unsigned x-amz-* header");
    refuse(v, "AccessDenied", "There were headers present in the request which were not signed");
    return 1;
  }
  return 0;
}

}  // namespace

int sigv4_signing_time(const char *amz_date, const char *head, size_t head_len,
                       char iso[AMZ_DATE_LEN + 1]) {
  int64_t t = 0;
  return request_time(amz_date, head, head_len, iso, &t);
}

namespace {

// Query authentication (presigned URLs): the X-Amz-* parameters, read and checked.
constexpr char QUERY_PARAMS_MISSING[] =
    "Query-string authentication version 4 requires the X-Amz-Algorithm, X-Amz-Credential, "
    "X-Amz-Signature, X-Amz-Date, X-Amz-SignedHeaders, and X-Amz-Expires parameters.";
constexpr char UNSIGNED_PAYLOAD[] = "UNSIGNED-PAYLOAD";

struct query_auth {
  char cred_key[128];
  char cred_date[64];
  char region[SIGV4_REGION_MAX + 1];
  char signed_headers[512];
  char signature[129];
  char date[AMZ_DATE_LEN + 1];
  int64_t t;                // X-Amz-Date in seconds since 1970
  int64_t expires;          // X-Amz-Expires, 1 to S3_PRESIGN_EXPIRES_MAX
  char message[256];        // the AuthorizationQueryParametersError text when parsing failed
};

// A query parameter, percent-decoded, into dst[cap]: 0, or -1 when absent or too long.
int query_value(const char *query, const char *name, char *dst, size_t cap) {
  owned_str v(qparam(query, name));
  if (!v.get()) return -1;
  pct_decode(v.p);
  size_t n = strlen(v.get());
  if (n >= cap) return -1;
  memcpy(dst, v.get(), n + 1);
  return 0;
}

// X-Amz-Credential: <key>/<date>/<region>/<service>/aws4_request. The service is not read
// here: a scope for another one gives another signature.
int parse_query_credential(const char *query, query_auth *qa) {
  char cred[512];
  if (query_value(query, "X-Amz-Credential", cred, sizeof cred) != 0) return -1;
  const char *slash1 = strchr(cred, '/');
  const char *slash2 = slash1 ? strchr(slash1 + 1, '/') : nullptr;
  if (!slash2 || take_piece(qa->cred_key, cred, (size_t)(slash1 - cred), 0, 127) != 0 ||
      take_piece(qa->cred_date, slash1 + 1, (size_t)(slash2 - slash1 - 1), 0, 63) != 0 ||
      scope_region(slash2 + 1, strlen(slash2 + 1), qa->region) != 0)
    return -1;
  return 0;
}

// X-Amz-Expires: decimal seconds, 1 to a week. 0, or -1 with qa->message set.
int parse_query_expires(const char *text, query_auth *qa) {
  uint64_t v = 0;
  const char *msg = nullptr;
  if (text[0] == '-')
    msg = "X-Amz-Expires must be non-negative";
  else if (!text[0] || parse_decimal(text, strlen(text), UINT64_MAX, DEC_SATURATE, &v) != 0)
    msg = "X-Amz-Expires should be a number";
  else if (v > (uint64_t)S3_PRESIGN_EXPIRES_MAX)
    msg = "X-Amz-Expires must be less than a week (in seconds) that is; 604800";
  else if (v == 0)
    msg = "X-Amz-Expires must be greater than 0";
  if (msg) {
    copy_text(qa->message, sizeof qa->message, msg);
    return -1;
  }
  qa->expires = (int64_t)v;
  return 0;
}

// Reads the X-Amz-* parameters: 0, or -1 with the AuthorizationQueryParametersError message.
int parse_query_auth(const char *query, query_auth *qa) {
  memset(qa, 0, sizeof *qa);
  char alg[64], date[64], expires[32];
  if (query_value(query, "X-Amz-Algorithm", alg, sizeof alg) != 0 ||
      query_value(query, "X-Amz-Date", date, sizeof date) != 0 ||
      query_value(query, "X-Amz-Expires", expires, sizeof expires) != 0 ||
      query_value(query, "X-Amz-SignedHeaders", qa->signed_headers, sizeof qa->signed_headers) != 0 ||
      query_value(query, "X-Amz-Signature", qa->signature, sizeof qa->signature) != 0 ||
      !qhas(query, "X-Amz-Credential")) {
    copy_text(qa->message, sizeof qa->message, QUERY_PARAMS_MISSING);
    return -1;
  }
  if (strcmp(alg, "AWS4-HMAC-SHA256") != 0) {
    copy_text(qa->message, sizeof qa->message, "X-Amz-Algorithm only supports \"AWS4-HMAC-SHA256\"");
    return -1;
  }
  if (parse_query_credential(query, qa) != 0) {
    // The message goes into the error document as it stands: its angle brackets are written
    // as the references that keep the document well formed.
    copy_text(qa->message, sizeof qa->message,
              "Error parsing the X-Amz-Credential parameter; the Credential is mal-formed; "
              "expecting \"&lt;YOUR-AKID&gt;/YYYYMMDD/REGION/SERVICE/aws4_request\".");
    return -1;
  }
  if (parse_amz_date(date, &qa->t) != 0) {
    copy_text(qa->message, sizeof qa->message,
              "X-Amz-Date must be in the ISO8601 Long Format \"yyyyMMdd'T'HHmmss'Z'\"");
    return -1;
  }
  memcpy(qa->date, date, AMZ_DATE_LEN + 1);
  if (strlen(qa->cred_date) != 8 || memcmp(qa->cred_date, qa->date, 8) != 0) {
    snprintf(qa->message, sizeof qa->message,
             "Error parsing the X-Amz-Credential parameter; incorrect date. This should be \"%.8s\"",
             qa->date);
    return -1;
  }
  return parse_query_expires(expires, qa);
}

// The query as signed: every piece but the first X-Amz-Signature one, which carries the
// signature itself. A second X-Amz-Signature piece stays in, and so is covered.
long query_without_signature(const char *query, char *out, size_t cap) {
  static const char sig[] = "X-Amz-Signature=";
  size_t n = 0;
  int dropped = 0;
  for (const char *p = query; *p;) {
    size_t len = strcspn(p, "&");
    if (!dropped && len >= sizeof sig - 1 && memcmp(p, sig, sizeof sig - 1) == 0) {
      dropped = 1;
    } else if (len > 0) {
      if (n + len + 2 > cap) return -1;
      if (n) out[n++] = '&';
      memcpy(out + n, p, len);
      n += len;
    }
    p += len;
    if (*p) p++;
  }
  out[n] = 0;
  return (long)n;
}

// Checks a presigned request into *v (status 0: let through).
void check_query_auth(const S3Request *r, auth_verdict *v) {
  const char *method = r->method, *path = request_sent_path(r), *query = r->query;
  const char *content_sha256 = r->content_sha256;
  query_auth qa;
  if (parse_query_auth(query, &qa) != 0) {
    set_error("Access Denied: %s", qa.message);
    refuse(v, "AuthorizationQueryParametersError", qa.message);
    return;
  }
  int64_t now = server_now();
  if (qa.t - now > SKEW_MAX_SECONDS) {
    set_error("RequestTimeTooSkewed (%lds)", (long)(qa.t - now));
    refuse(v, "RequestTimeTooSkewed",
           "The difference between the request time and the server's time is too large");
    return;
  }
  if (now > qa.t + qa.expires) {
    set_error("Access Denied: presigned URL expired %lds ago", (long)(now - qa.t - qa.expires));
    refuse(v, "AccessDenied", "Request has expired");
    return;
  }
  if (!listed(qa.signed_headers, "host", 4)) {
    set_error("SigV4 verification failed (host is not a signed header)");
    refuse(v, "AuthorizationQueryParametersError", "X-Amz-SignedHeaders must include host.", 400);
    return;
  }
  if (sigv4_unsigned_amz_header(qa.signed_headers, r->head, r->head_len)) {
    set_error("Access Denied: unsigned x-amz-* header");
    refuse(v, "AccessDenied", "There were headers present in the request which were not signed");
    return;
  }
  // Chunk signatures chain from a header signature; a presigned URL has none to start them.
  if (strncmp(content_sha256, "STREAMING-AWS4-HMAC-SHA256-PAYLOAD", 34) == 0) {
    set_error("Access Denied: signed streaming payload with query authentication");
    refuse(v, "InvalidArgument", "Signed streaming payloads require the Authorization header", 400);
    return;
  }
  int rc = -1;
  char stripped[S3_QUERY_MAX + 1];
  char cquery[CANON_QUERY_MAX + 1];
  if (query_without_signature(query, stripped, sizeof stripped) >= 0 &&
      sigv4_canonical_query(stripped, cquery, sizeof cquery) >= 0) {
    rc = 0;
    if (strcmp(qa.cred_key, s_access_key) == 0 && strlen(qa.signature) >= 8) {
      sig_check in = {method, path, cquery, qa.signed_headers, qa.cred_date, qa.region, qa.date,
                      content_sha256[0] ? content_sha256 : UNSIGNED_PAYLOAD, qa.signature,
                      r->host, r->amz_date, content_sha256, r->head, r->head_len};
      rc = verify_signature(&in);
    }
  }
  if (rc == 1) return;
  set_error("SigV4 verification failed (%s)", rc == 0 ? "signature mismatch" : "bad authorization");
  refuse(v, "SignatureDoesNotMatch",
         "The request signature we calculated does not match the signature you provided");
}

}  // namespace

auth_verdict check_auth(const S3Request *r) {
  auth_verdict v;
  v.status = 0;
  v.code = nullptr;
  v.message[0] = 0;
  v.elements[0] = 0;
  if (!s_access_key[0] || !s_secret_key[0]) return v;
  const char *query = r->query, *authorization = r->authorization;

  // A presigned URL names its mechanism with X-Amz-Algorithm; without an Authorization header,
  // any of its other parameters means the client meant one (and is told what is missing).
  if ((qhas(query, "X-Amz-Algorithm") || sigv2_is_query(query)) && authorization[0]) {
    set_error("Access Denied: both an Authorization header and query authentication");
    refuse(&v, "InvalidArgument",
           "Only one auth mechanism allowed; only the X-Amz-Algorithm query parameter, Signature "
           "query string parameter or the Authorization header should be specified",
           400);
    return v;
  }
  if (!authorization[0] && (qhas(query, "X-Amz-Algorithm") || qhas(query, "X-Amz-Credential") ||
                            qhas(query, "X-Amz-Signature"))) {
    check_query_auth(r, &v);
    return v;
  }
  // Signature Version 2: a presigned URL's AWSAccessKeyId / Signature, or "AWS key:signature".
  if (!authorization[0] && sigv2_is_query(query)) {
    sigv2_check_query(r, &v);
    return v;
  }
  if (sigv2_is_header(authorization)) {
    sigv2_check_header(r, &v);
    return v;
  }

  char iso[AMZ_DATE_LEN + 1];
  int64_t t = 0;
  int dated = request_time(r->amz_date, r->head, r->head_len, iso, &t) == 0;
  if (dated) {
    int64_t diff = server_now() - t;
    if (diff < 0) diff = -diff;
    if (diff > SKEW_MAX_SECONDS) {
      set_error("RequestTimeTooSkewed (%lds)", (long)diff);
      refuse(&v, "RequestTimeTooSkewed",
             "The difference between the request time and the server's time is too large");
      return v;
    }
  }

  if (!authorization[0]) {
    set_error("Access Denied: missing Authorization header");
    refuse(&v, "AccessDenied", "Access Denied");
    return v;
  }
  // Every signature expires: without a signing time that reads, there is nothing to expire by.
  if (!dated) {
    set_error("Access Denied: no valid x-amz-date or Date header");
    refuse(&v, "AccessDenied", "AWS authentication requires a valid Date or x-amz-date header");
    return v;
  }
  if (refuse_scope_or_unsigned(&v, authorization, iso, r->head, r->head_len)) return v;

  int rc = verify_sigv4(r->method, request_sent_path(r), query, authorization, r->host, r->amz_date,
                        r->content_sha256, r->head, r->head_len);
  if (rc == 1) return v;
  set_error("SigV4 verification failed (%s)", rc == 0 ? "signature mismatch" : "bad authorization");
  refuse(&v, "SignatureDoesNotMatch",
         "The request signature we calculated does not match the signature you provided");
  return v;
}

int sigv4_verify_policy(const char *policy_b64, const char *credential, const char *signature) {
  // credential: access-key/date/region/s3/aws4_request, as a form upload names it.
  const char *slash = credential ? strchr(credential, '/') : nullptr;
  if (!slash || !signature) return -1;
  size_t key_len = (size_t)(slash - credential);
  const char *date = slash + 1;
  const char *date_end = strchr(date, '/');
  if (!date_end || date_end - date != 8) return -1;
  char scope_date[9];
  memcpy(scope_date, date, 8);
  scope_date[8] = 0;
  char region[SIGV4_REGION_MAX + 1];
  if (scope_region(date_end + 1, strlen(date_end + 1), region) != 0) return -1;
  if (strcmp(date_end + 1 + strlen(region), "/s3/aws4_request") != 0) return 0;
  if (key_len != strlen(s_access_key) || memcmp(credential, s_access_key, key_len) != 0) return 0;
  unsigned char key[32], mac[32];
  sigv4_signing_key(scope_date, region, key);
  hmac_sha256(key, 32, policy_b64, strlen(policy_b64), mac);
  char expected[65];
  hex_encode(mac, 32, expected);
  wipe(key, 32);
  return const_time_eq(expected, 64, signature, strlen(signature)) ? 1 : 0;
}
