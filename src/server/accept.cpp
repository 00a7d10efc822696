// The connection engine: one front thread watches the listening socket and every open
// connection while it waits for a request head (idle between requests, or a head still
// arriving), holds each to its deadlines, and hands a connection whose head is whole to a
// fixed pool of workers; a worker serves that one request and gives the connection back, to
// carry the next request or to be closed. Idle and half-read connections hold no thread, nor
// does a whole request whose client address already has its share of the workers busy: it
// waits in the front for one of them to end.
#include <cstdlib>
#include <cstring>

#include "base/limits.h"
#include "base/state.h"
#include "http/conn.h"
#include "http/request.h"
#include "http/response.h"
#include "ops/ops.h"
#include "server/server.h"

namespace {

constexpr int k_tick_ms = 250;              // the front looks at deadlines this often
constexpr int k_linger_quiet_ms = 1000;     // a closing client silent this long is done
constexpr uint64_t k_listen_tag = UINT64_MAX - 1;
constexpr int k_addr_slots = 16384;         // per-address counts: a power of two > the total

// C_WAIT: the head is whole and waits for its address's turn (not watched, in no worker).
enum conn_phase { C_FREE = 0, C_IDLE, C_HEAD, C_BUSY, C_LINGER, C_WAIT };

struct conn {
  plat_sock sock;
  uint32_t peer;        // IPv4 address, network order
  int phase;
  uint32_t since;       // tick the phase began (the first head byte for C_HEAD)
  uint32_t last;        // tick of the last bytes (C_LINGER)
  uint64_t lingered;    // bytes thrown away while closing
  char *buf;            // the head being received (null while idle without bytes)
  size_t cap;
  size_t received;
  int close_after;      // set by the worker: close instead of waiting for a request
  int next;             // free list, the work and return queues, an address's waiting list
  http_conn http;
};

struct addr_count {
  uint32_t addr;
  int count;                 // open connections; 0: the slot is empty
  int busy;                  // of them, in a worker's hands
  int wait_head, wait_tail;  // whole requests waiting for a worker (C_WAIT), in arrival order
};

}  // namespace

// One run's engine. The front owns every connection not in a worker's hands; the queues pass
// connections between them under the lock.
struct engine {
  uint32_t run;
  plat_sock listen;
  plat_poller *poller;
  conn *conns;           // S3_MAX_OPEN_CONNS of them
  int free_head;
  int open;              // connections open
  addr_count *addrs;
  plat_mutex lock;       // the queues, stopping and the workers' count
  plat_cond work_ready;
  int work_head, work_tail;
  int back_head, back_tail;
  int stopping;
  int busy;              // connections in a worker's hands
  int front_done;        // the front ended: workers close what they finish
  int threads_left;      // front and workers still running; the last frees the engine
};

