// Threads, locks, condition variables, sleeping and the thread id for POSIX (pthreads).
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/platform.h"

struct plat_thread {
  pthread_t tid;
  int joined;  // 1 once pthread_join (or the timed join) has reaped it
};

namespace {

struct thread_start {
  plat_thread_fn fn;
  void *arg;
};

// Threads of the library leave asynchronous signals (SIGINT, SIGTERM, ...) to the host's own
// threads, so a host's handler runs where it expects and our blocking calls are not cut short.
void block_async_signals() {
  sigset_t set;
  sigfillset(&set);
  const int sync_signals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS};
  for (int sig : sync_signals) sigdelset(&set, sig);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void *trampoline(void *p) {
  thread_start st = *(thread_start *)p;
  free(p);
  block_async_signals();
  st.fn(st.arg);
  return nullptr;
}

plat_thread detached_dummy;

}  // namespace

plat_thread *plat_thread_start(plat_thread_fn fn, void *arg, size_t stack_bytes, int detached) {
  thread_start *st = (thread_start *)malloc(sizeof *st);
  if (!st) return nullptr;
  st->fn = fn;
  st->arg = arg;
  plat_thread *t = nullptr;
  if (!detached) {
    t = (plat_thread *)malloc(sizeof *t);
    if (!t) {
      free(st);
      return nullptr;
    }
    t->joined = 0;
  }
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) {
    free(st);
    free(t);
    return nullptr;
  }
  if (stack_bytes) (void)pthread_attr_setstacksize(&attr, stack_bytes);
  (void)pthread_attr_setdetachstate(&attr, detached ? PTHREAD_CREATE_DETACHED : PTHREAD_CREATE_JOINABLE);
  pthread_t tid;
  int rc = pthread_create(&tid, &attr, trampoline, st);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    free(st);
    free(t);
    return nullptr;
  }
  if (detached) return &detached_dummy;
  t->tid = tid;
  return t;
}

int plat_thread_wait(plat_thread *t, int timeout_ms) {
  if (!t || t == &detached_dummy) return 1;
  if (t->joined) return 1;
  timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  if (timeout_ms < 0) timeout_ms = 0;
  deadline.tv_sec += timeout_ms / 1000;
  deadline.tv_nsec += (long)(timeout_ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  for (;;) {
    int rc = pthread_timedjoin_np(t->tid, nullptr, &deadline);
    if (rc == 0) {
      t->joined = 1;
      return 1;
    }
    if (rc != EINTR) return 0;
  }
}

void plat_thread_release(plat_thread *t) {
  if (!t || t == &detached_dummy) return;
  if (!t->joined) (void)pthread_detach(t->tid);
  free(t);
}

uint32_t plat_thread_id() { return (uint32_t)syscall(SYS_gettid); }

static_assert(sizeof(pthread_mutex_t) <= sizeof(plat_mutex::opaque), "plat_mutex too small");
static_assert(alignof(pthread_mutex_t) <= 16, "plat_mutex under-aligned");

static pthread_mutex_t *pm(plat_mutex *m) { return (pthread_mutex_t *)(void *)m->opaque; }

void plat_mutex_init(plat_mutex *m) { (void)pthread_mutex_init(pm(m), nullptr); }
void plat_mutex_lock(plat_mutex *m) { (void)pthread_mutex_lock(pm(m)); }
void plat_mutex_unlock(plat_mutex *m) { (void)pthread_mutex_unlock(pm(m)); }

static_assert(sizeof(pthread_cond_t) <= sizeof(plat_cond::opaque), "plat_cond too small");
static_assert(alignof(pthread_cond_t) <= 16, "plat_cond under-aligned");

static pthread_cond_t *pc(plat_cond *c) { return (pthread_cond_t *)(void *)c->opaque; }

void plat_cond_init(plat_cond *c) { (void)pthread_cond_init(pc(c), nullptr); }
void plat_cond_destroy(plat_cond *c) { (void)pthread_cond_destroy(pc(c)); }
void plat_cond_wait(plat_cond *c, plat_mutex *m) { (void)pthread_cond_wait(pc(c), pm(m)); }
void plat_cond_signal(plat_cond *c) { (void)pthread_cond_signal(pc(c)); }

uint32_t plat_atomic_fetch_add_u32(uint32_t *p, uint32_t v) {
  return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST);
}

void plat_sleep_ms(int ms) {
  if (ms <= 0) return;
  timespec req;
  req.tv_sec = ms / 1000;
  req.tv_nsec = (long)(ms % 1000) * 1000000L;
  timespec rem;
  while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}
