// Request head reading and parsing: the head buffer, the request line, the captured headers,
// the split of the path into bucket and key, and the header and query lookups used by every later stage.
#include "http/request.h"

#include <cstdlib>
#include <cstring>

#include "digest/hash.h"
#include "http/conn.h"
#include "http/response.h"

// ---------------------------------------------------------------- lookups

static char *dup_range(const char *s, size_t n) {
  char *out = static_cast<char *>(malloc(n + 1));
  if (!out) return nullptr;
  if (n) memcpy(out, s, n);
  out[n] = 0;
  return out;
}

char *hdr_value(const char *region, size_t len, const char *name) {
  size_t at = 0, n = 0;
  return hdr_span(region, len, name, &at, &n) ? dup_range(region + at, n) : nullptr;
}

int hdr_span(const char *region, size_t len, const char *name, size_t *at, size_t *n) {
  if (!region || !name) return 0;
  size_t nlen = strlen(name);
  size_t line = 0;
  while (line < len) {
    // The name and its colon must both lie inside the region.
    if (line + nlen < len) {
      size_t i = 0;
      while (i < nlen && ascii_lower(region[line + i]) == ascii_lower(name[i])) i++;
      if (i == nlen && region[line + nlen] == ':') {
        size_t v = line + nlen + 1, end = v;
        while (end < len && region[end] != '\r' && region[end] != '\n') end++;
        while (v < end && (region[v] == ' ' || region[v] == '\t')) v++;
        while (end > v && (region[end - 1] == ' ' || region[end - 1] == '\t')) end--;
        *at = v;
        *n = end - v;
        return 1;
      }
    }
    const void *lf = memchr(region + line, '\n', len - line);
    if (!lf) break;
    line = size_t(static_cast<const char *>(lf) - region) + 1;
  }
  return 0;
}

char *request_copy_source(const S3Request *r) {
  const head_fields *f = &r->fields;
  return f->copy_source_present ? dup_range(r->head + f->copy_source_at, f->copy_source_len)
                                : nullptr;
}

int request_length(const S3Request *r, uint64_t *out, int *overflow) {
  const head_fields *f = &r->fields;
  *out = f->cl_present ? f->cl_framed : 0;
  if (overflow) *overflow = f->cl_present && f->cl_framed_over;
  return f->cl_present;
}

static void read_length_fields(const char *head, size_t head_len, head_fields *f) {
  owned_str cl(hdr_value(head, head_len, "content-length"));
  if (cl.p) {
    f->cl_present = 1;
    f->cl_empty = cl.p[0] == 0;
    uint64_t value = 0;
    f->cl_kind = read_content_length(cl.p, &value);
    f->cl_framed_over = framed_content_length(cl.p, &f->cl_framed) != 0;
    copy_text(f->cl_text, sizeof f->cl_text, cl.p);  // cut to fit: the log shows 40
  }
  owned_str te(hdr_value(head, head_len, "transfer-encoding"));
  f->te_chunked = te.p && ieq(te.p, "chunked");
  owned_str decoded(hdr_value(head, head_len, "x-amz-decoded-content-length"));
  if (decoded.p) {
    f->decoded_present = 1;
    f->decoded_ok =
        parse_decimal(decoded.p, strlen(decoded.p), UINT64_MAX, 0, &f->decoded_len) == 0;
  }
}

void read_head_fields(const char *head, size_t head_len, head_fields *f) {
  memset(f, 0, sizeof *f);
  read_length_fields(head, head_len, f);
  for (int a = CK_CRC32; a < CK_COUNT; a++) {
    owned_str v(hdr_value(head, head_len, ck_info_of(a)->header));
    if (!v.p) continue;
    f->ck_present |= 1u << a;
    if (v.p[0]) f->ck_nonempty |= 1u << a;
    f->ck_len[a] = base64_decode_n(v.p, f->ck_bytes[a], sizeof f->ck_bytes[a]);
  }
  f->copy_source_present =
      hdr_span(head, head_len, "x-amz-copy-source", &f->copy_source_at, &f->copy_source_len);
}

char *qparam(const char *query, const char *name) {
  if (!query || !name) return nullptr;
  size_t nlen = strlen(name);
  if (nlen > 126) return nullptr;
  const char *p = query;
  for (;;) {
    if (strncmp(p, name, nlen) == 0 && p[nlen] == '=') {
      const char *v = p + nlen + 1;
      const char *amp = strchr(v, '&');
      return dup_range(v, amp ? size_t(amp - v) : strlen(v));
    }
    const char *amp = strchr(p, '&');
    if (!amp) return nullptr;
    p = amp + 1;
  }
}

