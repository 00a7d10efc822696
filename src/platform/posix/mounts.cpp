// The file system under a path, read from /proc/self/mountinfo, and the two-handle lock self-test.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/platform.h"

namespace {

// Copies a mountinfo field into out, turning the kernel's octal escapes (\040 for a blank)
// back into bytes and cutting at cap-1.
void unescape_field(const char *s, size_t n, char *out, size_t cap) {
  size_t o = 0;
  for (size_t i = 0; i < n && o + 1 < cap; i++) {
    if (s[i] == '\\' && i + 3 < n && s[i + 1] >= '0' && s[i + 1] <= '3' && s[i + 2] >= '0' &&
        s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
      out[o++] = (char)((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
      i += 3;
    } else {
      out[o++] = s[i];
    }
  }
  out[o] = '\0';
}

// Is dir the path itself or one of its parent directories?
bool covers(const char *dir, const char *path) {
  size_t n = strlen(dir);
  if (n == 1 && dir[0] == '/') return true;
  return strncmp(dir, path, n) == 0 && (path[n] == '\0' || path[n] == '/');
}

struct field {
  const char *p;
  size_t n;
};

// One line: "id parent major:minor root mount-point options [optional...] - type source
// super-options". Fills out when its mount point covers path and is at least as long as
// best_len (a later mount on the same point hides the earlier one).
void take_line(const char *line, size_t len, const char *path, size_t *best_len, plat_mount *out,
               int *found) {
  field f[64];
  size_t nf = 0;
  size_t i = 0;
  while (i < len && nf < 64) {
    while (i < len && line[i] == ' ') i++;
    if (i >= len) break;
    size_t start = i;
    while (i < len && line[i] != ' ') i++;
    f[nf].p = line + start;
    f[nf].n = i - start;
    nf++;
  }
  if (nf < 10) return;
  size_t dash = 6;
  while (dash < nf && !(f[dash].n == 1 && f[dash].p[0] == '-')) dash++;
  if (dash + 2 >= nf) return;  // no type and source after the separator
  char mp[sizeof out->mount_point];
  unescape_field(f[4].p, f[4].n, mp, sizeof mp);
  if (!covers(mp, path)) return;
  size_t mlen = strlen(mp);
  if (*found && mlen < *best_len) return;
  *found = 1;
  *best_len = mlen;
  memcpy(out->mount_point, mp, mlen + 1);
  unescape_field(f[dash + 1].p, f[dash + 1].n, out->fstype, sizeof out->fstype);
  unescape_field(f[dash + 2].p, f[dash + 2].n, out->source, sizeof out->source);
  char opts[sizeof out->options];
  unescape_field(f[5].p, f[5].n, opts, sizeof opts);
  size_t ol = strlen(opts);
  if (dash + 3 < nf && ol + 1 < sizeof opts) {
    opts[ol++] = ',';
    unescape_field(f[dash + 3].p, f[dash + 3].n, opts + ol, sizeof opts - ol);
  }
  memcpy(out->options, opts, strlen(opts) + 1);
}

}  // namespace

int plat_mount_of(const char *path, plat_mount *out) {
  memset(out, 0, sizeof *out);
  char real[PATH_MAX];
  if (!path || !realpath(path, real)) return -1;
  int fd;
  do {
    fd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  // Lines longer than the buffer (paths of thousands of bytes) are skipped whole.
  static const size_t k_line = 16384;
  char *buf = (char *)malloc(k_line);
  if (!buf) {
    close(fd);
    return -1;
  }
  size_t have = 0;
  size_t best = 0;
  int found = 0;
  bool skipping = false;
  for (;;) {
    ssize_t r = read(fd, buf + have, k_line - have);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    have += (size_t)r;
    size_t start = 0;
    for (size_t i = 0; i < have; i++) {
      if (buf[i] != '\n') continue;
      if (!skipping) take_line(buf + start, i - start, real, &best, out, &found);
      skipping = false;
      start = i + 1;
    }
    memmove(buf, buf + start, have - start);
    have -= start;
    if (have == k_line) {
      skipping = true;
      have = 0;
    }
  }
  if (have > 0 && !skipping) take_line(buf, have, real, &best, out, &found);
  free(buf);
  close(fd);
  return found ? 0 : -1;
}

int plat_lock_self_test(const char *path) {
  int a;
  do {
    a = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  } while (a < 0 && errno == EINTR);
  if (a < 0) return -1;
  int b;
  do {
    b = open(path, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  } while (b < 0 && errno == EINTR);
  int verdict = -1;
  if (b >= 0 && flock(a, LOCK_EX | LOCK_NB) == 0) {
    if (flock(b, LOCK_EX | LOCK_NB) == 0) {
      verdict = 0;
    } else if (errno == EWOULDBLOCK) {
      // Released through the first handle, the lock must reach the second one.
      (void)flock(a, LOCK_UN);
      verdict = flock(b, LOCK_EX | LOCK_NB) == 0 ? 1 : 0;
    }
  }
  if (b >= 0) close(b);
  close(a);
  (void)unlink(path);
  return verdict;
}
