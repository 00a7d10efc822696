// HTTP dates as conditional requests carry them: the three forms HTTP allows, and texts that
// must be ignored rather than misread.
#include <gtest/gtest.h>

#include <cstdint>

#include "ops/conditions.h"

namespace {

TEST(HttpDate, Forms) {
  const int64_t may1 = 1714564800;  // 2024-05-01T12:00:00Z
  struct row {
    const char *text;
    int rc;
    int64_t when;
  } rows[] = {
      {"Wed, 01 May 2024 12:00:00 GMT", 0, may1},
      {"  Wed, 01 May 2024 12:00:00 GMT", 0, may1},
      {"Wed, 1 May 2024 12:00:00 GMT", 0, may1},
      {"wed, 01 may 2024 12:00:00 GMT", 0, may1},
      {"Wednesday, 01-May-24 12:00:00 GMT", 0, may1},
      {"Thursday, 01-Jan-70 00:00:00 GMT", 0, 0},
      {"Wed May  1 12:00:00 2024", 0, may1},
      {"Wed May 01 12:00:00 2024", 0, may1},
      {"Sun, 06 Nov 1994 08:49:37 GMT", 0, 784111777},
      // Not dates: ignored by the callers.
      {"", -1, 0},
      {"yesterday", -1, 0},
      {"2024-05-01T12:00:00Z", -1, 0},
      {"Wed, 01 May 2024 12:00:00 UTC", -1, 0},
      {"Wed, 01 May 2024 12:00:00 GMT trailing", -1, 0},
      {"Wed, 31 Feb 2024 12:00:00 GMT", -1, 0},
      {"Wed, 01 Foo 2024 12:00:00 GMT", -1, 0},
      {"Wed, 01 May 2024 24:00:00 GMT", -1, 0},
      {"Wed, 01 May 99999 12:00:00 GMT", -1, 0},
      {"Wed, 001 May 2024 12:00:00 GMT", -1, 0},
      {"Wed, 01 May 2024 12:00 GMT", -1, 0},
      {"Wed May  1 12:00:00 2024 GMT", -1, 0},
      {"Wed,", -1, 0},
  };
  for (const row &r : rows) {
    int64_t when = -12345;
    EXPECT_EQ(parse_http_date(r.text, &when), r.rc) << r.text;
    if (r.rc == 0) {
      EXPECT_EQ(when, r.when) << r.text;
    }
  }
  int64_t when = 0;
  EXPECT_EQ(parse_http_date(nullptr, &when), -1);
}

}  // namespace
