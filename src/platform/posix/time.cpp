// The wall clock (seconds or nanoseconds since 1970, UTC) and a monotonic millisecond
// clock; calendar arithmetic is plain code in base/date.
#include <ctime>

#include "platform/platform.h"
#include "platform/posix/os_calls.h"

int64_t plat_time_now() {
  timespec ts;
  if (os_clock_gettime(CLOCK_REALTIME, &ts) != 0) return (int64_t)time(nullptr);
  return (int64_t)ts.tv_sec;
}

int64_t plat_time_now_ns() {
  timespec ts;
  if (os_clock_gettime(CLOCK_REALTIME, &ts) != 0) return (int64_t)time(nullptr) * 1000000000;
  return (int64_t)ts.tv_sec * 1000000000 + (int64_t)ts.tv_nsec;
}

uint32_t plat_tick_ms() {
  timespec ts;
  // A clock that fails reads as its start rather than as whatever the stack held.
  if (os_clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return 0;
  return (uint32_t)((uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u);
}
