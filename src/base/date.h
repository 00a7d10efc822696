// UTC calendar arithmetic and the date texts the server writes, with English names whatever
// the locale: clients parse them.
#pragma once

#include <cstdint>

// A UTC instant split into calendar fields (proleptic Gregorian).
struct civil_time {
  int year;   // e.g. 2026
  int month;  // 1..12
  int day;    // 1..31
  int hour, minute, second;
  int weekday;  // 0 = Sunday
};

// Splits seconds since 1970 into fields. Years 0 to 9999 only: 0, or -1 outside them.
int civil_from_seconds(int64_t t, civil_time *out);
// Seconds since 1970 of the fields: 0, or -1 for fields that name no real instant (30 February,
// hour 24, month 13, a year outside 0..9999): nothing is normalised. Second 60 (a leap second)
// is taken as the next minute's first. weekday is ignored.
int seconds_from_civil(const civil_time *tm, int64_t *out);

// The HTTP date "Thu, 01 Jan 1970 00:00:00 GMT" of t into out[64]; a time outside years
// 0..9999 is shown as the epoch.
void format_rfc1123(int64_t t, char out[64]);
// The ISO 8601 text "1970-01-01T00:00:00.000Z" of t into out[64], same fallback.
void format_iso8601(int64_t t, char out[64]);
