// The accept thread and the connection threads: one thread per connection, at most 32 alive,
// each serving exactly one request and then closing gracefully.
#include "ops/ops.h"
#include "server/server.h"

constexpr int S3_ACCEPT_WAIT_MS = 1000;       // bounds how long a stop waits for this thread
constexpr int S3_IO_TIMEOUT_MS = 60000;

// After the answer, what the client still sends is read and thrown away before closing:
// closing with unread bytes makes the kernel send a reset, and a client still busy sending
// its body would then lose the answer it has not read yet. Bounded so that a client that
// never stops cannot hold the thread.
constexpr uint32_t S3_LINGER_MS = 5000;
constexpr uint64_t S3_LINGER_BYTES = 64ull << 20;
constexpr int S3_LINGER_QUIET_MS = 1000;  // a client silent this long is done sending

// 1 readable, 0 time-out, -1 error or no socket.
static int wait_accept_ready(plat_sock s) {
  if (s == PLAT_BAD_SOCK) return -1;
  return plat_sock_wait_readable(s, S3_ACCEPT_WAIT_MS);
}

static void linger_close(plat_sock s) {
  plat_sock_shutdown_send(s);
  char buf[16384];
  uint64_t total = 0;
  uint32_t start = plat_tick_ms();
  for (;;) {
    uint32_t spent = plat_tick_ms() - start;
    if (spent >= S3_LINGER_MS || total >= S3_LINGER_BYTES) break;
    uint32_t left = S3_LINGER_MS - spent;
    int wait = left < (uint32_t)S3_LINGER_QUIET_MS ? (int)left : S3_LINGER_QUIET_MS;
    plat_sock_timeouts(s, wait, wait);
    long n = plat_sock_recv(s, buf, sizeof buf);
    if (n <= 0) break;  // closed by the client, reset, or quiet for too long
    total += (uint64_t)n;
  }
  plat_sock_close(s);
}

static int conn_fn(void *arg) {
  plat_sock s = (plat_sock)arg;
  plat_sock_timeouts(s, S3_IO_TIMEOUT_MS, S3_IO_TIMEOUT_MS);
  handle_connection(s);
  linger_close(s);
  conn_leave();
  return 0;
}

int accept_loop(void *) {
  for (;;) {
    int stop = 0;
    plat_sock ls = lifecycle_listen_sock(&stop);
    if (stop || ls == PLAT_BAD_SOCK) return 0;
    if (wait_accept_ready(ls) != 1) continue;
    plat_sock c = plat_sock_accept(ls);
    if (c == PLAT_BAD_SOCK) {
      if (lifecycle_stop_flag()) return 0;
      plat_sleep_ms(10);  // e.g. out of descriptors: do not spin while it lasts
      continue;
    }
    if (!conn_try_enter()) {
      plat_sock_close(c);  // full or stopping: no answer at all
      continue;
    }
    if (!plat_thread_start(conn_fn, (void *)c, S3_THREAD_STACK, 1)) {
      conn_leave();
      plat_sock_close(c);
    }
  }
}
