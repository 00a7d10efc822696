// What the control API and the connection threads share: the thread stack size, the running state
// and the connection count, both kept under the lifecycle lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/limits.h"
#include "platform/platform.h"

// Stack of every connection thread: the request handler keeps its
// working buffers on it.
constexpr size_t S3_THREAD_STACK = 4194304;

// 1 while the server runs.
int server_is_running();

// The connection threads' body, started S3_MAX_CONNS times by each start with that run's
// number as its argument: accepts and serves connections until that run stops.
int conn_worker(void *run);

// conn_try_enter: 1 when a connection of run gen may be served (count taken), 0 when the server
// is full, stopping or that run is over. conn_leave: gives the count back.
int conn_try_enter(uint32_t gen);
// 1 while fewer connections are served than the bound allows.
int conn_slot_free();
void conn_leave();
// The listening socket of run gen under the lifecycle lock; *stopped 1 when that run is
// stopping or over.
plat_sock lifecycle_listen_sock(uint32_t gen, int *stopped);
int lifecycle_stopped(uint32_t gen);
