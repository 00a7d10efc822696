// The readiness watch for Linux: one epoll set, level-triggered (one-shot for sockets watched
// once), and an eventfd for wakes;
// the connection front's calls on accepted and listening sockets.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/platform.h"

void plat_sock_nonblocking(plat_sock s) {
  if (s == PLAT_BAD_SOCK) return;
  int fl = fcntl((int)s, F_GETFL, 0);
  if (fl >= 0) (void)fcntl((int)s, F_SETFL, fl | O_NONBLOCK);
}

plat_sock plat_sock_accept_peer(plat_sock s, uint32_t *peer_be, int *none_waiting) {
  *none_waiting = 0;
  *peer_be = 0;
  if (s == PLAT_BAD_SOCK) return PLAT_BAD_SOCK;
  for (;;) {
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    // The accepted socket does not inherit the listener's non-blocking flag on Linux.
    int fd = accept4((int)s, (sockaddr *)&sa, &len, SOCK_CLOEXEC);
    if (fd >= 0) {
      if (sa.sin_family == AF_INET) *peer_be = sa.sin_addr.s_addr;
      return (plat_sock)fd;
    }
    if (errno == EINTR) continue;
    // A connection reset before it was taken is gone from the queue; others may wait behind.
    if (errno == ECONNABORTED) continue;
    *none_waiting = errno == EAGAIN || errno == EWOULDBLOCK;
    return PLAT_BAD_SOCK;
  }
}

void plat_sock_nodelay(plat_sock s) {
  int one = 1;
  if (s != PLAT_BAD_SOCK) (void)setsockopt((int)s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

struct plat_poller {
  int ep;
  int wake_fd;
};

// The wake descriptor's tag; callers' tags are slot numbers and never reach it.
static constexpr uint64_t k_wake_tag = UINT64_MAX;

plat_poller *plat_poller_open(int capacity) {
  (void)capacity;  // epoll grows as sockets are added
  plat_poller *p = static_cast<plat_poller *>(calloc(1, sizeof(plat_poller)));
  if (!p) return nullptr;
  p->ep = epoll_create1(EPOLL_CLOEXEC);
  p->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = k_wake_tag;
  if (p->ep < 0 || p->wake_fd < 0 || epoll_ctl(p->ep, EPOLL_CTL_ADD, p->wake_fd, &ev) != 0) {
    plat_poller_close(p);
    return nullptr;
  }
  return p;
}

void plat_poller_close(plat_poller *p) {
  if (!p) return;
  if (p->ep >= 0) close(p->ep);
  if (p->wake_fd >= 0) close(p->wake_fd);
  free(p);
}

int plat_poller_add(plat_poller *p, plat_sock s, uint64_t tag) {
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP;
  ev.data.u64 = tag;
  return epoll_ctl(p->ep, EPOLL_CTL_ADD, (int)s, &ev) == 0 ? 0 : -1;
}

int plat_poller_add_once(plat_poller *p, plat_sock s, uint64_t tag) {
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
  ev.data.u64 = tag;
  return epoll_ctl(p->ep, EPOLL_CTL_ADD, (int)s, &ev) == 0 ? 0 : -1;
}

int plat_poller_rearm(plat_poller *p, plat_sock s, uint64_t tag) {
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
  ev.data.u64 = tag;
  return epoll_ctl(p->ep, EPOLL_CTL_MOD, (int)s, &ev) == 0 ? 0 : -1;
}

int plat_poller_rearm_anywhere() { return 1; }

void plat_poller_remove(plat_poller *p, plat_sock s) {
  epoll_event ev{};
  (void)epoll_ctl(p->ep, EPOLL_CTL_DEL, (int)s, &ev);
}

int plat_poller_wait(plat_poller *p, uint64_t *tags, int max, int timeout_ms) {
  epoll_event evs[256];
  if (max > 256) max = 256;
  int n = epoll_wait(p->ep, evs, max, timeout_ms);
  if (n < 0) return errno == EINTR ? 0 : -1;
  int out = 0;
  for (int i = 0; i < n; i++) {
    if (evs[i].data.u64 == k_wake_tag) {
      // One read takes the whole count of wakes.
      uint64_t v;
      ssize_t r = read(p->wake_fd, &v, sizeof v);
      (void)r;
      continue;
    }
    tags[out++] = evs[i].data.u64;
  }
  return out;
}

void plat_poller_wake(plat_poller *p) {
  uint64_t one = 1;
  ssize_t r = write(p->wake_fd, &one, sizeof one);
  (void)r;  // a full counter already wakes the waiter
}
