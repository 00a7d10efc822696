// Multi-object delete over HTTP: which keys are removed, how each is reported, Quiet, the
// framings the body may come in, and the bodies that are refused whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "answers.h"
#include "harness.h"
#include "platform/platform.h"

namespace {

const std::string DECL = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

std::string deleted(const std::string &key) { return "  <Deleted>\n    <Key>" + key + "</Key>\n  </Deleted>\n"; }
std::string invalid(const std::string &key) {
  return "  <Error>\n    <Key>" + key + "</Key>\n    <Code>InvalidRequest</Code>\n"
         "    <Message>Invalid key</Message>\n  </Error>\n";
}
std::string result(const std::string &entries) { return DECL + "<DeleteResult>\n" + entries + "</DeleteResult>\n"; }

// A Delete body; quiet "" leaves the Quiet element out.
std::string delete_body(const std::vector<std::string> &keys, const std::string &quiet = "") {
  std::string x = "<Delete xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">";
  if (!quiet.empty()) x += "<Quiet>" + quiet + "</Quiet>";
  for (auto &k : keys) x += "<Object><Key>" + k + "</Key></Object>";
  return x + "</Delete>";
}

class MultiDelete : public qa::SharedServer {
 protected:
  void SetUp() override {
    for (const char *b : {"md-short", "md-big", "md-6", "md-14", "md-12"})
      plat_mkdir((root() + "/" + b).c_str());
  }
  qt::Response post(const std::string &bucket, const std::string &body,
                    const std::vector<std::string> &headers = {}) {
    return qt::request(port(), "POST", "/" + bucket + "?delete", headers, body);
  }
  void put(const std::string &bucket_key, const std::string &data = "x") {
    ASSERT_EQ(qt::request(port(), "PUT", "/" + bucket_key, {"Content-Type: text/plain"}, data).status, 200)
        << bucket_key;
  }
};

TEST_F(MultiDelete, ReportsEveryKeyInOrder) {
  // The longest key that is processed, and one character more. Its ".." segments, each stored
  // under a longer name, give it no path whatever the length of the storage root.
  std::string longest;
  while (longest.size() + 3 <= 4095) longest += "../";
  longest += std::string(4095 - longest.size(), 'k');
  const std::string too_long = longest + "k";
  // Long lists are removed in two halves at once; the answer still lists every key in order,
  // and a key that stops the processing in the first half stops it for the second too.
  std::vector<std::string> many, many_stored, many_body_keys, cut_body_keys;
  std::string many_expect, cut_expect;
  for (int i = 0; i < 150; i++) {
    char k[16];
    snprintf(k, sizeof k, "k%03d", i);
    many.push_back(k);
    if (i % 2 == 0) many_stored.push_back(k);
    many_expect += deleted(k);
    if (i == 40) {
      cut_body_keys.push_back(longest);
      cut_body_keys.push_back(too_long);
    }
    cut_body_keys.push_back(k);
    if (i < 40) cut_expect += deleted(k);
  }
  cut_expect += invalid(longest);
  std::vector<std::string> cut_gone(many_stored.begin(), many_stored.begin() + 20);
  struct {
    const char *name;
    std::vector<std::string> stored;  // keys created first (in bucket md-<n>)
    std::string body;
    std::string expect;
    std::vector<std::string> gone;  // keys whose file and metadata must be gone
  } cases[] = {
      {"existing and missing", {"a"}, delete_body({"a", "b"}), result(deleted("a") + deleted("b")), {"a"}},
      {"quiet true", {"a"}, delete_body({"a", "b"}, "true"), result(""), {"a"}},
      {"quiet trueish", {"a"}, delete_body({"a"}, "trueish"), result(""), {"a"}},
      {"quiet True", {"a"}, delete_body({"a"}, "True"), result(deleted("a")), {"a"}},
      {"quiet yes", {"a"}, delete_body({"a"}, "yes"), result(deleted("a")), {"a"}},
      {"quiet tru", {"a"}, delete_body({"a"}, "tru"), result(deleted("a")), {"a"}},
      // Keys are taken as sent: "a%20b" names the object "a%20b", never "a b".
      {"percent signs kept", {"a%20b", "a%2520b"}, delete_body({"a%20b"}), result(deleted("a%20b")),
       {"a%20b"}},
      // Clients write & < > " ' as references; the key they mean is the decoded one. (< and "
      // cannot be stored, being no file names on Windows; deleting them is still reported.)
      {"entities decoded", {"a%26b", "q%27"},
       delete_body({"a&amp;b", "x&#60;y&#x22;z", "q&apos;"}),
       result(deleted("a&amp;b") + deleted("x&lt;y&quot;z") + deleted("q&apos;")), {"a&b", "q'"}},
      {"bad references kept", {}, delete_body({"a&bogus;", "&#0;", "&#x110000;"}),
       result(deleted("a&amp;bogus;") + deleted("&amp;#0;") + deleted("&amp;#x110000;")), {}},
      {"quiet still reports errors", {}, delete_body({"", "x/../y"}, "true"),
       result(invalid("")), {}},
      // Dot-dot segments are a key's own text, never a level up.
      {"dot-dot segments", {"k"}, delete_body({"..", "../other/k", "a/..", "a..b"}),
       result(deleted("..") + deleted("../other/k") + deleted("a/..") + deleted("a..b")), {}},
      {"dot-dot from a reference", {}, delete_body({"a/&#46;./b"}), result(deleted("a/../b")), {}},
      {"directory", {"dir/inner"}, delete_body({"dir", "dir/inner"}),
       result(deleted("dir") + deleted("dir/inner")), {"dir/inner"}},
      {"listed twice", {"a"}, delete_body({"a", "a"}), result(deleted("a") + deleted("a")), {"a"}},
      // A key over 4095 characters ends the processing: "c" after it is neither deleted nor listed.
      {"over-long key stops", {"a", "c"}, delete_body({"a", longest, too_long, "c"}),
       result(deleted("a") + invalid(longest)), {"a"}},
      // A folder marker's file name and dot segments are keys of their own: deleting them
      // leaves "d/" and "x/y" alone.
      {"a folder marker's file by its own name", {"d/", "d/.quillmar-folder"},
       delete_body({"d/.quillmar-folder"}), result(deleted("d/.quillmar-folder")), {}},
      {"dot segments", {"x/y", "x/./y"}, delete_body({"x/./y", "./x/y", "x/y/."}),
       result(deleted("x/./y") + deleted("./x/y") + deleted("x/y/.")), {}},
      {"a long list", many_stored, delete_body(many), result(many_expect), many_stored},
      {"a long list stopped in its first half", many_stored, delete_body(cut_body_keys),
       result(cut_expect), cut_gone},
  };
  int n = 0;
  for (auto &c : cases) {
    std::string bucket = "md-" + std::to_string(n++);
    ASSERT_EQ(qt::request(port(), "PUT", "/" + bucket).status, 200);
    for (auto &k : c.stored) put(bucket + "/" + k);
    qt::Response r = post(bucket, c.body);
    EXPECT_EQ(r.status, 200) << c.name;
    EXPECT_EQ(r.header("Content-Type"), "application/xml") << c.name;
    EXPECT_EQ(r.body, c.expect) << c.name;
    for (auto &k : c.gone) {
      EXPECT_FALSE(qt::file_exists(root() + "/" + bucket + "/" + k)) << c.name << " " << k;
      EXPECT_FALSE(qt::file_exists(root() + "/.s3meta/" + bucket + "/" + k)) << c.name << " " << k;
    }
  }
  EXPECT_TRUE(qt::file_exists(root() + "/md-6/a b"));  // "a b" is not "a%20b"
  EXPECT_TRUE(qt::dir_exists(root() + "/md-12/dir"));
  EXPECT_TRUE(qt::file_exists(root() + "/md-14/c"));
  EXPECT_TRUE(qt::file_exists(root() + "/md-16/x/y"));
  EXPECT_TRUE(qt::file_exists(root() + "/md-18/k040"));  // after the key that stopped it
  // What the removals moved aside is gone soon after each answer: nothing is left behind in
  // the server's temporary folder.
  std::vector<std::string> left;
  EXPECT_TRUE(qt::wait_until([&] {
    left.clear();
    for (const std::string &f : qt::files_below(root() + "/.s3tmp"))
      if (f.size() > 4 && f.compare(f.size() - 4, 4, ".del") == 0) left.push_back(f);
    return left.empty();
  })) << left.size() << " removed files left, the first " << left[0];
}

TEST_F(MultiDelete, MissingBucketReportsEveryKeyDeleted) {
  qt::Response r = post("md-nobucket", delete_body({"a", "b/c"}));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, result(deleted("a") + deleted("b/c")));
  EXPECT_FALSE(qt::dir_exists(root() + "/md-nobucket"));
}

