// The readers of client texts in base, one table each, pinning what each caller accepts: dates
// for a signature and for a condition, the x-amz-date and ISO 8601 forms, chunk sizes of HTTP
// chunked and aws-chunked bodies, percent-decoding of paths and queries, XML references, and
// Content-Length, and JSON tokens.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "base/date.h"
#include "base/json.h"
#include "base/text.h"

namespace {

constexpr int64_t MAY1 = 1714564800;  // 2024-05-01T12:00:00Z
constexpr int64_t NONE = -1;          // the text is refused

// One text read as a condition (If-Modified-Since and kin) and as a signed Date header: the two
// callers' rules differ, and neither may drift into the other.
TEST(Readers, HttpDateForConditionsAndSignatures) {
  const unsigned signer = HTTP_DATE_ANY_WEEKDAY | HTTP_DATE_ZONES;
  struct row {
    const char *text;
    int64_t condition, signature;
  } rows[] = {
      {"Wed, 01 May 2024 12:00:00 GMT", MAY1, MAY1},
      {"wed, 1 may 2024 12:00:00 GMT", MAY1, MAY1},
      // Only a signature's date may name its zone UTC or +0000.
      {"Wed, 01 May 2024 12:00:00 UTC", NONE, MAY1},
      {"Wed, 01 May 2024 12:00:00 +0000", NONE, MAY1},
      {"Wed, 01 May 2024 12:00:00 -0000", NONE, MAY1},
      {"Wed, 01 May 2024 12:00:00 +0100", NONE, NONE},
      // A signer may leave the weekday out or write anything before the comma, and more blanks.
      {"01 May 2024 12:00:00 GMT", NONE, MAY1},
      {"Xy, 01 May 2024 12:00:00 GMT", NONE, MAY1},
      {"Wed,   01 May 2024 12:00:00 GMT", NONE, MAY1},
      {"  Wed, 01 May 2024 12:00:00 GMT", MAY1, MAY1},
      {"\tWed, 01 May 2024 12:00:00 GMT", MAY1, MAY1},
      {"\t01 May 2024 12:00:00 GMT", NONE, NONE},
      // The obsolete HTTP forms are for conditions only.
      {"Wednesday, 01-May-24 12:00:00 GMT", MAY1, NONE},
      {"Thursday, 01-Jan-70 00:00:00 GMT", 0, NONE},
      {"Wednesday, 06-Nov-69 08:49:37 GMT", 3150953377, NONE},  // 69 is 2069
      {"Wed May  1 12:00:00 2024", MAY1, NONE},
      // Neither.
      {"", NONE, NONE},
      {"Wed, 01 May 2024 12:00:00 GMT ", NONE, NONE},
      {"Wed, 31 Feb 2024 12:00:00 GMT", NONE, NONE},
      {"Wed, 01 May 2024 24:00:00 GMT", NONE, NONE},
      {"Wed, 01 May 2024 12:0:00 GMT", NONE, NONE},
      {"Wed, 01 May 24 12:00:00 GMT", NONE, NONE},
      {"Wed, 001 May 2024 12:00:00 GMT", NONE, NONE},
      {"20240501T120000Z", NONE, NONE},
  };
  for (const row &r : rows) {
    int64_t t = -12345;
    EXPECT_EQ(read_http_date(r.text, HTTP_DATE_OBSOLETE, &t), r.condition == NONE ? -1 : 0) << r.text;
    if (r.condition != NONE) {
      EXPECT_EQ(t, r.condition) << r.text;
    }
    EXPECT_EQ(parse_http_date(r.text, &t), r.condition == NONE ? -1 : 0) << r.text;
    t = -12345;
    EXPECT_EQ(read_http_date(r.text, signer, &t), r.signature == NONE ? -1 : 0) << r.text;
    if (r.signature != NONE) {
      EXPECT_EQ(t, r.signature) << r.text;
    }
  }
  int64_t t;
  EXPECT_EQ(read_http_date(nullptr, signer, &t), -1);
  // Without the obsolete forms a condition-style reader takes RFC 1123 alone.
  EXPECT_EQ(read_http_date("Wed May  1 12:00:00 2024", 0, &t), -1);
  EXPECT_EQ(read_http_date("Wednesday, 01-May-24 12:00:00 GMT", 0, &t), -1);
  EXPECT_EQ(read_http_date("Wed, 01 May 2024 12:00:00 GMT", 0, &t), 0);
}

TEST(Readers, AmzDateAndIso8601) {
  struct row {
    const char *text;
    int64_t amz, iso;
  } rows[] = {
      {"20240501T120000Z", MAY1, NONE},
      {"19700101T000000Z", 0, NONE},
      {"20240230T120000Z", NONE, NONE},    // no such day
      {"20240501T120000", NONE, NONE},     // the Z is part of the form
      {"20240501T120000ZZ", NONE, NONE},
      {"2024050lT120000Z", NONE, NONE},
      {"+0240501T120000Z", NONE, NONE},
      {"2024-05-01T12:00:00Z", NONE, MAY1},
      {"2024-05-01T12:00:00.000Z", NONE, MAY1},
      // What stands between the seconds and the Z is not read (a fraction of any length).
      {"2024-05-01T12:00:00.5Z", NONE, MAY1},
      {"2024-05-01T12:00:00", NONE, NONE},
      {"2024-05-01 12:00:00Z", NONE, NONE},
      {"2024-13-01T12:00:00Z", NONE, NONE},
      {"2024-05-01T12:00:+0Z", NONE, NONE},
      {"", NONE, NONE},
  };
  for (const row &r : rows) {
    int64_t t = -12345;
    EXPECT_EQ(parse_amz_date(r.text, &t), r.amz == NONE ? -1 : 0) << r.text;
    if (r.amz != NONE) {
      EXPECT_EQ(t, r.amz) << r.text;
    }
    t = -12345;
    EXPECT_EQ(parse_iso8601(r.text, &t), r.iso == NONE ? -1 : 0) << r.text;
    if (r.iso != NONE) {
      EXPECT_EQ(t, r.iso) << r.text;
    }
  }
  int64_t t;
  EXPECT_EQ(parse_amz_date(nullptr, &t), -1);
  EXPECT_EQ(parse_iso8601(nullptr, &t), -1);
}

// The size line of an HTTP chunked body (blanks, then any value that fits 64 bits) and of an
// aws-chunked body (sign and "0x" too, magnitude saturating, clamped by its caller).
TEST(Readers, HexSizes) {
  const unsigned aws = HEX_BLANKS | HEX_SIGN | HEX_0X | HEX_SATURATE;
  struct row {
    const char *text;
    unsigned flags;
    uint64_t max;
    int rc;
    uint64_t value;
    int negative;
    size_t digits, used;
  } rows[] = {
      {"1a2B;ext", HEX_BLANKS, UINT64_MAX, 0, 0x1a2b, 0, 4, 4},
      {" \t10\r", HEX_BLANKS, UINT64_MAX, 0, 16, 0, 2, 4},
      {"", HEX_BLANKS, UINT64_MAX, 0, 0, 0, 0, 0},
      {"ffffffffffffffff", HEX_BLANKS, UINT64_MAX, 0, UINT64_MAX, 0, 16, 16},
      {"0000000000000000000001", HEX_BLANKS, UINT64_MAX, 0, 1, 0, 22, 22},
      {"10000000000000000", HEX_BLANKS, UINT64_MAX, -1, 0, 0, 0, 0},
      {"-1", HEX_BLANKS, UINT64_MAX, 0, 0, 0, 0, 0},  // no sign here: no digits
      {"0x10", HEX_BLANKS, UINT64_MAX, 0, 0, 0, 1, 1},
      {" 0x10;", aws, 0x80000000ULL, 0, 16, 0, 2, 5},
      {"-10", aws, 0x80000000ULL, 0, 16, 1, 2, 3},
      {"+0X", aws, 0x80000000ULL, 0, 0, 0, 0, 3},
      {"7fffffff", aws, 0x80000000ULL, 0, 0x7fffffff, 0, 8, 8},
      {"fffffffffffffffffffff", aws, 0x80000000ULL, 0, 0x80000000ULL, 0, 21, 21},
      {"12", 0, 0x11, -1, 0, 0, 0, 0},
      {"12", HEX_SATURATE, 0x11, 0, 0x11, 0, 2, 2},
      {"5", 0, 4, -1, 0, 0, 0, 0},  // one digit above a small max
      {"5", HEX_SATURATE, 0, 0, 0, 0, 1, 1},
  };
  for (const row &r : rows) {
    hex_size h;
    memset(&h, 0xAB, sizeof h);
    ASSERT_EQ(parse_hex_size(r.text, strlen(r.text), r.max, r.flags, &h), r.rc) << r.text;
    if (r.rc != 0) continue;
    EXPECT_EQ(h.value, r.value) << r.text;
    EXPECT_EQ(h.negative, r.negative) << r.text;
    EXPECT_EQ(h.digits, r.digits) << r.text;
    EXPECT_EQ(h.used, r.used) << r.text;
  }
  // The length bounds the read even without a NUL.
  hex_size h;
  ASSERT_EQ(parse_hex_size("fff", 2, UINT64_MAX, 0, &h), 0);
  EXPECT_EQ(h.value, 0xffu);
}

// Lenient decoding for query values, strict without NUL for path segments.
TEST(Readers, PercentDecoding) {
  const unsigned path = PCT_STRICT | PCT_NO_NUL;
  struct row {
    const char *text;
    const char *lenient;  // null: refused
    const char *strict;
  } rows[] = {
      {"a%20b", "a b", "a b"},
      {"%e2%82%AC", "\xe2\x82\xac", "\xe2\x82\xac"},
      {"a+b", "a+b", "a+b"},
      {"100%", "100%", nullptr},
      {"%4", "%4", nullptr},
      {"%zz1", "%zz1", nullptr},
      {"%%41", "%A", nullptr},
      {"", "", ""},
  };
  for (const row &r : rows) {
    char out[32];
    long n = pct_decode_text(r.text, strlen(r.text), out, sizeof out, 0);
    ASSERT_EQ(n, (long)strlen(r.lenient)) << r.text;
    EXPECT_STREQ(out, r.lenient) << r.text;
    n = pct_decode_text(r.text, strlen(r.text), out, sizeof out, path);
    if (!r.strict) {
      EXPECT_EQ(n, -1) << r.text;
      continue;
    }
    ASSERT_EQ(n, (long)strlen(r.strict)) << r.text;
    EXPECT_STREQ(out, r.strict) << r.text;
  }
  char out[8];
  // An encoded NUL decodes where it is allowed and is refused where it would cut a name.
  EXPECT_EQ(pct_decode_text("a%00b", 5, out, sizeof out, PCT_STRICT), 3);
  EXPECT_EQ(memcmp(out, "a\0b", 4), 0);
  EXPECT_EQ(pct_decode_text("a%00b", 5, out, sizeof out, PCT_NO_NUL), -1);
  // An escape must lie within the given length, and the result within cap - 1 bytes.
  EXPECT_EQ(pct_decode_text("a%41", 3, out, sizeof out, PCT_STRICT), -1);
  EXPECT_EQ(pct_decode_text("abcdefgh", 8, out, sizeof out, 0), PCT_TOO_LONG);
  EXPECT_EQ(pct_decode_text("a+b%2B", 6, out, sizeof out, PCT_PLUS_BLANK), 4);
  EXPECT_STREQ(out, "a b+");
  EXPECT_EQ(pct_decode_text("abcdefg", 7, out, sizeof out, 0), 7);
  EXPECT_EQ(pct_decode_text("%41%42%43%44%45%46%47", 21, out, sizeof out, 0), 7);
  std::string in_place = "k%2Fey%zz";
  pct_decode(&in_place[0]);
  EXPECT_STREQ(in_place.c_str(), "k/ey%zz");
}

// The references of a DeleteObjects key (numeric too, unknown ones kept) and of a CORS rule's
// value (the five named ones only, anything else refused).
TEST(Readers, XmlReferences) {
  const unsigned key = XML_NUMERIC, cors = XML_STRICT;
  struct row {
    const char *text;
    const char *as_key;
    const char *as_cors;  // null: refused
  } rows[] = {
      {"a&amp;b&lt;&gt;&quot;&apos;", "a&b<>\"'", "a&b<>\"'"},
      {"&#65;&#x42;&#x20AC;&#128512;", "AB\xe2\x82\xac\xf0\x9f\x98\x80", nullptr},
      {"&#xD800;", "&#xD800;", nullptr},      // a surrogate half is no character
      {"&#x110000;", "&#x110000;", nullptr},  // beyond Unicode
      {"&#0;", "&#0;", nullptr},              // NUL would cut the key
      {"&#X41;", "&#X41;", nullptr},          // the x is lowercase
      {"&#000000065;", "&#000000065;", nullptr},  // at most eight digits
      {"&#00000065;", "A", nullptr},
      {"&#65", "&#65", nullptr},
      {"&amp", "&amp", nullptr},
      {"AT&T", "AT&T", nullptr},
      {"plain", "plain", "plain"},
  };
  for (const row &r : rows) {
    char out[64];
    long n = xml_decode_entities(r.text, strlen(r.text), out, sizeof out, key);
    ASSERT_EQ(n, (long)strlen(r.as_key)) << r.text;
    EXPECT_STREQ(out, r.as_key) << r.text;
    n = xml_decode_entities(r.text, strlen(r.text), out, sizeof out, cors);
    if (!r.as_cors) {
      EXPECT_EQ(n, -1) << r.text;
      continue;
    }
    ASSERT_EQ(n, (long)strlen(r.as_cors)) << r.text;
    EXPECT_STREQ(out, r.as_cors) << r.text;
  }
  // The length bounds the reference too: "&amp;" cut to "&am" is no reference.
  char out[8];
  EXPECT_EQ(xml_decode_entities("&amp;", 3, out, sizeof out, key), 3);
  EXPECT_STREQ(out, "&am");
  EXPECT_EQ(xml_decode_entities("&amp;&amp;", 10, out, 2, key), -1);
  EXPECT_EQ(xml_decode_entities("&amp;&amp;", 10, out, 3, key), 2);
  std::string in_place = "&#x1F600;&lt;";
  long n = xml_decode_entities(&in_place[0], in_place.size(), &in_place[0], in_place.size() + 1, key);
  EXPECT_EQ(n, 5);
  EXPECT_STREQ(in_place.c_str(), "\xf0\x9f\x98\x80<");
}

// The dispatcher's refusal and the framing's length read the same text in one place: every
// value the dispatcher lets through frames as exactly that length.
TEST(Readers, ContentLength) {
  struct row {
    const char *text;
    int kind;
    uint64_t value;  // for CL_NUMBER
    int framed_rc;
    uint64_t framed;
  } rows[] = {
      {"0", CL_NUMBER, 0, 0, 0},
      {"00012", CL_NUMBER, 12, 0, 12},
      {"18446744073709551615", CL_NUMBER, UINT64_MAX, 0, UINT64_MAX},
      {"18446744073709551616", CL_NUMBER, UINT64_MAX, -1, UINT64_MAX},
      {"", CL_EMPTY, 0, 0, 0},
      {"-0", CL_NEGATIVE, 0, 0, 0},
      {"-5", CL_NEGATIVE, 0, -1, UINT64_MAX},
      {"-", CL_NOT_NUMBER, 0, 0, 0},
      {"+5", CL_NOT_NUMBER, 0, 0, 0},
      {"12abc", CL_NOT_NUMBER, 0, 0, 12},
      {"1 2", CL_NOT_NUMBER, 0, 0, 1},
      {"0x10", CL_NOT_NUMBER, 0, 0, 0},
  };
  for (const row &r : rows) {
    uint64_t v = 7;
    EXPECT_EQ(read_content_length(r.text, &v), r.kind) << r.text;
    if (r.kind == CL_NUMBER) {
      EXPECT_EQ(v, r.value) << r.text;
    }
    uint64_t f = 7;
    EXPECT_EQ(framed_content_length(r.text, &f), r.framed_rc) << r.text;
    EXPECT_EQ(f, r.framed) << r.text;
  }
}

// The policy document's tokens: strings decoded into a bounded buffer, numbers as written.
TEST(Readers, JsonTokens) {
  struct row {
    const char *text;
    const char *types;  // one character per token: its type, 'E' for JSON_ERR, '.' for the end
    const char *last;   // the last string or number read
  } rows[] = {
      {" {\"a\" : [1, -2.5e3]}\n", "{s:[n,n]}.", "-2.5e3"},
      {"\"\\u00e9\\n\\/\"", "s.", "\xc3\xa9\n/"},
      {"\"\\ud83d\"", "E", ""},   // half of a surrogate pair
      {"\"a\x01" "b\"", "E", ""},     // a control character in a string
      {"\"open", "E", ""},
      {"\"\\x\"", "E", ""},       // an unknown escape
      {"true", "E", ""},
      {"", ".", ""},
  };
  for (const row &r : rows) {
    json_lexer l = {r.text, r.text + strlen(r.text)};
    std::string types, last;
    for (;;) {
      json_token t;
      int type = json_next(&l, &t);
      types += type == JSON_END ? '.' : type == JSON_ERR ? 'E' : char(type);
      if (type == JSON_STR || type == JSON_NUM) last.assign(t.text, t.len);
      if (type == JSON_END || type == JSON_ERR) break;
    }
    EXPECT_EQ(types, r.types) << r.text;
    EXPECT_EQ(last, r.last) << r.text;
  }
  // A string longer than the token buffer is an error, never cut.
  std::string doc = "\"" + std::string(JSON_TOKEN_MAX + 1, 'x') + "\"";
  json_lexer l = {doc.data(), doc.data() + doc.size()};
  json_token t;
  EXPECT_EQ(json_next(&l, &t), JSON_ERR);
  doc = "\"" + std::string(JSON_TOKEN_MAX, 'x') + "\"";
  l = {doc.data(), doc.data() + doc.size()};
  EXPECT_EQ(json_next(&l, &t), JSON_STR);
  EXPECT_EQ(t.len, JSON_TOKEN_MAX);
}

}  // namespace
