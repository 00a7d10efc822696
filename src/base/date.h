// UTC calendar arithmetic, the date texts the server writes (with English names whatever the
// locale: clients parse them) and the one reader of the date texts clients send.
#pragma once

#include <cstddef>
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

// ---------------------------------------------------------------- reading dates

// What read_http_date accepts besides "Sun, 06 Nov 1994 08:49:37 GMT" (a weekday of three or
// more letters, a comma, one blank, a day of one or two digits, the month's three letters in
// either case, a four-digit year, the clock, " GMT" and nothing after).
enum : unsigned {
  // The obsolete forms HTTP still allows: "Sunday, 06-Nov-94 08:49:37 GMT" (a two-digit year is
  // the nearest century that is not far ahead: 70..99 are 19xx) and "Sun Nov  6 08:49:37 1994";
  // blanks (space, tab) may lead.
  HTTP_DATE_OBSOLETE = 1u << 0,
  // The way signers write the date they sign: everything up to the first comma is skipped
  // unread (the weekday is optional and not checked), then any number of spaces.
  HTTP_DATE_ANY_WEEKDAY = 1u << 1,
  // The zone may also read "UTC", "+0000" or "-0000". Such a text is a date for a signature,
  // never for a condition on the modification time.
  HTTP_DATE_ZONES = 1u << 2,
};

// Seconds since 1970 of an HTTP date text read under flags; 0, or -1 when the text is not such
// a date or names no real instant (31 February, hour 24). A null text is no date.
int read_http_date(const char *text, unsigned flags, int64_t *out);
// The three forms HTTP allows, as a condition header carries them (HTTP_DATE_OBSOLETE).
int parse_http_date(const char *text, int64_t *out);

constexpr size_t AMZ_DATE_LEN = 16;     // "20130524T000000Z"
// Seconds since 1970 of an x-amz-date in its one form, "20130524T000000Z", naming a real
// instant; 0, or -1 for anything else.
int parse_amz_date(const char *text, int64_t *out);
// Seconds since 1970 of the ISO 8601 form "2026-12-10T12:00:00.000Z": the fields at their fixed
// places, a "Z" at the very end; what stands between the seconds and the "Z" (a fraction) is not
// read. 0, or -1 for anything else.
int parse_iso8601(const char *text, int64_t *out);
