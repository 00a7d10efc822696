// The POSIX calls of the system-call table (platform/syscalls.h), typed for the files of this
// folder: each os_* function calls the table's current entry, the OS's own call unless a test
// replaced it. Costs one atomic load per call.
#pragma once

#include <ctime>
#include <sys/types.h>

#include "platform/syscalls.h"

enum os_call_id {
  OS_OPEN = 0,
  OS_CLOSE,
  OS_READ,
  OS_WRITE,
  OS_FSYNC,
  OS_FDATASYNC,
  OS_RENAME,
  OS_UNLINK,
  OS_MKDIR,
  OS_FLOCK,
  OS_CLOCK_GETTIME,
  OS_CALL_COUNT
};

plat_syscall_ptr os_call(os_call_id id);

inline int os_open(const char *path, int flags, mode_t mode = 0) {
  return ((int (*)(const char *, int, mode_t))os_call(OS_OPEN))(path, flags, mode);
}
inline int os_close(int fd) { return ((int (*)(int))os_call(OS_CLOSE))(fd); }
inline ssize_t os_read(int fd, void *buf, size_t n) {
  return ((ssize_t(*)(int, void *, size_t))os_call(OS_READ))(fd, buf, n);
}
inline ssize_t os_write(int fd, const void *buf, size_t n) {
  return ((ssize_t(*)(int, const void *, size_t))os_call(OS_WRITE))(fd, buf, n);
}
inline int os_fsync(int fd) { return ((int (*)(int))os_call(OS_FSYNC))(fd); }
inline int os_fdatasync(int fd) { return ((int (*)(int))os_call(OS_FDATASYNC))(fd); }
inline int os_rename(const char *src, const char *dst) {
  return ((int (*)(const char *, const char *))os_call(OS_RENAME))(src, dst);
}
inline int os_unlink(const char *path) { return ((int (*)(const char *))os_call(OS_UNLINK))(path); }
inline int os_mkdir(const char *path, mode_t mode) {
  return ((int (*)(const char *, mode_t))os_call(OS_MKDIR))(path, mode);
}
inline int os_flock(int fd, int op) { return ((int (*)(int, int))os_call(OS_FLOCK))(fd, op); }
inline int os_clock_gettime(clockid_t clock, timespec *ts) {
  return ((int (*)(clockid_t, timespec *))os_call(OS_CLOCK_GETTIME))(clock, ts);
}