namespace {

// ---------------------------------------------------------------- counts

QUILLMAR_LAZY_LOCK(stats_mutex)
uint64_t s_connections = 0;
uint64_t s_reused_requests = 0;
uint64_t s_most_requests = 0;

void count_connection() {
  plat_lock_guard g(stats_mutex());
  s_connections++;
}

void count_request_on(const http_conn *h) {
  plat_lock_guard g(stats_mutex());
  if (h->requests > 1) s_reused_requests++;
  if (h->requests > s_most_requests) s_most_requests = h->requests;
}

// ---------------------------------------------------------------- per-address counts

// Linear probing with backward-shift removal, so that addresses come and go for ever without
// the table filling with stale entries. Used under the engine's lock: the front counts
// connections and hands out workers, a worker that keeps its connection gives one back.
uint32_t addr_hash(uint32_t a) { return (a * 2654435761u) >> 18; }

addr_count *addr_find(engine *e, uint32_t a, int insert) {
  uint32_t i = addr_hash(a) & (k_addr_slots - 1);
  for (;;) {
    addr_count *s = &e->addrs[i];
    if (s->count == 0) {
      if (!insert) return nullptr;
      s->addr = a;
      s->busy = 0;
      s->wait_head = s->wait_tail = -1;
      return s;
    }
    if (s->addr == a) return s;
    i = (i + 1) & (k_addr_slots - 1);
  }
}

void addr_release(engine *e, uint32_t a) {
  uint32_t i = addr_hash(a) & (k_addr_slots - 1);
  while (e->addrs[i].count && e->addrs[i].addr != a) i = (i + 1) & (k_addr_slots - 1);
  if (!e->addrs[i].count) return;
  if (--e->addrs[i].count > 0) return;
  // Moves later entries of the run back into the hole, where their probe may reach them.
  uint32_t hole = i;
  for (uint32_t j = (hole + 1) & (k_addr_slots - 1); e->addrs[j].count;
       j = (j + 1) & (k_addr_slots - 1)) {
    uint32_t home = addr_hash(e->addrs[j].addr) & (k_addr_slots - 1);
    // The entry at j may move to the hole when its home is not in (hole, j] cyclically.
    int between = hole <= j ? (home > hole && home <= j) : (home > hole || home <= j);
    if (between) continue;
    e->addrs[hole] = e->addrs[j];
    e->addrs[j].count = 0;
    hole = j;
  }
}

// ---------------------------------------------------------------- connections

void drop_buffer(conn *c) {
  free(c->buf);
  c->buf = nullptr;
  c->cap = c->received = 0;
}

// Closes a connection the front holds and frees its slot.
void conn_close(engine *e, conn *c) {
  plat_poller_remove(e->poller, c->sock);
  plat_sock_close(c->sock);
  drop_buffer(c);
  {
    plat_lock_guard g(&e->lock);
    addr_release(e, c->peer);
  }
  int slot = int(c - e->conns);
  memset(c, 0, sizeof *c);
  c->sock = PLAT_BAD_SOCK;
  c->next = e->free_head;
  e->free_head = slot;
  e->open--;
}

// Each connection is watched once at a time: a report leaves it unwatched, so that handing it
// to a worker costs no call, and the front watches it again when it is its own once more.
void watch_again(engine *e, conn *c) {
  if (plat_poller_rearm(e->poller, c->sock, uint64_t(c - e->conns)) != 0) conn_close(e, c);
}

// Drops a connection unanswered; shut down both ways first, so the close does not wait on a
// client that is still sending.
void conn_drop(engine *e, conn *c) {
  plat_sock_shutdown_both(c->sock);
  conn_close(e, c);
}

// After an answer that ends the connection: the front reads and throws away what the client
// still sends, so that its answer is not lost to a reset, then closes.
void conn_linger(engine *e, conn *c) {
  drop_buffer(c);
  plat_sock_shutdown_send(c->sock);
  c->phase = C_LINGER;
  c->since = c->last = plat_tick_ms();
  c->lingered = 0;
  watch_again(e, c);
}

void queue_push(engine *e, int *head, int *tail, int slot) {
  e->conns[slot].next = -1;
  if (*tail < 0)
    *head = slot;
  else
    e->conns[*tail].next = slot;
  *tail = slot;
}

int queue_pop(engine *e, int *head, int *tail) {
  int slot = *head;
  if (slot < 0) return -1;
  *head = e->conns[slot].next;
  if (*head < 0) *tail = -1;
  return slot;
}

// The head is whole: the connection goes to a worker, or waits for one when its address has
// its share of them busy.
void conn_dispatch(engine *e, conn *c) {
  {
    plat_lock_guard g(&e->lock);
    addr_count *a = addr_find(e, c->peer, 0);
    if (a && a->busy >= S3_MAX_WORKERS_PER_ADDR) {
      c->phase = C_WAIT;
      queue_push(e, &a->wait_head, &a->wait_tail, int(c - e->conns));
      return;
    }
    if (a) a->busy++;
    c->phase = C_BUSY;
    e->busy++;
    queue_push(e, &e->work_head, &e->work_tail, int(c - e->conns));
  }
  // Signalled after the lock is let go, so that the worker it wakes does not wait for it.
  plat_cond_signal(&e->work_ready);
}

// Looks at the bytes of a head that arrived from received_before on: hands a whole head to
// the workers, drops one that cannot be whole, grows the buffer while the head may still fit.
// 0 while the head is still arriving, 1 when it was handed on (a worker may already hold the
// connection: the front does not look at it again), -1 when the connection was closed.
int conn_scan(engine *e, conn *c, size_t received_before) {
  long end = head_scan(c->buf, received_before, c->received);
  if (end < 0) {
    conn_drop(e, c);
    return -1;
  }
  if (end > 0) {
    conn_dispatch(e, c);
    return 1;
  }
  if (c->received + 64 < c->cap) return 0;
  size_t grown = c->cap * 2;
  char *p = grown > S3_HEAD_LIMIT ? nullptr : static_cast<char *>(realloc(c->buf, grown));
  if (!p) {
    conn_drop(e, c);
    return -1;
  }
  c->buf = p;
  c->cap = grown;
  return 0;
}

void conn_readable(engine *e, conn *c) {
  if (c->phase == C_LINGER) {
    char scratch[16384];
    long n = plat_sock_recv(c->sock, scratch, sizeof scratch);
    c->lingered += n > 0 ? uint64_t(n) : 0;
    c->last = plat_tick_ms();
    if (n <= 0 || c->lingered >= S3_LINGER_BYTES)
      conn_close(e, c);
    else
      watch_again(e, c);
    return;
  }
  if (!c->buf) {
    c->buf = static_cast<char *>(malloc(S3_HEAD_INITIAL));
    if (!c->buf) {
      conn_drop(e, c);
      return;
    }
    c->cap = S3_HEAD_INITIAL;
    c->received = 0;
  }
  long got = plat_sock_recv(c->sock, c->buf + c->received, c->cap - 1 - c->received);
  if (got <= 0) {
    // The client closed or the connection failed: without a head there is no one to answer.
    conn_drop(e, c);
    return;
  }
  size_t before = c->received;
  c->received += size_t(got);
  c->buf[c->received] = 0;
  if (c->phase == C_IDLE) {
    c->phase = C_HEAD;
    c->since = plat_tick_ms();
  }
  if (conn_scan(e, c, before) == 0) watch_again(e, c);
}

// Answers a connection beyond the limits, unread, and closes it.
void refuse_full(plat_sock s) {
  answer_context a = {0, nullptr, ""};
  send_error(s, &a, 503, "SlowDown", "Please reduce your request rate.", "", nullptr);
  plat_sock_shutdown_send(s);
  plat_sock_close(s);
}

void accept_all(engine *e) {
  for (;;) {
    uint32_t peer = 0;
    int none = 0;
    plat_sock s = plat_sock_accept_peer(e->listen, &peer, &none);
    if (s == PLAT_BAD_SOCK) return;  // none waiting, or out of descriptors: the next tick
    count_connection();
    int full;
    {
      plat_lock_guard g(&e->lock);
      addr_count *per_addr = addr_find(e, peer, 0);
      full = e->free_head < 0 || (per_addr && per_addr->count >= S3_MAX_CONNS_PER_ADDR);
      if (!full) addr_find(e, peer, 1)->count++;
    }
    if (full) {
      refuse_full(s);
      continue;
    }
    int slot = e->free_head;
    conn *c = &e->conns[slot];
    e->free_head = c->next;
    memset(c, 0, sizeof *c);
    c->sock = s;
    c->peer = peer;
    c->phase = C_IDLE;
    c->since = plat_tick_ms();
    c->next = -1;
    e->open++;
    plat_sock_timeouts(s, S3_IO_TIMEOUT_MS, S3_IO_TIMEOUT_MS);
    plat_sock_nodelay(s);
    if (plat_poller_add_once(e->poller, s, uint64_t(slot)) != 0) conn_drop(e, c);
  }
}

// Closes connections whose time is up.
void sweep(engine *e, uint32_t now) {
  for (int i = 0; i < S3_MAX_OPEN_CONNS; i++) {
    conn *c = &e->conns[i];
    int phase;
    uint32_t since;
    {
      // A worker that keeps its connection makes it idle under the lock; once idle, it is the
      // front's alone.
      plat_lock_guard g(&e->lock);
      phase = c->phase;
      since = c->since;
    }
    uint32_t spent = now - since;
    switch (phase) {
      case C_IDLE:
        if (spent >= uint32_t(S3_IDLE_TIMEOUT_MS)) conn_close(e, c);
        break;
      case C_HEAD: {
        uint64_t owed = spent > uint32_t(S3_RATE_GRACE_MS)
                            ? uint64_t(spent - S3_RATE_GRACE_MS) * S3_MIN_BYTES_PER_S / 1000
                            : 0;
        if (spent >= uint32_t(S3_HEAD_DEADLINE_MS) || c->received < owed) conn_drop(e, c);
        break;
      }
      case C_LINGER:
        if (spent >= uint32_t(S3_LINGER_MS) || now - c->last >= uint32_t(k_linger_quiet_ms))
          conn_close(e, c);
        break;
      default:
        break;
    }
  }
}

// A connection a worker gave back: closed, lingered over, or watched for its next request
// (looked at at once when bytes of it came with the last one).
void take_back_one(engine *e, conn *c, int stopping) {
  if (stopping || c->close_after) {
    if (c->close_after == 2 || stopping)
      conn_drop(e, c);
    else
      conn_linger(e, c);
    return;
  }
  c->since = plat_tick_ms();
  if (c->received) {
    c->phase = C_HEAD;
    if (conn_scan(e, c, 0) != 0) return;
  } else {
    c->phase = C_IDLE;
  }
  watch_again(e, c);
}

// take_back_one, and the worker it frees goes to the request of the same address that waited
// longest, ahead of a next request already on this connection.
void take_back(engine *e, conn *c, int stopping) {
  int waiting = -1;
  {
    plat_lock_guard g(&e->lock);
    addr_count *a = addr_find(e, c->peer, 0);
    if (a) {
      a->busy--;
      if (!stopping) waiting = queue_pop(e, &a->wait_head, &a->wait_tail);
    }
  }
  if (waiting >= 0) conn_dispatch(e, &e->conns[waiting]);
  take_back_one(e, c, stopping);
}

void take_back_all(engine *e) {
  for (;;) {
    int slot, stopping;
    {
      plat_lock_guard g(&e->lock);
      slot = queue_pop(e, &e->back_head, &e->back_tail);
      stopping = e->stopping;
      if (slot >= 0) e->busy--;
    }
    if (slot < 0) return;
    take_back(e, &e->conns[slot], stopping);
  }
}

// The last thread of a run to end frees its engine.
void leave_engine(engine *e) {
  int last;
  {
    plat_lock_guard g(&e->lock);
    last = --e->threads_left == 0;
  }
  if (!last) return;
  plat_poller_close(e->poller);
  free(e->conns);
  free(e->addrs);
  plat_cond_destroy(&e->work_ready);
  free(e);
}

// On a stop: closes every connection the front holds and shuts down those the workers serve,
// so that their reads and writes fail at once; closes each as its worker gives it back.
void front_stop(engine *e) {
  plat_poller_remove(e->poller, e->listen);
  for (;;) {
    int slot;
    {
      // Heads no worker has taken yet are dropped unanswered.
      plat_lock_guard g(&e->lock);
      slot = queue_pop(e, &e->work_head, &e->work_tail);
      if (slot >= 0) e->busy--;
    }
    if (slot < 0) break;
    conn_drop(e, &e->conns[slot]);
  }
  for (int i = 0; i < S3_MAX_OPEN_CONNS; i++) {
    conn *c = &e->conns[i];
    if (c->phase == C_FREE) continue;
    if (c->phase == C_BUSY)
      plat_sock_shutdown_both(c->sock);
    else
      conn_drop(e, c);
  }
  uint32_t start = plat_tick_ms();
  for (;;) {
    take_back_all(e);
    int busy;
    {
      plat_lock_guard g(&e->lock);
      busy = e->busy;
      if (busy == 0 || plat_tick_ms() - start >= uint32_t(S3_STOP_WAIT_MS)) {
        // What is still busy is closed by its worker.
        e->front_done = 1;
        plat_cond_signal(&e->work_ready);
        break;
      }
    }
    uint64_t tags[16];
    (void)plat_poller_wait(e->poller, tags, 16, 50);
  }
}

}  // namespace

