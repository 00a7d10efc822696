// Files and directories for POSIX: status, creation and removal, the replacing move (with a
// copy across file systems), directory listings and unbuffered file handles.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/os_calls.h"

// ---------------------------------------------------------------- status, mkdir, removal

int plat_stat(const char *path, plat_stat_t *out) {
  struct stat st;
  if (!path || stat(path, &st) != 0) return -1;
  out->size = S_ISREG(st.st_mode) ? (uint64_t)st.st_size : 0;
  out->mtime = (int64_t)st.st_mtim.tv_sec;
  out->is_dir = S_ISDIR(st.st_mode) ? 1 : 0;
  out->is_link = 0;
  return 0;
}

int plat_lstat(const char *path, plat_stat_t *out) {
  struct stat st;
  if (!path || lstat(path, &st) != 0) return -1;
  out->size = S_ISREG(st.st_mode) ? (uint64_t)st.st_size : 0;
  out->mtime = (int64_t)st.st_mtim.tv_sec;
  out->is_dir = S_ISDIR(st.st_mode) ? 1 : 0;
  out->is_link = S_ISLNK(st.st_mode) ? 1 : 0;
  return 0;
}

int plat_mkdir(const char *path) { return os_mkdir(path, 0777) == 0 ? 0 : -1; }

int plat_rmdir(const char *path) { return rmdir(path) == 0 ? 0 : -1; }

static plat_err map_errno(int e) {
  switch (e) {
    case ENOENT:
    case ENOTDIR:
      return PLAT_ERR_NOT_FOUND;
    case EISDIR:
      return PLAT_ERR_IS_DIR;
    case EBUSY:
    case ETXTBSY:
      return PLAT_ERR_BUSY;
    case EEXIST:
    case ENOTEMPTY:
      return PLAT_ERR_EXISTS;
    default:
      return PLAT_ERR_OTHER;
  }
}

static bool is_dir_nofollow(const char *path) {
  struct stat st;
  return lstat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

int plat_unlink_while_open() { return 1; }

int plat_unlink(const char *path, plat_err *err) {
  plat_err dummy;
  if (!err) err = &dummy;
  *err = PLAT_OK;
  if (os_unlink(path) == 0) return 0;
  int e = errno;
  // Linux answers EISDIR for a directory; other systems answer EPERM.
  *err = (e == EPERM && is_dir_nofollow(path)) ? PLAT_ERR_IS_DIR : map_errno(e);
  return -1;
}

// ---------------------------------------------------------------- replacing move

// Copies src into a hidden temporary beside dst and moves that onto dst, so dst is replaced
// atomically even across file systems; then removes src. The copy keeps mode and mtime,
// as a rename would.
static int copy_then_move(const char *src, const char *dst, plat_err *err) {
  *err = PLAT_ERR_OTHER;
  struct stat st;
  int in;
  do {
    in = os_open(src, O_RDONLY | O_CLOEXEC);
  } while (in < 0 && errno == EINTR);
  if (in < 0) {
    *err = map_errno(errno);
    return -1;
  }
  if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    os_close(in);
    return -1;
  }
  char tmp[4608];
  const char *slash = strrchr(dst, '/');
  int dir_len = slash ? (int)(slash - dst) + 1 : 0;
  const char *base = slash ? slash + 1 : dst;
  static uint32_t counter;
  int n = snprintf(tmp, sizeof tmp, "%.*s.%s.xdev-%u-%u.tmp", dir_len, dst, base,
                   plat_thread_id(), plat_atomic_fetch_add_u32(&counter, 1));
  if (n < 0 || (size_t)n >= sizeof tmp) {
    os_close(in);
    return -1;
  }
  int out;
  do {
    out = os_open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777);
  } while (out < 0 && errno == EINTR);
  if (out < 0) {
    *err = map_errno(errno);
    os_close(in);
    return -1;
  }
  char *buf = (char *)malloc(65536);
  int ok = buf != nullptr;
  while (ok) {
    ssize_t r = os_read(in, buf, 65536);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) ok = 0;
    if (r <= 0) break;
    ssize_t off = 0;
    while (ok && off < r) {
      ssize_t w = os_write(out, buf + off, (size_t)(r - off));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) ok = 0;
      else off += w;
    }
  }
  free(buf);
  os_close(in);
  if (ok) {
    timespec ts[2] = {st.st_atim, st.st_mtim};
    (void)futimens(out, ts);
    if (os_fsync(out) != 0) ok = 0;
  }
  if (os_close(out) != 0) ok = 0;
  if (ok && os_rename(tmp, dst) != 0) {
    *err = map_errno(errno);
    ok = 0;
  }
  if (!ok) {
    os_unlink(tmp);
    return -1;
  }
  (void)os_unlink(src);
  *err = PLAT_OK;
  return 0;
}

