// ListObjects v1 and v2 over raw HTTP: grouping by delimiter, the tokens between pages, the
// parameters and their clamping, escaping, dot-keys and temporaries, and paging through random
// and larger buckets.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "answers.h"
#include "harness.h"

namespace {

// One server for the whole program; each test fills buckets of its own.
class Listing : public qa::SharedServer {
 protected:
  static void fill(const std::string &bucket, const std::vector<std::string> &keys) {
    ASSERT_EQ(qt::request(server->port, "PUT", "/" + bucket).status, 200);  // even if empty
    for (const std::string &k : keys) qt::write_file(server->path(bucket + "/" + k), "data of " + k);
  }
};

std::string url_encode(const std::string &s) {
  static const char *hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out.push_back(char(c));
    } else {
      out.push_back('%');
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 15]);
    }
  }
  return out;
}

std::string xml_unescape(const std::string &s) {
  std::string out;
  for (size_t i = 0; i < s.size();) {
    static const std::pair<const char *, char> ents[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    bool done = false;
    for (auto &e : ents) {
      size_t n = strlen(e.first);
      if (s.compare(i, n, e.first) == 0) {
        out.push_back(e.second);
        i += n;
        done = true;
        break;
      }
    }
    if (!done) out.push_back(s[i++]);
  }
  return out;
}

// Text of the first <tag>...</tag> at or after from; found tells whether there was one.
std::string element(const std::string &doc, const std::string &tag, size_t from = 0,
                    bool *found = nullptr) {
  size_t a = doc.find("<" + tag + ">", from);
  if (found) *found = a != std::string::npos;
  if (a == std::string::npos) return "";
  a += tag.size() + 2;
  size_t b = doc.find("</" + tag + ">", a);
  return b == std::string::npos ? "" : doc.substr(a, b - a);
}

// A listing page: entries are "K:key" or "P:prefix" in document order (unescaped).
struct Page {
  int status = 0;
  std::string body;
  std::vector<std::string> entries;
  bool truncated = false;
  std::string token;   // NextContinuationToken or NextMarker, unescaped
  bool has_token = false;
  bool has_marker = false;
  std::string marker;
  int key_count = -1;
  int max_keys = -1;
};

Page list(int port, const std::string &bucket, const std::string &query) {
  qt::Response r = qt::request(port, "GET", "/" + bucket + (query.empty() ? "" : "?" + query));
  Page p;
  p.status = r.status;
  p.body = r.body;
  const std::string &d = r.body;
  for (size_t at = 0;;) {
    size_t c = d.find("  <Contents>\n", at);
    size_t cp = d.find("  <CommonPrefixes>\n", at);
    if (c == std::string::npos && cp == std::string::npos) break;
    if (c != std::string::npos && (cp == std::string::npos || c < cp)) {
      p.entries.push_back("K:" + xml_unescape(element(d, "Key", c)));
      at = c + 1;
    } else {
      p.entries.push_back("P:" + xml_unescape(element(d, "Prefix", cp)));
      at = cp + 1;
    }
  }
  p.truncated = element(d, "IsTruncated") == "true";
  bool v2tok = false, v1tok = false;
  std::string t2 = element(d, "NextContinuationToken", 0, &v2tok);
  std::string t1 = element(d, "NextMarker", 0, &v1tok);
  p.has_token = v2tok || v1tok;
  p.token = xml_unescape(v2tok ? t2 : t1);
  p.marker = xml_unescape(element(d, "Marker", 0, &p.has_marker));
  bool f = false;
  std::string kc = element(d, "KeyCount", 0, &f);
  if (f) p.key_count = std::stoi(kc);
  std::string mk = element(d, "MaxKeys", 0, &f);
  if (f) p.max_keys = std::stoi(mk);
  return p;
}

std::string tok(const std::string &t) { return "continuation-token=" + url_encode(t); }

TEST_F(Listing, PagesAndTokens) {
  fill("set1", {"a/1", "a/2", "b"});
  fill("set2", {"a", "b/1", "b/2", "c"});
  fill("set3", {"a", "b/1", "c", "d"});
  fill("set4", {"a/1", "b"});
  fill("set5", {"a", "b/1"});
  fill("set6", {"x1", "x2", "x3"});
  fill("set7", {"other/1", "photos/2024/a.jpg", "photos/2024/b.jpg", "photos/x.jpg", "photosx"});
  fill("set8", {"a--b", "a--c", "a-d", "b"});
  fill("set9", {"k", "l", "m", "n", "o"});
  fill("set10", {"a-b", "a/x"});
  fill("set11", {"vis", "dir/.hidden", ".upload-1-2-3.tmp", "d/.mpu-4-5.tmp", ".hiddendir/k"});
  struct row {
    const char *name, *bucket;
    std::string query;
    std::vector<std::string> entries;
    bool truncated;
    std::string token;  // "" = no token element
    int key_count;
  } rows[] = {
      {"groups by delimiter", "set1", "list-type=2&delimiter=/", {"P:a/", "K:b"}, false, "", 2},
      {"cut inside a placed group", "set1", "list-type=2&delimiter=/&max-keys=1", {"P:a/"}, true,
       "cpafter:a/", 1},
      {"after the group", "set1", "list-type=2&delimiter=/&max-keys=1&" + tok("cpafter:a/"),
       {"K:b"}, false, "", 1},
      {"key then group", "set2", "list-type=2&delimiter=/&max-keys=2", {"K:a", "P:b/"}, true,
       "cpafter:b/", 2},
      {"page two after group", "set2", "list-type=2&delimiter=/&max-keys=2&" + tok("cpafter:b/"),
       {"K:c"}, false, "", 1},
      {"cut at a plain key", "set3", "list-type=2&delimiter=/&max-keys=2", {"K:a", "P:b/"}, true,
       "cpafter:b/", 2},
      {"plain keys after group", "set3", "list-type=2&delimiter=/&max-keys=2&" + tok("cpafter:b/"),
       {"K:c", "K:d"}, false, "", 2},
      {"group then plain key", "set4", "list-type=2&delimiter=/&max-keys=1", {"P:a/"}, true,
       "cpafter:a/", 1},
      {"plain key page", "set4", "list-type=2&delimiter=/&max-keys=1&" + tok("cpafter:a/"),
       {"K:b"}, false, "", 1},
      {"cut before an unplaced group", "set5", "list-type=2&delimiter=/&max-keys=1", {"K:a"}, true,
       "cp:b/", 1},
      {"resume at the group", "set5", "list-type=2&delimiter=/&max-keys=1&" + tok("cp:b/"),
       {"P:b/"}, false, "", 1},
      {"no delimiter", "set6", "list-type=2&max-keys=2", {"K:x1", "K:x2"}, true, "k:x2", 2},
      {"after a key", "set6", "list-type=2&max-keys=2&" + tok("k:x2"), {"K:x3"}, false, "", 1},
      {"exactly max-keys", "set6", "list-type=2&max-keys=3", {"K:x1", "K:x2", "K:x3"}, false, "", 3},
      {"prefix and delimiter", "set7", "list-type=2&prefix=photos/&delimiter=/",
       {"P:photos/2024/", "K:photos/x.jpg"}, false, "", 2},
      {"prefix not counted outside", "set7", "list-type=2&prefix=photos/&max-keys=3",
       {"K:photos/2024/a.jpg", "K:photos/2024/b.jpg", "K:photos/x.jpg"}, false, "", 3},
      {"prefix group cut", "set7", "list-type=2&prefix=photos/&delimiter=/&max-keys=1",
       {"P:photos/2024/"}, true, "cpafter:photos/2024/", 1},
      {"multi-character delimiter", "set8", "list-type=2&delimiter=--", {"P:a--", "K:a-d", "K:b"},
       false, "", 3},
      {"v1 marker", "set9", "marker=m", {"K:n", "K:o"}, false, "", 2},
      {"v1 marker is a plain key", "set9", "marker=" + url_encode("k:m"), {"K:l", "K:m", "K:n", "K:o"},
       false, "", 4},
      {"token wins over marker", "set9", "marker=k&" + tok("k:n"), {"K:o"}, false, "", 1},
      {"v1 without delimiter: no NextMarker", "set9", "max-keys=2", {"K:k", "K:l"}, true, "", 2},
      {"v1 NextMarker names the last group", "set2", "delimiter=/&max-keys=2", {"K:a", "P:b/"}, true,
       "b/", 2},
      {"v1 NextMarker names the last key", "set3", "delimiter=/&max-keys=1", {"K:a"}, true, "a", 1},
      {"v1 marker equal to a group skips it", "set2", "delimiter=/&marker=b/", {"K:c"}, false, "", 1},
      {"v1 marker inside a group", "set2", "delimiter=/&marker=b/1", {"K:c"}, false, "", 1},
      {"v1 marker before a group", "set2", "delimiter=/&marker=a", {"P:b/", "K:c"}, false, "", 2},
      {"page full, only its own group follows", "set1", "list-type=2&delimiter=/&max-keys=2",
       {"P:a/", "K:b"}, false, "", 2},
      {"v2 start-after", "set9", "list-type=2&start-after=l", {"K:m", "K:n", "K:o"}, false, "", 3},
      {"v2 start-after a group", "set2", "list-type=2&delimiter=/&start-after=b/", {"K:c"}, false,
       "", 1},
      {"v2 token wins over start-after", "set9", "list-type=2&start-after=l&" + tok("k:n"), {"K:o"},
       false, "", 1},
      {"key order, not walk order", "set10", "", {"K:a-b", "K:a/x"}, false, "", 2},
      {"dot-keys listed, temporaries not", "set11", "list-type=2",
       {"K:.hiddendir/k", "K:dir/.hidden", "K:vis"}, false, "", 3},
  };
  for (const row &r : rows) {
    Page p = list(server->port, r.bucket, r.query);
    ASSERT_EQ(p.status, 200) << r.name;
    EXPECT_EQ(p.entries, r.entries) << r.name << "\n" << p.body;
    EXPECT_EQ(p.truncated, r.truncated) << r.name;
    EXPECT_EQ(p.has_token, !r.token.empty()) << r.name;
    EXPECT_EQ(p.token, r.token) << r.name;
    EXPECT_EQ(p.key_count, r.key_count) << r.name;
  }

  // The marker is echoed as sent; v2 writes no Marker at all.
  EXPECT_EQ(list(server->port, "set9", "marker=m").marker, "m");
  EXPECT_EQ(list(server->port, "set9", "marker=" + url_encode("k:m")).marker, "k:m");
  for (const char *q : {"", "list-type=1", "list-type=3"}) {
    Page p = list(server->port, "set9", q);
    EXPECT_TRUE(p.has_marker) << q;
    EXPECT_EQ(p.marker, "") << q;
    EXPECT_NE(p.body.find("  <Marker></Marker>\n"), std::string::npos) << q;
  }
  EXPECT_FALSE(list(server->port, "set9", "list-type=2").has_marker);
}

TEST_F(Listing, MaxKeysLimits) {
  std::vector<std::string> keys;
  for (int i = 0; i < 1001; i++) {
    char k[16];
    snprintf(k, sizeof k, "k%04d", i);
    keys.push_back(k);
  }
  fill("many", keys);
  struct row {
    const char *query;
    int max_keys;
    size_t listed;
  } rows[] = {
      {"", 1000, 1000}, {"max-keys=5000", 1000, 1000}, {"max-keys=7", 7, 7}, {"max-keys=1", 1, 1},
  };
  for (const row &r : rows) {
    Page p = list(server->port, "many", std::string("list-type=2&") + r.query);
    EXPECT_EQ(p.max_keys, r.max_keys) << r.query;
    EXPECT_EQ(p.entries.size(), r.listed) << r.query;
    EXPECT_TRUE(p.truncated) << r.query;
    EXPECT_EQ(p.token, "k:" + keys[r.listed - 1]) << r.query;
  }
  // Zero keys asked for: nothing listed, and nothing claimed to follow.
  for (const char *q : {"list-type=2&max-keys=0", "max-keys=0&delimiter=/"}) {
    Page p = list(server->port, "many", q);
    EXPECT_EQ(p.status, 200) << q;
    EXPECT_EQ(p.max_keys, 0) << q;
    EXPECT_TRUE(p.entries.empty()) << q;
    EXPECT_FALSE(p.truncated) << q;
    EXPECT_FALSE(p.has_token) << q;
  }
  for (const char *q : {"max-keys=-1", "max-keys=abc", "max-keys=", "max-keys=1.5",
                        "max-keys=99999999999", "list-type=2&max-keys=-5"}) {
    qt::Response r = qt::request(server->port, "GET", std::string("/many?") + q);
    qa::expect_error(r, 400, "HTTP/1.1 400 Bad Request", "InvalidArgument",
                     "Provided max-keys not an integer or within integer range", "/many");
  }
}

TEST_F(Listing, DocumentsByteForByte) {
  fill("esc", {});
  const int64_t t = 1714564800;  // 2024-05-01T12:00:00Z
  const std::vector<std::pair<std::string, std::string>> objs = {
      {"a&b", "1"}, {"d<e/f", "22"}, {"d<e/g", "333"}, {"r\"1", "4444"}, {"r\"2", "55555"}};
  for (auto &o : objs) {
    qt::write_file(server->path("esc/" + qt::stored_key(o.first)), o.second);
    qt::set_mtime(server->path("esc/" + qt::stored_key(o.first)), t);
  }
  const std::string head =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<ListBucketResult xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">\n"
      "  <Name>esc</Name>\n";
  auto contents = [&](const std::string &key_xml, const std::string &data) {
    return "  <Contents>\n    <Key>" + key_xml +
           "</Key>\n    <LastModified>2024-05-01T12:00:00.000Z</LastModified>\n    <ETag>\"" +
           qt::md5_hex(data) + "\"</ETag>\n    <Size>" + std::to_string(data.size()) +
           "</Size>\n    <StorageClass>STANDARD</StorageClass>\n  </Contents>\n";
  };

  qt::Response r = qt::request(server->port, "GET", "/esc?list-type=2&delimiter=%2F&max-keys=2");
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(r.header("Content-Type"), "application/xml");
  EXPECT_EQ(r.header("Content-Length"), std::to_string(r.body.size()));
  EXPECT_EQ(r.body, head + "  <Prefix></Prefix>\n  <Delimiter>/</Delimiter>\n"
                           "  <KeyCount>2</KeyCount>\n  <MaxKeys>2</MaxKeys>\n"
                           "  <IsTruncated>true</IsTruncated>\n" +
                        contents("a&amp;b", "1") +
                        "  <CommonPrefixes>\n    <Prefix>d&lt;e/</Prefix>\n  </CommonPrefixes>\n"
                        "  <NextContinuationToken>cpafter:d&lt;e/</NextContinuationToken>\n"
                        "</ListBucketResult>\n");

  r = qt::request(server->port, "GET", "/esc?prefix=d%3C&delimiter=%2F&marker=a%26b");
  EXPECT_EQ(r.body, head + "  <Prefix>d&lt;</Prefix>\n  <Delimiter>/</Delimiter>\n"
                           "  <Marker>a&amp;b</Marker>\n  <KeyCount>1</KeyCount>\n"
                           "  <MaxKeys>1000</MaxKeys>\n  <IsTruncated>false</IsTruncated>\n"
                           "  <CommonPrefixes>\n    <Prefix>d&lt;e/</Prefix>\n  </CommonPrefixes>\n"
                           "</ListBucketResult>\n");

  r = qt::request(server->port, "GET", "/esc?prefix=r%22&max-keys=1");
  EXPECT_EQ(r.body, head + "  <Prefix>r&quot;</Prefix>\n  <Marker></Marker>\n"
                           "  <KeyCount>1</KeyCount>\n  <MaxKeys>1</MaxKeys>\n"
                           "  <IsTruncated>true</IsTruncated>\n" +
                        contents("r&quot;1", "4444") + "</ListBucketResult>\n");
}

TEST_F(Listing, LongKeysListWholeAndPageOn) {
  // Escaping never cuts a key, and a token naming a long key brings the next page, not the
  // same key again.
  std::string amp;
  for (int i = 0; i < 5; i++) amp += (i ? "/" : "") + std::string(200, '&');
  std::string seg(250, 'k');
  std::string long1 = seg + "/" + seg + "/" + seg + "/" + seg + "/" + seg + "/1";
  std::string long2 = long1.substr(0, long1.size() - 1) + "2";
  fill("longkeys", {amp, long1, long2});
  Page p = list(server->port, "longkeys", "list-type=2");
  EXPECT_EQ(p.entries, (std::vector<std::string>{"K:" + amp, "K:" + long1, "K:" + long2}));

  p = list(server->port, "longkeys", "list-type=2&max-keys=1&" + tok("k:" + long1));
  EXPECT_EQ(p.entries, (std::vector<std::string>{"K:" + long2}));
  p = list(server->port, "longkeys", "max-keys=1&marker=" + url_encode(long1));
  EXPECT_EQ(p.entries, (std::vector<std::string>{"K:" + long2}));
}

// Follows the tokens page by page; the pages together must be the one-page listing.
std::vector<std::string> follow(int port, const std::string &bucket, const std::string &base,
                                int max_keys, bool v2, std::string *why) {
  std::vector<std::string> all;
  std::string token;
  for (int pages = 0; pages < 500; pages++) {
    std::string q = base + "&max-keys=" + std::to_string(max_keys);
    if (v2) q += "&list-type=2";
    if (!token.empty()) q += v2 ? "&" + tok(token) : "&marker=" + url_encode(token);
    Page p = list(port, bucket, q);
    if (int(p.entries.size()) > max_keys) *why = "page larger than max-keys: " + q;
    all.insert(all.end(), p.entries.begin(), p.entries.end());
    if (!p.truncated) return all;
    if (!p.has_token && (v2 || p.entries.empty())) {
      *why = "truncated page without a token: " + q;
      return all;
    }
    // Version 1 without a NextMarker: the last key of the page is the next marker.
    token = p.has_token ? p.token : p.entries.back().substr(2);
  }
  *why = "paging did not end";
  return all;
}

TEST_F(Listing, PagingYieldsTheFullListing) {
  std::mt19937 rng(7);
  const char *segs[] = {"a", "b", "ab", "a-b", "c", "a/b"};
  for (int set = 0; set < 3; set++) {
    std::string bucket = "paging" + std::to_string(set);
    std::set<std::string> keys;
    while (keys.size() < 24) {
      std::string k;
      int depth = 1 + int(rng() % 3);
      for (int d = 0; d < depth; d++) k += std::string(d ? "/" : "") + segs[rng() % 6];
      keys.insert(k + std::to_string(rng() % 4));  // a trailing digit: never a directory name
    }
    fill(bucket, std::vector<std::string>(keys.begin(), keys.end()));
    for (const char *prefix : {"", "a", "a/"}) {
      for (const char *delim : {"", "/", "b"}) {
        std::string base = std::string("prefix=") + url_encode(prefix) + "&delimiter=" +
                           url_encode(delim);
        Page full = list(server->port, bucket, base + "&list-type=2");
        ASSERT_FALSE(full.truncated);
        std::set<std::string> distinct(full.entries.begin(), full.entries.end());
        ASSERT_EQ(distinct.size(), full.entries.size()) << base;
        ASSERT_TRUE(std::is_sorted(full.entries.begin(), full.entries.end(),
                                   [](const std::string &a, const std::string &b) {
                                     return a.substr(2) < b.substr(2);
                                   }))
            << base;
        for (int mk = 1; mk <= 7; mk++) {
          for (bool v2 : {true, false}) {
            std::string why;
            auto got = follow(server->port, bucket, base, mk, v2, &why);
            EXPECT_EQ(why, "") << bucket << " " << base;
            EXPECT_EQ(got, full.entries)
                << bucket << " " << base << " max-keys " << mk << (v2 ? " v2" : " v1");
          }
        }
      }
    }
  }
}

TEST_F(Listing, PagesThroughMoreKeysThanOnePageOverSeveralLevels) {
  // 1,500 keys over three levels, with the names that sort around "/" and dot-keys: the pages
  // of every size, one after another, are exactly the sorted key set.
  // ("a" itself cannot be stored beside "a/b": it would be a file and a directory at once.)
  std::set<std::string> keys = {"a-b", "a.b", "a/b", "a0", ".env", "dir/.gitignore",
                                ".well-known/x", "z/.a/.b"};
  for (int i = 0; keys.size() < 1500; i++) {
    char k[48];
    snprintf(k, sizeof k, "l%d/m%d/k%03d", i % 7, (i / 7) % 5, i);
    keys.insert(k);
  }
  fill("big", std::vector<std::string>(keys.begin(), keys.end()));
  qt::write_file(server->path("big/l3/.upload-1-2-3.tmp"), "a PUT in flight");
  std::vector<std::string> want;
  for (const std::string &k : keys) want.push_back("K:" + k);

  Page first = list(server->port, "big", "list-type=2");
  EXPECT_TRUE(first.truncated);
  EXPECT_EQ(first.entries.size(), 1000u);
  EXPECT_EQ(first.token, "k:" + want[999].substr(2));
  for (int mk : {1000, 333, 7}) {
    for (bool v2 : {true, false}) {
      std::string why;
      EXPECT_EQ(follow(server->port, "big", "prefix=", mk, v2, &why), want) << mk << v2;
      EXPECT_EQ(why, "");
    }
  }
  // Grouped: the top-level prefixes and keys; under one directory, its sub-directories.
  std::string why;
  EXPECT_EQ(follow(server->port, "big", "delimiter=/", 2, true, &why),
            (std::vector<std::string>{"K:.env", "P:.well-known/", "K:a-b", "K:a.b", "P:a/", "K:a0",
                                      "P:dir/", "P:l0/", "P:l1/", "P:l2/", "P:l3/", "P:l4/",
                                      "P:l5/", "P:l6/", "P:z/"}));
  EXPECT_EQ(follow(server->port, "big", "prefix=l3/&delimiter=/", 2, false, &why),
            (std::vector<std::string>{"P:l3/m0/", "P:l3/m1/", "P:l3/m2/", "P:l3/m3/", "P:l3/m4/"}));
  // A start-point in the middle of a deep directory.
  Page mid = list(server->port, "big", "list-type=2&max-keys=2&" + tok("k:l3/m2/k017"));
  std::vector<std::string> after;
  for (const std::string &k : keys)
    if (k > "l3/m2/k017" && after.size() < 2) after.push_back("K:" + k);
  EXPECT_EQ(mid.entries, after);
  EXPECT_EQ(why, "");
}

TEST_F(Listing, DotKeysAreObjectsAndKeepTheirBucket) {
  ASSERT_EQ(qt::request(server->port, "PUT", "/dots").status, 200);
  for (const char *k : {".env", ".well-known/x", "dir/.gitignore"})
    ASSERT_EQ(qt::request(server->port, "PUT", std::string("/dots/") + k, {}, k).status, 200) << k;
  EXPECT_EQ(list(server->port, "dots", "list-type=2").entries,
            (std::vector<std::string>{"K:.env", "K:.well-known/x", "K:dir/.gitignore"}));
  EXPECT_EQ(list(server->port, "dots", "delimiter=/").entries,
            (std::vector<std::string>{"K:.env", "P:.well-known/", "P:dir/"}));

  qt::Response del = qt::request(server->port, "DELETE", "/dots");
  EXPECT_EQ(del.status, 409);
  EXPECT_NE(del.body.find("<Code>BucketNotEmpty</Code>"), std::string::npos);
  EXPECT_EQ(qt::read_file(server->path("dots/dir/.gitignore")), "dir/.gitignore");
  EXPECT_EQ(qt::request(server->port, "GET", "/dots/.env").body, ".env");

  // The reserved trees at the root stay out of reach: no bucket of that name.
  for (const char *b : {"/.s3meta", "/.mpu", "/.s3meta?list-type=2"}) {
    qt::Response r = qt::request(server->port, "GET", b);
    EXPECT_NE(r.status, 200) << b;
    EXPECT_EQ(r.body.find("<ListBucketResult"), std::string::npos) << b;
  }
  EXPECT_NE(qt::request(server->port, "PUT", "/.dotbucket").status, 200);
  EXPECT_FALSE(qt::dir_exists(server->path(".dotbucket")));
}

TEST_F(Listing, UrlEncodingOfKeyTexts) {
  // Keys that XML or a URL would change: a literal "%41", a space, a plus, non-ASCII, "&".
  fill("enc", {"odd/pct%41", "a b", "c+d", "\xc3\xbc", "e&f/g"});
  struct row {
    const char *name;
    std::string query;
    std::vector<std::string> elements;  // expected lines of the document, in order
  } rows[] = {
      {"v2 keys and prefixes", "list-type=2&encoding-type=url&delimiter=%2F&start-after=%20",
       {"  <Prefix></Prefix>\n", "  <Delimiter>/</Delimiter>\n", "  <EncodingType>url</EncodingType>\n",
        "  <StartAfter>%20</StartAfter>\n", "    <Key>a%20b</Key>\n", "    <Key>c%2Bd</Key>\n",
        "    <Prefix>e%26f/</Prefix>\n", "    <Prefix>odd/</Prefix>\n", "    <Key>%C3%BC</Key>\n"}},
      {"v2 under a prefix", "list-type=2&encoding-type=url&prefix=odd%2F",
       {"  <Prefix>odd/</Prefix>\n", "    <Key>odd/pct%2541</Key>\n"}},
      {"v1 marker and NextMarker", "encoding-type=url&delimiter=%2B&marker=a%20b&max-keys=1",
       {"  <Delimiter>%2B</Delimiter>\n", "  <EncodingType>url</EncodingType>\n",
        "  <Marker>a%20b</Marker>\n", "  <NextMarker>c%2B</NextMarker>\n",
        "    <Prefix>c%2B</Prefix>\n"}},
      {"plain XML without the parameter", "list-type=2&prefix=e",
       {"  <Prefix>e</Prefix>\n", "    <Key>e&amp;f/g</Key>\n"}},
  };
  for (const row &r : rows) {
    Page p = list(server->port, "enc", r.query);
    ASSERT_EQ(p.status, 200) << r.name;
    size_t at = 0;
    for (const std::string &e : r.elements) {
      size_t hit = p.body.find(e, at);
      EXPECT_NE(hit, std::string::npos) << r.name << ": " << e << "\n" << p.body;
      if (hit != std::string::npos) at = hit + e.size();
    }
  }
  EXPECT_EQ(list(server->port, "enc", "list-type=2").body.find("EncodingType"), std::string::npos);
  qt::Response bad = qt::request(server->port, "GET", "/enc?encoding-type=base64");
  qa::expect_error(bad, 400, "HTTP/1.1 400 Bad Request", "InvalidArgument",
                   "Invalid Encoding Method specified in Request", "/enc");
}

TEST_F(Listing, Version2EchoesAndOwners) {
  fill("echo", {"a", "b", "c"});
  Page p = list(server->port, "echo", "list-type=2&max-keys=1&start-after=a");
  EXPECT_EQ(p.entries, (std::vector<std::string>{"K:b"}));
  EXPECT_NE(p.body.find("  <StartAfter>a</StartAfter>\n"), std::string::npos) << p.body;
  EXPECT_EQ(p.body.find("<ContinuationToken>"), std::string::npos);
  ASSERT_TRUE(p.has_token);
  // The token comes back as it was handed out, and the start-after beside it is echoed too.
  Page q = list(server->port, "echo", "list-type=2&start-after=a&" + tok(p.token));
  EXPECT_EQ(q.entries, (std::vector<std::string>{"K:c"}));
  EXPECT_NE(q.body.find("  <ContinuationToken>" + p.token + "</ContinuationToken>\n"),
            std::string::npos) << q.body;
  EXPECT_NE(q.body.find("  <StartAfter>a</StartAfter>\n"), std::string::npos);
  EXPECT_EQ(q.body.find("StartAfter", q.body.find("<Contents>")), std::string::npos);

  const std::string owner =
      "    <Owner>\n      <ID>quillmarlocal</ID>\n      <DisplayName>local</DisplayName>\n    </Owner>\n";
  p = list(server->port, "echo", "list-type=2&fetch-owner=true");
  size_t owners = 0;
  for (size_t at = p.body.find(owner); at != std::string::npos; at = p.body.find(owner, at + 1)) owners++;
  EXPECT_EQ(owners, 3u) << p.body;
  for (const char *qs : {"list-type=2", "list-type=2&fetch-owner=false", "fetch-owner=true"})
    EXPECT_EQ(list(server->port, "echo", qs).body.find("<Owner>"), std::string::npos) << qs;
}

TEST_F(Listing, FolderMarkersListAsKeysInS3Order) {
  const int port = server->port;
  ASSERT_EQ(qt::request(port, "PUT", "/marks").status, 200);
  for (const char *k : {"dir/", "dir/file", "dir-x", "dir/sub/", "dir/a", "top"})
    ASSERT_EQ(qt::request(port, "PUT", std::string("/marks/") + k, {}, k).status, 200) << k;
  const std::vector<std::string> all = {"K:dir-x", "K:dir/", "K:dir/a", "K:dir/file",
                                        "K:dir/sub/", "K:top"};
  EXPECT_EQ(list(port, "marks", "list-type=2").entries, all);
  EXPECT_EQ(list(port, "marks", "").entries, all);
  // With "/" as delimiter the marker falls in its own common prefix.
  for (const char *q : {"delimiter=/", "list-type=2&delimiter=/"})
    EXPECT_EQ(list(port, "marks", q).entries,
              (std::vector<std::string>{"K:dir-x", "P:dir/", "K:top"})) << q;
  EXPECT_EQ(list(port, "marks", "list-type=2&delimiter=/&prefix=dir/").entries,
            (std::vector<std::string>{"K:dir/", "K:dir/a", "K:dir/file", "P:dir/sub/"}));
  EXPECT_EQ(list(port, "marks", "list-type=2&prefix=dir/sub/").entries,
            (std::vector<std::string>{"K:dir/sub/"}));
  // Pages of one key resume right after a marker and right before one.
  std::vector<std::string> paged;
  std::string marker;
  for (int i = 0; i < 10; i++) {
    Page p = list(port, "marks", "max-keys=1" + (marker.empty() ? "" : "&marker=" + url_encode(marker)));
    ASSERT_EQ(p.entries.size(), 1u) << p.body;
    paged.push_back(p.entries[0]);
    marker = p.entries[0].substr(2);
    if (!p.truncated) break;
  }
  EXPECT_EQ(paged, all);
}

}  // namespace
