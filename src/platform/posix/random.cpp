// Random bytes from the kernel: getrandom, with /dev/urandom where the call is missing.
#include <cerrno>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include "platform/platform.h"

static int read_urandom(unsigned char *p, size_t n) {
  int fd;
  do {
    fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  while (n > 0) {
    ssize_t r = read(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      close(fd);
      return -1;
    }
    p += r;
    n -= (size_t)r;
  }
  close(fd);
  return 0;
}

int plat_random_bytes(void *buf, size_t n) {
  unsigned char *p = (unsigned char *)buf;
  while (n > 0) {
    ssize_t r = getrandom(p, n, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      if (errno == ENOSYS) return read_urandom(p, n);
      return -1;
    }
    p += r;
    n -= (size_t)r;
  }
  return 0;
}
