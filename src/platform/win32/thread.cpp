// Threads, critical sections, condition variables, sleeping and the thread id for Windows.
#include <windows.h>

#include <cstdlib>

#include "platform/platform.h"

struct plat_thread {
  HANDLE h;  // the thread handle, closed by plat_thread_release
};

namespace {

struct thread_start {
  plat_thread_fn fn;
  void *arg;
};

DWORD WINAPI trampoline(void *p) {
  thread_start st = *(thread_start *)p;
  free(p);
  st.fn(st.arg);
  return 0;
}

plat_thread detached_dummy;

}  // namespace

// The stack size is a reservation: only the pages a thread uses are committed. (msvcrt.dll
// sets up and frees its per-thread state itself, so CreateThread needs no C run-time wrapper.)
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
  }
  HANDLE h = CreateThread(nullptr, stack_bytes, trampoline, st,
                          stack_bytes ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, nullptr);
  if (!h) {
    free(st);
    free(t);
    return nullptr;
  }
  if (detached) {
    CloseHandle(h);
    return &detached_dummy;
  }
  t->h = h;
  return t;
}

int plat_thread_wait(plat_thread *t, int timeout_ms) {
  if (!t || t == &detached_dummy) return 1;
  DWORD ms = timeout_ms < 0 ? 0 : (DWORD)timeout_ms;
  return WaitForSingleObject(t->h, ms) == WAIT_OBJECT_0 ? 1 : 0;
}

// Closing the handle of a running thread detaches it; the thread runs on.
void plat_thread_release(plat_thread *t) {
  if (!t || t == &detached_dummy) return;
  CloseHandle(t->h);
  free(t);
}

uint32_t plat_thread_id() { return (uint32_t)GetCurrentThreadId(); }

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(plat_mutex::opaque), "plat_mutex too small");
static_assert(alignof(CRITICAL_SECTION) <= 16, "plat_mutex under-aligned");

static CRITICAL_SECTION *cs(plat_mutex *m) { return (CRITICAL_SECTION *)(void *)m->opaque; }

void plat_mutex_init(plat_mutex *m) { InitializeCriticalSection(cs(m)); }
void plat_mutex_lock(plat_mutex *m) { EnterCriticalSection(cs(m)); }
void plat_mutex_unlock(plat_mutex *m) { LeaveCriticalSection(cs(m)); }

static_assert(sizeof(CONDITION_VARIABLE) <= sizeof(plat_cond::opaque), "plat_cond too small");

static CONDITION_VARIABLE *cv(plat_cond *c) { return (CONDITION_VARIABLE *)(void *)c->opaque; }

void plat_cond_init(plat_cond *c) { InitializeConditionVariable(cv(c)); }
void plat_cond_destroy(plat_cond *) {}  // a condition variable holds no resources
void plat_cond_wait(plat_cond *c, plat_mutex *m) { (void)SleepConditionVariableCS(cv(c), cs(m), INFINITE); }
void plat_cond_signal(plat_cond *c) { WakeConditionVariable(cv(c)); }

uint32_t plat_atomic_fetch_add_u32(uint32_t *p, uint32_t v) {
  return (uint32_t)InterlockedExchangeAdd((volatile LONG *)p, (LONG)v);
}

void plat_sleep_ms(int ms) {
  if (ms > 0) Sleep((DWORD)ms);
}