// The body of a request with HTTP chunked framing in pieces of n bytes.
std::string chunked(const std::string &body, size_t n) {
  std::string wire;
  for (size_t off = 0; off < body.size(); off += n) {
    char size[16];
    snprintf(size, sizeof size, "%zx\r\n", std::min(n, body.size() - off));
    wire += size + body.substr(off, n) + "\r\n";
  }
  return wire + "0\r\n\r\n";
}

const char MALFORMED[] =
    "The XML you provided was not well-formed or did not validate against our published schema.";

TEST_F(MultiDelete, BodyIsReadWholeWhateverItsFraming) {
  ASSERT_EQ(qt::request(port(), "PUT", "/md-framing").status, 200);
  put("md-framing/first");
  put("md-framing/late");
  std::string body = "<Delete><Object><Key>first</Key></Object>";
  body += std::string(3000, ' ') + "<Object><Key>late</Key></Object></Delete>";
  // HTTP chunked framing: the key far past the first kilobyte is seen too.
  qt::Response r = qt::send_raw(port(), "POST /md-framing?delete HTTP/1.1\r\nHost: x\r\n"
                                        "Transfer-Encoding: chunked\r\n\r\n" + chunked(body, 700));
  EXPECT_EQ(r.status, 200) << r.raw;
  EXPECT_EQ(r.body, result(deleted("first") + deleted("late")));
  EXPECT_FALSE(qt::file_exists(root() + "/md-framing/late"));
}

