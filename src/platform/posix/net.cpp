// IPv4 stream sockets for POSIX: close-on-exec everywhere, EINTR retried, no SIGPIPE on send.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "platform/platform.h"

// Sockets need no library start on POSIX; the pair exists for platforms where they do.
int plat_net_init() { return 0; }
void plat_net_cleanup() {}

int plat_ipv4_parse(const char *text, uint32_t *addr_be) {
  if (!text) return -1;
  // inet_addr stops at the first blank and accepts what came before it; such text is refused
  // here, since the address text is echoed as it stands in messages and documents.
  for (const char *c = text; *c; c++) {
    bool ok = (*c >= '0' && *c <= '9') || (*c >= 'a' && *c <= 'f') || (*c >= 'A' && *c <= 'F') ||
              *c == 'x' || *c == 'X' || *c == '.';
    if (!ok) return -1;
  }
  in_addr_t a = inet_addr(text);
  // inet_addr answers "none" (all ones) both for garbage and for the broadcast address itself.
  if (a == INADDR_NONE && strcmp(text, "255.255.255.255") != 0) return -1;
  *addr_be = (uint32_t)a;
  return 0;
}

static int to_fd(plat_sock s) { return (int)s; }

plat_sock plat_tcp_socket() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  return fd < 0 ? PLAT_BAD_SOCK : (plat_sock)fd;
}

void plat_sock_reuseaddr(plat_sock s) {
  int one = 1;
  (void)setsockopt(to_fd(s), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
}

static sockaddr_in make_addr(uint32_t addr_be, int port) {
  sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addr_be;
  sa.sin_port = htons((uint16_t)port);
  return sa;
}

int plat_sock_bind(plat_sock s, uint32_t addr_be, int port) {
  if (s == PLAT_BAD_SOCK || port < 0 || port > 65535) return -1;
  sockaddr_in sa = make_addr(addr_be, port);
  return bind(to_fd(s), (const sockaddr *)&sa, sizeof sa) == 0 ? 0 : -1;
}

int plat_sock_listen(plat_sock s, int backlog) {
  if (s == PLAT_BAD_SOCK) return -1;
  return listen(to_fd(s), backlog) == 0 ? 0 : -1;
}

// poll rather than select: descriptors above FD_SETSIZE must work too.
int plat_sock_wait_readable(plat_sock s, int timeout_ms) {
  if (s == PLAT_BAD_SOCK) return -1;
  uint32_t start = plat_tick_ms();
  int left = timeout_ms;
  for (;;) {
    pollfd p;
    p.fd = to_fd(s);
    p.events = POLLIN;
    p.revents = 0;
    int r = poll(&p, 1, left);
    if (r > 0) return (p.revents & POLLNVAL) ? -1 : 1;
    if (r == 0) return 0;
    if (errno != EINTR) return -1;
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
    int fd = accept4(to_fd(s), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) return (plat_sock)fd;
    if (errno != EINTR) return PLAT_BAD_SOCK;
  }
}

long plat_sock_recv(plat_sock s, void *buf, size_t n) {
  if (s == PLAT_BAD_SOCK) return -1;
  for (;;) {
    ssize_t r = recv(to_fd(s), buf, n, 0);
    if (r >= 0) return (long)r;
    if (errno != EINTR) return -1;
  }
}

long plat_sock_send(plat_sock s, const void *buf, size_t n) {
  if (s == PLAT_BAD_SOCK) return -1;
  for (;;) {
    ssize_t r = send(to_fd(s), buf, n, MSG_NOSIGNAL);
    if (r > 0) return (long)r;
    if (r == 0) return -1;
    if (errno != EINTR) return -1;
  }
}

static void set_timeout(int fd, int opt, int ms) {
  timeval tv;
  if (ms < 0) ms = 0;
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  (void)setsockopt(fd, SOL_SOCKET, opt, &tv, sizeof tv);
}

void plat_sock_timeouts(plat_sock s, int recv_ms, int send_ms) {
  if (s == PLAT_BAD_SOCK) return;
  set_timeout(to_fd(s), SO_RCVTIMEO, recv_ms);
  set_timeout(to_fd(s), SO_SNDTIMEO, send_ms);
}

void plat_sock_shutdown_send(plat_sock s) {
  if (s != PLAT_BAD_SOCK) (void)shutdown(to_fd(s), SHUT_WR);
}

// On Linux this also wakes a thread blocked in poll or accept on a listening socket.
void plat_sock_shutdown_both(plat_sock s) {
  if (s != PLAT_BAD_SOCK) (void)shutdown(to_fd(s), SHUT_RDWR);
}

// close is never retried after EINTR: the descriptor is gone either way and may already
// belong to another thread's new file.
void plat_sock_close(plat_sock s) {
  if (s != PLAT_BAD_SOCK) (void)close(to_fd(s));
}
