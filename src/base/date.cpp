// UTC calendar arithmetic (days from a civil date and back, exact for every year) and the
// HTTP and ISO 8601 date texts, written and read. No locale and no time zone are involved
// anywhere.
#include "base/date.h"

#include <cstdio>
#include <cstring>

#include "base/text.h"

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

// ---------------------------------------------------------------- reading dates

namespace {

// Reads between min and max decimal digits at *p. 0 with the value, -1 otherwise.
int read_digits(const char **p, int min, int max, int *out) {
  int v = 0, n = 0;
  while (n < max && (*p)[n] >= '0' && (*p)[n] <= '9') {
    v = v * 10 + ((*p)[n] - '0');
    n++;
  }
  if (n < min) return -1;
  *p += n;
  *out = v;
  return 0;
}

int expect(const char **p, char c) {
  if (**p != c) return -1;
  (*p)++;
  return 0;
}

// "Jan" .. "Dec" (either case) into 1..12, or -1.
int read_month(const char **p) {
  static const char names[] = "janfebmaraprmayjunjulaugsepoctnovdec";
  if (!(*p)[0] || !(*p)[1] || !(*p)[2]) return -1;
  for (int m = 0; m < 12; m++) {
    const char *n = names + 3 * m;
    if (ascii_lower((*p)[0]) == n[0] && ascii_lower((*p)[1]) == n[1] &&
        ascii_lower((*p)[2]) == n[2]) {
      *p += 3;
      return m + 1;
    }
  }
  return -1;
}

// "HH:MM:SS".
int read_clock(const char **p, civil_time *t) {
  if (read_digits(p, 2, 2, &t->hour) != 0 || expect(p, ':') != 0) return -1;
  if (read_digits(p, 2, 2, &t->minute) != 0 || expect(p, ':') != 0) return -1;
  return read_digits(p, 2, 2, &t->second);
}

int is_text(const char *p, const char *s) {
  while (*s)
    if (*p++ != *s++) return 0;
  return *p == 0;
}

// The zone after the clock: " GMT", or under HTTP_DATE_ZONES " UTC", " +0000", " -0000".
int read_zone(const char *p, unsigned flags) {
  if (is_text(p, " GMT")) return 0;
  if (!(flags & HTTP_DATE_ZONES)) return -1;
  return is_text(p, " UTC") || is_text(p, " +0000") || is_text(p, " -0000") ? 0 : -1;
}

// After the weekday, its comma and the blanks: "06 Nov 1994 08:49:37 GMT", or under
// HTTP_DATE_OBSOLETE also "06-Nov-94 08:49:37 GMT".
int read_day_first(const char *p, unsigned flags, civil_time *t) {
  if (read_digits(&p, 1, 2, &t->day) != 0) return -1;
  int dashed = (flags & HTTP_DATE_OBSOLETE) && *p == '-';
  if (expect(&p, dashed ? '-' : ' ') != 0 || (t->month = read_month(&p)) < 0) return -1;
  if (expect(&p, dashed ? '-' : ' ') != 0) return -1;
  if (dashed) {
    if (read_digits(&p, 2, 2, &t->year) != 0) return -1;
    t->year += t->year < 70 ? 2000 : 1900;
  } else if (read_digits(&p, 4, 4, &t->year) != 0) {
    return -1;
  }
  if (expect(&p, ' ') != 0 || read_clock(&p, t) != 0) return -1;
  return read_zone(p, flags);
}

// After the weekday: " Nov  6 08:49:37 1994".
int read_asctime(const char *p, civil_time *t) {
  if (expect(&p, ' ') != 0 || (t->month = read_month(&p)) < 0 || expect(&p, ' ') != 0) return -1;
  if (*p == ' ') p++;
  if (read_digits(&p, 1, 2, &t->day) != 0 || expect(&p, ' ') != 0) return -1;
  if (read_clock(&p, t) != 0 || expect(&p, ' ') != 0) return -1;
  if (read_digits(&p, 4, 4, &t->year) != 0) return -1;
  return *p ? -1 : 0;
}

// Reads exactly n digits of text[0..n) (n <= 4) into *out; 0, or -1.
int fixed_digits(const char *text, int n, int *out) {
  const char *p = text;
  return read_digits(&p, n, n, out);
}

}  // namespace

int read_http_date(const char *text, unsigned flags, int64_t *out) {
  if (!text) return -1;
  civil_time t;
  memset(&t, 0, sizeof t);
  const char *p = text;
  int rc;
  if (flags & HTTP_DATE_ANY_WEEKDAY) {
    const char *comma = strchr(p, ',');
    if (comma) p = comma + 1;
    while (*p == ' ') p++;
    rc = read_day_first(p, flags, &t);
  } else {
    if (flags & HTTP_DATE_OBSOLETE)
      while (*p == ' ' || *p == '\t') p++;
    const char *day_end = p;
    while ((*day_end >= 'A' && *day_end <= 'Z') || (*day_end >= 'a' && *day_end <= 'z')) day_end++;
    if (day_end - p < 3) return -1;
    if (*day_end == ',')
      rc = day_end[1] == ' ' ? read_day_first(day_end + 2, flags, &t) : -1;
    else
      rc = (flags & HTTP_DATE_OBSOLETE) ? read_asctime(day_end, &t) : -1;
  }
  if (rc != 0) return -1;
  return seconds_from_civil(&t, out);
}

int parse_http_date(const char *text, int64_t *out) {
  return read_http_date(text, HTTP_DATE_OBSOLETE, out);
}

// The time whose year (4 digits), month, day, hour, minute and second (2 digits each) stand at
// the offsets at[0..5] of text: 0 with *out, -1 when a field is not all digits or no time.
static int seconds_from_digits(const char *text, const int at[6], int64_t *out) {
  civil_time t;
  memset(&t, 0, sizeof t);
  if (fixed_digits(text + at[0], 4, &t.year) || fixed_digits(text + at[1], 2, &t.month) ||
      fixed_digits(text + at[2], 2, &t.day) || fixed_digits(text + at[3], 2, &t.hour) ||
      fixed_digits(text + at[4], 2, &t.minute) || fixed_digits(text + at[5], 2, &t.second))
    return -1;
  return seconds_from_civil(&t, out);
}

int parse_amz_date(const char *text, int64_t *out) {
  if (!text || strlen(text) != AMZ_DATE_LEN || text[8] != 'T' || text[15] != 'Z') return -1;
  static const int at[6] = {0, 4, 6, 9, 11, 13};
  return seconds_from_digits(text, at, out);
}

int parse_iso8601(const char *text, int64_t *out) {
  if (!text) return -1;
  size_t n = strlen(text);
  if (n < 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text[n - 1] != 'Z')
    return -1;
  static const int at[6] = {0, 5, 8, 11, 14, 17};
  return seconds_from_digits(text, at, out);
}
