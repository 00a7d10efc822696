// Answer writers: reason phrases, response heads, request ids, the request's answer context
// (its added head lines, HEAD answers without a body), the S3 XML error document, the send
// loop, XML escaping and the growable text buffer the larger documents are built in.
#include "http/response.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/date.h"
#include "base/version.h"
#include "http/conn.h"

// ---------------------------------------------------------------- phrases and ids

const char *http_reason(int status) {
  switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 204: return "No Content";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 307: return "Temporary Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 411: return "Length Required";
    case 412: return "Precondition Failed";
    case 413: return "Content Too Large";
    case 414: return "URI Too Long";
    case 416: return "Range Not Satisfiable";
    case 417: return "Expectation Failed";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: break;
  }
  // A status without a phrase of its own still says what kind of answer it is.
  if (status >= 500) return "Internal Server Error";
  if (status >= 400) return "Bad Request";
  return "OK";
}

// Shared by every connection thread; each caller takes its own counter value and writes its
// id into its own buffer, so concurrent callers never see each other's half-made ids.
static std::atomic<uint32_t> s_request_counter{0};

const char *request_id(char out[33]) {
  static const char kHex[] = "0123456789abcdef";
  uint32_t t = uint32_t(plat_time_now());
  uint32_t c = s_request_counter.fetch_add(1, std::memory_order_relaxed) + 1;
  uint32_t x = (t * 2654435761u) ^ (c * 40503u);
  // Each digit comes from the top four bits of the generator: its low four bits repeat every
  // 16 steps and depend only on the seed's low bits, which would allow just 16 distinct ids.
  for (int i = 0; i < 32; i++) {
    x = x * 1664525u + 1013904223u;
    out[i] = kHex[x >> 28];
  }
  out[32] = 0;
  return out;
}

// ---------------------------------------------------------------- sending

static uint64_t send_now(plat_sock s, const void *data, uint64_t len) {
  const char *p = static_cast<const char *>(data);
  uint64_t sent = 0;
  while (sent < len) {
    uint64_t left = len - sent;
    size_t chunk = left > (uint64_t(1) << 30) ? size_t(1) << 30 : size_t(left);
    long n = plat_sock_send(s, p + sent, chunk);
    if (n <= 0) {
      http_conn_broken();  // the client has less than it was told to expect
      break;
    }
    sent += uint64_t(n);
  }
  return sent;
}

constexpr size_t HEAD_BUF = 2048;

// A small answer leaves in one send: the head of an answer whose body is at most HELD_BODY
// bytes is held until the body is whole, and both go together. One per thread, as a thread
// answers one request at a time.
constexpr size_t HELD_BODY = 16384;
struct held_answer {
  plat_sock s;
  size_t len;          // bytes held, head and body so far; 0 when none
  uint64_t body_left;  // body bytes that complete the answer
  char buf[HEAD_BUF + HELD_BODY];
};
static thread_local held_answer t_held;

void http_flush_held() {
  held_answer *h = &t_held;
  if (!h->len) return;
  size_t n = h->len;
  h->len = 0;
  h->body_left = 0;
  send_now(h->s, h->buf, n);
}

// Every send goes out after what is held, so that bytes never change their order.
static uint64_t send_all(plat_sock s, const void *data, uint64_t len) {
  http_flush_held();
  return send_now(s, data, len);
}

uint64_t http_write_all(plat_sock s, const answer_context *a, const void *data, uint64_t len) {
  // The head of an answer to HEAD is the one a GET would get, its Content-Length included;
  // what would follow it is left out here, whichever writer produced it.
  if (a->head_only) return len;
  held_answer *h = &t_held;
  if (h->len && h->s == s && len <= h->body_left) {
    memcpy(h->buf + h->len, data, size_t(len));
    h->len += size_t(len);
    h->body_left -= len;
    http_conn_sent(len);
    if (h->body_left == 0) http_flush_held();
    return len;
  }
  uint64_t sent = send_all(s, data, len);
  http_conn_sent(sent);
  return sent;
}