int front_main(void *arg) {
  engine *e = static_cast<engine *>(arg);
  uint64_t tags[256];
  uint32_t last_sweep = plat_tick_ms();
  for (;;) {
    int n = plat_poller_wait(e->poller, tags, 256, k_tick_ms);
    {
      // Taken after the wait: a connection a worker watched again under the lock is seen as
      // the worker left it.
      plat_lock_guard g(&e->lock);
      if (e->stopping) break;
    }
    for (int i = 0; i < n; i++) {
      if (tags[i] == k_listen_tag) {
        accept_all(e);
        continue;
      }
      conn *c = &e->conns[tags[i]];
      // A connection closed earlier in this batch, or handed on, is not looked at again.
      if (c->phase == C_IDLE || c->phase == C_HEAD || c->phase == C_LINGER) conn_readable(e, c);
    }
    take_back_all(e);
    uint32_t now = plat_tick_ms();
    if (now - last_sweep >= uint32_t(k_tick_ms)) {
      sweep(e, now);
      last_sweep = now;
    }
  }
  front_stop(e);
  leave_engine(e);
  return 0;
}

namespace {

// Serves the one request whose head c holds, then decides what the connection does next.
void serve(conn *c) {
  http_conn *h = &c->http;
  http_conn_begin_request(h);
  h->requests++;
  count_request_on(h);
  S3Request r;
  char *buf = c->buf;
  size_t cap = c->cap, received = c->received;
  c->buf = nullptr;
  c->cap = c->received = 0;
  long head_len = head_scan(buf, 0, received);
  if (head_len <= 0 || request_from_head(&r, buf, cap, received, size_t(head_len)) != 0) {
    request_free(&r);
    c->close_after = 2;  // dropped unanswered
    return;
  }
  size_t next = request_frame(&r, h);
  const char *next_at = r.body_prefix + r.body_prefix_len;
  http_conn_enter(h);
  serve_request(c->sock, &r);
  http_conn_enter(nullptr);
  if (!http_conn_reusable(h)) {
    c->close_after = 1;
    request_free(&r);
    return;
  }
  c->close_after = 0;
  if (next) {
    // Bytes of the next request came with this one: they stay, at the start of the buffer.
    memmove(r.head, next_at, next);
    r.head[next] = 0;
    c->buf = r.head;
    c->cap = r.head_cap;
    c->received = next;
    r.head = nullptr;
  }
  request_free(&r);
}

}  // namespace