TEST_F(MultiDelete, UnsoundBodiesDeleteNothing) {
  ASSERT_EQ(qt::request(port(), "PUT", "/md-refuse").status, 200);
  put("md-refuse/a");
  std::vector<std::string> keys_1001;
  for (int i = 0; i < 1001; i++) keys_1001.push_back("a");
  const std::string whole = delete_body({"a"});
  struct {
    const char *name;
    std::string body;
  } cases[] = {
      {"empty", ""},
      {"no keys", "<Delete></Delete>"},
      {"cut short", whole.substr(0, whole.size() - 5)},
      {"unclosed object", "<Delete><Object><Key>a</Key></Delete>"},
      {"other root", "<Remove><Object><Key>a</Key></Object></Remove>"},
      {"text after root", whole + "junk"},
      {"1001 keys", delete_body(keys_1001)},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    // Content-Length 0 is answered at once: nothing is waited for.
    qt::Response r = post("md-refuse", c.body, {"Content-Length: " + std::to_string(c.body.size())});
    qa::expect_error(r, 400, "HTTP/1.1 400 Bad Request", "MalformedXML", MALFORMED, "/md-refuse");
    EXPECT_TRUE(qt::file_exists(root() + "/md-refuse/a"));
  }
  // Without any framing the body is empty, and answered at once as well.
  qt::Response r = qt::send_raw(port(), "POST /md-refuse?delete HTTP/1.1\r\nHost: x\r\n\r\n", qt::kPromptMs);
  EXPECT_EQ(r.status, 400) << r.raw;
  // 1000 keys are S3's limit, and are handled.
  std::vector<std::string> keys_1000(keys_1001.begin(), keys_1001.end() - 1);
  r = post("md-refuse", delete_body(keys_1000, "true"));
  EXPECT_EQ(r.status, 200) << r.raw.substr(0, 400);
  EXPECT_FALSE(qt::file_exists(root() + "/md-refuse/a"));
}

TEST_F(MultiDelete, BodySizeLimit) {
  ASSERT_EQ(qt::request(port(), "PUT", "/md-big").status, 200);
  put("md-big/k");
  // 1,000 entries of 4,608 bytes and 64 KiB more are read whole: the key at the very end is
  // handled.
  const size_t limit = 1000 * 4608 + 65536;
  std::string tail = "<Object><Key>k</Key></Object></Delete>";
  std::string body = "<Delete>" + std::string(limit - 8 - tail.size(), ' ') + tail;
  ASSERT_EQ(body.size(), limit);
  qt::Response r = post("md-big", body);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, result(deleted("k")));

  // One byte more is refused, in either framing, and nothing is deleted.
  put("md-big/k");
  body.insert(8, " ");
  const std::string too_big = "Your request was too big.";
  r = post("md-big", body);
  qa::expect_error(r, 400, "HTTP/1.1 400 Bad Request", "MaxMessageLengthExceeded", too_big, "/md-big");
  r = qt::send_raw(port(), "POST /md-big?delete HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n" +
                               chunked(body, 65536));
  qa::expect_error(r, 400, "HTTP/1.1 400 Bad Request", "MaxMessageLengthExceeded", too_big, "/md-big");
  EXPECT_TRUE(qt::file_exists(root() + "/md-big/k"));
}

}  // namespace
