// The system-call table of the Windows platform layer: each entry's name, its current call and
// Windows' own. Tests replace entries (platform/syscalls.h) to make calls fail on demand; the
// file functions reach the OS only through os_* (os_calls.h).
#include <atomic>
#include <cstring>

#include "platform/win32/os_calls.h"
#include "platform/syscall_table.h"

namespace {

#define OS_ENTRY(fn) {#fn, (plat_syscall_ptr)(fn), (plat_syscall_ptr)(fn)}

// In the order of os_call_id.
os_entry s_calls[OS_CALL_COUNT] = {
    OS_ENTRY(CreateFileW),      OS_ENTRY(CloseHandle),         OS_ENTRY(ReadFile),
    OS_ENTRY(WriteFile),        OS_ENTRY(FlushFileBuffers),    OS_ENTRY(MoveFileExW),
    OS_ENTRY(DeleteFileW),      OS_ENTRY(CreateDirectoryW),    OS_ENTRY(LockFileEx),
    OS_ENTRY(GetSystemTimePreciseAsFileTime),
};

#undef OS_ENTRY

}  // namespace

plat_syscall_ptr os_call(os_call_id id) {
  return s_calls[id].current.load(std::memory_order_acquire);
}

int plat_syscall_set(const char *name, plat_syscall_ptr fn) {
  return syscall_set(s_calls, OS_CALL_COUNT, name, fn);
}

plat_syscall_ptr plat_syscall_get(const char *name) {
  return syscall_get(s_calls, OS_CALL_COUNT, name);
}

plat_syscall_ptr plat_syscall_default(const char *name) {
  return syscall_default(s_calls, OS_CALL_COUNT, name);
}

const char *plat_syscall_next(const char *name) {
  return syscall_next(s_calls, OS_CALL_COUNT, name);
}