int plat_rename_replace(const char *src, const char *dst, plat_err *err) {
  plat_err dummy;
  if (!err) err = &dummy;
  *err = PLAT_OK;
  if (os_rename(src, dst) == 0) return 0;
  int e = errno;
  if (e == EXDEV) return copy_then_move(src, dst, err);
  *err = map_errno(e);
  return -1;
}

int plat_link(const char *src, const char *dst, plat_err *err) {
  plat_err dummy;
  if (!err) err = &dummy;
  *err = PLAT_OK;
  if (link(src, dst) == 0) return 0;
  *err = map_errno(errno);
  return -1;
}

// ---------------------------------------------------------------- directory listings

struct plat_dir {
  DIR *d;
};

plat_dir *plat_dir_open(const char *path) {
  int fd;
  do {
    fd = os_open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return nullptr;
  DIR *d = fdopendir(fd);
  if (!d) {
    os_close(fd);
    return nullptr;
  }
  plat_dir *pd = (plat_dir *)malloc(sizeof *pd);
  if (!pd) {
    closedir(d);
    return nullptr;
  }
  pd->d = d;
  return pd;
}

// A symbolic link is reported as a plain entry, never as a directory, so that walks and
// recursive deletes stay inside the tree they started in.
int plat_dir_next(plat_dir *d, char *name, size_t cap, int *is_dir) {
  if (!d) return 0;
  for (;;) {
    dirent *e = readdir(d->d);
    if (!e) return 0;
    const char *n = e->d_name;
    if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0))) continue;
    int dir = 0;
    if (e->d_type == DT_DIR) {
      dir = 1;
    } else if (e->d_type == DT_UNKNOWN) {
      struct stat st;
      if (fstatat(dirfd(d->d), n, &st, AT_SYMLINK_NOFOLLOW) == 0) dir = S_ISDIR(st.st_mode) ? 1 : 0;
    }
    if (is_dir) *is_dir = dir;
    if (cap > 0) {
      size_t len = strlen(n);
      if (len > cap - 1) len = cap - 1;
      memcpy(name, n, len);
      name[len] = 0;
    }
    return 1;
  }
}

void plat_dir_close(plat_dir *d) {
  if (!d) return;
  closedir(d->d);
  free(d);
}

// ---------------------------------------------------------------- files

struct plat_file {
  int fd;
  int fresh;       // st is the status the open took, and nothing looked at the handle since
  struct stat st;
};

