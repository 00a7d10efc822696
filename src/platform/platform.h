// The operating-system services the server uses: sockets, threads, locks, time, randomness, files.
// This header is the only door to the OS; implementations live in posix/ (and later win/), with
// the same function names in each. Callers get plain 0/-1 results and a few error classes.
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------- sockets (IPv4 stream only)
typedef intptr_t plat_sock;
constexpr plat_sock PLAT_BAD_SOCK = -1;

int plat_net_init();     // 0, or -1 when the socket library cannot start
void plat_net_cleanup();

// Parses dotted IPv4 text like inet_addr: 0 and the address in network order, or -1
// ("none"). "255.255.255.255" parses to 0xffffffff with result 0. Text with anything but
// digits, hex letters, 'x' and dots (a trailing blank and junk, say) gives -1.
int plat_ipv4_parse(const char *text, uint32_t *addr_be);

plat_sock plat_tcp_socket();                            // close-on-exec; PLAT_BAD_SOCK on failure
void plat_sock_reuseaddr(plat_sock s);                  // SO_REUSEADDR = 1, result ignored
int plat_sock_bind(plat_sock s, uint32_t addr_be, int port);  // 0 / -1
int plat_sock_listen(plat_sock s, int backlog);          // 0 / -1
// Waits until s is readable: 1 readable, 0 time-out, -1 error or invalid socket.
int plat_sock_wait_readable(plat_sock s, int timeout_ms);
plat_sock plat_sock_accept(plat_sock s);                 // close-on-exec; PLAT_BAD_SOCK on failure
// Receives up to n bytes: > 0 bytes read, 0 peer closed, -1 error or time-out. EINTR is retried.
long plat_sock_recv(plat_sock s, void *buf, size_t n);
// Sends up to n bytes without ever raising SIGPIPE: > 0 bytes sent, -1 error. EINTR is retried.
long plat_sock_send(plat_sock s, const void *buf, size_t n);
void plat_sock_timeouts(plat_sock s, int recv_ms, int send_ms);  // results ignored
void plat_sock_shutdown_send(plat_sock s);
void plat_sock_shutdown_both(plat_sock s);
void plat_sock_close(plat_sock s);

// For the connection front: a listening socket that never blocks an accept, the peer's
// address of an accepted connection, and small answers sent without waiting for Nagle.
void plat_sock_nonblocking(plat_sock s);  // result ignored
// Accepts one waiting connection: the socket (close-on-exec, blocking) and the peer's IPv4
// address in network order; PLAT_BAD_SOCK when none is waiting or accepting failed, with
// *none_waiting 1 when simply none was waiting.
plat_sock plat_sock_accept_peer(plat_sock s, uint32_t *peer_be, int *none_waiting);
void plat_sock_nodelay(plat_sock s);      // TCP_NODELAY = 1, result ignored

// A readiness watch over many sockets (epoll on Linux, WSAPoll on Windows), used by one
// thread. Each socket is watched for readability (a hang-up or error counts as readable) with
// a 64-bit tag of the caller's, until removed; a wake from any thread ends a wait early.
struct plat_poller;  // opaque
plat_poller *plat_poller_open(int capacity);  // null on failure; capacity: sockets at once
void plat_poller_close(plat_poller *p);
int plat_poller_add(plat_poller *p, plat_sock s, uint64_t tag);  // 0 / -1
// A socket watched once: reported by one wait, then left unwatched (but still known, so that a
// hand-over costs no call) until plat_poller_rearm watches it again with its tag.
int plat_poller_add_once(plat_poller *p, plat_sock s, uint64_t tag);  // 0 / -1
int plat_poller_rearm(plat_poller *p, plat_sock s, uint64_t tag);     // 0 / -1
// 1 when plat_poller_rearm may be called from any thread while another waits (epoll), 0 when
// only the waiting thread may call it (WSAPoll's array).
int plat_poller_rearm_anywhere();
void plat_poller_remove(plat_poller *p, plat_sock s);              // before closing s
// Waits up to timeout_ms and stores the tags of up to max ready sockets: their count, 0 on a
// time-out or a wake, -1 on an error of the wait.
int plat_poller_wait(plat_poller *p, uint64_t *tags, int max, int timeout_ms);
void plat_poller_wake(plat_poller *p);  // thread-safe

