// OS services that only the tests use (connecting to the server, reading a bound port, setting
// a file time); built into the test programs, never into the library.
#pragma once

#include <cstdint>

#include "platform/platform.h"

int plat_sock_local_port(plat_sock s);                   // bound port, or -1
// Connects a new stream socket to addr_be:port. PLAT_BAD_SOCK on failure.
plat_sock plat_tcp_connect(uint32_t addr_be, int port);
int plat_set_mtime(const char *path, int64_t mtime);   // 0 / -1
// Creates a symbolic link at link_path pointing at target. 0 / -1.
int plat_symlink(const char *target, const char *link_path);
// Creates a FIFO (named pipe) at path, as someone may place one in a bucket. 0, or -1 where the
// platform has no such entry in its file system (Windows).
int plat_make_fifo(const char *path);
// A connected pair of local stream sockets (close-on-exec): 0, or -1.
int plat_sock_pair(plat_sock out[2]);
