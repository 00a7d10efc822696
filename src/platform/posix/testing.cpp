// The test programs' own OS services for POSIX: a client connect, the bound port of a socket,
// setting a file's modification time, making a symbolic link, and failing system calls or
// fixing the wall clock through the platform's table of system calls.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "platform/syscalls.h"
#include "platform/testing.h"

static int to_fd(plat_sock s) { return (int)s; }

int plat_sock_local_port(plat_sock s) {
  sockaddr_in sa;
  socklen_t len = sizeof sa;
  if (s == PLAT_BAD_SOCK || getsockname(to_fd(s), (sockaddr *)&sa, &len) != 0) return -1;
  return (int)ntohs(sa.sin_port);
}

plat_sock plat_tcp_connect(uint32_t addr_be, int port) {
  plat_sock s = plat_tcp_socket();
  if (s == PLAT_BAD_SOCK) return s;
  sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addr_be;
  sa.sin_port = htons((uint16_t)port);
  if (connect(to_fd(s), (const sockaddr *)&sa, sizeof sa) == 0) return s;
  if (errno == EINTR) {
    // An interrupted connect goes on in the background; calling connect again is not
    // allowed, so wait for it to finish and read its outcome.
    pollfd p;
    p.fd = to_fd(s);
    p.events = POLLOUT;
    int r;
    do {
      p.revents = 0;
      r = poll(&p, 1, 30000);
    } while (r < 0 && errno == EINTR);
    int err = 0;
    socklen_t len = sizeof err;
    if (r > 0 && getsockopt(to_fd(s), SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) return s;
  }
  plat_sock_close(s);
  return PLAT_BAD_SOCK;
}

plat_sock plat_tcp_connect_from(uint32_t from_be, uint32_t addr_be, int port) {
  plat_sock s = plat_tcp_socket();
  if (s == PLAT_BAD_SOCK) return s;
  sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = from_be;
  sa.sin_port = 0;
  sockaddr_in to;
  memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = addr_be;
  to.sin_port = htons((uint16_t)port);
  if (bind(to_fd(s), (const sockaddr *)&sa, sizeof sa) == 0 &&
      connect(to_fd(s), (const sockaddr *)&to, sizeof to) == 0)
    return s;
  plat_sock_close(s);
  return PLAT_BAD_SOCK;
}

int plat_set_mtime(const char *path, int64_t mtime) {
  timespec ts[2];
  ts[0].tv_sec = 0;
  ts[0].tv_nsec = UTIME_OMIT;
  ts[1].tv_sec = (time_t)mtime;
  ts[1].tv_nsec = 0;
  return utimensat(AT_FDCWD, path, ts, 0) == 0 ? 0 : -1;
}

int plat_symlink(const char *target, const char *link_path) {
  return symlink(target, link_path) == 0 ? 0 : -1;
}

int plat_make_fifo(const char *path) { return mkfifo(path, 0666) == 0 ? 0 : -1; }

int plat_sock_pair(plat_sock out[2]) {
  int fd[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd) != 0) return -1;
  out[0] = fd[0];
  out[1] = fd[1];
  return 0;
}

// ---------------------------------------------------------------- failing calls on demand

