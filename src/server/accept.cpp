// The connection threads: a fixed pool, started once per run, whose threads take turns waiting
// on the listening socket. Each accepted connection is served by the thread that accepted it
// (one request, then a graceful close), so at most one connection per thread is ever served
// and further connections wait in the listen queue until a thread is free again.
#include "ops/ops.h"
#include "base/limits.h"
#include "server/server.h"

constexpr int S3_ACCEPT_WAIT_MS = 1000;       // bounds how long a stop waits for a thread
constexpr int S3_SLOT_POLL_MS = 5;             // how often a full server looks for a free slot

// After the answer, what the client still sends is read and thrown away before closing:
// closing with unread bytes makes the kernel send a reset, and a client still busy sending
// its body would then lose the answer it has not read yet. Bounded so that a client that
// never stops cannot hold the thread.
constexpr uint32_t S3_LINGER_MS = 5000;
constexpr uint64_t S3_LINGER_BYTES = 64ull << 20;
constexpr int S3_LINGER_QUIET_MS = 1000;  // a client silent this long is done sending

namespace {

// One thread at a time waits on the listening socket and accepts; the others wait for their
// turn here, so a connection never wakes more than one thread. Never destroyed: a thread that a
// stop gave up waiting for may still come back to it.
plat_mutex *accept_turn() {
  static plat_mutex lock;
  static const bool ready = (plat_mutex_init(&lock), true);
  (void)ready;
  return &lock;
}

// 1 readable, 0 time-out, -1 error or no socket.
int wait_accept_ready(plat_sock s) {
  if (s == PLAT_BAD_SOCK) return -1;
  return plat_sock_wait_readable(s, S3_ACCEPT_WAIT_MS);
}

// Waits for readiness rather than changing the socket's time-outs at every turn: the time-outs
// were set once for the connection and the close should not pay two more options per turn.
void linger_close(plat_sock s) {
  plat_sock_shutdown_send(s);
  char buf[16384];
  uint64_t total = 0;
  uint32_t start = plat_tick_ms();
  for (;;) {
    uint32_t spent = plat_tick_ms() - start;
    if (spent >= S3_LINGER_MS || total >= S3_LINGER_BYTES) break;
    uint32_t left = S3_LINGER_MS - spent;
    int wait = left < (uint32_t)S3_LINGER_QUIET_MS ? (int)left : S3_LINGER_QUIET_MS;
    if (plat_sock_wait_readable(s, wait) != 1) break;  // quiet for too long, or an error
    long n = plat_sock_recv(s, buf, sizeof buf);
    if (n <= 0) break;  // closed by the client, or reset
    total += (uint64_t)n;
  }
  plat_sock_close(s);
}

// The next connection of run gen, with its count taken; PLAT_BAD_SOCK once that run stops.
// Called with the accept turn held.
plat_sock next_connection(uint32_t gen) {
  for (;;) {
    int stop = 0;
    plat_sock ls = lifecycle_listen_sock(gen, &stop);
    if (stop || ls == PLAT_BAD_SOCK) return PLAT_BAD_SOCK;
    // Threads of an earlier run that a stop left serving still count: while the bound is
    // reached, new connections stay in the listen queue (not accepted and closed).
    if (!conn_slot_free()) {
      plat_sleep_ms(S3_SLOT_POLL_MS);
      continue;
    }
    if (wait_accept_ready(ls) != 1) continue;
    plat_sock c = plat_sock_accept(ls);
    if (c == PLAT_BAD_SOCK) {
      if (lifecycle_stopped(gen)) return PLAT_BAD_SOCK;
      plat_sleep_ms(10);  // e.g. out of descriptors: do not spin while it lasts
      continue;
    }
    if (conn_try_enter(gen)) return c;
    plat_sock_close(c);  // stopping: no answer at all
  }
}

}  // namespace

int conn_worker(void *arg) {
  const uint32_t gen = (uint32_t)(uintptr_t)arg;
  for (;;) {
    plat_sock c;
    {
      plat_lock_guard turn(accept_turn());
      c = next_connection(gen);
    }
    if (c == PLAT_BAD_SOCK) return 0;
    plat_sock_timeouts(c, S3_IO_TIMEOUT_MS, S3_IO_TIMEOUT_MS);
    handle_connection(c);
    linger_close(c);
    conn_leave();
  }
}