int qhas(const char *query, const char *name) {
  if (!query || !name) return 0;
  size_t nlen = strlen(name);
  const char *p = query;
  for (;;) {
    if (strncmp(p, name, nlen) == 0 && (p[nlen] == 0 || p[nlen] == '&' || p[nlen] == '='))
      return 1;
    const char *amp = strchr(p, '&');
    if (!amp) return 0;
    p = amp + 1;
  }
}

int hdr_u64(const char *region, size_t len, const char *name, uint64_t *out, int *overflow) {
  *out = 0;
  if (overflow) *overflow = 0;
  owned_str v(hdr_value(region, len, name));
  if (!v.p) return 0;
  // The value comes trimmed of blanks. A negative length other than zero can only be a lie,
  // so it is reported as too large, like a value beyond 64 bits.
  if (framed_content_length(v.p, out) != 0 && overflow) *overflow = 1;
  return 1;
}

// ---------------------------------------------------------------- head reading

void request_free(S3Request *r) {
  if (!r) return;
  free(r->head);
  r->head = nullptr;
  r->head_cap = r->received = r->head_len = 0;
  r->body_prefix = nullptr;
  r->body_prefix_len = 0;
}

// The end of the head in the received text, or 0 while it is incomplete. A CR LF CR LF
// anywhere wins over a bare LF LF; the search is a text search, so a NUL byte ends it.
static size_t find_head_end(const char *text) {
  const char *crlf = strstr(text, "\r\n\r\n");
  if (crlf) return size_t(crlf - text) + 4;
  const char *lf = strstr(text, "\n\n");
  if (lf) return size_t(lf - text) + 2;
  return 0;
}

// Waits for the next bytes of the head until the head deadline; -1 when it has passed.
static int wait_head_bytes(plat_sock s, uint32_t start) {
  uint32_t spent = plat_tick_ms() - start;
  if (spent >= uint32_t(S3_HEAD_DEADLINE_MS)) return -1;
  return plat_sock_wait_readable(s, S3_HEAD_DEADLINE_MS - int(spent)) == 1 ? 0 : -1;
}

static int receive_head(plat_sock s, S3Request *r) {
  uint32_t start = plat_tick_ms();
  r->head = static_cast<char *>(malloc(S3_HEAD_INITIAL));
  if (!r->head) return -1;
  r->head_cap = S3_HEAD_INITIAL;
  r->received = 0;
  r->head[0] = 0;
  for (;;) {
    if (wait_head_bytes(s, start) != 0) return -1;
    long got = plat_sock_recv(s, r->head + r->received, r->head_cap - 1 - r->received);
    if (got <= 0) return -1;
    r->received += size_t(got);
    r->head[r->received] = 0;
    size_t end = find_head_end(r->head);
    if (end) {
      r->head_len = end;
      return 0;
    }
    if (r->received + 64 < r->head_cap) continue;
    size_t grown = r->head_cap * 2;
    if (grown > S3_HEAD_LIMIT) return -1;
    char *p = static_cast<char *>(realloc(r->head, grown));
    if (!p) return -1;
    r->head = p;
    r->head_cap = grown;
  }
}

// Splits the request line into method, target and version; -1 when it is too long or lacks
// either space.
static int parse_request_line(S3Request *r) {
  size_t line_len = strcspn(r->head, "\r\n");
  if (line_len > S3_REQUEST_LINE_MAX) return -1;
  const char *line = r->head;
  const char *sp1 = static_cast<const char *>(memchr(line, ' ', line_len));
  if (!sp1) return -1;
  const char *after1 = sp1 + 1;
  const char *sp2 = static_cast<const char *>(memchr(after1, ' ', line_len - size_t(after1 - line)));
  if (!sp2) return -1;
  copy_text_n(r->method, sizeof r->method, line, size_t(sp1 - line));
  copy_text_n(r->target, sizeof r->target, after1, size_t(sp2 - after1));
  copy_text_n(r->version, sizeof r->version, sp2 + 1, line_len - size_t(sp2 + 1 - line));
  return 0;
}

void send_continue_if_expected(plat_sock s, const S3Request *r) {
  owned_str expect(hdr_value(r->head, r->received, "expect"));
  if (expect.p && ieq(expect.p, "100-continue")) {
    static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
    http_write_all(s, &r->answer, kContinue, sizeof kContinue - 1);
  }
}