namespace {

constexpr int k_rules = 8;
constexpr int k_fds = 4096;          // files opened on higher descriptors never match a path
constexpr size_t k_part_cap = 512;

struct fault_rule {
  int used;
  char call[16];
  char part[k_part_cap];
  unsigned nth, times, matched, failed;
};

// Guards the rules and the descriptor map; only taken while wrappers are installed.
plat_mutex *fault_lock() {
  static plat_mutex m;
  static const bool ready = (plat_mutex_init(&m), true);
  (void)ready;
  return &m;
}

fault_rule s_rules[k_rules];
// For each descriptor opened while rules were armed, the rules whose text its path held.
unsigned s_fd_rules[k_fds];

// The mask of armed rules of that kind whose text path holds (null path: only "" matches).
unsigned rules_for_path(const char *call, const char *path) {
  unsigned mask = 0;
  for (int i = 0; i < k_rules; i++) {
    const fault_rule &r = s_rules[i];
    if (!r.used || (call && strcmp(r.call, call) != 0)) continue;
    if (!r.part[0] || (path && strstr(path, r.part))) mask |= 1u << i;
  }
  return mask;
}

// Counts the call against the rules of its kind in mask; 1 when one of them fails it.
int take_fault(const char *call, unsigned mask) {
  int fail = 0;
  for (int i = 0; i < k_rules; i++) {
    fault_rule &r = s_rules[i];
    if (!(mask & (1u << i)) || !r.used || strcmp(r.call, call) != 0) continue;
    r.matched++;
    if (r.matched >= r.nth && (r.times == 0 || r.failed < r.times)) {
      r.failed++;
      fail = 1;
    }
  }
  return fail;
}

int fails_on_path(const char *call, const char *path) {
  plat_lock_guard g(fault_lock());
  return take_fault(call, rules_for_path(call, path));
}

int fails_on_fd(const char *call, int fd) {
  plat_lock_guard g(fault_lock());
  unsigned mask = rules_for_path(call, nullptr);  // rules for every path
  if (fd >= 0 && fd < k_fds) mask |= s_fd_rules[fd];
  return take_fault(call, mask);
}

template <typename F>
F os_own(const char *name) {
  return (F)plat_syscall_default(name);
}

int fault_open(const char *path, int flags, mode_t mode) {
  if (fails_on_path("open", path)) {
    errno = EIO;
    return -1;
  }
  int fd = os_own<int (*)(const char *, int, mode_t)>("open")(path, flags, mode);
  if (fd >= 0 && fd < k_fds) {
    plat_lock_guard g(fault_lock());
    s_fd_rules[fd] = rules_for_path(nullptr, path);
  }
  return fd;
}

int fault_close(int fd) {
  if (fd >= 0 && fd < k_fds) {
    plat_lock_guard g(fault_lock());
    s_fd_rules[fd] = 0;
  }
  return os_own<int (*)(int)>("close")(fd);
}

ssize_t fault_read(int fd, void *buf, size_t n) {
  if (fails_on_fd("read", fd)) {
    errno = EIO;
    return -1;
  }
  return os_own<ssize_t (*)(int, void *, size_t)>("read")(fd, buf, n);
}

ssize_t fault_write(int fd, const void *buf, size_t n) {
  if (fails_on_fd("write", fd)) {
    errno = ENOSPC;
    return -1;
  }
  return os_own<ssize_t (*)(int, const void *, size_t)>("write")(fd, buf, n);
}

int fault_fsync(int fd) {
  if (fails_on_fd("sync", fd)) {
    errno = EIO;
    return -1;
  }
  return os_own<int (*)(int)>("fsync")(fd);
}

int fault_fdatasync(int fd) {
  if (fails_on_fd("sync", fd)) {
    errno = EIO;
    return -1;
  }
  return os_own<int (*)(int)>("fdatasync")(fd);
}

int fault_rename(const char *src, const char *dst) {
  int fail;
  {
    plat_lock_guard g(fault_lock());
    fail = take_fault("rename", rules_for_path("rename", src) | rules_for_path("rename", dst));
  }
  if (fail) {
    errno = EIO;
    return -1;
  }
  return os_own<int (*)(const char *, const char *)>("rename")(src, dst);
}

int fault_unlink(const char *path) {
  if (fails_on_path("unlink", path)) {
    errno = EIO;
    return -1;
  }
  return os_own<int (*)(const char *)>("unlink")(path);
}

int fault_mkdir(const char *path, mode_t mode) {
  if (fails_on_path("mkdir", path)) {
    errno = EIO;
    return -1;
  }
  return os_own<int (*)(const char *, mode_t)>("mkdir")(path, mode);
}

int fault_flock(int fd, int op) {
  if (fails_on_fd("lock", fd)) {
    errno = ENOLCK;
    return -1;
  }
  return os_own<int (*)(int, int)>("flock")(fd, op);
}

std::atomic<int64_t> s_fixed_ns{0};  // the wall clock's fixed time, 0 while it runs
std::atomic<int> s_rules_armed{0};

int fault_clock_gettime(clockid_t clock, timespec *ts) {
  if (s_rules_armed.load() && fails_on_path("clock", nullptr)) {
    errno = EINVAL;
    return -1;
  }
  int64_t fixed = s_fixed_ns.load();
  if (clock != CLOCK_REALTIME || fixed == 0)
    return os_own<int (*)(clockid_t, timespec *)>("clock_gettime")(clock, ts);
  ts->tv_sec = (time_t)(fixed / 1000000000);
  ts->tv_nsec = (long)(fixed % 1000000000);
  return 0;
}

struct fault_hook {
  const char *name;
  plat_syscall_ptr fn;
};

const fault_hook k_hooks[] = {
    {"open", (plat_syscall_ptr)fault_open},
    {"close", (plat_syscall_ptr)fault_close},
    {"read", (plat_syscall_ptr)fault_read},
    {"write", (plat_syscall_ptr)fault_write},
    {"fsync", (plat_syscall_ptr)fault_fsync},
    {"fdatasync", (plat_syscall_ptr)fault_fdatasync},
    {"rename", (plat_syscall_ptr)fault_rename},
    {"unlink", (plat_syscall_ptr)fault_unlink},
    {"mkdir", (plat_syscall_ptr)fault_mkdir},
    {"flock", (plat_syscall_ptr)fault_flock},
    {"clock_gettime", (plat_syscall_ptr)fault_clock_gettime},
};

const char *const k_kinds[] = {"open", "read", "write", "sync", "rename",
                               "unlink", "mkdir", "lock", "clock"};

}  // namespace

