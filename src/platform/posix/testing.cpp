// The test programs' own OS services for POSIX: a client connect, the bound port of a socket,
// setting a file's modification time and making a symbolic link.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

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
