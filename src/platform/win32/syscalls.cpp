// The system-call table of the Windows platform layer: each entry's name, its current call and
// Windows' own. Tests replace entries (platform/syscalls.h) to make calls fail on demand; the
// file functions reach the OS only through os_* (os_calls.h).
#include <atomic>
#include <cstring>

#include "platform/win32/os_calls.h"

namespace {

struct os_entry {
  const char *name;
  std::atomic<plat_syscall_ptr> current;
  plat_syscall_ptr os_own;
};

#define OS_ENTRY(fn) {#fn, (plat_syscall_ptr)(fn), (plat_syscall_ptr)(fn)}

// In the order of os_call_id.
os_entry s_calls[OS_CALL_COUNT] = {
    OS_ENTRY(CreateFileW),      OS_ENTRY(CloseHandle),         OS_ENTRY(ReadFile),
    OS_ENTRY(WriteFile),        OS_ENTRY(FlushFileBuffers),    OS_ENTRY(MoveFileExW),
    OS_ENTRY(DeleteFileW),      OS_ENTRY(CreateDirectoryW),    OS_ENTRY(LockFileEx),
    OS_ENTRY(GetSystemTimePreciseAsFileTime),
};

#undef OS_ENTRY

os_entry *find(const char *name) {
  if (!name) return nullptr;
  for (os_entry &e : s_calls)
    if (strcmp(e.name, name) == 0) return &e;
  return nullptr;
}

}  // namespace

plat_syscall_ptr os_call(os_call_id id) {
  return s_calls[id].current.load(std::memory_order_acquire);
}

int plat_syscall_set(const char *name, plat_syscall_ptr fn) {
  os_entry *e = find(name);
  if (!e) return -1;
  e->current.store(fn ? fn : e->os_own, std::memory_order_release);
  return 0;
}

plat_syscall_ptr plat_syscall_get(const char *name) {
  os_entry *e = find(name);
  return e ? e->current.load(std::memory_order_acquire) : nullptr;
}

plat_syscall_ptr plat_syscall_default(const char *name) {
  os_entry *e = find(name);
  return e ? e->os_own : nullptr;
}

const char *plat_syscall_next(const char *name) {
  if (!name) return s_calls[0].name;
  for (size_t i = 0; i + 1 < OS_CALL_COUNT; i++)
    if (strcmp(s_calls[i].name, name) == 0) return s_calls[i + 1].name;
  return nullptr;
}
