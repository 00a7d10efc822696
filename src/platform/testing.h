// OS services that only the tests use (connecting to the server, reading a bound port, setting
// a file time); built into the test programs, never into the library.
#pragma once

#include <cstdint>

#include "platform/platform.h"

int plat_sock_local_port(plat_sock s);                   // bound port, or -1
// Connects a new stream socket to addr_be:port. PLAT_BAD_SOCK on failure.
plat_sock plat_tcp_connect(uint32_t addr_be, int port);
int plat_set_mtime(const char *path, int64_t mtime);   // 0 / -1
