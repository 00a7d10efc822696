// Unit tests of the request parser's path split with the name rules and lookups: bucket and key splitting, header
// and query lookups, percent-decoding and the decimal header reader.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "http/request.h"
#include "store/names.h"

namespace {

struct PathCase {
  const char *name;
  std::string path;
  int result;
  const char *bucket;
  std::string key;
};

// The path split, then the name rules, as the dispatcher applies them.
int split(const std::string &path, S3Request *r, const char *method = "GET") {
  memset(r, 0, sizeof *r);
  copy_text(r->method, sizeof r->method, method);
  copy_text(r->path, sizeof r->path, path.c_str());
  return names_check_request(r, parse_bucket_key(r));
}

TEST(PathRules, Table) {
  const std::string seg255(255, 'k'), seg256(256, 'k');
  const std::string b63(63, 'b'), b64(64, 'b');
  // 16 segments of 255 bytes plus 15 separators: 4095 bytes of key text, the most allowed.
  std::string long_key;
  for (int i = 0; i < 16; i++) long_key += (i ? "/" : "") + std::string(255, char('a' + i));
  const PathCase cases[] = {
      {"bucket only", "/abc", 0, "abc", ""},
      {"bucket with slash", "/abc/", 0, "abc", ""},
      {"bucket too short", "/ab", -2, "", ""},
      {"upper case bucket", "/ABC", -2, "", ""},
      {"underscore in bucket", "/my_bucket", -2, "", ""},
      {"encoded bucket", "/ab%63", -2, "", ""},
      {"63-char bucket", "/" + b63, 0, b63.c_str(), ""},
      {"64-char bucket", "/" + b64, -2, "", ""},
      {"dots in bucket", "/my.bucket/k", 0, "my.bucket", "k"},
      {"dash at the end", "/foo-/k", -2, "", ""},
      {"dot next to dash", "/a.-b/k", -2, "", ""},
      {"double dot", "/a..b/k", -2, "", ""},
      {"address form", "/192.168.1.1/k", -2, "", ""},
      {"reserved tree", "/.s3meta/k", -2, "", ""},
      {"digits and dash", "/a-1/x", 0, "a-1", "x"},
      {"plain key", "/bucket/a/b", 0, "bucket", "a/b"},
      {"encoded slash", "/bucket/a%2Fb", 0, "bucket", "a/b"},
      // Dot segments are a key's own text, as S3 keeps them; they never climb a level.
      {"encoded dotdot across slashes", "/bucket/a%2F..%2Fb", 0, "bucket", "a/../b"},
      {"encoded dot segment", "/bucket/%2E", 0, "bucket", "."},
      {"dot segment", "/bucket/a/./b", 0, "bucket", "a/./b"},
      {"dotdot segment", "/bucket/a/../b", 0, "bucket", "a/../b"},
      {"three dots", "/bucket/...", 0, "bucket", "..."},
      {"colon in key", "/bucket/a%3Ab", 0, "bucket", "a:b"},
      {"timestamp key", "/bucket/logs/2026-01-01T10:00:00.log", 0, "bucket",
       "logs/2026-01-01T10:00:00.log"},
      {"device name as bucket", "/aux/k", -3, "aux", "k"},
      {"dotdot inside name", "/bucket/a..b/..c", 0, "bucket", "a..b/..c"},
      {"bad hex", "/bucket/a%zz", -1, "", ""},
      {"short escape", "/bucket/a%4", -1, "", ""},
      {"escape cut by slash", "/bucket/a%4/1", -1, "", ""},
      {"plus kept", "/bucket/a+b", 0, "bucket", "a+b"},
      {"encoded space", "/bucket/a%20b", 0, "bucket", "a b"},
      {"lower hex", "/bucket/%c3%a9", 0, "bucket", "\xc3\xa9"},
      {"empty segments kept", "/bucket//x/", 0, "bucket", "/x/"},
      {"encoded nul is refused", "/bucket/ab%00cd/e", -1, "", ""},
      {"255-byte segment", "/bucket/" + seg255, 0, "bucket", seg255},
      {"256-byte segment", "/bucket/" + seg256, 0, "bucket", seg256},
      {"4095-byte key text", "/bucket/" + long_key, -1, "", ""},
      {"4094-byte key", "/bucket/" + long_key.substr(1), 0, "bucket", long_key.substr(1)},
      {"key text over 4095", "/bucket/" + long_key + "/", -1, "", ""},
      {"bucket segment over 127", "/" + std::string(128, 'a') + "/k", -2, "", ""},
      {"first char not examined", "xbucket/k", 0, "bucket", "k"},
      // The rules apply in one order, so a path breaking two of them gets the first answer.
      {"bad bucket before a bad escape", "/ab/a%zz", -2, "", ""},
      {"bad escape before bad UTF-8", "/bucket/%ff/a%zz", -1, "", ""},
      {"bad UTF-8 before an unportable bucket", "/aux/a%ff", -4, "", ""},
      {"only slashes", "/bucket//", 0, "bucket", "/"},
      {"a segment of the server's own", "/bucket/.quillmar-folder/x", 0, "bucket",
       ".quillmar-folder/x"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    S3Request r;
    EXPECT_EQ(split(c.path, &r), c.result);
    if (c.result == 0) {
      EXPECT_STREQ(r.bucket, c.bucket);
      EXPECT_EQ(std::string(r.key), c.key);
    }
  }
}

// DELETE still reaches a bucket whose name is not a directory name everywhere, so one made
// before the rule can be removed.
TEST(PathRules, DeleteReachesUnportableNames) {
  for (const char *method : {"DELETE", "GET", "PUT"}) {
    S3Request r;
    EXPECT_EQ(split("/aux/k", &r, method), strcmp(method, "DELETE") == 0 ? 0 : -3)
        << method;
  }
}

// The boundaries of well-formed UTF-8: the shortest and longest form of each length, and the
// overlong forms, surrogates, code points above U+10FFFF and cut sequences just beside them.
TEST(Utf8Check, Table) {
  struct {
    const char *name;
    std::string text;
    int valid;
  } cases[] = {
      {"empty", "", 1},
      {"ASCII", "plain/key.txt", 1},
      {"two bytes", "\xc2\x80\xdf\xbf", 1},
      {"three bytes", "\xe0\xa0\x80\xef\xbf\xbf", 1},
      {"last before surrogates", "\xed\x9f\xbf", 1},
      {"four bytes", "\xf0\x90\x80\x80\xf4\x8f\xbf\xbf", 1},
      {"lone continuation", "a\x80", 0},
      {"overlong two", "\xc0\xaf", 0},
      {"overlong two C1", "\xc1\xbf", 0},
      {"overlong three", "\xe0\x9f\xbf", 0},
      {"surrogate", "\xed\xa0\x80", 0},
      {"overlong four", "\xf0\x8f\xbf\xbf", 0},
      {"above U+10FFFF", "\xf4\x90\x80\x80", 0},
      {"F5 lead", "\xf5\x80\x80\x80", 0},
      {"FF", "\xff", 0},
      {"cut at the end", "ok\xe2\x82", 0},
      {"bad third byte", "\xe2\x82\x41", 0},
  };
  for (const auto &c : cases)
    EXPECT_EQ(text_is_utf8(c.text.data(), c.text.size()), c.valid) << c.name;
  S3Request r;
  EXPECT_EQ(split("/bucket/a%ff", &r), -4);
  EXPECT_STREQ(r.key, "");
  EXPECT_EQ(query_is_utf8("prefix=%C3%A9&delimiter=/"), 1);
  EXPECT_EQ(query_is_utf8("x=1&prefix=%E9"), 0);
  EXPECT_EQ(query_is_utf8("%FF"), 0);  // a name counts as much as a value
  EXPECT_EQ(query_is_utf8("bad=%zz"), 1);  // no escape at all: left as it stands
}

TEST(HeaderLookup, MatchesNamesAndTrimsValues) {
  const std::string head =
      "GET / HTTP/1.1\r\nX-Host: wrong\r\nHOST:   example  \r\nx-amz-date:\t20250101T000000Z\t\r\n"
      "Empty:\r\nSpaced : no\r\nhost: second\r\n\r\n";
  struct {
    const char *name;
    const char *want;  // null: absent
  } cases[] = {
      {"host", "example"},        {"Host", "example"},    {"x-amz-date", "20250101T000000Z"},
      {"empty", ""},              {"spaced", nullptr},    {"missing", nullptr},
      {"x-host", "wrong"},        {"get / http/1.1", nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    owned_str v(hdr_value(head.data(), head.size(), c.name));
    if (c.want)
      EXPECT_STREQ(v.get(), c.want);
    else
      EXPECT_EQ(v.get(), nullptr);
  }
}

TEST(HeaderLookup, StaysInsideTheRegion) {
  const std::string text = "A: 1\r\nHost: yes\r\n";
  // The colon after "Host" lies outside a region that ends right after the name.
  owned_str cut(hdr_value(text.data(), 10, "host"));
  EXPECT_EQ(cut.get(), nullptr);
  // A value stops at the region end even without CR LF.
  owned_str part(hdr_value(text.data(), 14, "host"));
  EXPECT_STREQ(part.get(), "ye");
}

TEST(QueryLookup, ParamAndPresence) {
  struct {
    const char *query, *name;
    const char *value;  // qparam result, null when not found
    int has;
  } cases[] = {
      {"prefix=a&uploads", "uploads", nullptr, 1},
      {"prefix=a&uploads", "prefix", "a", 1},
      {"uploadId=xyz&partNumber=", "partNumber", "", 1},
      {"xuploads=1", "uploads", nullptr, 0},
      {"a=1&uploadsx", "uploads", nullptr, 0},
      {"a=b=c&b=2", "b", "2", 1},
      {"location", "location", nullptr, 1},
      {"Location", "location", nullptr, 0},
      {"delete=", "delete", "", 1},
      {"", "x", nullptr, 0},
      {"list-type=2&prefix=a%2Fb&max-keys=5", "prefix", "a%2Fb", 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.query) + " / " + c.name);
    owned_str v(qparam(c.query, c.name));
    if (c.value)
      EXPECT_STREQ(v.get(), c.value);
    else
      EXPECT_EQ(v.get(), nullptr);
    EXPECT_EQ(qhas(c.query, c.name), c.has);
  }
  std::string long_name(127, 'n');
  std::string q = long_name + "=1";
  EXPECT_EQ(qparam(q.c_str(), long_name.c_str()), nullptr);
}

TEST(PercentDecode, Table) {
  struct {
    const char *in, *out;
  } cases[] = {
      {"a%20b", "a b"}, {"a+b", "a+b"},     {"%2f%2F", "//"}, {"100%", "100%"},
      {"%zz%41", "%zzA"}, {"%4", "%4"},     {"a%00b", "a"},   {"%%41", "%A"},
  };
  for (const auto &c : cases) {
    char buf[64];
    copy_text(buf, sizeof buf, c.in);
    pct_decode(buf);
    EXPECT_STREQ(buf, c.out) << c.in;
  }
}

TEST(HeaderNumber, DecimalRules) {
  struct {
    const char *value;  // null: header absent
    int found;
    uint64_t out;
    int overflow;
  } cases[] = {
      {nullptr, 0, 0, 0},
      {"", 1, 0, 0},
      {"123", 1, 123, 0},
      {"  42abc", 1, 42, 0},
      {"abc", 1, 0, 0},
      {"18446744073709551615", 1, UINT64_MAX, 0},
      {"18446744073709551616", 1, UINT64_MAX, 1},
      {"-5", 1, UINT64_MAX, 1},
      {"-0", 1, 0, 0},
  };
  for (const auto &c : cases) {
    std::string head = "PUT /b/k HTTP/1.1\r\n";
    if (c.value) head += std::string("Content-Length: ") + c.value + "\r\n";
    head += "\r\n";
    uint64_t out = 7;
    int overflow = 7;
    SCOPED_TRACE(c.value ? c.value : "(absent)");
    EXPECT_EQ(hdr_u64(head.data(), head.size(), "content-length", &out, &overflow), c.found);
    EXPECT_EQ(out, c.out);
    EXPECT_EQ(overflow, c.overflow);
  }
}

}  // namespace