int plat_fault_arm(const char *call, const char *path_part, unsigned nth, unsigned times) {
  int known = 0;
  for (const char *k : k_kinds) known |= call && strcmp(k, call) == 0;
  size_t part_len = path_part ? strlen(path_part) : 0;
  if (!known || part_len >= k_part_cap) return -1;
  int id = -1;
  {
    plat_lock_guard g(fault_lock());
    for (int i = 0; i < k_rules && id < 0; i++)
      if (!s_rules[i].used) id = i;
    if (id < 0) return -1;
    fault_rule &r = s_rules[id];
    memset(&r, 0, sizeof r);
    memcpy(r.call, call, strlen(call) + 1);
    if (part_len) memcpy(r.part, path_part, part_len + 1);
    r.nth = nth ? nth : 1;
    r.times = times;
    r.used = 1;
  }
  s_rules_armed.store(1);
  for (const fault_hook &h : k_hooks) plat_syscall_set(h.name, h.fn);
  return id;
}

unsigned plat_fault_failed(int id) {
  if (id < 0 || id >= k_rules) return 0;
  plat_lock_guard g(fault_lock());
  return s_rules[id].failed;
}

unsigned plat_fault_matched(int id) {
  if (id < 0 || id >= k_rules) return 0;
  plat_lock_guard g(fault_lock());
  return s_rules[id].matched;
}

void plat_fault_clear() {
  for (const fault_hook &h : k_hooks) plat_syscall_set(h.name, nullptr);
  s_fixed_ns.store(0);
  s_rules_armed.store(0);
  plat_lock_guard g(fault_lock());
  memset(s_rules, 0, sizeof s_rules);
  memset(s_fd_rules, 0, sizeof s_fd_rules);
}

void plat_clock_fix_ns(int64_t ns) {
  s_fixed_ns.store(ns);
  if (ns != 0)
    plat_syscall_set("clock_gettime", (plat_syscall_ptr)fault_clock_gettime);
  else if (!s_rules_armed.load())
    plat_syscall_set("clock_gettime", nullptr);
}
