// The state of the connection a worker serves: framing of the request's body, reuse after the
// answer, and the pace of a body read before its signature was checked.
#include "http/conn.h"

#include <cstring>

#include "base/limits.h"

static thread_local http_conn *t_conn = nullptr;

void http_conn_enter(http_conn *c) { t_conn = c; }
http_conn *http_conn_current() { return t_conn; }

void http_conn_begin_request(http_conn *c) {
  uint64_t requests = c->requests;
  memset(c, 0, sizeof *c);
  c->requests = requests;
}

void http_body_pace(int on) {
  http_conn *c = t_conn;
  if (!c) return;
  c->paced = on;
  c->paced_start = plat_tick_ms();
  c->paced_bytes = 0;
}

// While paced: how long the next receive may wait, or -1 when the client is out of time
// (the whole deadline spent, or fewer bytes than the rate asks for the time since the grace).
static int paced_wait_ms(const http_conn *c) {
  uint32_t spent = plat_tick_ms() - c->paced_start;
  if (spent >= uint32_t(S3_FORM_DEADLINE_MS)) return -1;
  if (spent > uint32_t(S3_RATE_GRACE_MS)) {
    uint64_t owed = uint64_t(spent - uint32_t(S3_RATE_GRACE_MS)) * S3_MIN_BYTES_PER_S / 1000;
    if (c->paced_bytes < owed) return -1;
  }
  // Waits in short steps so that the rate is looked at again while the client is silent.
  int left = S3_FORM_DEADLINE_MS - int(spent);
  return left < 250 ? left : 250;
}

long http_body_recv(plat_sock s, void *buf, size_t n) {
  http_conn *c = t_conn;
  if (!c) return plat_sock_recv(s, buf, n);
  if (c->framed) {
    if (c->sock_left == 0) return 0;
    if (n > c->sock_left) n = size_t(c->sock_left);
  }
  while (c->paced) {
    int wait = paced_wait_ms(c);
    if (wait < 0) {
      c->closing = 1;
      return -1;
    }
    int ready = plat_sock_wait_readable(s, wait);
    if (ready == 1) break;
    if (ready < 0) return -1;
  }
  long got = plat_sock_recv(s, buf, n);
  if (got <= 0) {
    c->closing = 1;
    return got;
  }
  if (c->framed) c->sock_left -= uint64_t(got);
  if (c->paced) c->paced_bytes += uint64_t(got);
  return got;
}

int http_conn_reusable(const http_conn *c) {
  if (!c->keep || c->closing || !c->answered || !c->framed || c->sock_left) return 0;
  return !c->expect_body || c->body_sent == c->body_len;
}

const char *http_conn_head_tail(int status, int head_only, int has_length, uint64_t len) {
  static const char kClose[] = "Connection: close\r\n\r\n";
  http_conn *c = t_conn;
  if (!c) return kClose;
  // Interim answers are sent as they stand; this is the final head.
  c->answered = 1;
  int no_body = head_only || status == 204 || status == 304 || (status >= 100 && status < 200);
  c->expect_body = !no_body && has_length;
  c->body_len = has_length ? len : 0;
  c->body_sent = 0;
  if (!c->keep || !c->framed || c->sock_left || c->closing) {
    c->closing = 1;
    return kClose;
  }
  // A head written without a length is an answer without a body; on a kept connection it
  // says so, or the client would read on to the close.
  if (!no_body && !has_length)
    return c->say_keep_alive ? "Content-Length: 0\r\nConnection: keep-alive\r\n\r\n"
                             : "Content-Length: 0\r\n\r\n";
  return c->say_keep_alive ? "Connection: keep-alive\r\n\r\n" : "\r\n";
}

void http_conn_sent(uint64_t n) {
  if (t_conn) t_conn->body_sent += n;
}

void http_conn_broken() {
  if (t_conn) t_conn->closing = 1;
}
