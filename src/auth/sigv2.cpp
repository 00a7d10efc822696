// AWS Signature Version 2: the string to sign of a request, the Authorization header and query
// verdicts, and the signature of a browser form's policy.
//
// The string to sign is rebuilt from the bytes as received: the method and the path as sent,
// every x-amz-* header of the head (so none can ride along unsigned), and the query's
// sub-resources. The other query parameters are not signed by this scheme; that is its design.
#include "auth/sigv2.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/date.h"
#include "base/state.h"
#include "base/text.h"
#include "digest/hash.h"
#include "http/response.h"

namespace {

constexpr long SKEW_MAX_SECONDS = 900;
constexpr char SIG_MISMATCH[] =
    "The request signature we calculated does not match the signature you provided. Check your "
    "key and signing method.";
constexpr char NO_SUCH_KEY[] = "The AWS Access Key Id you provided does not exist in our records.";

// The query parameters that name what a request addresses, or override the answer's headers:
// they enter the resource of the string to sign, in name order. Names compare as sent.
const char *const SUBRESOURCES[] = {
    "accelerate", "acl", "analytics", "cors", "defaultObjectAcl", "delete", "inventory",
    "lifecycle", "location", "logging", "metrics", "notification", "object-lock", "partNumber",
    "policy", "replication", "requestPayment", "response-cache-control",
    "response-content-disposition", "response-content-encoding", "response-content-language",
    "response-content-type", "response-expires", "restore", "select", "select-type",
    "storageClass", "tagging", "torrent", "uploadId", "uploads", "versionId", "versioning",
    "versions", "website",
};

int is_subresource(const char *name, size_t n) {
  for (const char *s : SUBRESOURCES)
    if (strlen(s) == n && memcmp(s, name, n) == 0) return 1;
  return 0;
}

void wipe(void *p, size_t n) {
  volatile unsigned char *v = (volatile unsigned char *)p;
  while (n--) *v++ = 0;
}

// A bounded writer into a heap text.
struct text_out {
  char *p;
  size_t n, cap;
  int failed;
};

void put(text_out *o, const char *s, size_t n) {
  if (o->failed || n > o->cap - o->n) {
    o->failed = 1;
    return;
  }
  memcpy(o->p + o->n, s, n);
  o->n += n;
}
void put_str(text_out *o, const char *s) { put(o, s, strlen(s)); }
void put_lower(text_out *o, const char *s, size_t n) {
  for (size_t i = 0; i < n && !o->failed; i++) {
    char c = ascii_lower(s[i]);
    put(o, &c, 1);
  }
}

// One canonical x-amz-* value: its name (lower-cased when compared and written) and value.
struct amz_entry {
  const char *name;
  size_t name_len;
  const char *value;
  size_t value_len;
  size_t order;  // place of appearance, for the stable join of repeated names
};

int lower_cmp(const char *a, size_t an, const char *b, size_t bn) {
  size_t m = an < bn ? an : bn;
  for (size_t i = 0; i < m; i++) {
    unsigned char x = (unsigned char)ascii_lower(a[i]), y = (unsigned char)ascii_lower(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return an < bn ? -1 : (an > bn ? 1 : 0);
}

int starts_amz(const char *s, size_t n) {
  static const char prefix[] = "x-amz-";
  if (n < sizeof prefix - 1) return 0;
  for (size_t i = 0; i < sizeof prefix - 1; i++)
    if (ascii_lower(s[i]) != prefix[i]) return 0;
  return 1;
}

void trim(const char **s, size_t *n) {
  while (*n && (**s == ' ' || **s == '\t')) {
    (*s)++;
    (*n)--;
  }
  while (*n && ((*s)[*n - 1] == ' ' || (*s)[*n - 1] == '\t')) (*n)--;
}

// Calls f(name, name_len, value, value_len) for every header line of the head after the request
// line, up to its empty line. A line that begins with a blank continues nothing here: the
// header readers do not join it either.
template <typename F>
void each_header(const char *head, size_t head_len, F f) {
  if (!head) return;
  const void *first = memchr(head, '\n', head_len);
  size_t line = first ? (size_t)((const char *)first - head) + 1 : head_len;
  while (line < head_len) {
    const void *lf = memchr(head + line, '\n', head_len - line);
    size_t end = lf ? (size_t)((const char *)lf - head) : head_len;
    size_t stop = end;
    if (stop > line && head[stop - 1] == '\r') stop--;
    if (stop == line) break;
    const char *text = head + line;
    size_t n = stop - line;
    const void *colon = memchr(text, ':', n);
    if (colon && text[0] != ' ' && text[0] != '\t') {
      size_t name_len = (size_t)((const char *)colon - text);
      const char *v = text + name_len + 1;
      size_t vn = n - name_len - 1;
      trim(&v, &vn);
      f(text, name_len, v, vn);
    }
    line = end + 1;
  }
}

// A query piece's name and value, split at its first "=".
struct query_piece {
  const char *name;
  size_t name_len;
  const char *value;  // null when the piece has no "="
  size_t value_len;
};

template <typename F>
void each_query_piece(const char *query, F f) {
  for (const char *p = query; *p;) {
    size_t len = strcspn(p, "&");
    if (len) {
      const char *eq = (const char *)memchr(p, '=', len);
      query_piece q = {p, eq ? (size_t)(eq - p) : len, eq ? eq + 1 : nullptr,
                       eq ? len - (size_t)(eq - p) - 1 : 0};
      f(q);
    }
    p += len;
    if (*p) p++;
  }
}

// A header's first value in the head, trimmed, as hdr_value finds it; "" when absent.
struct head_value {
  const char *p = "";
  size_t n = 0;
};
head_value first_header(const char *head, size_t head_len, const char *name) {
  head_value hv;
  size_t at = 0, n = 0;
  if (head && hdr_span(head, head_len, name, &at, &n)) {
    hv.p = head + at;
    hv.n = n;
  }
  return hv;
}

int has_header(const char *head, size_t head_len, const char *name) {
  size_t at = 0, n = 0;
  return head && hdr_span(head, head_len, name, &at, &n);
}

// The decoded value of query parameter name (exact name as sent), into scratch: null when absent.
const char *query_decoded(const char *query, const char *name, char *scratch, size_t cap,
                          size_t *n) {
  const char *found = nullptr;
  size_t fn = 0;
  size_t want = strlen(name);
  each_query_piece(query, [&](const query_piece &q) {
    if (found || q.name_len != want || memcmp(q.name, name, want) != 0) return;
    found = q.value ? q.value : "";
    fn = q.value_len;
  });
  if (!found) return nullptr;
  long d = pct_decode_text(found, fn, scratch, cap, 0);
  if (d < 0) return nullptr;
  *n = (size_t)d;
  return scratch;
}

}  // namespace

int sigv2_is_header(const char *authorization) { return strncmp(authorization, "AWS ", 4) == 0; }

int sigv2_is_query(const char *query) {
  return qhas(query, "AWSAccessKeyId") || qhas(query, "Signature");
}

int parse_sigv2_authz(const char *authz, char key[128], char signature[129]) {
  key[0] = signature[0] = 0;
  if (!sigv2_is_header(authz)) return -1;
  const char *rest = authz + 4;
  const char *colon = strrchr(rest, ':');
  if (!colon) return -1;
  size_t kn = (size_t)(colon - rest), sn = strlen(colon + 1);
  if (kn == 0 || kn > 127 || sn == 0 || sn > 128) return -1;
  memcpy(key, rest, kn);
  key[kn] = 0;
  memcpy(signature, colon + 1, sn + 1);
  return 0;
}

char *sigv2_string_to_sign(const sigv2_request *in, size_t *len) {
  *len = 0;
  const char *query = in->query ? in->query : "";
  size_t qlen = strlen(query);
  size_t cap = strlen(in->method) + strlen(in->date_line) + in->head_len + strlen(in->resource) +
               2 * qlen + 16;
  text_out o = {static_cast<char *>(malloc(cap + 1)), 0, cap, 0};
  // Decoded query names and values: a piece's name is decoded once and its value at most once,
  // each to at most its own length, with its NUL.
  size_t scratch_cap = 3 * qlen + 8;
  char *scratch = static_cast<char *>(malloc(scratch_cap));
  size_t lines = 1;
  for (size_t i = 0; i < in->head_len; i++) lines += in->head[i] == '\n';
  size_t pieces = 1;
  for (size_t i = 0; i < qlen; i++) pieces += query[i] == '&';
  amz_entry *amz = static_cast<amz_entry *>(malloc((lines + pieces) * sizeof(amz_entry)));
  query_piece *subs = static_cast<query_piece *>(malloc(pieces * sizeof(query_piece)));
  if (!o.p || !scratch || !amz || !subs) {
    free(o.p);
    free(scratch);
    free(amz);
    free(subs);
    return nullptr;
  }
  size_t used = 0;
  auto decode = [&](const char *s, size_t n, size_t *out_n) -> const char * {
    *out_n = 0;
    if (n + 1 > scratch_cap - used) {
      o.failed = 1;
      return "";
    }
    char *at = scratch + used;
    long d = pct_decode_text(s, n, at, n + 1, 0);
    if (d < 0) d = 0;
    at[d] = 0;
    used += (size_t)d + 1;
    *out_n = (size_t)d;
    return at;
  };

  put_str(&o, in->method);
  put(&o, "\n", 1);
  const char *std_names[] = {"content-md5", "content-type"};
  for (const char *name : std_names) {
    head_value hv = first_header(in->head, in->head_len, name);
    if (in->from_query && !has_header(in->head, in->head_len, name)) {
      // A presigned URL may carry the value it signed in its own query.
      each_query_piece(query, [&](const query_piece &q) {
        if (hv.n || q.name_len != strlen(name) || lower_cmp(q.name, q.name_len, name, strlen(name)))
          return;
        if (q.value) hv.p = decode(q.value, q.value_len, &hv.n);
      });
    }
    put(&o, hv.p, hv.n);
    put(&o, "\n", 1);
  }
  put_str(&o, in->date_line);
  put(&o, "\n", 1);

  size_t count = 0;
  each_header(in->head, in->head_len, [&](const char *n, size_t nl, const char *v, size_t vl) {
    if (starts_amz(n, nl)) {
      amz[count] = {n, nl, v, vl, count};
      count++;
    }
  });
  if (in->from_query) {
    size_t from_head = count;
    each_query_piece(query, [&](const query_piece &q) {
      size_t nl = 0;
      const char *n = decode(q.name, q.name_len, &nl);
      if (!starts_amz(n, nl)) return;
      for (size_t i = 0; i < from_head; i++)
        if (lower_cmp(amz[i].name, amz[i].name_len, n, nl) == 0) return;
      size_t vl = 0;
      const char *v = q.value ? decode(q.value, q.value_len, &vl) : "";
      amz[count] = {n, nl, v, vl, count};
      count++;
    });
  }
  std::sort(amz, amz + count, [](const amz_entry &a, const amz_entry &b) {
    int c = lower_cmp(a.name, a.name_len, b.name, b.name_len);
    return c != 0 ? c < 0 : a.order < b.order;
  });
  for (size_t i = 0; i < count; i++) {
    int same = i > 0 && lower_cmp(amz[i - 1].name, amz[i - 1].name_len, amz[i].name,
                                  amz[i].name_len) == 0;
    if (same) {
      put(&o, ",", 1);
    } else {
      if (i > 0) put(&o, "\n", 1);
      put_lower(&o, amz[i].name, amz[i].name_len);
      put(&o, ":", 1);
    }
    put(&o, amz[i].value, amz[i].value_len);
  }
  if (count) put(&o, "\n", 1);

  put_str(&o, in->resource);
  size_t nsubs = 0;
  each_query_piece(query, [&](const query_piece &q) {
    if (is_subresource(q.name, q.name_len)) subs[nsubs++] = q;
  });
  std::stable_sort(subs, subs + nsubs, [](const query_piece &a, const query_piece &b) {
    size_t m = a.name_len < b.name_len ? a.name_len : b.name_len;
    int c = memcmp(a.name, b.name, m);
    return c != 0 ? c < 0 : a.name_len < b.name_len;
  });
  for (size_t i = 0; i < nsubs; i++) {
    put(&o, i ? "&" : "?", 1);
    put(&o, subs[i].name, subs[i].name_len);
    if (subs[i].value) {
      put(&o, "=", 1);
      size_t vl = 0;
      const char *v = decode(subs[i].value, subs[i].value_len, &vl);
      put(&o, v, vl);
    }
  }
  free(scratch);
  free(amz);
  free(subs);
  if (o.failed) {
    free(o.p);
    return nullptr;
  }
  o.p[o.n] = 0;
  *len = o.n;
  return o.p;
}

void sigv2_sign(const char *sts, size_t len, char out[29]) {
  unsigned char mac[20];
  hmac_sha1(s_secret_key, strlen(s_secret_key), sts, len, mac);
  base64_encode(mac, 20, out);
  wipe(mac, sizeof mac);
}

namespace {

void refuse(auth_verdict *v, int status, const char *code, const char *message) {
  v->status = status;
  v->code = code;
  copy_text(v->message, sizeof v->message, message);
}

// Appends "  <tag>text</tag>\n" to the verdict's elements, escaped, when it fits whole and
// holds no byte an XML document cannot carry (a control byte, text that is not UTF-8).
void add_element(auth_verdict *v, const char *tag, const char *text, size_t n) {
  for (size_t i = 0; i < n; i++) {
    unsigned char c = (unsigned char)text[i];
    if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7f) return;
  }
  if (!text_is_utf8(text, n)) return;
  size_t at = strlen(v->elements);
  size_t room = sizeof v->elements - at;
  size_t tag_len = strlen(tag);
  size_t need = 2 + (tag_len + 2) + (tag_len + 3) + 2;
  char *dst = v->elements + at;
  if (need >= room) return;
  size_t w = (size_t)snprintf(dst, room, "  <%s>", tag);
  for (size_t i = 0; i < n; i++) {
    char one[2] = {text[i], 0};
    char esc[16];
    xml_escape_str(one, esc, sizeof esc);
    size_t el = strlen(esc);
    if (w + el + tag_len + 5 >= room) {
      dst[0] = 0;
      return;
    }
    memcpy(dst + w, esc, el);
    w += el;
  }
  snprintf(dst + w, room - w, "</%s>\n", tag);
}

// The string to sign as S3 shows it beside a mismatch: the text, and its bytes in hexadecimal.
void add_string_to_sign(auth_verdict *v, const char *sts, size_t n) {
  add_element(v, "StringToSign", sts, n);
  // Each byte takes three characters; a string to sign longer than the room is not shown.
  size_t at = strlen(v->elements);
  size_t need = 3 * n + 48;
  if (need >= sizeof v->elements - at) return;
  char *dst = v->elements + at;
  size_t w = (size_t)snprintf(dst, sizeof v->elements - at, "  <StringToSignBytes>");
  static const char hex[] = "0123456789abcdef";
  for (size_t i = 0; i < n; i++) {
    if (i) dst[w++] = ' ';
    dst[w++] = hex[(unsigned char)sts[i] >> 4];
    dst[w++] = hex[(unsigned char)sts[i] & 15];
  }
  snprintf(dst + w, sizeof v->elements - at - w, "</StringToSignBytes>\n");
}

// "2007-03-27T19:36:42Z" of t, or "" when it names no calendar time.
void iso_seconds(int64_t t, char out[32]) {
  civil_time tm;
  out[0] = 0;
  if (civil_from_seconds(t, &tm) != 0) return;
  snprintf(out, 32, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.year, tm.month, tm.day, tm.hour,
           tm.minute, tm.second);
}

void add_time(auth_verdict *v, const char *tag, int64_t t) {
  char text[32];
  iso_seconds(t, text);
  if (text[0]) add_element(v, tag, text, strlen(text));
}

// A Version 2 signing time: an HTTP date as signers write it, or x-amz-date's ISO form.
int read_v2_date(const char *text, int64_t *t) {
  if (read_http_date(text, HTTP_DATE_ANY_WEEKDAY | HTTP_DATE_ZONES | HTTP_DATE_OBSOLETE, t) == 0)
    return 0;
  return parse_amz_date(text, t);
}

// Chunk signatures chain from a Version 4 header signature, which this request does not have.
int refuse_signed_stream(const S3Request *r, auth_verdict *v) {
  if (strncmp(r->content_sha256, "STREAMING-AWS4-HMAC-SHA256-PAYLOAD", 34) != 0) return 0;
  set_error("Access Denied: signed streaming payload with Signature Version 2");
  refuse(v, 400, "InvalidArgument",
         "Signed streaming payloads require Signature Version 4 in the Authorization header");
  return 1;
}

// The access key and the signature over the request's string to sign.
void check_signature(const S3Request *r, auth_verdict *v, const char *key, const char *signature,
                     const char *date_line, int from_query) {
  if (strcmp(key, s_access_key) != 0) {
    set_error("Access Denied: unknown access key");
    refuse(v, 403, "InvalidAccessKeyId", NO_SUCH_KEY);
    add_element(v, "AWSAccessKeyId", key, strlen(key));
    return;
  }
  sigv2_request in = {r->method, r->path, r->query, date_line, r->head, r->head_len, from_query};
  size_t n = 0;
  owned_str sts(sigv2_string_to_sign(&in, &n));
  if (!sts.get()) {
    set_error("SigV2 verification failed (out of memory)");
    refuse(v, 403, "SignatureDoesNotMatch", SIG_MISMATCH);
    return;
  }
  char expected[29];
  sigv2_sign(sts.get(), n, expected);
  int ok = const_time_eq(expected, 28, signature, strlen(signature));
  wipe(expected, sizeof expected);
  if (ok) return;
  set_error("SigV2 verification failed (signature mismatch)");
  refuse(v, 403, "SignatureDoesNotMatch", SIG_MISMATCH);
  add_element(v, "AWSAccessKeyId", key, strlen(key));
  add_string_to_sign(v, sts.get(), n);
  add_element(v, "SignatureProvided", signature, strlen(signature));
}

}  // namespace

void sigv2_check_header(const S3Request *r, auth_verdict *v) {
  char key[128], signature[129];
  if (parse_sigv2_authz(r->authorization, key, signature) != 0) {
    set_error("Access Denied: malformed Signature Version 2 Authorization header");
    refuse(v, 400, "InvalidArgument",
           "AWS authorization header is invalid.  Expected AwsAccessKeyId:signature");
    return;
  }
  // x-amz-date, when sent, is the signing time, and the date line of the string to sign is
  // then empty; otherwise the Date header is both.
  int has_amz = has_header(r->head, r->head_len, "x-amz-date");
  head_value date = first_header(r->head, r->head_len, has_amz ? "x-amz-date" : "date");
  char when[128];
  int64_t t = 0;
  int readable = date.n > 0 && date.n < sizeof when;
  if (readable) {
    memcpy(when, date.p, date.n);
    when[date.n] = 0;
  }
  if (!readable || read_v2_date(when, &t) != 0) {
    set_error("Access Denied: no valid x-amz-date or Date header");
    refuse(v, 403, "AccessDenied", "AWS authentication requires a valid Date or x-amz-date header");
    return;
  }
  int64_t now = server_now();
  int64_t diff = now > t ? now - t : t - now;
  if (diff > SKEW_MAX_SECONDS) {
    set_error("RequestTimeTooSkewed (%lds)", (long)diff);
    refuse(v, 403, "RequestTimeTooSkewed",
           "The difference between the request time and the server's time is too large");
    add_element(v, "RequestTime", when, date.n);
    add_time(v, "ServerTime", now);
    add_element(v, "MaxAllowedSkewMilliseconds", "900000", 6);
    return;
  }
  if (refuse_signed_stream(r, v)) return;
  check_signature(r, v, key, signature, has_amz ? "" : when, 0);
}

void sigv2_check_query(const S3Request *r, auth_verdict *v) {
  char key[128], signature[129], expires[64];
  size_t kn = 0, sn = 0, en = 0;
  if (!query_decoded(r->query, "AWSAccessKeyId", key, sizeof key, &kn) ||
      !query_decoded(r->query, "Signature", signature, sizeof signature, &sn) ||
      !query_decoded(r->query, "Expires", expires, sizeof expires, &en) || !kn || !sn) {
    set_error("Access Denied: incomplete Signature Version 2 query");
    refuse(v, 403, "AccessDenied",
           "Query-string authentication requires the Signature, Expires and AWSAccessKeyId "
           "parameters");
    return;
  }
  uint64_t at = 0;
  if (!en || parse_decimal(expires, en, (uint64_t)INT64_MAX, 0, &at) != 0) {
    set_error("Access Denied: Expires is not a number");
    char m[sizeof v->message];
    char esc[200];  // cut to fit the message
    xml_escape_str(expires, esc, sizeof esc);
    snprintf(m, sizeof m, "Invalid date (should be seconds since epoch): %s", esc);
    refuse(v, 403, "AccessDenied", m);
    return;
  }
  int64_t now = server_now();
  if (now > (int64_t)at) {
    set_error("Access Denied: presigned URL expired %llds ago", (long long)(now - (int64_t)at));
    refuse(v, 403, "AccessDenied", "Request has expired");
    add_time(v, "Expires", (int64_t)at);
    add_time(v, "ServerTime", now);
    return;
  }
  if (refuse_signed_stream(r, v)) return;
  check_signature(r, v, key, signature, expires, 1);
}

int sigv2_verify_policy(const char *policy_b64, const char *access_key, const char *signature) {
  if (!policy_b64 || !access_key || !signature) return 0;
  if (strcmp(access_key, s_access_key) != 0) return -1;
  char expected[29];
  sigv2_sign(policy_b64, strlen(policy_b64), expected);
  int ok = const_time_eq(expected, 28, signature, strlen(signature));
  wipe(expected, sizeof expected);
  return ok ? 1 : 0;
}