// ---------------------------------------------------------------- threads and locks
struct plat_thread;  // opaque
typedef int (*plat_thread_fn)(void *arg);
// Starts a thread with the given stack size. detached: the handle is released at once and
// the result is a non-null dummy on success. Returns null on failure.
plat_thread *plat_thread_start(plat_thread_fn fn, void *arg, size_t stack_bytes, int detached);
// Waits up to timeout_ms for a joinable thread: 1 ended, 0 still running.
int plat_thread_wait(plat_thread *t, int timeout_ms);
// Releases a joinable thread's handle (joins it when ended, else detaches it).
void plat_thread_release(plat_thread *t);
uint32_t plat_thread_id();

// A plain mutual-exclusion lock in caller-owned storage.
struct plat_mutex {
  alignas(16) unsigned char opaque[64];
};
void plat_mutex_init(plat_mutex *m);
void plat_mutex_lock(plat_mutex *m);
void plat_mutex_unlock(plat_mutex *m);

// Scoped holder of a plat_mutex.
struct plat_lock_guard {
  plat_mutex *m;
  explicit plat_lock_guard(plat_mutex *mm) : m(mm) { plat_mutex_lock(m); }
  ~plat_lock_guard() { plat_mutex_unlock(m); }
  plat_lock_guard(const plat_lock_guard &) = delete;
  plat_lock_guard &operator=(const plat_lock_guard &) = delete;
};

// A condition variable in caller-owned storage, used with one plat_mutex. Waits may wake
// without a signal, so callers wait in a loop on their own condition.
struct plat_cond {
  alignas(16) unsigned char opaque[64];
};
void plat_cond_init(plat_cond *c);
void plat_cond_destroy(plat_cond *c);
// Releases m (held by the caller), waits for a signal and takes m again.
void plat_cond_wait(plat_cond *c, plat_mutex *m);
void plat_cond_signal(plat_cond *c);  // wakes one waiter

// Atomic fetch-and-add; returns the value before the addition.
uint32_t plat_atomic_fetch_add_u32(uint32_t *p, uint32_t v);

void plat_sleep_ms(int ms);

// ---------------------------------------------------------------- clocks
int64_t plat_time_now();                              // seconds since 1970-01-01 UTC
uint32_t plat_tick_ms();                              // milliseconds of a monotonic clock

// ---------------------------------------------------------------- randomness
int plat_random_bytes(void *buf, size_t n);           // 0 when the OS source delivered, else -1

// ---------------------------------------------------------------- files and directories
enum plat_err {
  PLAT_OK = 0,
  PLAT_ERR_NOT_FOUND = 1,  // the entry, or a directory on its way, does not exist
  PLAT_ERR_IS_DIR = 2,     // the entry is a directory where a file was expected
  PLAT_ERR_BUSY = 3,       // sharing / lock / access conflict that may clear soon
  PLAT_ERR_EXISTS = 4,
  PLAT_ERR_OTHER = 5
};

struct plat_stat_t {
  uint64_t size;
  int64_t mtime;  // seconds since 1970 UTC
  int is_dir;
  int is_link;    // only plat_lstat reports links; plat_stat follows them
};
int plat_stat(const char *path, plat_stat_t *out);     // 0 / -1
// The entry itself, a symbolic link not followed: is_link 1 (and is_dir 0) for a link.
int plat_lstat(const char *path, plat_stat_t *out);    // 0 / -1

// 1 when file names follow Windows rules (no \\ : * ? " < > |, control characters, trailing
// "." or " ", device names; letters compared without case), 0 for POSIX names.
int plat_windows_names();

