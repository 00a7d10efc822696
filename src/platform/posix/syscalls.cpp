// The system-call table of the POSIX platform layer: each entry's name, its current call and
// the OS's own. Tests replace entries (platform/syscalls.h) to make calls fail on demand; the
// file functions reach the OS only through os_* (os_calls.h).
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/os_calls.h"
#include "platform/syscall_table.h"

namespace {

// open is variadic; the table holds it with its three arguments spelled out.
int posix_open(const char *path, int flags, mode_t mode) { return open(path, flags, mode); }

#define OS_ENTRY(name, fn) {name, (plat_syscall_ptr)(fn), (plat_syscall_ptr)(fn)}

// In the order of os_call_id.
os_entry s_calls[OS_CALL_COUNT] = {
    OS_ENTRY("open", posix_open),
    OS_ENTRY("close", close),
    OS_ENTRY("read", read),
    OS_ENTRY("write", write),
    OS_ENTRY("fsync", fsync),
    OS_ENTRY("fdatasync", fdatasync),
    OS_ENTRY("rename", rename),
    OS_ENTRY("unlink", unlink),
    OS_ENTRY("mkdir", mkdir),
    OS_ENTRY("flock", flock),
    OS_ENTRY("clock_gettime", clock_gettime),
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
