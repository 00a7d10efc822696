// The wall clock (seconds or nanoseconds since 1970, UTC) and a monotonic millisecond
// clock for Windows; calendar arithmetic is plain code in base/date.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/os_calls.h"

// FILETIME counts 100-nanosecond units since 1601-01-01 UTC.
static const int64_t k_unix_epoch_ft = 116444736000000000LL;

static int64_t now_ft() {
  FILETIME ft;
  os_GetSystemTimePreciseAsFileTime(&ft);
  return (int64_t)(((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime);
}

int64_t plat_time_now() { return (now_ft() - k_unix_epoch_ft) / 10000000; }

int64_t plat_time_now_ns() { return (now_ft() - k_unix_epoch_ft) * 100; }

// GetTickCount64 never wraps and never goes back; the 32-bit cut wraps like the POSIX one.
uint32_t plat_tick_ms() { return (uint32_t)GetTickCount64(); }
