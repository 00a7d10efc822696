// Process-wide state: the configuration of the current start, the last-error text with the
// host's per-thread copies, the traffic counters, the JSON result lock and the clock offset.
#include "base/state.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "quillmar-s3.h"

// ---------------------------------------------------------------- configuration

int s_port = 0;
char s_bind_addr[64] = "127.0.0.1";
char s_storage_root[4096] = "";
char s_access_key[256] = "";
char s_secret_key[256] = "";

// ---------------------------------------------------------------- locks

QUILLMAR_LAZY_LOCK(stats_mutex)  // the three traffic counters
QUILLMAR_LAZY_LOCK(error_mutex)  // s_error and the per-thread snapshots
QUILLMAR_LAZY_LOCK(result_lock)  // the JSON output buffer, and the configuration a start writes

plat_mutex *result_mutex() { return result_lock(); }

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

void clear_error() {
  plat_lock_guard g(error_mutex());
  s_error[0] = 0;
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

static uint64_t s_requests_total = 0;
static uint64_t s_bytes_served = 0;
static uint64_t s_bytes_uploaded = 0;

static std::atomic<int64_t> s_clock_offset{0};

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
