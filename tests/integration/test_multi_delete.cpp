// Multi-object delete over HTTP: which keys are removed, how each is reported, Quiet, and the
// body size rules.
#include <gtest/gtest.h>

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
    ASSERT_EQ(qt::request(port(), "PUT", "/" + bucket_key, {"Content-Type: text/plain"}, data, true).status, 200)
        << bucket_key;
  }
};

TEST_F(MultiDelete, ReportsEveryKeyInOrder) {
  // The longest key that is processed, and one character more. Its ".." segment makes its entry
  // the same whatever the length of the storage root.
  std::string longest = "../";
  while (longest.size() + 10 <= 4095) longest += "kkkkkkkkk/";
  longest += std::string(4095 - longest.size(), 'k');
  const std::string too_long = longest + "k";
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
      // Clients write & < > " ' as references; the key they mean is the decoded one.
      {"entities decoded", {"a%26b", "x%3Cy%22z", "q%27"},
       delete_body({"a&amp;b", "x&#60;y&#x22;z", "q&apos;"}),
       result(deleted("a&amp;b") + deleted("x&lt;y&quot;z") + deleted("q&apos;")), {"a&b", "x<y\"z", "q'"}},
      {"bad references kept", {}, delete_body({"a&bogus;", "&#0;", "&#x110000;"}),
       result(deleted("a&amp;bogus;") + deleted("&amp;#0;") + deleted("&amp;#x110000;")), {}},
      {"quiet still reports errors", {}, delete_body({"", "x/../y"}, "true"),
       result(invalid("") + invalid("x/../y")), {}},
      {"dot-dot segments", {}, delete_body({"..", "../other/k", "a/..", "a..b"}),
       result(invalid("..") + invalid("../other/k") + invalid("a/..") + deleted("a..b")), {}},
      {"dot-dot from a reference", {}, delete_body({"a/&#46;./b"}), result(invalid("a/../b")), {}},
      {"directory", {"dir/inner"}, delete_body({"dir", "dir/inner"}),
       result(deleted("dir") + deleted("dir/inner")), {"dir/inner"}},
      {"listed twice", {"a"}, delete_body({"a", "a"}), result(deleted("a") + deleted("a")), {"a"}},
      // A key over 4095 characters ends the processing: "c" after it is neither deleted nor listed.
      {"over-long key stops", {"a", "c"}, delete_body({"a", longest, too_long, "c"}),
       result(deleted("a") + invalid(longest)), {"a"}},
      {"no keys", {}, "<Delete></Delete>", result(""), {}},
      {"a folder marker's file by its own name", {"d/"}, delete_body({"d/.quillmar-folder"}),
       result(invalid("d/.quillmar-folder")), {}},
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
}

TEST_F(MultiDelete, MissingBucketReportsEveryKeyDeleted) {
  qt::Response r = post("md-nobucket", delete_body({"a", "b/c"}));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, result(deleted("a") + deleted("b/c")));
  EXPECT_FALSE(qt::dir_exists(root() + "/md-nobucket"));
}

TEST_F(MultiDelete, WithoutContentLengthOnly1024BytesAreRead) {
  ASSERT_EQ(qt::request(port(), "PUT", "/md-short").status, 200);
  put("md-short/first");
  put("md-short/late");
  std::string body = "<Delete><Object><Key>first</Key></Object>";
  body += std::string(1100 - body.size(), ' ') + "<Object><Key>late</Key></Object></Delete>";
  // The client closes its side after the body, so the server sees the end of the data.
  qt::Conn c(port());
  ASSERT_TRUE(c.send("POST /md-short?delete HTTP/1.1\r\nHost: x\r\n\r\n" + body));
  c.shutdown_send();
  std::string raw = c.recv_all();
  EXPECT_NE(raw.find("\r\n\r\n" + result(deleted("first"))), std::string::npos) << raw;
  EXPECT_TRUE(qt::file_exists(root() + "/md-short/late"));
  EXPECT_FALSE(qt::file_exists(root() + "/md-short/first"));
}

TEST_F(MultiDelete, BodySizeLimit) {
  ASSERT_EQ(qt::request(port(), "PUT", "/md-big").status, 200);
  put("md-big/k");
  // 64 MiB exactly is read whole: the key at its very end is handled.
  std::string tail = "<Object><Key>k</Key></Object></Delete>";
  std::string body = "<Delete>" + std::string(67108864 - 8 - tail.size(), ' ') + tail;
  ASSERT_EQ(body.size(), 67108864u);
  qt::Response r = post("md-big", body);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, result(deleted("k")));

  // One byte more is refused once the body has been consumed.
  put("md-big/k");
  body.insert(8, " ");
  r = post("md-big", body);
  qa::expect_error(r, 400, "HTTP/1.1 400 Bad Request", "MalformedXML", "Body too large", "/md-big");
  EXPECT_TRUE(qt::file_exists(root() + "/md-big/k"));
}

}  // namespace
