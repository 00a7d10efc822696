// Unit tests of the UTC calendar and the date texts: exact round trips across leap rules and
// the year range, refusal of impossible fields, and the texts clients parse.
#include <gtest/gtest.h>

#include <cstdint>

#include "base/date.h"

namespace {

TEST(Calendar, RoundTripsAndRefusals) {
  struct Case {
    int64_t t;
    civil_time tm;
  };
  const Case cases[] = {
      {0, {1970, 1, 1, 0, 0, 0, 4}},
      {-1, {1969, 12, 31, 23, 59, 59, 3}},
      {951782400, {2000, 2, 29, 0, 0, 0, 2}},   // leap day of a 400-year leap year
      {1709622489, {2024, 3, 5, 7, 8, 9, 2}},
      {4107542400, {2100, 3, 1, 0, 0, 0, 1}},   // 2100 is not a leap year
      {253402300799, {9999, 12, 31, 23, 59, 59, 5}},
  };
  for (const Case &c : cases) {
    civil_time tm;
    ASSERT_EQ(civil_from_seconds(c.t, &tm), 0) << c.t;
    EXPECT_EQ(tm.year, c.tm.year) << c.t;
    EXPECT_EQ(tm.month, c.tm.month) << c.t;
    EXPECT_EQ(tm.day, c.tm.day) << c.t;
    EXPECT_EQ(tm.hour, c.tm.hour) << c.t;
    EXPECT_EQ(tm.minute, c.tm.minute) << c.t;
    EXPECT_EQ(tm.second, c.tm.second) << c.t;
    EXPECT_EQ(tm.weekday, c.tm.weekday) << c.t;
    int64_t back = 0;
    ASSERT_EQ(seconds_from_civil(&c.tm, &back), 0) << c.t;
    EXPECT_EQ(back, c.t);
  }
  const civil_time bad[] = {
      {2023, 2, 29, 0, 0, 0, 0}, {2100, 2, 29, 0, 0, 0, 0}, {2024, 13, 1, 0, 0, 0, 0},
      {2024, 4, 31, 0, 0, 0, 0}, {2024, 1, 1, 24, 0, 0, 0}, {2024, 1, 0, 0, 0, 0, 0},
  };
  for (const civil_time &tm : bad) {
    int64_t t;
    EXPECT_EQ(seconds_from_civil(&tm, &t), -1) << tm.year << "-" << tm.month << "-" << tm.day << " " << tm.hour;
  }
  civil_time tm;
  EXPECT_EQ(civil_from_seconds(253402300800, &tm), -1);
}

TEST(DateTexts, HttpAndIso8601) {
  struct {
    int64_t t;
    const char *http, *iso;
  } cases[] = {
      {0, "Thu, 01 Jan 1970 00:00:00 GMT", "1970-01-01T00:00:00.000Z"},
      {951782400, "Tue, 29 Feb 2000 00:00:00 GMT", "2000-02-29T00:00:00.000Z"},
      {1709622489, "Tue, 05 Mar 2024 07:08:09 GMT", "2024-03-05T07:08:09.000Z"},
      {-62167219200, "Sat, 01 Jan 0000 00:00:00 GMT", "0000-01-01T00:00:00.000Z"},
      // Times outside years 0..9999 are shown as the epoch, never as a torn text.
      {253402300800, "Thu, 01 Jan 1970 00:00:00 GMT", "1970-01-01T00:00:00.000Z"},
      {INT64_MIN, "Thu, 01 Jan 1970 00:00:00 GMT", "1970-01-01T00:00:00.000Z"},
  };
  for (const auto &c : cases) {
    char buf[64];
    format_rfc1123(c.t, buf);
    EXPECT_STREQ(buf, c.http) << c.t;
    format_iso8601(c.t, buf);
    EXPECT_STREQ(buf, c.iso) << c.t;
  }
}

}  // namespace
