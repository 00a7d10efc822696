// What the control API and the connection engine share: the thread stack size, the running
// state, and the engine of a run (its front thread, its workers, its stop).
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/limits.h"
#include "platform/platform.h"

// Stack of every worker thread: the request handler keeps its working buffers on it.
constexpr size_t S3_THREAD_STACK = 4194304;
// Stack of the front thread, which keeps one receive buffer on it.
constexpr size_t S3_FRONT_STACK = 262144;
// How long a stop waits for the requests being served to finish before it lets go of them.
constexpr int S3_STOP_WAIT_MS = 5000;

// 1 while the server runs.
int server_is_running();

// The engine of one run, over its listening socket (made non-blocking here). Null when it
// cannot be made.
struct engine;
engine *engine_open(uint32_t run, plat_sock listen);
// The threads that will run on e (the front and the workers): the last of them to end frees
// it. A thread that could not be started gives its share back with engine_thread_failed.
void engine_set_threads(engine *e, int n);
void engine_thread_failed(engine *e);
// The threads' bodies, each with the engine as its argument.
int front_main(void *e);
int worker_main(void *e);
// Asks the run to stop: the front closes every connection, idle or busy, and ends once the
// workers gave theirs back (or after S3_STOP_WAIT_MS); then the workers end.
void engine_stop(engine *e);

// Connections accepted since the library loaded, requests that came on a connection that had
// carried one before, and the most requests one connection carried.
void conn_counts(uint64_t *connections, uint64_t *reused_requests, uint64_t *most_requests);