static void capture_header(const S3Request *r, const char *name, char *field, size_t cap) {
  owned_str v(hdr_value(r->head, r->head_len, name));
  copy_text(field, cap, v.p ? v.p : "");
}

// The bucket named by a Host of the form bucket.localhost or bucket.localhost:port, into
// *label / *n; 0 when the Host names none. Only name characters are taken, so the label can
// never add a "/" or an escape to the path; whether it is a valid bucket name is left to the
// bucket rule, which answers for it.
static int virtual_host_bucket(const char *host, const char **label, size_t *n) {
  static const char suffix[] = ".localhost";
  const size_t slen = sizeof suffix - 1;
  size_t hlen = strcspn(host, ":");
  if (host[hlen] == ':') {
    const char *port = host + hlen + 1;
    if (!*port || strspn(port, "0123456789") != strlen(port)) return 0;
  }
  if (hlen <= slen) return 0;
  for (size_t i = 0; i < slen; i++)
    if (ascii_lower(host[hlen - slen + i]) != suffix[i]) return 0;
  size_t m = hlen - slen;
  for (size_t i = 0; i < m; i++) {
    char c = host[i];
    int ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
             c == '-' || c == '.' || c == '_';
    if (!ok) return 0;
  }
  *label = host;
  *n = m;
  return 1;
}

// Puts "/bucket" before the path of a request addressed by its Host, so that the rest of the
// server sees a path-style request. -1 when the result would not fit.
static int apply_virtual_host(S3Request *r) {
  const char *label = nullptr;
  size_t n = 0;
  if (r->path[0] != '/' || !virtual_host_bucket(r->host, &label, &n)) return 0;
  size_t plen = strlen(r->path);
  if (1 + n + plen > S3_PATH_MAX) return -1;
  memmove(r->path + 1 + n, r->path, plen + 1);
  r->path[0] = '/';
  memcpy(r->path + 1, label, n);
  r->vhost_len = 1 + n;
  return 0;
}

// Parses the head held in r->head; 0, or -1 when the request is dropped unanswered.
static int parse_head(S3Request *r) {
  if (parse_request_line(r) != 0) return -1;
  r->body_prefix = r->head + r->head_len;
  r->body_prefix_len = r->received - r->head_len;

  capture_header(r, "Authorization", r->authorization, sizeof r->authorization);
  capture_header(r, "Host", r->host, sizeof r->host);
  capture_header(r, "x-amz-date", r->amz_date, sizeof r->amz_date);
  capture_header(r, "x-amz-content-sha256", r->content_sha256, sizeof r->content_sha256);
  read_head_fields(r->head, r->head_len, &r->fields);

  const char *q = strchr(r->target, '?');
  if (q) {
    copy_text(r->query, sizeof r->query, q + 1);
    copy_text_n(r->path, sizeof r->path, r->target, size_t(q - r->target));
  } else {
    copy_text(r->path, sizeof r->path, r->target);
  }
  if (apply_virtual_host(r) != 0) return -1;
  r->is_service = (strcmp(r->path, "/") == 0 || !strchr(r->path, '/')) ? 1 : 0;
  return 0;
}

int read_request_head(plat_sock s, S3Request *r) {
  memset(r, 0, sizeof *r);
  if (receive_head(s, r) != 0 || parse_head(r) != 0) {
    plat_sock_shutdown_both(s);
    return -1;
  }
  return 0;
}

long head_scan(const char *buf, size_t from, size_t received) {
  size_t i = from > 3 ? from - 3 : 0;
  for (; i < received; i++) {
    char c = buf[i];
    if (c == 0) return -1;
    if (c != '\n') continue;
    int lf_lf = i + 1 < received && buf[i + 1] == '\n';
    int lf_crlf = i + 2 < received && buf[i + 1] == '\r' && buf[i + 2] == '\n';
    // The text search decides between the two endings, as for a head read in one go.
    if (lf_lf || lf_crlf) return long(find_head_end(buf));
  }
  return 0;
}

int request_from_head(S3Request *r, char *buf, size_t cap, size_t received, size_t head_len) {
  memset(r, 0, sizeof *r);
  r->head = buf;
  r->head_cap = cap;
  r->received = received;
  r->head_len = head_len;
  return parse_head(r);
}

