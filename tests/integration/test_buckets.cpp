// Service and bucket operations over raw HTTP: ListBuckets, CreateBucket, DeleteBucket,
// HeadBucket and GetBucketLocation, their documents and error answers byte for byte.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "answers.h"
#include "base/date.h"
#include "harness.h"
#include "platform/platform.h"

namespace {

using qa::expect_error;
using qa::mask;
using qt::Response;

const char kListHead[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ListAllMyBucketsResult "
    "xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">\n  <Owner>\n    <ID>quillmarlocal</ID>\n"
    "    <DisplayName>local</DisplayName>\n  </Owner>\n  <Buckets>\n";
const char kListTail[] = "  </Buckets>\n</ListAllMyBucketsResult>\n";

std::string entry(const std::string &name) {
  return "    <Bucket>\n      <Name>" + name +
         "</Name>\n      <CreationDate>TIME</CreationDate>\n    </Bucket>\n";
}

// A fresh server per test: the bucket list depends on everything in the root.
class Buckets : public ::testing::Test {
 protected:
  qt::Server server;
  Response req(const std::string &method, const std::string &target,
               const std::vector<std::string> &headers = {}, const std::string &body = "") {
    return qt::request(server.port, method, target, headers, body);
  }
  std::string at(const std::string &rel) const { return server.root + "/" + rel; }
};

TEST_F(Buckets, ListEmptyRootAndHiddenEntries) {
  qt::write_file(at(".mpu/b/x/meta"), "m");
  qt::write_file(at(".s3meta/b/k"), "m");
  Response r = req("GET", "/");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(mask(r.body), std::string(kListHead) + kListTail);
  EXPECT_EQ(mask(r.head),
            "HTTP/1.1 200 OK\r\nServer: quillmar-s3/1.2.3\r\nDate: *\r\nx-amz-request-id: *\r\n"
            "Content-Type: application/xml\r\nContent-Length: " + std::to_string(r.body.size()) +
                "\r\nConnection: close");
}

TEST_F(Buckets, ListSortedWithPlainFilesEscapedAndOneDate) {
  for (const char *b : {"zeta", "alpha", "mid-1"}) ASSERT_EQ(req("PUT", std::string("/") + b).status, 200);
  qt::write_file(at("notes"), "a plain file");
  qt::write_file(at("a&b<c"), "x");
  int64_t before = plat_time_now();
  Response r = req("GET", "/");
  int64_t after = plat_time_now();
  EXPECT_EQ(mask(r.body), std::string(kListHead) + entry("a&amp;b&lt;c") + entry("alpha") +
                              entry("mid-1") + entry("notes") + entry("zeta") + kListTail);
  // Every CreationDate is the time of the request.
  std::regex date("<CreationDate>(\\d{4})-(\\d\\d)-(\\d\\d)T(\\d\\d):(\\d\\d):(\\d\\d)\\.000Z<");
  std::vector<std::string> dates;
  for (std::sregex_iterator it(r.body.begin(), r.body.end(), date), end; it != end; ++it)
    dates.push_back((*it)[0]);
  ASSERT_EQ(dates.size(), 5u);
  for (const auto &d : dates) EXPECT_EQ(d, dates[0]);
  civil_time tm;
  bool matched = false;
  for (int64_t t = before; t <= after; t++) {
    ASSERT_EQ(civil_from_seconds(t, &tm), 0);
    char want[64];
    snprintf(want, sizeof want, "<CreationDate>%04d-%02d-%02dT%02d:%02d:%02d.000Z<", tm.year,
             tm.month, tm.day, tm.hour, tm.minute, tm.second);
    matched = matched || dates[0] == want;
  }
  EXPECT_TRUE(matched) << dates[0];
}

TEST_F(Buckets, ListStopsBeforeAnEntryThatWouldNotFit) {
  std::vector<std::string> names;
  for (int i = 0; i < 40; i++) {
    char prefix[8];
    snprintf(prefix, sizeof prefix, "b%02d", i);
    names.push_back(prefix + std::string(60, 'x'));  // 63 characters
    ASSERT_TRUE(plat_mkdir(at(names.back()).c_str()) == 0);
  }
  Response r = req("GET", "/");
  ASSERT_EQ(r.status, 200);
  std::string doc = mask(r.body);
  EXPECT_LE(r.body.size(), 4095u);
  ASSERT_GE(doc.size(), sizeof kListTail - 1);
  EXPECT_EQ(doc.substr(doc.size() - (sizeof kListTail - 1)), kListTail);
  // The entries are the first ones in order, whole, and one more would not have fitted.
  std::string want = kListHead;
  size_t listed = 0;
  while (listed < names.size() && doc.compare(want.size(), entry(names[listed]).size(),
                                              entry(names[listed])) == 0)
    want += entry(names[listed++]);
  EXPECT_EQ(doc, want + kListTail);
  EXPECT_GT(listed, 10u);
  EXPECT_LT(listed, names.size());
  size_t one_more = r.body.size() + entry(names[listed]).size() + 24 - 4;  // TIME is 4 of 24
  EXPECT_GT(one_more, 4095u);
}

TEST_F(Buckets, CreateBucket) {
  Response r = req("PUT", "/new-bucket", {"Content-Length: 0"});
  EXPECT_EQ(mask(r.raw),
            "HTTP/1.1 200 OK\r\nServer: quillmar-s3/1.2.3\r\nDate: *\r\nx-amz-request-id: *\r\n"
            "Connection: close\r\n\r\n");
  EXPECT_TRUE(qt::dir_exists(at("new-bucket")));
  EXPECT_STREQ(s3_last_error(), "");
  // Again: still 200; a configuration body is ignored.
  EXPECT_EQ(req("PUT", "/new-bucket", {},
                "<CreateBucketConfiguration><LocationConstraint>eu-west-1</LocationConstraint>"
                "</CreateBucketConfiguration>")
                .status,
            200);
  EXPECT_TRUE(qt::dir_exists(at("new-bucket")));
}

TEST_F(Buckets, CreateBucketThatCannotBeADirectory) {
  qt::write_file(at("taken"), "a plain file");
  Response r = req("PUT", "/taken");
  expect_error(r, 500, "HTTP/1.1 500 Internal Server Error", "InternalError",
               "Failed to create bucket directory", "/taken");
  EXPECT_EQ(std::string(s3_last_error()), "mkdir failed: " + at("taken"));
  EXPECT_EQ(qt::read_file(at("taken")), "a plain file");
}

TEST_F(Buckets, DeleteBucket) {
  ASSERT_EQ(req("PUT", "/full").status, 200);
  qt::write_file(at("full/a/b.txt"), "data");
  Response r = req("DELETE", "/full");
  expect_error(r, 409, "HTTP/1.1 409 Conflict", "BucketNotEmpty",
               "The bucket you tried to delete is not empty", "/full");
  EXPECT_EQ(qt::read_file(at("full/a/b.txt")), "data");

  // The server's temporary files and empty directories do not keep a bucket alive; the bucket's
  // uploads and metadata go with it, other buckets' stay.
  ASSERT_EQ(req("PUT", "/scratch").status, 200);
  qt::write_file(at("scratch/.upload-1-2-3.tmp"), "partial");
  qt::write_file(at("scratch/d/.mpu-1-2.tmp"), "joining");
  ASSERT_TRUE(plat_mkdir(at("scratch/empty").c_str()) == 0);
  qt::write_file(at(".mpu/scratch/id1/meta"), "k");
  qt::write_file(at(".s3meta/scratch/k"), "m");
  qt::write_file(at(".s3meta/full/a/b.txt"), "m");
  Response ok = req("DELETE", "/scratch");
  EXPECT_EQ(mask(ok.raw),
            "HTTP/1.1 204 No Content\r\nServer: quillmar-s3/1.2.3\r\nDate: *\r\n"
            "x-amz-request-id: *\r\nConnection: close\r\n\r\n");
  EXPECT_FALSE(qt::dir_exists(at("scratch")));
  EXPECT_FALSE(qt::dir_exists(at(".mpu/scratch")));
  EXPECT_FALSE(qt::dir_exists(at(".s3meta/scratch")));
  EXPECT_TRUE(qt::file_exists(at(".s3meta/full/a/b.txt")));

  Response missing = req("DELETE", "/scratch");
  expect_error(missing, 500, "HTTP/1.1 500 Internal Server Error", "InternalError",
               "Failed to delete bucket", "/scratch");
}

TEST_F(Buckets, HeadBucket) {
  ASSERT_EQ(req("PUT", "/here").status, 200);
  qt::write_file(at("here/k"), "v");
  Response r = req("HEAD", "/here");
  EXPECT_EQ(mask(r.raw),
            "HTTP/1.1 200 OK\r\nServer: quillmar-s3/1.2.3\r\nDate: *\r\nx-amz-request-id: *\r\n"
            "Content-Type: application/xml\r\nx-amz-bucket-region: us-east-1\r\n"
            "Connection: close\r\n\r\n");
  Response missing = req("HEAD", "/not-here");
  expect_error(missing, 404, "HTTP/1.1 404 Not Found", "NoSuchBucket",
               "The specified bucket does not exist", "/not-here");
}

TEST_F(Buckets, GetBucketLocation) {
  ASSERT_EQ(req("PUT", "/where").status, 200);
  const std::string doc =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<LocationConstraint "
      "xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\"></LocationConstraint>\n";
  for (const char *t : {"/where?location", "/where?location=", "/where/?x=1&location"}) {
    Response r = req("GET", t);
    EXPECT_EQ(r.body, doc) << t;
    EXPECT_EQ(mask(r.head),
              "HTTP/1.1 200 OK\r\nServer: quillmar-s3/1.2.3\r\nDate: *\r\nx-amz-request-id: *\r\n"
              "Content-Type: application/xml\r\nContent-Length: " + std::to_string(doc.size()) +
                  "\r\nConnection: close");
  }
  Response missing = req("GET", "/nowhere?location");
  expect_error(missing, 404, "HTTP/1.1 404 Not Found", "NoSuchBucket",
               "The specified bucket does not exist", "/nowhere");
  // A plain file in the root passes the existence check like a directory.
  qt::write_file(at("filebucket"), "x");
  EXPECT_EQ(req("GET", "/filebucket?location").body, doc);
}

}  // namespace
