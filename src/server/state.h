// Process-wide configuration, run-time state, the last-error text and the traffic counters.
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
// Copies the current last-error text into out (always NUL-terminated).
void get_error(char *out, size_t cap);

// Counts one answered request with the bytes it served and received.
void count_request(uint64_t bytes_served, uint64_t bytes_uploaded);
void read_counters(uint64_t *requests, uint64_t *served, uint64_t *uploaded);

// 1 while the server runs.
int server_is_running();

// The JSON result lock (s_result_mutex): usable at any time, also across stops.
plat_mutex *result_mutex();

// Current time in seconds since 1970; tests may shift it through server_set_clock_offset.
int64_t server_now();
void server_set_clock_offset(int64_t seconds);

// The accept loop (accept.cpp), started by the control API.
int worker_fn(void *unused);

// Connection lifecycle hooks used by the accept loop (server.cpp owns the lock and counters).
// conn_try_enter: 1 when a new connection thread may start (count taken), 0 when the server is
// full or stopping. conn_leave: gives the count back.
int conn_try_enter();
void conn_leave();
// The listening socket and stop flag, read under the lifecycle lock.
plat_sock lifecycle_listen_sock(int *stop_flag);
int lifecycle_stop_flag();
