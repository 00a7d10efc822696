// Every answered request is counted once, error answers included: the traffic counters of the
// statistics document around PutObject, CopyObject and CompleteMultipartUpload failures.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "answers.h"
#include "harness.h"
#include "platform/platform.h"

namespace {

struct counters {
  long long requests = -1;
  long long uploaded = -1;
};

counters read_counters() {
  counters c;
  const char *json = s3_get_stats_json();
  std::cmatch m;
  if (json && std::regex_search(json, m, std::regex("\"requests_count\":(\\d+)")))
    c.requests = std::atoll(m[1].str().c_str());
  if (json && std::regex_search(json, m, std::regex("\"bytes_uploaded\":(\\d+)")))
    c.uploaded = std::atoll(m[1].str().c_str());
  return c;
}

class CountedAnswers : public qa::SharedServer {
 protected:
  void SetUp() override {
    for (const char *b : {"cnt", "cnt-mp"}) plat_mkdir((root() + "/" + b).c_str());
  }
  // Names in a directory of the root that begin with "." (temporary files left behind).
  std::vector<std::string> hidden_files(const std::string &rel) { return qt::dot_entries(at(rel)); }
};

TEST_F(CountedAnswers, ErrorAnswersOfUploadsAndCopiesCountOnce) {
  // "dir" is a directory level of another key: no object can be placed onto it.
  ASSERT_EQ(req("PUT", "/cnt/dir/inner", {}, "inner").status, 200);
  ASSERT_EQ(req("PUT", "/cnt/src", {}, "source").status, 200);
  const std::string body = "ten bytes!";
  struct Case {
    const char *name;
    std::function<qt::Response()> send;
    int status;
    const char *code;
    long long uploaded;  // bytes the answer counts as received
  };
  const Case cases[] = {
      {"PUT with a Content-MD5 of other bytes",
       [&] { return req("PUT", "/cnt/k", {"Content-MD5: 1B2M2Y8AsgTpgAmY7PhCfg=="}, body); }, 400,
       "BadDigest", 10},
      {"PUT with a payload digest of other bytes",
       [&] {
         return req("PUT", "/cnt/k", {"x-amz-content-sha256: " + qt::sha256_hex("other")}, body);
       },
       403, "XAmzContentSHA256Mismatch", 10},
      {"copy from a missing source",
       [&] { return req("PUT", "/cnt/k", {"x-amz-copy-source: /cnt/missing"}); }, 404,
       "NoSuchKey", 0},
      {"copy source without a key",
       [&] { return req("PUT", "/cnt/k", {"x-amz-copy-source: cnt"}); }, 400, "InvalidArgument", 0},
  };
  for (const Case &c : cases) {
    counters before = read_counters();
    qt::Response r = c.send();
    counters after = read_counters();
    EXPECT_EQ(r.status, c.status) << c.name << "\n" << r.raw;
    EXPECT_NE(r.body.find(std::string("<Code>") + c.code + "</Code>"), std::string::npos) << c.name;
    EXPECT_EQ(after.requests - before.requests, 1) << c.name;
    EXPECT_EQ(after.uploaded - before.uploaded, c.uploaded) << c.name;
  }
  EXPECT_EQ(qt::read_file(root() + "/cnt/dir/inner"), "inner");
  EXPECT_FALSE(qt::file_exists(root() + "/cnt/k"));
  EXPECT_TRUE(hidden_files("cnt").empty());
}

TEST_F(CountedAnswers, CompleteBesideAKeyBelowIsCounted) {
  // The key below is stored after the upload began, so only the completion meets it.
  std::string id = initiate("cnt-mp/dir");
  ASSERT_FALSE(id.empty());
  ASSERT_EQ(req("PUT", "/cnt-mp/dir/inner", {}, "inner").status, 200);
  ASSERT_EQ(req("PUT", "/cnt-mp/dir?partNumber=1&uploadId=" + id, {}, "part one").status, 200);

  counters before = read_counters();
  qt::Response r = req("POST", "/cnt-mp/dir?uploadId=" + id, {},
                       "<CompleteMultipartUpload><Part><PartNumber>1</PartNumber></Part>"
                       "</CompleteMultipartUpload>");
  counters after = read_counters();
  EXPECT_EQ(r.status, 200) << r.raw;
  EXPECT_EQ(after.requests - before.requests, 1);
  // The object lives beside the key below it; no joined temporary file is left behind.
  EXPECT_EQ(req("GET", "/cnt-mp/dir").body, "part one");
  EXPECT_EQ(qt::read_file(root() + "/cnt-mp/dir/inner"), "inner");
}

}  // namespace
