// What the control API and the accept loop share: the thread stack size, the running state
// and the connection count, both kept under the lifecycle lock.
#pragma once

#include <cstddef>

#include "platform/platform.h"

// Stack of the accept thread and of every connection thread: the request handler keeps its
// working buffers on it.
constexpr size_t S3_THREAD_STACK = 4194304;

// 1 while the server runs.
int server_is_running();

// The accept loop, started by the control API on its own thread; returns after a stop.
int accept_loop(void *unused);

// conn_try_enter: 1 when a new connection thread may start (count taken), 0 when the server is
// full or stopping. conn_leave: gives the count back.
int conn_try_enter();
void conn_leave();
// The listening socket and stop flag, read under the lifecycle lock.
plat_sock lifecycle_listen_sock(int *stop_flag);
int lifecycle_stop_flag();
