// IPv4 stream sockets for Windows (Winsock 2): handles never inherited by child processes,
// WSAEINTR retried, time-outs in milliseconds as Winsock takes them.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstring>

#include "platform/platform.h"

#ifndef WSA_FLAG_NO_HANDLE_INHERIT
#define WSA_FLAG_NO_HANDLE_INHERIT 0x80
#endif

// Every successful start is paired with one cleanup; Winsock counts them itself.
int plat_net_init() {
  WSADATA wsa;
  return WSAStartup(MAKEWORD(2, 2), &wsa) == 0 ? 0 : -1;
}

void plat_net_cleanup() { (void)WSACleanup(); }

int plat_ipv4_parse(const char *text, uint32_t *addr_be) {
  if (!text) return -1;
  // inet_addr stops at the first blank and accepts what came before it; such text is refused
  // here, since the address text is echoed as it stands in messages and documents.
  for (const char *c = text; *c; c++) {
    bool ok = (*c >= '0' && *c <= '9') || (*c >= 'a' && *c <= 'f') || (*c >= 'A' && *c <= 'F') ||
              *c == 'x' || *c == 'X' || *c == '.';
    if (!ok) return -1;
  }
  if (!*text) return -1;
  unsigned long a = inet_addr(text);
  // inet_addr answers INADDR_NONE both for garbage and for the broadcast address itself.
  if (a == INADDR_NONE && strcmp(text, "255.255.255.255") != 0) return -1;
  *addr_be = (uint32_t)a;
  return 0;
}

static SOCKET to_sock(plat_sock s) { return (SOCKET)s; }

static void no_inherit(SOCKET s) { (void)SetHandleInformation((HANDLE)s, HANDLE_FLAG_INHERIT, 0); }

static SOCKET new_socket() {
  return WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                    WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

// A caller that never started Winsock (a test program using sockets directly) gets it started
// once here, for the rest of the process; the server itself pairs plat_net_init and cleanup.
plat_sock plat_tcp_socket() {
  SOCKET s = new_socket();
  if (s == INVALID_SOCKET && WSAGetLastError() == WSANOTINITIALISED) {
    static LONG started;
    WSADATA wsa;
    if (InterlockedCompareExchange(&started, 1, 0) == 0) (void)WSAStartup(MAKEWORD(2, 2), &wsa);
    s = new_socket();
  }
  if (s == INVALID_SOCKET) return PLAT_BAD_SOCK;
  no_inherit(s);
  return (plat_sock)s;
}

// SO_REUSEADDR on Windows lets a second socket take over a port that is already listening,
// which is not what the POSIX option means. Windows already allows binding a port that only
// has connections in TIME_WAIT, so the exclusive option gives the POSIX behaviour: a restart
// binds at once and nobody else can bind the port while we listen.
void plat_sock_reuseaddr(plat_sock s) {
  BOOL one = TRUE;
  (void)setsockopt(to_sock(s), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, (const char *)&one, sizeof one);
}

static sockaddr_in make_addr(uint32_t addr_be, int port) {
  sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addr_be;
  sa.sin_port = htons((u_short)port);
  return sa;
}

int plat_sock_bind(plat_sock s, uint32_t addr_be, int port) {
  if (s == PLAT_BAD_SOCK || port < 0 || port > 65535) return -1;
  sockaddr_in sa = make_addr(addr_be, port);
  return bind(to_sock(s), (const sockaddr *)&sa, sizeof sa) == 0 ? 0 : -1;
}

int plat_sock_listen(plat_sock s, int backlog) {
  if (s == PLAT_BAD_SOCK) return -1;
  return listen(to_sock(s), backlog) == 0 ? 0 : -1;
}

// select is fine here: a Windows fd_set is a list of handles, not a bit map, so no handle
// value is too large for it.
int plat_sock_wait_readable(plat_sock s, int timeout_ms) {
  if (s == PLAT_BAD_SOCK) return -1;
  uint32_t start = plat_tick_ms();
  int left = timeout_ms;
  for (;;) {
    fd_set rd;
    FD_ZERO(&rd);
    FD_SET(to_sock(s), &rd);
    timeval tv;
    timeval *ptv = nullptr;
    if (timeout_ms >= 0) {
      tv.tv_sec = left / 1000;
      tv.tv_usec = (left % 1000) * 1000;
      ptv = &tv;
    }
    int r = select(0, &rd, nullptr, nullptr, ptv);
    if (r > 0) return 1;
    if (r == 0) return 0;
    if (WSAGetLastError() != WSAEINTR) return -1;
    if (timeout_ms >= 0) {
      uint32_t spent = plat_tick_ms() - start;
      if (spent >= (uint32_t)timeout_ms) return 0;
      left = timeout_ms - (int)spent;
    }
  }
}

plat_sock plat_sock_accept(plat_sock s) {
  if (s == PLAT_BAD_SOCK) return PLAT_BAD_SOCK;
  for (;;) {
    SOCKET c = accept(to_sock(s), nullptr, nullptr);
    if (c != INVALID_SOCKET) {
      no_inherit(c);
      return (plat_sock)c;
    }
    if (WSAGetLastError() != WSAEINTR) return PLAT_BAD_SOCK;
  }
}

// Winsock takes int lengths; larger requests are served in part, as the callers allow.
static int clamp_len(size_t n) { return n > 0x40000000u ? 0x40000000 : (int)n; }

long plat_sock_recv(plat_sock s, void *buf, size_t n) {
  if (s == PLAT_BAD_SOCK) return -1;
  for (;;) {
    int r = recv(to_sock(s), (char *)buf, clamp_len(n), 0);
    if (r >= 0) return (long)r;
    if (WSAGetLastError() != WSAEINTR) return -1;
  }
}

// Windows has no SIGPIPE: a send to a closed peer just fails.
long plat_sock_send(plat_sock s, const void *buf, size_t n) {
  if (s == PLAT_BAD_SOCK) return -1;
  for (;;) {
    int r = send(to_sock(s), (const char *)buf, clamp_len(n), 0);
    if (r > 0) return (long)r;
    if (r == 0) return -1;
    if (WSAGetLastError() != WSAEINTR) return -1;
  }
}

// Winsock takes a DWORD of milliseconds, 0 meaning no limit as on POSIX.
static void set_timeout(SOCKET s, int opt, int ms) {
  DWORD v = ms < 0 ? 0 : (DWORD)ms;
  (void)setsockopt(s, SOL_SOCKET, opt, (const char *)&v, sizeof v);
}

void plat_sock_timeouts(plat_sock s, int recv_ms, int send_ms) {
  if (s == PLAT_BAD_SOCK) return;
  set_timeout(to_sock(s), SO_RCVTIMEO, recv_ms);
  set_timeout(to_sock(s), SO_SNDTIMEO, send_ms);
}

void plat_sock_shutdown_send(plat_sock s) {
  if (s != PLAT_BAD_SOCK) (void)shutdown(to_sock(s), SD_SEND);
}

// Unlike Linux, shutdown does not wake a thread blocked in select or accept on a listening
// socket; the accept loop waits with a time-out, so it notices a stop anyway.
void plat_sock_shutdown_both(plat_sock s) {
  if (s != PLAT_BAD_SOCK) (void)shutdown(to_sock(s), SD_BOTH);
}

void plat_sock_close(plat_sock s) {
  if (s != PLAT_BAD_SOCK) (void)closesocket(to_sock(s));
}
