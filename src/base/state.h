// Process-wide configuration and state every module reads: the start arguments, the last-error
// text, the traffic counters, the JSON result lock and the server clock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// Configuration written by a start, read by the request handling (NUL-terminated, cut to fit).
extern int s_port;                  // 0 until the first start
extern char s_bind_addr[64];        // "127.0.0.1" initially
extern char s_storage_root[4096];   // empty until the first start
extern char s_access_key[256];
extern char s_secret_key[256];

// Formats the last-error text (printf style, cut at 1023 characters).
void set_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Empties the last-error text (a start, and the operations that succeed, begin afresh).
void clear_error();

// Takes one of max places counted in *taken, from any thread (helper threads, files held
// open): 1 taken, 0 when all are; each taken place is given back with place_release.
inline int place_take(uint32_t *taken, uint32_t max) {
  if (plat_atomic_fetch_add_u32(taken, 1) < max) return 1;
  plat_atomic_fetch_add_u32(taken, UINT32_MAX);
  return 0;
}
inline void place_release(uint32_t *taken) { plat_atomic_fetch_add_u32(taken, UINT32_MAX); }

// Counts one answered request with the bytes it served and received.
void count_request(uint64_t bytes_served, uint64_t bytes_uploaded);
void read_counters(uint64_t *requests, uint64_t *served, uint64_t *uploaded);

// A lock made on first use and never destroyed: connection threads that outlive a stop, and
// JSON calls overlapping one, may still take it. The function-local statics make the first
// use thread-safe.
inline plat_mutex *lazy_lock(plat_mutex *m) {
  plat_mutex_init(m);
  return m;
}
#define QUILLMAR_LAZY_LOCK(name)                      \
  static plat_mutex *name() {                         \
    static plat_mutex storage;                        \
    static plat_mutex *const m = lazy_lock(&storage); \
    return m;                                         \
  }

// The JSON result lock (s_result_mutex): usable at any time, also across stops.
plat_mutex *result_mutex();

// Current time in seconds since 1970; tests may shift it through server_set_clock_offset.
int64_t server_now();
void server_set_clock_offset(int64_t seconds);
