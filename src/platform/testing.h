// OS services that only the tests use (connecting to the server, reading a bound port, setting
// a file time, failing system calls, fixing the clock); built into the test programs, never
// into the library.
#pragma once

#include <cstdint>

#include "platform/platform.h"

int plat_sock_local_port(plat_sock s);                   // bound port, or -1
// Connects a new stream socket to addr_be:port. PLAT_BAD_SOCK on failure.
plat_sock plat_tcp_connect(uint32_t addr_be, int port);
// The same from the local address from_be (any port), as a client on another host would.
plat_sock plat_tcp_connect_from(uint32_t from_be, uint32_t addr_be, int port);
int plat_set_mtime(const char *path, int64_t mtime);   // 0 / -1
// Creates a symbolic link at link_path pointing at target. 0 / -1.
int plat_symlink(const char *target, const char *link_path);
// Creates a FIFO (named pipe) at path, as someone may place one in a bucket. 0, or -1 where the
// platform has no such entry in its file system (Windows).
int plat_make_fifo(const char *path);
// A connected pair of local stream sockets (close-on-exec): 0, or -1.
int plat_sock_pair(plat_sock out[2]);

// ---------------------------------------------------------------- failing calls on demand
// Rules over the system-call table (platform/syscalls.h) that make calls fail as a full or
// broken disk would. A rule names a kind of call: "open", "read", "write", "sync" (a file's
// data or a directory forced to disk), "rename", "unlink", "mkdir", "lock" or "clock"; and a
// text the call's path must contain ("" for every path; calls on an open file match by the
// path it was opened with, calls without a path only with ""). Of the matching calls, the
// nth (from 1) and the times-1 after it fail (times 0: every one from the nth on). Rules may
// be armed and cleared while the server runs; a file opened before a rule was armed never
// matches its path.
// The rule's id (0 or more), or -1 when the rule cannot be armed (too many, unknown kind, or a
// platform without the rules).
int plat_fault_arm(const char *call, const char *path_part, unsigned nth, unsigned times);
// How many calls the rule failed so far, and how many matched it in all.
unsigned plat_fault_failed(int id);
unsigned plat_fault_matched(int id);
// Removes every rule and puts the OS's own calls back (the wall clock runs again too).
void plat_fault_clear();
// Fixes the wall clock the server reads (plat_time_now, plat_time_now_ns) at ns nanoseconds
// since 1970, as a clock set back or forward would; the monotonic clock runs on. 0 lets the
// wall clock run again.
void plat_clock_fix_ns(int64_t ns);
