// Where listings and reads take an object's ETag from: the metadata record when it is not older
// than the data file, else the MD5 of the data as it is now. The same answer from ListObjects
// versions 1 and 2, the host JSON list, and HEAD.
#include <gtest/gtest.h>

#include <ctime>
#include <regex>
#include <string>
#include <vector>

#include "answers.h"
#include "harness.h"
#include "json_check.h"
#include "platform/platform.h"

namespace {

class ListingEtags : public qa::SharedServer {
 protected:
  qt::Response req(const std::string &method, const std::string &target, const std::string &body = "") {
    return qt::SharedServer::req(method, target, {}, body);
  }
  std::string data_path(const std::string &b, const std::string &k) { return root() + "/" + b + "/" + k; }
  std::string record_path(const std::string &b, const std::string &k) {
    return root() + "/.s3meta/" + b + "/" + k;
  }
  // The ETag of key as each way of listing shows it, without quotes ("<none>" when missing).
  std::vector<std::string> listed_etags(const std::string &bucket, const std::string &key) {
    std::vector<std::string> out;
    const std::regex entry("<Key>" + key + "</Key>\\s*<LastModified>[^<]*</LastModified>\\s*"
                           "<ETag>\"([^\"<]*)\"</ETag>");
    for (const char *query : {"", "?list-type=2"}) {
      qt::Response r = req("GET", "/" + bucket + query);
      std::smatch m;
      out.push_back(r.status == 200 && std::regex_search(r.body, m, entry) ? m[1].str() : "<none>");
    }
    out.push_back(qt::json_eval(s3_list_objects_json(bucket.c_str()),
                                "([o['etag'] for o in d['objects'] if o['key']=='" + key +
                                    "'] or ['<none>'])[0]"));
    return out;
  }
  std::string head_etag(const std::string &bucket, const std::string &key) {
    std::string e = req("HEAD", "/" + bucket + "/" + key).header("ETag");
    return e.size() >= 2 ? e.substr(1, e.size() - 2) : e;
  }
  void expect_everywhere(const std::string &bucket, const std::string &key, const std::string &etag,
                         const std::string &why) {
    for (const std::string &seen : listed_etags(bucket, key)) EXPECT_EQ(seen, etag) << why;
    EXPECT_EQ(head_etag(bucket, key), etag) << why;
  }
};

TEST_F(ListingEtags, CompletedMultipartObjectListsItsRecordedEtag) {
  ASSERT_EQ(req("PUT", "/etag-mp").status, 200);
  qt::Response r = req("POST", "/etag-mp/big?uploads");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r.body, m, std::regex("<UploadId>([^<]*)</UploadId>"))) << r.raw;
  const std::string id = m[1];
  std::string parts = "<CompleteMultipartUpload>";
  for (int n = 1; n <= 2; n++) {
    r = req("PUT", "/etag-mp/big?partNumber=" + std::to_string(n) + "&uploadId=" + id,
            qt::random_bytes(1000 + n, n));
    ASSERT_EQ(r.status, 200) << r.raw;
    parts += "<Part><PartNumber>" + std::to_string(n) + "</PartNumber><ETag>" + r.header("ETag") +
             "</ETag></Part>";
  }
  r = req("POST", "/etag-mp/big?uploadId=" + id, parts + "</CompleteMultipartUpload>");
  ASSERT_EQ(r.status, 200) << r.raw;
  ASSERT_TRUE(std::regex_search(r.body, m, std::regex("<ETag>\"([0-9a-f]{32}-2)\"</ETag>"))) << r.body;
  expect_everywhere("etag-mp", "big", m[1], "the multipart ETag is the recorded one");
}

// Files changed behind the server's back: each step writes the data file or the record by hand
// with chosen modification times, and every listing and HEAD must agree on the outcome.
TEST_F(ListingEtags, RecordIsTrustedOnlyWhenNotOlderThanTheData) {
  ASSERT_EQ(req("PUT", "/etag-ages").status, 200);
  ASSERT_EQ(req("PUT", "/etag-ages/k", "stored by a client").status, 200);
  expect_everywhere("etag-ages", "k", qt::md5_hex("stored by a client"), "as uploaded");

  const int64_t now = int64_t(std::time(nullptr));
  const std::string fake = "0123456789abcdef0123456789abcdef";
  struct step {
    const char *what;
    const char *data;     // new content of the data file, or null to leave it
    int64_t data_age;     // its modification time, seconds from now
    bool fake_record;     // write a record with the fake ETag
    int64_t record_age;   // the record's modification time, seconds from now
    bool drop_record;     // remove the record
    bool expect_fake;     // the fake ETag, else the MD5 of the data as it is
  } steps[] = {
      {"a record newer than its data is taken as it stands (no hashing)", nullptr, 0, true, 100,
       false, true},
      {"data rewritten after its record is hashed", "rewritten once", 200, false, 0, false, false},
      {"a second rewrite of equal size, later, is hashed again", "rewritten twic", 300, false, 0,
       false, false},
      {"a record as new as its data counts as current", nullptr, 0, true, 300, false, true},
      {"no record at all: the data is hashed", "without a record", 400, false, 0, true, false},
  };
  std::string content = "stored by a client";
  for (const step &s : steps) {
    if (s.data) {
      content = s.data;
      qt::write_file(data_path("etag-ages", "k"), content);
      qt::set_mtime(data_path("etag-ages", "k"), now + s.data_age);
    }
    if (s.fake_record) {
      qt::write_file(record_path("etag-ages", "k"), "text/plain\n" + fake + "\n");
      qt::set_mtime(record_path("etag-ages", "k"), now + s.record_age);
    }
    if (s.drop_record) {
      plat_err err;
      plat_unlink(record_path("etag-ages", "k").c_str(), &err);
    }
    expect_everywhere("etag-ages", "k", s.expect_fake ? fake : qt::md5_hex(content), s.what);
    // Listed twice: a kept hash must give the same answer as the first one.
    for (const std::string &seen : listed_etags("etag-ages", "k"))
      EXPECT_EQ(seen, s.expect_fake ? fake : qt::md5_hex(content)) << s.what << " (again)";
  }
}

}  // namespace
