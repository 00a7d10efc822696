// The control API and process-wide state: configuration, start and stop, the last-error
// text, the traffic counters, the locks and the connection count.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "quillmar-s3.h"
#include "server/state.h"
#include "store/layout.h"
#include "store/mpu.h"

// ---------------------------------------------------------------- configuration

int s_port = 0;
char s_bind_addr[64] = "127.0.0.1";
char s_storage_root[4096] = "";
char s_access_key[256] = "";
char s_secret_key[256] = "";

// ---------------------------------------------------------------- locks
// Each lock is made on first use and never destroyed: connection threads that outlive a
// stop, and JSON calls overlapping one, may still take them. Function-local statics make the
// first use thread-safe.

static plat_mutex *make_lock(plat_mutex *m) {
  plat_mutex_init(m);
  return m;
}

#define QUILLMAR_LOCK(name)                         \
  static plat_mutex *name() {                       \
    static plat_mutex storage;                      \
    static plat_mutex *const m = make_lock(&storage); \
    return m;                                       \
  }

QUILLMAR_LOCK(lifecycle_mutex)  // s_running, s_stop_flag, s_listen_sock, s_active_conns
QUILLMAR_LOCK(stats_mutex)      // the three traffic counters
QUILLMAR_LOCK(error_mutex)      // s_error and the per-thread snapshots
QUILLMAR_LOCK(control_mutex)    // serialises whole starts and stops against each other
QUILLMAR_LOCK(result_lock)      // the JSON output buffer, and the configuration a start writes

#undef QUILLMAR_LOCK

plat_mutex *result_mutex() { return result_lock(); }

// ---------------------------------------------------------------- run-time state

static int s_running = 0;
static int s_stop_flag = 0;
static plat_sock s_listen_sock = PLAT_BAD_SOCK;
static plat_thread *s_thread = nullptr;  // the accept thread; touched only under control_mutex
static int s_active_conns = 0;

static uint64_t s_requests_total = 0;
static uint64_t s_bytes_served = 0;
static uint64_t s_bytes_uploaded = 0;

static std::atomic<int64_t> s_clock_offset{0};

constexpr int S3_MAX_CONNS = 32;
constexpr size_t S3_THREAD_STACK = 4194304;

// ---------------------------------------------------------------- last-error text

constexpr size_t S3_ERROR_CAP = 1024;  // 1023 characters and the terminator
static char s_error[S3_ERROR_CAP] = "";

// The host gets a private copy per calling thread, taken under the lock, so it never sees a
// text that a connection thread is half-way through writing. A thread's copy lives on after
// the thread ends, on a free list that the next new thread reuses: memory stays bounded by
// the number of threads alive at once, and no pointer handed out ever dangles.
struct error_snapshot {
  char text[S3_ERROR_CAP];
  error_snapshot *next_free;
};
static error_snapshot *s_snapshot_free = nullptr;  // under error_mutex

struct snapshot_holder {
  error_snapshot *snap = nullptr;
  ~snapshot_holder() {
    if (!snap) return;
    plat_lock_guard g(error_mutex());
    snap->next_free = s_snapshot_free;
    s_snapshot_free = snap;
  }
};
static thread_local snapshot_holder t_snapshot;

void set_error(const char *fmt, ...) {
  char tmp[S3_ERROR_CAP];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(tmp, sizeof tmp, fmt, ap);
  va_end(ap);
  if (n < 0) tmp[0] = 0;
  plat_lock_guard g(error_mutex());
  memcpy(s_error, tmp, strlen(tmp) + 1);
}

void get_error(char *out, size_t cap) {
  if (!out || cap == 0) return;
  plat_lock_guard g(error_mutex());
  size_t len = strlen(s_error);
  if (len > cap - 1) len = cap - 1;
  memcpy(out, s_error, len);
  out[len] = 0;
}

extern "C" QUILLMAR_API const char *s3_last_error(void) {
  plat_lock_guard g(error_mutex());
  error_snapshot *snap = t_snapshot.snap;
  if (!snap) {
    snap = s_snapshot_free;
    if (snap) {
      s_snapshot_free = snap->next_free;
    } else {
      snap = (error_snapshot *)calloc(1, sizeof *snap);
      if (!snap) return "";  // out of memory: an empty text beats a torn one
    }
    snap->next_free = nullptr;
    t_snapshot.snap = snap;
  }
  memcpy(snap->text, s_error, strlen(s_error) + 1);
  return snap->text;
}

// ---------------------------------------------------------------- counters and clock

void count_request(uint64_t bytes_served, uint64_t bytes_uploaded) {
  plat_lock_guard g(stats_mutex());
  s_requests_total += 1;
  s_bytes_served += bytes_served;
  s_bytes_uploaded += bytes_uploaded;
}

void read_counters(uint64_t *requests, uint64_t *served, uint64_t *uploaded) {
  plat_lock_guard g(stats_mutex());
  if (requests) *requests = s_requests_total;
  if (served) *served = s_bytes_served;
  if (uploaded) *uploaded = s_bytes_uploaded;
}

int64_t server_now() { return plat_time_now() + s_clock_offset.load(std::memory_order_relaxed); }

void server_set_clock_offset(int64_t seconds) {
  s_clock_offset.store(seconds, std::memory_order_relaxed);
}

// ---------------------------------------------------------------- lifecycle hooks

int server_is_running() {
  plat_lock_guard g(lifecycle_mutex());
  return s_running;
}

int conn_try_enter() {
  plat_lock_guard g(lifecycle_mutex());
  if (s_stop_flag || s_active_conns >= S3_MAX_CONNS) return 0;
  s_active_conns += 1;
  return 1;
}

