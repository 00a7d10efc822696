// The wall clock (seconds since 1970, UTC) and a monotonic millisecond clock; calendar
// arithmetic is plain code in base/date.
#include <ctime>

#include "platform/platform.h"

int64_t plat_time_now() {
  timespec ts;
  if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return (int64_t)time(nullptr);
  return (int64_t)ts.tv_sec;
}

uint32_t plat_tick_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint32_t)((uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u);
}
