// The test programs' own OS services for Windows: a client connect, the bound port of a
// socket, setting a file's modification time, making a symbolic link and a socket pair, and
// fixing the wall clock (the rules that fail calls on demand are POSIX only).
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/syscalls.h"
#include "platform/testing.h"

static SOCKET to_sock(plat_sock s) { return (SOCKET)s; }

int plat_sock_local_port(plat_sock s) {
  sockaddr_in sa;
  int len = sizeof sa;
  if (s == PLAT_BAD_SOCK || getsockname(to_sock(s), (sockaddr *)&sa, &len) != 0) return -1;
  return (int)ntohs(sa.sin_port);
}

plat_sock plat_tcp_connect(uint32_t addr_be, int port) {
  plat_sock s = plat_tcp_socket();
  if (s == PLAT_BAD_SOCK) return s;
  sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addr_be;
  sa.sin_port = htons((u_short)port);
  if (connect(to_sock(s), (const sockaddr *)&sa, sizeof sa) == 0) return s;
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
  to.sin_port = htons((u_short)port);
  if (bind(to_sock(s), (const sockaddr *)&sa, sizeof sa) == 0 &&
      connect(to_sock(s), (const sockaddr *)&to, sizeof to) == 0)
    return s;
  plat_sock_close(s);
  return PLAT_BAD_SOCK;
}

static wchar_t *widen(const char *utf8) {
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
  wchar_t *w = n > 0 ? (wchar_t *)malloc((size_t)n * sizeof(wchar_t)) : nullptr;
  if (w) {
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, w, n);
    for (wchar_t *c = w; *c; c++)
      if (*c == L'/') *c = L'\\';
  }
  return w;
}

int plat_set_mtime(const char *path, int64_t mtime) {
  wchar_t *w = widen(path);
  if (!w) return -1;
  HANDLE h = CreateFileW(w, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  free(w);
  if (h == INVALID_HANDLE_VALUE) return -1;
  uint64_t v = (uint64_t)(mtime * 10000000LL + 116444736000000000LL);
  FILETIME ft;
  ft.dwLowDateTime = (DWORD)v;
  ft.dwHighDateTime = (DWORD)(v >> 32);
  BOOL ok = SetFileTime(h, nullptr, nullptr, &ft);
  CloseHandle(h);
  return ok ? 0 : -1;
}

#ifndef SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
#define SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE 0x2
#endif

// Needs developer mode or the symbolic-link privilege on Windows; without either it fails.
// Named pipes live in their own namespace on Windows, never among the files of a folder.
int plat_make_fifo(const char *) { return -1; }

int plat_symlink(const char *target, const char *link_path) {
  wchar_t *t = widen(target);
  wchar_t *l = widen(link_path);
  int rc = -1;
  if (t && l) {
    DWORD a = GetFileAttributesW(t);
    DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY)) flags |= SYMBOLIC_LINK_FLAG_DIRECTORY;
    rc = CreateSymbolicLinkW(l, t, flags) ? 0 : -1;
  }
  free(t);
  free(l);
  return rc;
}

// Windows has no socketpair: a loopback listener on a free port, one connect and one accept.
int plat_sock_pair(plat_sock out[2]) {
  plat_sock l = plat_tcp_socket();
  if (l == PLAT_BAD_SOCK) return -1;
  uint32_t lo = htonl(INADDR_LOOPBACK);
  int port;
  plat_sock c = PLAT_BAD_SOCK, a = PLAT_BAD_SOCK;
  if (plat_sock_bind(l, lo, 0) == 0 && plat_sock_listen(l, 1) == 0 &&
      (port = plat_sock_local_port(l)) > 0 && (c = plat_tcp_connect(lo, port)) != PLAT_BAD_SOCK)
    a = plat_sock_accept(l);
  plat_sock_close(l);
  if (a == PLAT_BAD_SOCK) {
    plat_sock_close(c);
    return -1;
  }
  out[0] = c;
  out[1] = a;
  return 0;
}

// ---------------------------------------------------------------- failing calls on demand
// The Windows table (platform/syscalls.h) can be replaced call by call; the path-matching rules
// are kept to the POSIX build, where the fault tests run, so none can be armed here.
int plat_fault_arm(const char *, const char *, unsigned, unsigned) { return -1; }
unsigned plat_fault_failed(int) { return 0; }
unsigned plat_fault_matched(int) { return 0; }

// FILETIME counts 100-nanosecond units since 1601-01-01 UTC.
static const int64_t k_unix_epoch_ft = 116444736000000000LL;
static std::atomic<int64_t> s_fixed_ns{0};  // the wall clock's fixed time, 0 while it runs

static void WINAPI fixed_system_time(LPFILETIME ft) {
  int64_t fixed = s_fixed_ns.load();
  if (fixed == 0) {
    GetSystemTimePreciseAsFileTime(ft);
    return;
  }
  uint64_t units = (uint64_t)(fixed / 100 + k_unix_epoch_ft);
  ft->dwLowDateTime = (DWORD)units;
  ft->dwHighDateTime = (DWORD)(units >> 32);
}

void plat_clock_fix_ns(int64_t ns) {
  s_fixed_ns.store(ns);
  plat_syscall_set("GetSystemTimePreciseAsFileTime", ns ? (plat_syscall_ptr)fixed_system_time : nullptr);
}

void plat_fault_clear() { plat_clock_fix_ns(0); }
