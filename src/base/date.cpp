// UTC calendar arithmetic (days from a civil date and back, exact for every year) and the
// HTTP and ISO 8601 date texts. No locale and no time zone are involved anywhere.
#include "base/date.h"

#include <cstdio>

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

int civil_from_seconds(int64_t t, civil_time *out) {
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

int seconds_from_civil(const civil_time *tm, int64_t *out) {
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

// ---------------------------------------------------------------- date texts

static const char *const DAY_NAMES[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
static const char *const MONTH_NAMES[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

static void utc_fields(int64_t t, civil_time *tm) {
  if (civil_from_seconds(t, tm) == 0) return;
  // Only absurd times fail to convert; they are shown as the epoch.
  *tm = civil_time{1970, 1, 1, 0, 0, 0, 4};
}

void format_rfc1123(int64_t t, char out[64]) {
  civil_time tm;
  utc_fields(t, &tm);
  snprintf(out, 64, "%s, %02d %s %04d %02d:%02d:%02d GMT", DAY_NAMES[tm.weekday], tm.day,
           MONTH_NAMES[tm.month - 1], tm.year, tm.hour, tm.minute, tm.second);
}

void format_iso8601(int64_t t, char out[64]) {
  civil_time tm;
  utc_fields(t, &tm);
  snprintf(out, 64, "%04d-%02d-%02dT%02d:%02d:%02d.000Z", tm.year, tm.month, tm.day, tm.hour,
           tm.minute, tm.second);
}