// Finishes a head whose fixed lines are in fixed[0..fixed_len) and sends it in one piece.
// The extra block may be of any length: a head that does not fit the stack buffer is built on
// the heap, so it is sent whole or, when memory runs out, not at all.
static void finish_and_send_head(plat_sock s, const answer_context *a, int status,
                                 int has_length, uint64_t length, const char *fixed,
                                 size_t fixed_len, const char *extra) {
  // The connection's verdict: kept for the next request, or closed after this answer.
  const char *tail = http_conn_head_tail(status, a->head_only, has_length, length);
  const size_t tail_len = strlen(tail);
  size_t extra_len = extra ? strlen(extra) : 0;
  // A block whose last line lacks its CR LF would run into the closing lines.
  int add_crlf = extra_len >= 1 && !(extra_len >= 2 && extra[extra_len - 2] == '\r' &&
                                     extra[extra_len - 1] == '\n');
  const char *request_lines = a->lines ? a->lines : "";
  size_t request_len = strlen(request_lines);
  size_t version_len = strnlen(a->version_lines, sizeof a->version_lines);
  size_t total =
      fixed_len + extra_len + (add_crlf ? 2 : 0) + request_len + version_len + tail_len;
  char local[HEAD_BUF];
  char *buf = total < sizeof local ? local : static_cast<char *>(malloc(total + 1));
  if (!buf) {
    http_conn_broken();
    return;
  }
  size_t at = 0;
  memcpy(buf, fixed, fixed_len);
  at += fixed_len;
  if (extra_len) {
    memcpy(buf + at, extra, extra_len);
    at += extra_len;
  }
  if (add_crlf) {
    memcpy(buf + at, "\r\n", 2);
    at += 2;
  }
  memcpy(buf + at, request_lines, request_len);
  at += request_len;
  memcpy(buf + at, a->version_lines, version_len);
  at += version_len;
  memcpy(buf + at, tail, tail_len);
  at += tail_len;
  int has_body = !a->head_only && status >= 200 && status != 204 && status != 304;
  held_answer *h = &t_held;
  if (has_body && has_length && length > 0 && length <= HELD_BODY && at <= HEAD_BUF) {
    http_flush_held();
    memcpy(h->buf, buf, at);
    h->s = s;
    h->len = at;
    h->body_left = length;
  } else {
    send_all(s, buf, at);
  }
  if (buf != local) free(buf);
}

// The status line, Server, Date and x-amz-request-id lines every head starts with, written into
// buf; their length, or -1 when they do not fit. id is the answer's request id, or null for a
// fresh one.
static int head_start(char *buf, size_t cap, int status, const char *id) {
  char date[64], fresh[33];
  format_rfc1123(plat_time_now(), date);
  if (!id) id = request_id(fresh);
  int n = snprintf(buf, cap,
                   "HTTP/1.1 %d %s\r\nServer: quillmar-s3/" QUILLMAR_VERSION "\r\nDate: %s\r\n"
                   "x-amz-request-id: %s\r\n",
                   status, http_reason(status), date, id);
  return (n < 0 || size_t(n) >= cap) ? -1 : n;
}

static void send_headers_with_id(plat_sock s, const answer_context *a, int status,
                                 const char *extra, uint64_t content_length, int with_length,
                                 const char *id) {
  char fixed[HEAD_BUF];
  int n = head_start(fixed, sizeof fixed, status, id);
  if (n < 0) return;
  if (with_length) {
    int m = snprintf(fixed + n, sizeof fixed - size_t(n), "Content-Length: %llu\r\n",
                     (unsigned long long)content_length);
    if (m < 0 || size_t(n + m) >= sizeof fixed) return;
    n += m;
  }
  finish_and_send_head(s, a, status, with_length, content_length, fixed, size_t(n), extra);
}

void http_send_headers(plat_sock s, const answer_context *a, int status, const char *extra,
                       uint64_t content_length, int with_length) {
  send_headers_with_id(s, a, status, extra, content_length, with_length, nullptr);
}

void http_send_obj_headers(plat_sock s, const answer_context *a, int status,
                           const char *content_type, uint64_t content_length, const char *extra) {
  char fixed[HEAD_BUF];
  int n = head_start(fixed, sizeof fixed, status, nullptr);
  if (n < 0) return;
  int m = snprintf(fixed + n, sizeof fixed - size_t(n), "Content-Type: %s\r\nContent-Length: %llu\r\n",
                   content_type ? content_type : "", (unsigned long long)content_length);
  // Only the content type can make the fixed lines long; such a head is not sent at all.
  if (m < 0 || size_t(n + m) >= sizeof fixed) return;
  finish_and_send_head(s, a, status, 1, content_length, fixed, size_t(n + m), extra);
}

