// Service and bucket operations over raw HTTP: ListBuckets, CreateBucket, DeleteBucket,
// HeadBucket and GetBucketLocation, their documents and error answers byte for byte.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "answers.h"
#include "fixture.h"
#include "base/date.h"
#include "harness.h"
#include "platform/platform.h"

namespace {

using qa::expect_error;
using qa::expect_head_error;
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
class Buckets : public qt::FreshServer {};

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

TEST_F(Buckets, ListsEveryBucketInNameOrder) {
  // 41 long names make a document far beyond any fixed page.
  std::vector<std::string> names;
  for (int i = 40; i >= 0; i--) {
    char prefix[8];
    snprintf(prefix, sizeof prefix, "b%02d", i);
    names.push_back(prefix + std::string(60, 'x'));  // 63 characters
    ASSERT_EQ(req("PUT", "/" + names.back()).status, 200);
  }
  Response r = req("GET", "/");
  ASSERT_EQ(r.status, 200);
  std::string want = kListHead;
  for (auto it = names.rbegin(); it != names.rend(); ++it) want += entry(*it);
  EXPECT_EQ(mask(r.body), want + kListTail);
  EXPECT_EQ(r.header("Content-Length"), std::to_string(r.body.size()));
}

TEST_F(Buckets, NameRules) {
  struct Row {
    const char *name;
    bool valid;
  };
  const std::string a63(63, 'a');
  const Row rows[] = {
      {"abc", true},           {"my.bucket", true},      {"a-b.c-d", true},
      {"1.2.3", true},         {"192.168.1.1x", true},   {a63.c_str(), true},
      {"ab", false},           {"foo-", false},          {"-foo", false},
      {".foo", false},         {"foo.", false},          {"a..b", false},
      {"a.-b", false},         {"a-.b", false},          {"192.168.1.1", false},
      {"ABC", false},          {"my_bucket", false},     {".s3meta", false},
      {".mpu", false},         {"a%2Eb", false},
  };
  const std::string long_name(64, 'a');
  for (const Row &row : rows) {
    std::string name = row.name;
    SCOPED_TRACE(name);
    Response put = req("PUT", "/" + name);
    if (row.valid) {
      EXPECT_EQ(put.status, 200) << put.raw;
      EXPECT_TRUE(qt::dir_exists(at(name)));
      EXPECT_EQ(req("PUT", "/" + name + "/k", {}, "v").status, 200);
      EXPECT_EQ(req("GET", "/" + name + "/k").body, "v");
      EXPECT_NE(req("GET", "/").body.find("<Name>" + name + "</Name>"), std::string::npos);
      EXPECT_EQ(req("PUT", "/" + name + "/k2", {"x-amz-copy-source: " + name + "/k"}).status, 200);
      EXPECT_NE(std::string(s3_list_objects_json(name.c_str())).find("\"key\":\"k2\""),
                std::string::npos);
      EXPECT_EQ(req("DELETE", "/" + name + "/k2").status, 204);
      EXPECT_EQ(req("DELETE", "/" + name + "/k").status, 204);
      EXPECT_EQ(req("DELETE", "/" + name).status, 204);
    } else {
      expect_error(put, 400, "HTTP/1.1 400 Bad Request", "InvalidBucketName",
                   "The specified bucket is not valid.", "/" + name);
      Response get = req("GET", "/" + name + "/k");
      EXPECT_EQ(get.status, 400);
      EXPECT_NE(get.body.find("<Code>InvalidBucketName</Code>"), std::string::npos);
      // The same rule for a copy's source bucket (decoded as a whole, so "a%2Eb" names
      // "a.b" there) and for the host's object list.
      if (name.find('%') != std::string::npos) continue;
      ASSERT_EQ(req("PUT", "/copy-target").status, 200);
      Response copy = req("PUT", "/copy-target/k", {"x-amz-copy-source: " + name + "/k"});
      EXPECT_EQ(copy.status, 400);
      EXPECT_NE(copy.body.find("<Code>InvalidArgument</Code>"), std::string::npos);
      EXPECT_NE(std::string(s3_list_objects_json(name.c_str())).find("\"error\":\"no bucket\""),
                std::string::npos);
    }
  }
  expect_error(req("PUT", "/" + long_name), 400, "HTTP/1.1 400 Bad Request", "InvalidBucketName",
               "The specified bucket is not valid.", "/" + long_name);
  // The reserved trees stay as they were.
  EXPECT_FALSE(qt::file_exists(at(".s3meta/k")));
}

TEST_F(Buckets, WritesToAMissingBucketCreateNothing) {
  ASSERT_EQ(req("PUT", "/src-bucket").status, 200);
  ASSERT_EQ(req("PUT", "/src-bucket/obj", {}, "source").status, 200);
  struct Row {
    const char *what;
    const char *head;  // request line and headers, without the empty line
    const char *body;
  };
  const Row rows[] = {
      {"PutObject", "PUT /nobucket/k HTTP/1.1\r\nContent-Length: 5", "hello"},
      {"PutObject nested", "PUT /nobucket/a/b/c HTTP/1.1\r\nContent-Length: 5", "hello"},
      {"CopyObject", "PUT /nobucket/k HTTP/1.1\r\nx-amz-copy-source: /src-bucket/obj", ""},
      {"Initiate", "POST /nobucket/k?uploads HTTP/1.1\r\nContent-Length: 0", ""},
      {"UploadPart", "PUT /nobucket/k?partNumber=1&uploadId=abc HTTP/1.1\r\nContent-Length: 5",
       "hello"},
      {"UploadPartCopy",
       "PUT /nobucket/k?partNumber=1&uploadId=abc HTTP/1.1\r\nx-amz-copy-source: /src-bucket/obj",
       ""},
  };
  for (const Row &row : rows) {
    for (bool expect : {false, true}) {
      SCOPED_TRACE(std::string(row.what) + (expect ? " with Expect" : ""));
      std::string head = std::string(row.head) + "\r\nHost: x\r\n";
      if (expect) head += "Expect: 100-continue\r\n";
      // With Expect the client holds its body back until told to go on.
      Response r = qt::send_raw(server.port, head + "\r\n" + (expect ? "" : row.body));
      std::string path = std::string(row.head).substr(std::string(row.head).find(' ') + 1);
      path = path.substr(0, path.find_first_of("? "));
      expect_error(r, 404, "HTTP/1.1 404 Not Found", "NoSuchBucket",
                   "The specified bucket does not exist", path);
      EXPECT_EQ(r.raw.find("100 Continue"), std::string::npos) << r.raw;
    }
  }
  EXPECT_FALSE(qt::dir_exists(at("nobucket")));
  EXPECT_FALSE(qt::dir_exists(at(".mpu/nobucket")));
  EXPECT_FALSE(qt::dir_exists(at(".s3meta/nobucket")));
  Response del = req("DELETE", "/nobucket");
  expect_error(del, 404, "HTTP/1.1 404 Not Found", "NoSuchBucket",
               "The specified bucket does not exist", "/nobucket");
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
  expect_error(missing, 404, "HTTP/1.1 404 Not Found", "NoSuchBucket",
               "The specified bucket does not exist", "/scratch");
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
  expect_head_error(missing, 404, "HTTP/1.1 404 Not Found", "NoSuchBucket",
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