void conn_leave() {
  plat_lock_guard g(lifecycle_mutex());
  s_active_conns -= 1;
}

plat_sock lifecycle_listen_sock(int *stop_flag) {
  plat_lock_guard g(lifecycle_mutex());
  if (stop_flag) *stop_flag = s_stop_flag;
  return s_listen_sock;
}

int lifecycle_stop_flag() {
  plat_lock_guard g(lifecycle_mutex());
  return s_stop_flag;
}

static int active_conns() {
  plat_lock_guard g(lifecycle_mutex());
  return s_active_conns;
}

// ---------------------------------------------------------------- start and stop

static void copy_cut(char *dst, size_t cap, const char *src) {
  size_t len = src ? strlen(src) : 0;
  if (len > cap - 1) len = cap - 1;
  if (len) memcpy(dst, src, len);
  dst[len] = 0;
}

// Closes a listening socket that never got an accept thread.
static void drop_listen_sock() {
  plat_sock s;
  {
    plat_lock_guard g(lifecycle_mutex());
    s = s_listen_sock;
    s_listen_sock = PLAT_BAD_SOCK;
  }
  plat_sock_close(s);
  plat_net_cleanup();
}

static int start_locked(int port, const char *bind_addr, const char *storage_root,
                        const char *access_key, const char *secret_key) {
  if (!bind_addr || !bind_addr[0]) bind_addr = "127.0.0.1";
  if (server_is_running()) {
    set_error("server already running");
    return -1;
  }
  if (port < 1 || port > 65535) {
    set_error("invalid port %d", port);
    return -1;
  }
  uint32_t addr_be = 0;
  if (plat_ipv4_parse(bind_addr, &addr_be) != 0) {
    set_error("invalid bind address %s", bind_addr);
    return -1;
  }
  if (!storage_root || !storage_root[0]) {
    set_error("storage_root required");
    return -1;
  }
  if (strlen(storage_root) > sizeof s_storage_root - 1) {
    set_error("storage_root too long");
    return -1;
  }

  {
    // The host's JSON calls read the root, address and port on their own threads, at any time.
    plat_lock_guard g(result_lock());
    copy_cut(s_storage_root, sizeof s_storage_root, storage_root);
    copy_cut(s_access_key, sizeof s_access_key, access_key);
    copy_cut(s_secret_key, sizeof s_secret_key, secret_key);
    s_port = port;
    copy_cut(s_bind_addr, sizeof s_bind_addr, bind_addr);
  }
  {
    // The connection count is left alone: it is exact at all times, and threads of an earlier
    // run that a stop gave up waiting for are still alive and will still give theirs back.
    plat_lock_guard g(lifecycle_mutex());
    s_stop_flag = 0;
  }
  set_error("");

  if (mkdir_p(s_storage_root) != 0) {
    set_error("cannot create storage root %s", s_storage_root);
    return -1;
  }
  mpu_gc_sweep();

  if (plat_net_init() != 0) {
    set_error("WSAStartup failed");
    return -1;
  }
  plat_sock s = plat_tcp_socket();
  if (s == PLAT_BAD_SOCK) {
    set_error("socket() failed");
    plat_net_cleanup();
    return -1;
  }
  {
    plat_lock_guard g(lifecycle_mutex());
    s_listen_sock = s;
  }
  plat_sock_reuseaddr(s);
  if (plat_sock_bind(s, addr_be, port) != 0) {
    set_error("bind failed on %s:%d (in use?)", s_bind_addr, port);
    drop_listen_sock();
    return -1;
  }
  if (plat_sock_listen(s, 64) != 0) {
    set_error("listen failed");
    drop_listen_sock();
    return -1;
  }
  s_thread = plat_thread_start(worker_fn, nullptr, S3_THREAD_STACK, 0);
  if (!s_thread) {
    set_error("CreateThread failed");
    drop_listen_sock();
    return -1;
  }
  plat_lock_guard g(lifecycle_mutex());
  s_running = 1;
  return 0;
}

extern "C" QUILLMAR_API int s3_server_start_ex(int port, const char *bind_addr,
                                              const char *storage_root, const char *access_key,
                                              const char *secret_key) {
  plat_lock_guard control(control_mutex());
  return start_locked(port, bind_addr, storage_root, access_key, secret_key);
}

extern "C" QUILLMAR_API int s3_server_start(int port, const char *storage_root,
                                           const char *access_key, const char *secret_key) {
  return s3_server_start_ex(port, "127.0.0.1", storage_root, access_key, secret_key);
}

extern "C" QUILLMAR_API int s3_server_stop(void) {
  plat_lock_guard control(control_mutex());
  if (!server_is_running()) return 0;
  {
    plat_lock_guard g(lifecycle_mutex());
    s_stop_flag = 1;
    if (s_listen_sock != PLAT_BAD_SOCK) {
      plat_sock_shutdown_both(s_listen_sock);
      plat_sock_close(s_listen_sock);
      s_listen_sock = PLAT_BAD_SOCK;
    }
  }
  if (s_thread) {
    (void)plat_thread_wait(s_thread, 5000);
    plat_thread_release(s_thread);
    s_thread = nullptr;
  }
  for (int i = 0; i < 50 && active_conns() > 0; i++) plat_sleep_ms(100);
  {
    plat_lock_guard g(lifecycle_mutex());
    s_running = 0;
  }
  plat_net_cleanup();
  return 0;
}

extern "C" QUILLMAR_API int s3_server_status(void) { return server_is_running(); }