namespace {

// With the engine's lock held, after a request that leaves its connection open with nothing
// of the next request read: where the poller may be told from any thread, the worker watches
// the connection again itself and frees its share of the workers (handing it to a request of
// the same address that waits), so that the front wakes only for the next request. 1 when
// done; 0 leaves the connection to the front.
int keep_watching(engine *e, conn *c) {
  if (!plat_poller_rearm_anywhere() || e->front_done || e->stopping || c->close_after ||
      c->received)
    return 0;
  c->phase = C_IDLE;
  c->since = plat_tick_ms();
  if (plat_poller_rearm(e->poller, c->sock, uint64_t(c - e->conns)) != 0) {
    c->phase = C_BUSY;
    return 0;
  }
  e->busy--;
  addr_count *a = addr_find(e, c->peer, 0);
  if (!a) return 1;
  a->busy--;
  int waiting = queue_pop(e, &a->wait_head, &a->wait_tail);
  if (waiting >= 0) {
    // This worker's loop takes it next, unless another free worker is quicker.
    a->busy++;
    e->busy++;
    e->conns[waiting].phase = C_BUSY;
    queue_push(e, &e->work_head, &e->work_tail, waiting);
  }
  return 1;
}

// After an answer that keeps the connection: 1 when the whole head of its next request is in
// c's buffer, for this worker to serve at once (a client that sends its requests back to back
// then costs no hand-over to the front and back); 0 gives the connection back, with what came
// of a head, or to be closed. The worker waits for that head itself only briefly, and only
// while it takes no worker from anyone.
int next_here(engine *e, conn *c) {
  if (c->close_after) return 0;
  if (c->received) return head_scan(c->buf, 0, c->received) > 0;
  {
    plat_lock_guard g(&e->lock);
    if (e->front_done || e->stopping || e->busy >= S3_WORKERS / 2) return 0;
    addr_count *a = addr_find(e, c->peer, 0);
    if (a && (a->wait_head >= 0 || a->busy > S3_MAX_WORKERS_PER_ADDR / 2)) return 0;
  }
  if (plat_sock_wait_readable(c->sock, S3_KEEP_WAIT_MS) != 1) return 0;
  c->buf = static_cast<char *>(malloc(S3_HEAD_INITIAL));
  if (!c->buf) return 0;
  c->cap = S3_HEAD_INITIAL;
  long got = plat_sock_recv(c->sock, c->buf, c->cap - 1);
  if (got <= 0) {
    // The client closed, or the connection failed: nothing to answer.
    c->close_after = 2;
    return 0;
  }
  c->received = size_t(got);
  c->buf[c->received] = 0;
  long end = head_scan(c->buf, 0, c->received);
  if (end < 0) c->close_after = 2;
  return end > 0;
}

}  // namespace