int plat_mkdir(const char *path);                      // 0 / -1 (exists counts as -1)
int plat_rmdir(const char *path);                      // 0 / -1
// Removes a file, never a directory. 0, or -1 with *err set (NOT_FOUND, IS_DIR, BUSY, OTHER).
int plat_unlink(const char *path, plat_err *err);
// 1 when a file may be unlinked while a handle to it is open, its name then gone at once and
// its space given back only when the last handle closes (POSIX); 0 where an open handle keeps
// the name from going (Windows).
int plat_unlink_while_open();
// Moves src onto dst, replacing dst atomically; across file systems falls back to copy + delete.
// 0, or -1 with *err set.
int plat_rename_replace(const char *src, const char *dst, plat_err *err);
// Gives the file src a second name dst (a hard link: the same file, its data, size, time and
// file number shared); dst must not exist. 0, or -1 with *err set (EXISTS when dst is taken).
int plat_link(const char *src, const char *dst, plat_err *err);

struct plat_dir;  // opaque listing
plat_dir *plat_dir_open(const char *path);           // null when it cannot be opened
// Next entry other than "." and "..": 1 with the name (cut to cap-1) and its directory flag,
// 0 at the end. A symbolic link is never flagged as a directory, so walks stay in the tree.
int plat_dir_next(plat_dir *d, char *name, size_t cap, int *is_dir);
void plat_dir_close(plat_dir *d);

// Files: unbuffered, close-on-exec, EINTR handled. The last component of the path is never
// followed when it is a symbolic link (the open fails), so no file outside the tree is reached
// through a link planted in it. Only regular files open: a FIFO, socket or device is refused
// without waiting for a peer (the open itself never blocks on one).
struct plat_file;
// PLAT_WRITE_KEEP opens a regular file for writing without emptying it, creating it when missing
// (a temporary file made by plat_file_create and written by a later step is never cut).
enum plat_file_mode { PLAT_READ = 0, PLAT_WRITE_TRUNC = 1, PLAT_WRITE_KEEP = 2 };
plat_file *plat_file_open(const char *path, plat_file_mode mode);  // null on failure or a directory
// plat_file_open, telling on failure whether the entry was missing (*err PLAT_ERR_NOT_FOUND:
// it, or a directory on its way, does not exist) or failed otherwise (PLAT_ERR_OTHER).
plat_file *plat_file_open_err(const char *path, plat_file_mode mode, plat_err *err);
// Creates path as a new, empty regular file open for writing; an entry already there (a file,
// a link, anything) is never opened or emptied. Null on failure, with *err PLAT_ERR_EXISTS
// when the name was taken, so the caller can choose another.
plat_file *plat_file_create(const char *path, plat_err *err);
long plat_file_read(plat_file *f, void *buf, size_t n);           // bytes (0 at end), -1 error
long plat_file_write(plat_file *f, const void *buf, size_t n);    // bytes written (all), -1 error
int plat_file_seek(plat_file *f, uint64_t offset);                // 0 / -1, from the start
int plat_file_flush(plat_file *f);  // 0 / -1; writes reach the OS at once, so this syncs nothing
void plat_file_close(plat_file *f);

