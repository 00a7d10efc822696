// UTC time and calendar conversion (proleptic Gregorian, no locale, no time zone) and a
// monotonic millisecond clock.
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

// Days since 1970-01-01 of a civil date, and back: the era-based algorithm that is exact for
// every date in range, negative years included.
static int64_t days_from_civil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

static void civil_from_days(int64_t z, int64_t *y, int *m, int *d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  *d = (int)(doy - (153 * mp + 2) / 5 + 1);
  *m = (int)(mp < 10 ? mp + 3 : mp - 9);
  *y = yoe + era * 400 + (*m <= 2);
}

static bool is_leap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

static int days_in_month(int64_t y, int m) {
  static const int len[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && is_leap(y) ? 29 : len[m - 1];
}

// Years outside 0..9999 never come from a request or a file time worth showing.
static const int64_t MIN_T = -62167219200LL;   // 0000-01-01T00:00:00Z
static const int64_t MAX_T = 253402300799LL;   // 9999-12-31T23:59:59Z

int plat_gmtime(int64_t t, plat_tm *out) {
  if (!out || t < MIN_T || t > MAX_T) return -1;
  int64_t days = t / 86400;
  int64_t secs = t % 86400;
  if (secs < 0) {
    secs += 86400;
    days -= 1;
  }
  int64_t y;
  int m, d;
  civil_from_days(days, &y, &m, &d);
  out->year = (int)y;
  out->month = m;
  out->day = d;
  out->hour = (int)(secs / 3600);
  out->minute = (int)(secs % 3600 / 60);
  out->second = (int)(secs % 60);
  int64_t wd = (days + 4) % 7;  // 1970-01-01 was a Thursday
  out->weekday = (int)(wd < 0 ? wd + 7 : wd);
  return 0;
}

// Fields must name a real instant: no normalisation of 30 February or hour 24.
// A leap second (second 60) counts as the first second of the next minute.
int plat_timegm(const plat_tm *tm, int64_t *out) {
  if (!tm || !out) return -1;
  if (tm->year < 0 || tm->year > 9999 || tm->month < 1 || tm->month > 12) return -1;
  if (tm->day < 1 || tm->day > days_in_month(tm->year, tm->month)) return -1;
  if (tm->hour < 0 || tm->hour > 23 || tm->minute < 0 || tm->minute > 59 || tm->second < 0 ||
      tm->second > 60)
    return -1;
  int64_t days = days_from_civil(tm->year, tm->month, tm->day);
  *out = days * 86400 + tm->hour * 3600 + tm->minute * 60 + tm->second;
  return 0;
}
