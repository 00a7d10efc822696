// Unit tests of the base text helpers: bounded copies and comparisons, hexadecimal, byte
// search, the XML element reader and the decimal reader every header and query value goes through.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/text.h"

namespace {

TEST(TextHelpers, CopyAndCompare) {
  char small[4];
  EXPECT_EQ(copy_text(small, sizeof small, "abc"), 1);
  EXPECT_STREQ(small, "abc");
  EXPECT_EQ(copy_text(small, sizeof small, "abcd"), 0);
  EXPECT_STREQ(small, "abc");
  EXPECT_EQ(ieq("GeT", "get"), 1);
  EXPECT_EQ(ieq("get", "gets"), 0);
  EXPECT_EQ(istarts_with("STREAMING-AWS4", "streaming-"), 1);
  EXPECT_EQ(istarts_with("str", "streaming"), 0);
  EXPECT_EQ(icontains("gzip, AWS-Chunked", "aws-chunked"), 1);
  EXPECT_EQ(icontains("gzip", "aws-chunked"), 0);
}

TEST(Hex, EncodeDecode) {
  unsigned char b[3] = {0x00, 0xab, 0xff};
  char text[7];
  hex_encode(b, 3, text);
  EXPECT_STREQ(text, "00abff");
  unsigned char out[3];
  EXPECT_EQ(hex_decode("00ABfF", out, 3), 0);
  EXPECT_EQ(memcmp(out, b, 3), 0);
  EXPECT_EQ(hex_decode("00abfg", out, 3), -1);
  EXPECT_EQ(hex_decode("00ab", out, 3), -1);  // stops at the end of a short text
}

TEST(XmlGetTag, Cases) {
  struct {
    const char *name, *text;
    size_t len;  // 0 = whole text
    const char *tag, *expect;  // expect null = nothing returned
  } cases[] = {
      {"plain", "<Part><PartNumber>3</PartNumber></Part>", 0, "PartNumber", "3"},
      {"no decoding or trimming", "<ETag> &quot;ab&quot; </ETag>", 0, "ETag", " &quot;ab&quot; "},
      {"empty element", "<ETag></ETag>", 0, "ETag", ""},
      {"absent", "<PartNumber>3</PartNumber>", 0, "ETag", nullptr},
      {"not closed", "<ETag>abc", 0, "ETag", nullptr},
      {"other element inside", "<ETag>a<b>c</b></ETag>", 0, "ETag", nullptr},
      {"closing beyond length", "<ETag>abc</ETag>", 12, "ETag", nullptr},
      {"prefix of a longer name", "<PartNumberX>1</PartNumberX><PartNumber>2</PartNumber>", 0,
       "PartNumber", "2"},
      {"zero length", "<ETag>a</ETag>", size_t(-1), "ETag", nullptr},
  };
  for (auto &c : cases) {
    size_t len = c.len == size_t(-1) ? 0 : (c.len ? c.len : strlen(c.text));
    char *got = xml_get_tag(c.text, len, c.tag);
    if (!c.expect) {
      EXPECT_EQ(got, nullptr) << c.name;
    } else {
      ASSERT_NE(got, nullptr) << c.name;
      EXPECT_STREQ(got, c.expect) << c.name;
    }
    free(got);
  }
}

TEST(DecimalReader, Table) {
  constexpr uint64_t MAX = UINT64_MAX;
  struct {
    const char *name;
    std::string text;  // may hold a NUL
    size_t len;        // 0 = the whole text
    uint64_t max;
    unsigned flags;
    int rc;
    uint64_t value;  // when rc is 0; otherwise the output stays 7
    size_t used;
  } cases[] = {
      {"plain", "123", 0, MAX, 0, 0, 123, 3},
      {"leading zeros", "0007", 0, MAX, 0, 0, 7, 4},
      {"empty fails", "", 0, MAX, 0, -1, 7, 0},
      {"empty as zero", "", 0, MAX, DEC_EMPTY_ZERO, 0, 0, 0},
      {"junk after digits fails", "12a", 0, MAX, 0, -1, 7, 0},
      {"prefix stops at junk", "12a", 0, MAX, DEC_PREFIX, 0, 12, 2},
      {"prefix still needs a digit", "a12", 0, MAX, DEC_PREFIX, -1, 7, 0},
      {"blanks refused by default", " 7", 0, MAX, 0, -1, 7, 0},
      {"blanks around", " \t7\r\n", 0, MAX, DEC_BLANKS, 0, 7, 5},
      {"blank inside fails", "1 2", 0, MAX, DEC_BLANKS, -1, 7, 0},
      {"prefix leaves trailing blanks", " 7 ", 0, MAX, DEC_BLANKS | DEC_PREFIX, 0, 7, 2},
      {"plus refused by default", "+5", 0, MAX, 0, -1, 7, 0},
      {"plus", "+5", 0, MAX, DEC_PLUS, 0, 5, 2},
      {"minus not taken for plus", "-5", 0, MAX, DEC_PLUS, -1, 7, 0},
      {"minus zero", "-0", 0, MAX, DEC_MINUS, 0, 0, 2},
      {"minus value out of range", "-3", 0, MAX, DEC_MINUS, -1, 7, 0},
      {"minus value saturates", "-3", 0, 500, DEC_MINUS | DEC_SATURATE, 0, 500, 2},
      {"one sign only", "--3", 0, MAX, DEC_SIGN, -1, 7, 0},
      {"lone minus as zero", "-", 0, MAX, DEC_MINUS | DEC_EMPTY_ZERO, 0, 0, 1},
      {"top of 64 bits", "18446744073709551615", 0, MAX, 0, 0, MAX, 20},
      {"above 64 bits", "18446744073709551616", 0, MAX, 0, -1, 7, 0},
      {"above 64 bits saturates", "18446744073709551616", 0, MAX, DEC_SATURATE, 0, MAX, 20},
      {"at a small max", "10000", 0, 10000, 0, 0, 10000, 5},
      {"above a small max", "10001", 0, 10000, 0, -1, 7, 0},
      {"saturation eats every digit", "99999999999999999999999x", 0, 9, DEC_PREFIX | DEC_SATURATE,
       0, 9, 23},
      {"overflow in prefix mode fails", "99999999999999999999x", 0, MAX, DEC_PREFIX, -1, 7, 0},
      {"max zero", "0", 0, 0, 0, 0, 0, 1},
      {"length bounds the text", "12345", 3, MAX, 0, 0, 123, 3},
      {"NUL ends the text", std::string("12\0" "9", 4), 4, MAX, 0, 0, 12, 2},
  };
  for (const auto &c : cases) {
    uint64_t out = 7;
    size_t used = 99;
    size_t len = c.len ? c.len : c.text.size();
    EXPECT_EQ(parse_decimal(c.text.data(), len, c.max, c.flags, &out, &used), c.rc) << c.name;
    EXPECT_EQ(out, c.value) << c.name;
    if (c.rc == 0) {
      EXPECT_EQ(used, c.used) << c.name;
    }
  }
}

TEST(FindBytes, SearchesPastNulAndWithinLength) {
  const char hay[] = "a\0<Key>x</Key>";
  const size_t len = sizeof hay - 1;
  EXPECT_EQ(find_bytes(hay, len, "<Key>"), hay + 2);
  EXPECT_EQ(find_bytes(hay, len, "</Key>"), hay + 8);
  EXPECT_EQ(find_bytes(hay, len - 1, "</Key>"), nullptr);  // would end one byte past len
  EXPECT_EQ(find_bytes(hay, len, ""), nullptr);
  EXPECT_EQ(find_bytes(hay, 3, "<Key>"), nullptr);
}

}  // namespace
