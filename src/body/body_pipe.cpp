// The way of a received payload into its file: digests, and the ring of buffers with its helper
// thread that computes MD5 while the connection's thread receives and writes.
//
// On two cores MD5 is the largest cost of an upload; the copy into the file cache, receiving and
// the other digests (SHA-256 of a signed payload, CRCs) together cost less. So the helper does
// MD5 alone and the connection's thread all the rest, the two about equally busy. Writes stay on
// the connection's thread, where a failure is answered at once. Every few MiB the write-back
// of what was written is started, so that the flush before the upload is acknowledged finds
// little left to do.
#include "body/body_pipe.h"

#include <cstdlib>
#include <cstring>

#include "base/state.h"
#include "base/text.h"

// ---------------------------------------------------------------- the ring

static constexpr size_t k_slot = 262144;  // one slot: one write, one hand-on
static constexpr uint32_t k_slots = 4;
static constexpr uint64_t k_pipe_after = 1048576;       // bytes hashed inline before the helper
static constexpr uint64_t k_writeback_every = 8388608;  // bytes between write-back starts
static constexpr size_t k_helper_stack = 262144;
// Helpers running at once, over all uploads. Beyond a few the cores are busy anyway, and an
// upload without one touches a single slot of its ring.
static constexpr uint32_t k_helpers_max = 4;

static uint32_t s_helpers;  // helpers running or about to, changed only atomically

struct body_pipe {
  plat_file *file;
  body_hashing *hash;
  unsigned char *ring;  // k_slots slots of k_slot bytes
  size_t fill_len;      // bytes in the slot being filled, slot produced % k_slots
  uint64_t handed;      // bytes handed on so far
  plat_thread *helper;  // null until the body passed k_pipe_after and a helper place was free
  int no_helper;        // the helper could not be started, or has ended: MD5 stays inline
  uint64_t written;     // bytes written
  uint64_t flushed;     // bytes whose write-back was started
  // Shared with the helper, under mu. The helper reads a slot only between its hand-on and its
  // release, and the connection's thread fills it only outside that span.
  plat_mutex mu;
  plat_cond work;       // a slot was handed on, or the pipe stops
  plat_cond room;       // the helper released a slot
  uint32_t produced;    // slots handed on (the one being filled is produced % k_slots)
  uint32_t consumed;    // slots the helper released
  size_t lens[k_slots];
  int stop;             // no more slots come
  int abandon;          // and those not yet hashed are dropped: the body failed
};

// Writes one slot's bytes and adds them to every digest but MD5: 0 / -1.
static int write_slot(body_pipe *p, const unsigned char *data, size_t n) {
  hashing_rest(p->hash, data, n);
  if (plat_file_write(p->file, data, n) != (long)n) return -1;
  p->written += n;
  if (p->written - p->flushed >= k_writeback_every) {
    plat_file_writeback(p->file, p->flushed, p->written - p->flushed);
    p->flushed = p->written;
  }
  return 0;
}

// The helper: MD5 of each slot in turn, until the pipe stops and the slots handed on are done.
static int helper_main(void *arg) {
  body_pipe *p = (body_pipe *)arg;
  plat_mutex_lock(&p->mu);
  for (;;) {
    while (p->consumed == p->produced && !p->stop) plat_cond_wait(&p->work, &p->mu);
    if (p->consumed == p->produced) break;
    uint32_t idx = p->consumed % k_slots;
    size_t n = p->lens[idx];
    int skip = p->abandon;
    plat_mutex_unlock(&p->mu);
    if (!skip) md5_update(&p->hash->md5, p->ring + (size_t)idx * k_slot, n);
    plat_mutex_lock(&p->mu);
    p->consumed++;
    plat_cond_signal(&p->room);
  }
  plat_mutex_unlock(&p->mu);
  return 0;
}

body_pipe *pipe_open(plat_file *f, body_hashing *h) {
  body_pipe *p = (body_pipe *)calloc(1, sizeof *p);
  if (!p) return nullptr;
  p->ring = (unsigned char *)malloc(k_slots * k_slot);
  if (!p->ring) {
    free(p);
    return nullptr;
  }
  p->file = f;
  p->hash = h;
  plat_mutex_init(&p->mu);
  plat_cond_init(&p->work);
  plat_cond_init(&p->room);
  return p;
}

unsigned char *pipe_space(body_pipe *p, size_t *cap) {
  *cap = k_slot - p->fill_len;
  return p->ring + (size_t)(p->produced % k_slots) * k_slot + p->fill_len;
}

// Hands slot idx on to the helper and waits until the next slot to fill is released.
static void hand_to_helper(body_pipe *p, uint32_t idx, size_t n) {
  plat_lock_guard g(&p->mu);
  p->lens[idx] = n;
  p->produced++;
  plat_cond_signal(&p->work);
  while (p->produced - p->consumed >= k_slots) plat_cond_wait(&p->room, &p->mu);
}

// The slot being filled is done: written and hashed here, MD5 by the helper once it runs.
static int hand_on(body_pipe *p) {
  size_t n = p->fill_len;
  uint32_t idx = p->produced % k_slots;
  const unsigned char *data = p->ring + (size_t)idx * k_slot;
  p->fill_len = 0;
  p->handed += n;
  if (write_slot(p, data, n) != 0) {
    set_error("temp write fail");
    return -1;
  }
  if (!p->helper && !p->no_helper && p->handed >= k_pipe_after &&
      place_take(&s_helpers, k_helpers_max)) {
    p->helper = plat_thread_start(helper_main, p, k_helper_stack, 0);
    if (!p->helper) {
      place_release(&s_helpers);
      p->no_helper = 1;
    }
  }
  if (p->helper)
    hand_to_helper(p, idx, n);
  else
    md5_update(&p->hash->md5, data, n);
  return 0;
}

int pipe_commit(body_pipe *p, size_t n) {
  p->fill_len += n;
  return p->fill_len == k_slot ? hand_on(p) : 0;
}

int pipe_store(body_pipe *p, const void *data, size_t n) {
  const unsigned char *in = (const unsigned char *)data;
  while (n > 0) {
    size_t cap;
    unsigned char *dst = pipe_space(p, &cap);
    size_t k = n < cap ? n : cap;
    memcpy(dst, in, k);
    if (pipe_commit(p, k) != 0) return -1;
    in += k;
    n -= k;
  }
  return 0;
}

// Tells the helper to end once the slots handed on are done (or dropped) and waits for it.
static void stop_helper(body_pipe *p, int abandon) {
  if (!p->helper) return;
  {
    plat_lock_guard g(&p->mu);
    p->stop = 1;
    if (abandon) p->abandon = 1;
    plat_cond_signal(&p->work);
  }
  while (plat_thread_wait(p->helper, 60000) != 1) {
  }
  plat_thread_release(p->helper);
  place_release(&s_helpers);
  p->helper = nullptr;
  p->no_helper = 1;
}

int pipe_finish(body_pipe *p) {
  if (p->fill_len > 0 && hand_on(p) != 0) return -1;
  stop_helper(p, 0);
  return 0;
}

void pipe_close(body_pipe *p) {
  if (!p) return;
  stop_helper(p, 1);
  plat_cond_destroy(&p->work);
  plat_cond_destroy(&p->room);
  free(p->ring);
  free(p);
}
