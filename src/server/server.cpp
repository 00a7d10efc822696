// The control API: start and stop, the running state, the listening socket and the connection
// count under the lifecycle lock.
#include <cstring>

#include "quillmar-s3.h"
#include "base/limits.h"
#include "base/state.h"
#include "base/text.h"
#include "server/server.h"
#include "store/files.h"
#include "store/mpu.h"
#include "store/root_check.h"
#include "store/sweep.h"
#include "store/temp_names.h"

// ---------------------------------------------------------------- locks

QUILLMAR_LAZY_LOCK(lifecycle_mutex)  // s_running, s_listen_sock
QUILLMAR_LAZY_LOCK(control_mutex)    // serialises whole starts and stops against each other

// ---------------------------------------------------------------- run-time state

static int s_running = 0;
static plat_sock s_listen_sock = PLAT_BAD_SOCK;
static uint32_t s_run = 0;  // number of the current run, advanced by each start
// The engine and threads of the current run; touched only under control_mutex. Slot 0 is
// the front.
static engine *s_engine = nullptr;
static plat_thread *s_threads[S3_WORKERS + 1];
static int s_thread_count = 0;

int server_is_running() {
  plat_lock_guard g(lifecycle_mutex());
  return s_running;
}

// ---------------------------------------------------------------- start and stop

// Stops the run's engine and refuses connections from now on; the listening socket itself
// is closed once the front, which accepts on it, has ended.
static void raise_stop() {
  if (s_engine) engine_stop(s_engine);
  plat_lock_guard g(lifecycle_mutex());
  if (s_listen_sock != PLAT_BAD_SOCK) plat_sock_shutdown_both(s_listen_sock);
}

// Waits for the run's threads until deadline_ms (of plat_tick_ms) and lets go of them: those
// that ended are joined, those still serving a slow request run on detached and end after it.
static void release_threads(uint32_t deadline_ms) {
  for (int i = 0; i < s_thread_count; i++) {
    int32_t left = (int32_t)(deadline_ms - plat_tick_ms());
    (void)plat_thread_wait(s_threads[i], left > 0 ? (int)left : 0);
    plat_thread_release(s_threads[i]);
    s_threads[i] = nullptr;
  }
  s_thread_count = 0;
  s_engine = nullptr;
}

static void close_listen_sock() {
  plat_sock s;
  {
    plat_lock_guard g(lifecycle_mutex());
    s = s_listen_sock;
    s_listen_sock = PLAT_BAD_SOCK;
  }
  plat_sock_close(s);
}

// Starts the engine of a new run: its front thread, then its workers. 0, or -1 with none
// left running.
static int start_workers() {
  uint32_t run;
  plat_sock ls;
  {
    plat_lock_guard g(lifecycle_mutex());
    run = ++s_run;
    ls = s_listen_sock;
  }
  s_engine = engine_open(run, ls);
  if (!s_engine) return -1;
  engine_set_threads(s_engine, S3_WORKERS + 1);
  for (int i = 0; i <= S3_WORKERS; i++) {
    plat_thread *t = i == 0 ? plat_thread_start(front_main, s_engine, S3_FRONT_STACK, 0)
                            : plat_thread_start(worker_main, s_engine, S3_THREAD_STACK, 0);
    if (!t) {
      for (int k = i; k <= S3_WORKERS; k++) engine_thread_failed(s_engine);
      if (i == 0) {
        s_engine = nullptr;  // freed by the last share given back
        return -1;
      }
      raise_stop();
      release_threads(plat_tick_ms() + S3_STOP_WAIT_MS + 2000);
      return -1;
    }
    s_threads[s_thread_count++] = t;
  }
  return 0;
}

// Closes a listening socket that never got connection threads.
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

// The start arguments a run cannot use, refused before anything changes. 0, or -1 with the
// reason in the last-error text.
static int check_start_args(int port, const char *bind_addr, const char *storage_root,
                            uint32_t *addr_be) {
  if (server_is_running()) {
    set_error("server already running");
    return -1;
  }
  if (port < 1 || port > 65535) {
    set_error("invalid port %d", port);
    return -1;
  }
  if (plat_ipv4_parse(bind_addr, addr_be) != 0) {
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
  return 0;
}

// Makes the checked arguments the configuration of the new run.
static void adopt_config(int port, const char *bind_addr, const char *storage_root,
                         const char *access_key, const char *secret_key) {
  {
    // The host's JSON calls read the root, address and port on their own threads, at any time.
    plat_lock_guard g(result_mutex());
    copy_text(s_storage_root, sizeof s_storage_root, storage_root);
    copy_text(s_access_key, sizeof s_access_key, access_key);
    copy_text(s_secret_key, sizeof s_secret_key, secret_key);
    s_port = port;
    copy_text(s_bind_addr, sizeof s_bind_addr, bind_addr);
  }
  clear_error();
}

// Opens, binds and listens on the run's socket and starts its connection threads. 0, or -1
// with the socket closed and the reason in the last-error text.
static int open_listener(uint32_t addr_be, int port) {
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
  } else if (plat_sock_listen(s, S3_LISTEN_BACKLOG) != 0) {
    set_error("listen failed");
  } else if (start_workers() != 0) {
    set_error("CreateThread failed");
  } else {
    return 0;
  }
  drop_listen_sock();
  return -1;
}

// Tries at making the storage root beyond the first, and the pause between them.
constexpr int ROOT_MAKE_ATTEMPTS = 20;
constexpr int ROOT_MAKE_PAUSE_MS = 50;

static int start_locked(int port, const char *bind_addr, const char *storage_root,
                        const char *access_key, const char *secret_key) {
  if (!bind_addr || !bind_addr[0]) bind_addr = "127.0.0.1";
  uint32_t addr_be = 0;
  if (check_start_args(port, bind_addr, storage_root, &addr_be) != 0) return -1;
  adopt_config(port, bind_addr, storage_root, access_key, secret_key);
  // Servers that share a root may start at the same moment: on a network file system the
  // root another one is making can fail to show for an instant, so the making is tried again.
  int made = mkdir_p(s_storage_root);
  for (int attempt = 0; made != 0 && attempt < ROOT_MAKE_ATTEMPTS; attempt++) {
    plat_sleep_ms(ROOT_MAKE_PAUSE_MS);
    made = mkdir_p(s_storage_root);
  }
  if (made != 0) {
    set_error("cannot create storage root %s", s_storage_root);
    return -1;
  }
  // Before any sweep or request touches the root: a shared file system whose locks or caches
  // would let servers tear each other's objects is refused.
  char why[1024];
  if (root_check(s_storage_root, why, sizeof why) != 0) {
    set_error("%s", why);
    return -1;
  }
  mpu_gc_sweep();
  temp_sweep();
  // Other servers' folders are judged by their locks before this server takes its own.
  temp_area_sweep();
  temp_area_open();
  if (open_listener(addr_be, port) != 0) {
    temp_area_close();
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
  raise_stop();
  // The front closes every connection and waits up to S3_STOP_WAIT_MS for the requests being
  // served; the threads then get what is left of two more seconds.
  release_threads(plat_tick_ms() + S3_STOP_WAIT_MS + 2000);
  close_listen_sock();
  {
    plat_lock_guard g(lifecycle_mutex());
    s_running = 0;
  }
  temp_area_close();
  plat_net_cleanup();
  return 0;
}

extern "C" QUILLMAR_API int s3_server_status(void) { return server_is_running(); }
