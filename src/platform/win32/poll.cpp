// The readiness watch for Windows: WSAPoll over an array of the watched sockets, with a
// loopback datagram socket that sends to itself for wakes; the connection front's calls on
// accepted and listening sockets.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdint>
#include <cstdlib>

#include "platform/platform.h"

void plat_sock_nonblocking(plat_sock s) {
  if (s == PLAT_BAD_SOCK) return;
  u_long on = 1;
  (void)ioctlsocket((SOCKET)s, FIONBIO, &on);
}

plat_sock plat_sock_accept_peer(plat_sock s, uint32_t *peer_be, int *none_waiting) {
  *none_waiting = 0;
  *peer_be = 0;
  if (s == PLAT_BAD_SOCK) return PLAT_BAD_SOCK;
  for (;;) {
    sockaddr_in sa;
    int len = sizeof sa;
    SOCKET c = accept((SOCKET)s, (sockaddr *)&sa, &len);
    if (c != INVALID_SOCKET) {
      (void)SetHandleInformation((HANDLE)c, HANDLE_FLAG_INHERIT, 0);
      // An accepted socket inherits the listener's non-blocking mode on Windows; the
      // connection's own reads and writes block with their time-outs.
      u_long off = 0;
      (void)ioctlsocket(c, FIONBIO, &off);
      if (sa.sin_family == AF_INET) *peer_be = sa.sin_addr.s_addr;
      return (plat_sock)c;
    }
    int e = WSAGetLastError();
    if (e == WSAEINTR || e == WSAECONNRESET) continue;
    *none_waiting = e == WSAEWOULDBLOCK;
    return PLAT_BAD_SOCK;
  }
}

void plat_sock_nodelay(plat_sock s) {
  BOOL one = TRUE;
  if (s != PLAT_BAD_SOCK)
    (void)setsockopt((SOCKET)s, IPPROTO_TCP, TCP_NODELAY, (const char *)&one, sizeof one);
}

struct plat_poller {
  WSAPOLLFD *fds;  // [0] is the wake socket
  uint64_t *tags;
  char *once;      // 1: the entry leaves the array when it is reported
  int count;
  int cap;
  SOCKET wake;
};

plat_poller *plat_poller_open(int capacity) {
  if (capacity < 1) return nullptr;
  plat_poller *p = static_cast<plat_poller *>(calloc(1, sizeof(plat_poller)));
  if (!p) return nullptr;
  p->cap = capacity + 1;
  p->fds = static_cast<WSAPOLLFD *>(calloc((size_t)p->cap, sizeof(WSAPOLLFD)));
  p->tags = static_cast<uint64_t *>(calloc((size_t)p->cap, sizeof(uint64_t)));
  p->once = static_cast<char *>(calloc((size_t)p->cap, 1));
  p->wake = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof sa;
  u_long on = 1;
  if (!p->fds || !p->tags || !p->once || p->wake == INVALID_SOCKET ||
      bind(p->wake, (sockaddr *)&sa, sizeof sa) != 0 ||
      getsockname(p->wake, (sockaddr *)&sa, &len) != 0 ||
      connect(p->wake, (sockaddr *)&sa, sizeof sa) != 0 || ioctlsocket(p->wake, FIONBIO, &on) != 0) {
    plat_poller_close(p);
    return nullptr;
  }
  p->fds[0].fd = p->wake;
  p->fds[0].events = POLLRDNORM;
  p->count = 1;
  return p;
}

void plat_poller_close(plat_poller *p) {
  if (!p) return;
  if (p->wake != INVALID_SOCKET && p->wake != 0) closesocket(p->wake);
  free(p->fds);
  free(p->tags);
  free(p->once);
  free(p);
}

static int add_entry(plat_poller *p, plat_sock s, uint64_t tag, char once) {
  if (p->count >= p->cap) return -1;
  p->fds[p->count].fd = (SOCKET)s;
  p->fds[p->count].events = POLLRDNORM;
  p->fds[p->count].revents = 0;
  p->tags[p->count] = tag;
  p->once[p->count] = once;
  p->count++;
  return 0;
}

static void drop_entry(plat_poller *p, int i) {
  p->count--;
  p->fds[i] = p->fds[p->count];
  p->tags[i] = p->tags[p->count];
  p->once[i] = p->once[p->count];
}

int plat_poller_add(plat_poller *p, plat_sock s, uint64_t tag) { return add_entry(p, s, tag, 0); }

// A socket watched once is in the array only while it is watched: reported, it leaves it.
int plat_poller_add_once(plat_poller *p, plat_sock s, uint64_t tag) {
  return add_entry(p, s, tag, 1);
}

int plat_poller_rearm(plat_poller *p, plat_sock s, uint64_t tag) { return add_entry(p, s, tag, 1); }

// The array belongs to the waiting thread.
int plat_poller_rearm_anywhere() { return 0; }

void plat_poller_remove(plat_poller *p, plat_sock s) {
  for (int i = 1; i < p->count; i++) {
    if (p->fds[i].fd != (SOCKET)s) continue;
    drop_entry(p, i);
    return;
  }
}

int plat_poller_wait(plat_poller *p, uint64_t *tags, int max, int timeout_ms) {
  int n = WSAPoll(p->fds, (ULONG)p->count, timeout_ms);
  if (n < 0) return WSAGetLastError() == WSAEINTR ? 0 : -1;
  int out = 0;
  for (int i = 0; i < p->count && out < max;) {
    short r = p->fds[i].revents;
    if (!r) {
      i++;
      continue;
    }
    p->fds[i].revents = 0;
    if (i == 0) {
      char buf[64];
      while (recv(p->wake, buf, sizeof buf, 0) > 0) {
      }
      i++;
      continue;
    }
    tags[out++] = p->tags[i];
    // The entry moved into i from the end was polled too: it is looked at next.
    if (p->once[i])
      drop_entry(p, i);
    else
      i++;
  }
  return out;
}

void plat_poller_wake(plat_poller *p) {
  char one = 1;
  (void)send(p->wake, &one, 1, 0);
}