// The Connection header's tokens: 1 when one of them is name.
static int connection_has(const S3Request *r, const char *name) {
  owned_str v(hdr_value(r->head, r->head_len, "connection"));
  if (!v.p) return 0;
  size_t nlen = strlen(name);
  for (const char *p = v.p; *p;) {
    while (*p == ' ' || *p == '\t' || *p == ',') p++;
    size_t n = strcspn(p, ",");
    size_t t = n;
    while (t > 0 && (p[t - 1] == ' ' || p[t - 1] == '\t')) t--;
    if (t == nlen) {
      size_t k = 0;
      while (k < t && ascii_lower(p[k]) == ascii_lower(name[k])) k++;
      if (k == t) return 1;
    }
    p += n;
  }
  return 0;
}

size_t request_frame(S3Request *r, http_conn *c) {
  int v11 = strcmp(r->version, "HTTP/1.1") == 0;
  int v10 = strcmp(r->version, "HTTP/1.0") == 0;
  if (v11)
    c->keep = !connection_has(r, "close");
  else if (v10 && connection_has(r, "keep-alive") && !connection_has(r, "close"))
    c->keep = c->say_keep_alive = 1;
  const head_fields *f = &r->fields;
  // Only a body of known length ends where the next request begins; a chunked body, or a
  // length that is not one number, leaves the connection to end with the answer.
  if (f->te_chunked || (f->cl_present && (f->cl_kind != CL_NUMBER || f->cl_framed_over))) return 0;
  uint64_t body = f->cl_present ? f->cl_framed : 0;
  c->framed = 1;
  size_t in_prefix = r->body_prefix_len;
  if (uint64_t(in_prefix) > body) in_prefix = size_t(body);
  size_t next = r->body_prefix_len - in_prefix;
  r->body_prefix_len = in_prefix;
  c->sock_left = body - in_prefix;
  return next;
}

// ---------------------------------------------------------------- bucket and key splitting

// Strictly decodes one non-empty segment into out[S3_KEY_FIELD]; returns its length, or -1 when
// an escape is malformed, it decodes to a NUL, or the decoded text is longer than a key may be.
static long decode_segment(const char *seg, size_t n, char *out) {
  // Both digits of an escape must lie within the segment. An encoded NUL would end the key
  // early in every C string it passes through, so that "ab%00cd/e" stored and read the key
  // "ab/e": such a segment names no key at all.
  return pct_decode_text(seg, n, out, S3_KEY_FIELD, PCT_STRICT | PCT_NO_NUL);
}

int query_is_utf8(const char *query) {
  if (!query) return 1;
  // Each name and value percent-decoded; the query is never longer than the target.
  char part[S3_QUERY_MAX + 1];
  for (const char *p = query; *p;) {
    size_t n = strcspn(p, "&=");
    copy_text_n(part, sizeof part, p, n);
    pct_decode(part);
    if (!text_is_utf8(part, strlen(part))) return 0;
    p += n;
    if (*p) p++;
  }
  return 1;
}

// Decodes the key text (after the bucket segment) into r->key segment by segment; 0, or -1
// when it does not decode (see parse_bucket_key).
static int decode_key(S3Request *r, const char *key_text) {
  if (strlen(key_text) > S3_KEY_MAX) return -1;
  char decoded[S3_KEY_FIELD];
  size_t klen = 0;
  for (const char *p = key_text; *p;) {
    if (*p == '/') {
      if (klen + 1 > S3_KEY_MAX) return -1;
      r->key[klen++] = '/';
      p++;
      continue;
    }
    size_t n = strcspn(p, "/");
    long dlen = decode_segment(p, n, decoded);
    // Every segment is a key's own text, "." and ".." included: S3 keys are names, not paths.
    if (dlen < 0) return -1;
    if (klen + size_t(dlen) > S3_KEY_MAX - 1) return -1;
    memcpy(r->key + klen, decoded, size_t(dlen));
    klen += size_t(dlen);
    p += n;
  }
  r->key[klen] = 0;
  return 0;
}

int parse_bucket_key(S3Request *r) {
  r->bucket[0] = 0;
  r->key[0] = 0;
  const char *path = r->path;
  if (!*path) return -1;
  const char *seg = path + 1;  // the leading character, normally "/", is not examined
  const char *slash = strchr(seg, '/');
  size_t bucket_len = slash ? size_t(slash - seg) : strlen(seg);
  const char *key_text = slash ? slash + 1 : seg + bucket_len;
  if (bucket_len > S3_BUCKET_MAX) return -2;
  memcpy(r->bucket, seg, bucket_len);
  r->bucket[bucket_len] = 0;
  if (decode_key(r, key_text) != 0) {
    r->key[0] = 0;
    return -1;
  }
  return 0;
}