int worker_main(void *arg) {
  engine *e = static_cast<engine *>(arg);
  for (;;) {
    int slot;
    {
      plat_lock_guard g(&e->lock);
      while ((slot = queue_pop(e, &e->work_head, &e->work_tail)) < 0 && !e->front_done)
        plat_cond_wait(&e->work_ready, &e->lock);
      if (slot < 0) {
        plat_cond_signal(&e->work_ready);  // the next worker ends too
        break;
      }
    }
    conn *c = &e->conns[slot];
    do serve(c);
    while (next_here(e, c));
    plat_lock_guard g(&e->lock);
    if (keep_watching(e, c)) continue;
    if (e->front_done) {
      // The front is gone: the worker closes the connection itself.
      plat_sock_shutdown_both(c->sock);
      plat_sock_close(c->sock);
      free(c->buf);
      c->buf = nullptr;
      e->busy--;
      continue;
    }
    // A queue that held a connection already has its wake on the way.
    int first = e->back_head < 0;
    queue_push(e, &e->back_head, &e->back_tail, slot);
    if (first) plat_poller_wake(e->poller);
  }
  leave_engine(e);
  return 0;
}

engine *engine_open(uint32_t run, plat_sock listen) {
  engine *e = static_cast<engine *>(calloc(1, sizeof(engine)));
  if (!e) return nullptr;
  e->run = run;
  e->listen = listen;
  e->conns = static_cast<conn *>(calloc(S3_MAX_OPEN_CONNS, sizeof(conn)));
  e->addrs = static_cast<addr_count *>(calloc(k_addr_slots, sizeof(addr_count)));
  e->poller = plat_poller_open(S3_MAX_OPEN_CONNS + 1);
  if (!e->conns || !e->addrs || !e->poller) {
    plat_poller_close(e->poller);
    free(e->conns);
    free(e->addrs);
    free(e);
    return nullptr;
  }
  for (int i = 0; i < S3_MAX_OPEN_CONNS; i++) {
    e->conns[i].sock = PLAT_BAD_SOCK;
    e->conns[i].next = i + 1 < S3_MAX_OPEN_CONNS ? i + 1 : -1;
  }
  e->free_head = 0;
  e->work_head = e->work_tail = e->back_head = e->back_tail = -1;
  plat_mutex_init(&e->lock);
  plat_cond_init(&e->work_ready);
  plat_sock_nonblocking(listen);
  if (plat_poller_add(e->poller, listen, k_listen_tag) != 0) {
    plat_poller_close(e->poller);
    free(e->conns);
    free(e->addrs);
    free(e);
    return nullptr;
  }
  return e;
}

void engine_set_threads(engine *e, int n) {
  plat_lock_guard g(&e->lock);
  e->threads_left = n;
}

void engine_stop(engine *e) {
  plat_lock_guard g(&e->lock);
  e->stopping = 1;
  plat_poller_wake(e->poller);
}

void engine_thread_failed(engine *e) { leave_engine(e); }

void conn_counts(uint64_t *connections, uint64_t *reused_requests, uint64_t *most_requests) {
  plat_lock_guard g(stats_mutex());
  *connections = s_connections;
  *reused_requests = s_reused_requests;
  *most_requests = s_most_requests;
}