// Durability and nanosecond file times, for the store's commit order. Times are nanoseconds
// since 1970-01-01 UTC, as file systems keep modification times.
int64_t plat_time_now_ns();
// Forces the file's data to stable storage (fdatasync), also through a read-only handle. 0 / -1.
int plat_file_sync(plat_file *f);
// Starts writing len bytes of the file's data from offset to storage and returns without
// waiting, so that a later plat_file_sync has little left to do. Only a hint: where the system
// has no such call it does nothing.
void plat_file_writeback(plat_file *f, uint64_t offset, uint64_t len);
// Makes the entries of a directory (files moved into it) durable. 0 / -1.
int plat_dir_sync(const char *path);
int plat_file_mtime_ns(plat_file *f, int64_t *mtime_ns);      // 0 / -1
int plat_file_set_mtime_ns(plat_file *f, int64_t mtime_ns);   // 0 / -1
// Status of the entry itself, a symbolic link never followed: 0 with *is_file (1 only for a
// regular file) and its modification time; -1 when there is no such entry.
int plat_entry_info(const char *path, int *is_file, int64_t *mtime_ns);
// Identity and version of a file, for caches of what its content yields: the file system's
// device and file numbers (on Windows the volume serial number and the 64-bit file index),
// its size and its modification time in nanoseconds. Same identity and same size and time: the
// same content, unless someone rewrote it in place and set the time back.
struct plat_file_id {
  uint64_t dev;
  uint64_t ino;
  uint64_t size;
  int64_t mtime_ns;
};
// Status of the entry itself, a symbolic link never followed: 0 with *out filled when it is a
// regular file; -1 when there is no such entry or it is anything else (directory, link, ...).
int plat_file_identity(const char *path, plat_file_id *out);
// The same for an open file (fstat; on Windows GetFileInformationByHandle). 0 / -1.
int plat_file_handle_identity(plat_file *f, plat_file_id *out);
// An advisory lock on a lock file, shared or exclusive, held by one open handle of the file:
// it excludes other handles of this process and of other processes on the same file system.
struct plat_file_lock {
  intptr_t fd;    // -1 when not held
  int timed_out;  // 1 when the last take gave up after PLAT_LOCK_WAIT_MS
};
// How long a take waits for a lock that another handle holds. Holders keep locks only for
// short steps, so a longer wait means something is stuck; the caller answers "try later"
// instead of holding its thread (and its client) for ever.
constexpr int PLAT_LOCK_WAIT_MS = 5000;
// Opens path (creating it when create is set; only a regular file is used) and waits until the
// lock is granted, at most PLAT_LOCK_WAIT_MS. 0, or -1 when the file cannot be opened or locked,
// with out->timed_out set when the wait ran out; out->fd is then -1.
int plat_file_lock_take(const char *path, int exclusive, int create, plat_file_lock *out);
// plat_file_lock_take with a wait of wait_ms (0: one attempt, as for a lock whose holder, if
// any, keeps it for its lifetime).
int plat_file_lock_take_wait(const char *path, int exclusive, int create, int wait_ms,
                             plat_file_lock *out);
void plat_file_lock_release(plat_file_lock *l);

// Scoped owner of a plat_file.
struct plat_file_guard {
  plat_file *f;
  explicit plat_file_guard(plat_file *ff) : f(ff) {}
  ~plat_file_guard() {
    if (f) plat_file_close(f);
  }
  plat_file *release() {
    plat_file *r = f;
    f = nullptr;
    return r;
  }
  plat_file_guard(const plat_file_guard &) = delete;
  plat_file_guard &operator=(const plat_file_guard &) = delete;
};

// ---------------------------------------------------------------- the file system under a path
// What the OS says of the file system that holds a path, for the start-up check of the storage
// root: a root on a network or FUSE file system is served only where locks and caches behave.
struct plat_mount {
  char fstype[64];         // "ext4", "fuse.glusterfs", "nfs4", "NTFS"; empty when unknown
  char source[512];        // what is mounted there: "host:/volume", "/dev/sda1"
  char mount_point[4096];  // where it is mounted: the path itself or a directory above it
  char options[2048];      // the mount's and the file system's options, comma-separated
  int remote;              // 1 when the OS itself calls the volume a network one
};
// 0 with *out filled; -1 when the path cannot be resolved or the OS gives no mount table.
int plat_mount_of(const char *path, plat_mount *out);
// The two-handle lock self-test, on a new file at path that it removes again: 1 when an
// exclusive lock held through one handle keeps a second handle of the same file out and is
// granted to it once released; 0 when the second handle got the lock as well; -1 when the file
// cannot be created or the file system refuses locks altogether.
int plat_lock_self_test(const char *path);