void send_error(plat_sock s, const answer_context *a, int status, const char *code,
                const char *message, const char *resource, const char *extra_head,
                const char *elements) {
  char escaped[4352];
  xml_escape_str(resource ? resource : "", escaped, sizeof escaped);
  // The document names the same id as the head, so a client's log line and the error it
  // quotes point at one request.
  char id[33];
  request_id(id);
  char doc[8192];
  int n = snprintf(doc, sizeof doc,
                   "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Error>\n  <Code>%s</Code>\n"
                   "  <Message>%s</Message>\n  <Resource>%s</Resource>\n%s"
                   "  <RequestId>%s</RequestId>\n  <HostId>quillmars3localhost</HostId>\n"
                   "</Error>\n",
                   code ? code : "", message ? message : "", escaped, elements ? elements : "",
                   id);
  if (n < 0) return;
  size_t doc_len = size_t(n) < sizeof doc ? size_t(n) : sizeof doc - 1;

  static const char kType[] = "Content-Type: application/xml\r\n";
  char extra_local[1024];
  size_t more = extra_head ? strlen(extra_head) : 0;
  char *extra = more + sizeof kType <= sizeof extra_local
                    ? extra_local
                    : static_cast<char *>(malloc(more + sizeof kType));
  if (!extra) return;
  memcpy(extra, kType, sizeof kType - 1);
  if (more) memcpy(extra + sizeof kType - 1, extra_head, more);
  extra[sizeof kType - 1 + more] = 0;
  send_headers_with_id(s, a, status, extra, doc_len, 1, id);
  if (extra != extra_local) free(extra);
  http_write_all(s, a, doc, doc_len);
}

// ---------------------------------------------------------------- XML escaping

static const char *xml_entity(char c) {
  switch (c) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '"': return "&quot;";
    case '\'': return "&apos;";
    default: return nullptr;
  }
}

void xml_escape_str(const char *src, char *dst, size_t cap) {
  if (!dst || cap == 0) return;
  size_t w = 0;
  // Room for the longest entity and the NUL is checked before every character, so a cut
  // never splits an entity.
  for (const char *p = src ? src : ""; *p && w + 10 < cap; p++) {
    const char *e = xml_entity(*p);
    if (e) {
      size_t n = strlen(e);
      memcpy(dst + w, e, n);
      w += n;
    } else {
      dst[w++] = *p;
    }
  }
  dst[w] = 0;
}

// ---------------------------------------------------------------- dynbuf

constexpr size_t DYNBUF_INITIAL = 4096;
constexpr size_t DYNBUF_LAST_DOUBLING = 268435456;  // growth stops at twice this: 512 MiB
constexpr size_t DYNBUF_PRINTF_SCRATCH = 4600;

void dynbuf_init(dynbuf *b) {
  b->len = 0;
  b->failed = 0;
  b->data = static_cast<char *>(malloc(DYNBUF_INITIAL));
  if (!b->data) {
    b->cap = 0;
    b->failed = 1;
    return;
  }
  b->cap = DYNBUF_INITIAL;
  b->data[0] = 0;
}

size_t dynbuf_append(dynbuf *b, const char *text, size_t n) {
  if (!text) return 0;
  // An oversized count is taken as "the text up to its NUL", but never read past n.
  if (n > b->cap) {
    const void *nul = memchr(text, 0, n);
    if (nul) n = size_t(static_cast<const char *>(nul) - text);
  }
  if (n > DYNBUF_LAST_DOUBLING * 2) {
    b->failed = 1;
    return 0;
  }
  size_t need = b->len + n + 1;
  if (need > b->cap || !b->data) {
    size_t cap = b->cap ? b->cap : DYNBUF_INITIAL;
    while (cap < need) {
      if (cap > DYNBUF_LAST_DOUBLING) {
        b->failed = 1;
        return 0;
      }
      cap *= 2;
    }
    char *p = static_cast<char *>(realloc(b->data, cap));
    if (!p) {
      b->failed = 1;
      return 0;
    }
    if (!b->data) p[0] = 0;
    b->data = p;
    b->cap = cap;
  }
  if (n) memcpy(b->data + b->len, text, n);
  b->len += n;
  b->data[b->len] = 0;
  return n;
}

int dynbuf_printf(dynbuf *b, const char *fmt, ...) {
  char scratch[DYNBUF_PRINTF_SCRATCH];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(scratch, sizeof scratch, fmt, ap);
  va_end(ap);
  if (n < 0) return 0;
  if (n == 0) return 1;
  size_t want = size_t(n);
  size_t take = want < sizeof scratch ? want : sizeof scratch - 1;
  return dynbuf_append(b, scratch, take) == want ? 1 : 0;
}

int dynbuf_append_escaped(dynbuf *b, const char *text) {
  if (!text) return 1;
  const char *run = text;
  for (const char *p = text;; p++) {
    const char *e = *p ? xml_entity(*p) : nullptr;
    if (!*p || e) {
      size_t n = size_t(p - run);
      if (n && dynbuf_append(b, run, n) != n) return 0;
      if (!*p) return 1;
      size_t en = strlen(e);
      if (dynbuf_append(b, e, en) != en) return 0;
      run = p + 1;
    }
  }
}

void dynbuf_free(dynbuf *b) {
  free(b->data);
  b->data = nullptr;
  b->len = 0;
  b->cap = 0;
}