// Opens path for a regular file only. O_NONBLOCK keeps the open of a FIFO from waiting for its
// other end (a FIFO planted in a bucket would hold the thread, and any lock it holds, for
// ever); the type is checked on the open handle, so nothing can swap the entry in between. The
// flag stays: reads and writes of a regular file never return early for it, so clearing it
// would cost two calls for nothing. A directory is refused as other platforms do.
static int open_regular(const char *path, int flags, struct stat *st_out) {
  int fd;
  do {
    fd = os_open(path, flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  struct stat &st = *st_out;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    os_close(fd);
    return -1;
  }
  return fd;
}

plat_file *plat_file_open_err(const char *path, plat_file_mode mode, plat_err *err) {
  // O_TRUNC of a FIFO or device truncates nothing, and the handle is refused right after.
  int flags = mode == PLAT_READ ? O_RDONLY
              : mode == PLAT_WRITE_KEEP ? (O_WRONLY | O_CREAT)
                                        : (O_WRONLY | O_CREAT | O_TRUNC);
  struct stat st;
  errno = 0;
  int fd = open_regular(path, flags, &st);
  if (err) *err = fd >= 0 ? PLAT_OK
                  : (errno == ENOENT || errno == ENOTDIR) ? PLAT_ERR_NOT_FOUND
                                                          : PLAT_ERR_OTHER;
  if (fd < 0) return nullptr;
  plat_file *f = (plat_file *)malloc(sizeof *f);
  if (!f) {
    os_close(fd);
    return nullptr;
  }
  f->fd = fd;
  // A handle opened to read keeps the status its open took for the first look at it.
  f->fresh = mode == PLAT_READ;
  f->st = st;
  return f;
}

plat_file *plat_file_open(const char *path, plat_file_mode mode) {
  return plat_file_open_err(path, mode, nullptr);
}

plat_file *plat_file_create(const char *path, plat_err *err) {
  *err = PLAT_OK;
  // O_EXCL fails on any entry in the name's place, a dangling link included, so nothing that
  // was there is ever opened; a new entry is a regular file.
  int fd;
  do {
    fd = os_open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    *err = errno == EEXIST ? PLAT_ERR_EXISTS : errno == ENOENT ? PLAT_ERR_NOT_FOUND : PLAT_ERR_OTHER;
    return nullptr;
  }
  plat_file *f = (plat_file *)malloc(sizeof *f);
  if (!f) {
    os_close(fd);
    (void)os_unlink(path);
    *err = PLAT_ERR_OTHER;
    return nullptr;
  }
  f->fd = fd;
  f->fresh = 0;
  return f;
}

long plat_file_read(plat_file *f, void *buf, size_t n) {
  for (;;) {
    ssize_t r = os_read(f->fd, buf, n);
    if (r >= 0) return (long)r;
    if (errno != EINTR) return -1;
  }
}

long plat_file_write(plat_file *f, const void *buf, size_t n) {
  f->fresh = 0;
  const char *p = (const char *)buf;
  size_t done = 0;
  while (done < n) {
    ssize_t w = os_write(f->fd, p + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return -1;
    done += (size_t)w;
  }
  return (long)done;
}

int plat_file_seek(plat_file *f, uint64_t offset) {
  if (offset > (uint64_t)INT64_MAX) return -1;
  return lseek(f->fd, (off_t)offset, SEEK_SET) == (off_t)offset ? 0 : -1;
}

// Writes are unbuffered, so the data is already with the kernel; nothing is held back here.
int plat_file_flush(plat_file *) { return 0; }

// ---------------------------------------------------------------- durability and file times

int plat_file_sync(plat_file *f) {
  // A failed fdatasync is not retried: the kernel may already have dropped the dirty pages.
  return os_fdatasync(f->fd) == 0 ? 0 : -1;
}

void plat_file_writeback(plat_file *f, uint64_t offset, uint64_t len) {
#ifdef __linux__
  if (offset <= (uint64_t)INT64_MAX && len <= (uint64_t)INT64_MAX - offset)
    (void)sync_file_range(f->fd, (off64_t)offset, (off64_t)len, SYNC_FILE_RANGE_WRITE);
#else
  (void)f;
  (void)offset;
  (void)len;
#endif
}

int plat_dir_sync(const char *path) {
  int fd;
  do {
    fd = os_open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  int rc = os_fsync(fd) == 0 ? 0 : -1;
  (void)os_close(fd);
  return rc;
}

static int64_t to_ns(const timespec &ts) {
  return (int64_t)ts.tv_sec * 1000000000 + (int64_t)ts.tv_nsec;
}

int plat_file_mtime_ns(plat_file *f, int64_t *mtime_ns) {
  struct stat st;
  if (fstat(f->fd, &st) != 0) return -1;
  *mtime_ns = to_ns(st.st_mtim);
  return 0;
}

int plat_file_set_mtime_ns(plat_file *f, int64_t mtime_ns) {
  f->fresh = 0;
  timespec ts[2];
  ts[0].tv_sec = 0;
  ts[0].tv_nsec = UTIME_OMIT;
  ts[1].tv_sec = (time_t)(mtime_ns / 1000000000);
  ts[1].tv_nsec = (long)(mtime_ns % 1000000000);
  if (ts[1].tv_nsec < 0) {
    ts[1].tv_sec -= 1;
    ts[1].tv_nsec += 1000000000;
  }
  return futimens(f->fd, ts) == 0 ? 0 : -1;
}

int plat_entry_info(const char *path, int *is_file, int64_t *mtime_ns) {
  struct stat st;
  if (lstat(path, &st) != 0) return -1;
  *is_file = S_ISREG(st.st_mode) ? 1 : 0;
  *mtime_ns = to_ns(st.st_mtim);
  return 0;
}

static int identity_of(const struct stat &st, plat_file_id *out) {
  if (!S_ISREG(st.st_mode)) return -1;
  out->dev = (uint64_t)st.st_dev;
  out->ino = (uint64_t)st.st_ino;
  out->size = (uint64_t)st.st_size;
  out->mtime_ns = to_ns(st.st_mtim);
  return 0;
}

int plat_file_identity(const char *path, plat_file_id *out) {
  struct stat st;
  if (lstat(path, &st) != 0) return -1;
  return identity_of(st, out);
}

int plat_file_handle_identity(plat_file *f, plat_file_id *out) {
  if (f && f->fresh) {
    // Taken by the open an instant ago, from this handle: asking again would tell the same.
    f->fresh = 0;
    return identity_of(f->st, out);
  }
  struct stat st;
  if (!f || fstat(f->fd, &st) != 0) return -1;
  return identity_of(st, out);
}

void plat_file_close(plat_file *f) {
  if (!f) return;
  (void)os_close(f->fd);
  free(f);
}

// ---------------------------------------------------------------- lock files

// flock locks belong to the open file description, so two handles opened by two threads of one
// process exclude each other just as two processes do.
// A blocking flock cannot be given a time limit, so the wait polls: the pauses grow from 1 ms
// to 32 ms, which keeps a short wait short and a long one cheap.
int plat_file_lock_take(const char *path, int exclusive, int create, plat_file_lock *out) {
  return plat_file_lock_take_wait(path, exclusive, create, PLAT_LOCK_WAIT_MS, out);
}

int plat_file_lock_take_wait(const char *path, int exclusive, int create, int wait_ms,
                             plat_file_lock *out) {
  out->fd = -1;
  out->timed_out = 0;
  struct stat st;
  int fd = open_regular(path, create ? O_RDWR | O_CREAT : O_RDONLY, &st);
  if (fd < 0) return -1;
  const uint32_t start = plat_tick_ms();
  int pause_ms = 1;
  for (;;) {
    if (os_flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) break;
    if (errno != EWOULDBLOCK && errno != EINTR) {
      (void)os_close(fd);
      return -1;
    }
    if (plat_tick_ms() - start >= (uint32_t)wait_ms) {
      (void)os_close(fd);
      out->timed_out = 1;
      return -1;
    }
    plat_sleep_ms(pause_ms);
    if (pause_ms < 32) pause_ms *= 2;
  }
  out->fd = fd;
  return 0;
}

void plat_file_lock_release(plat_file_lock *l) {
  if (!l || l->fd < 0) return;
  // Closing the only handle drops the lock.
  (void)os_close((int)l->fd);
  l->fd = -1;
}

int plat_windows_names() { return 0; }
