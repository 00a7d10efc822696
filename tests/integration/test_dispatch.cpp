// The request pipeline over raw HTTP: head limits, the interim answer, path refusals, and the
// routing of every path shape, method and query to its operation or refusal.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "answers.h"
#include "harness.h"

namespace {

using qa::expect_error;
using qa::expect_error_to;
using qt::Response;

const char kNotImplemented[] = "A header you provided implies functionality that is not implemented";

class Dispatch : public qa::SharedServer {
 protected:
  void make_bucket(const std::string &b) { ASSERT_EQ(req("PUT", "/" + b).status, 200); }
  void store(const std::string &target, const std::string &body) {
    ASSERT_EQ(put(target, body).status, 200) << target;
  }
  std::string upload_id(const std::string &target) {
    std::string id = initiate(target.substr(1));
    EXPECT_FALSE(id.empty()) << target;
    return id;
  }
};

// ---------------------------------------------------------------- head stage

TEST_F(Dispatch, HeadEndingWithBareLineFeeds) {
  Response r = qt::send_raw(port(), "GET / HTTP/1.1\nHost: x\n\n");
  EXPECT_EQ(r.status, 200) << r.raw;
  EXPECT_NE(r.body.find("<ListAllMyBucketsResult"), std::string::npos);
}

TEST_F(Dispatch, OversizedHeadDroppedUnanswered) {
  std::string head = "GET / HTTP/1.1\r\nX-Pad: " + std::string(70000, 'p') + "\r\n\r\n";
  Response r = qt::send_raw(port(), head);
  EXPECT_EQ(r.raw, "");
  // A head that completes just inside the limit is still served.
  std::string fits = "GET / HTTP/1.1\r\nX-Pad: " + std::string(65000, 'p') + "\r\n\r\n";
  EXPECT_EQ(qt::send_raw(port(), fits).status, 200);
}

TEST_F(Dispatch, RequestLineLimit) {
  // "GET /?" + padding + " HTTP/1.1": 15 characters around the padding.
  std::string at_limit = "GET /?" + std::string(4599 - 15, 'q') + " HTTP/1.1";
  std::string over = "GET /?" + std::string(4600 - 15, 'q') + " HTTP/1.1";
  ASSERT_EQ(at_limit.size(), 4599u);
  EXPECT_EQ(qt::send_raw(port(), at_limit + "\r\nHost: x\r\n\r\n").status, 200);
  EXPECT_EQ(qt::send_raw(port(), over + "\r\nHost: x\r\n\r\n").raw, "");
}

TEST_F(Dispatch, MalformedRequestLinesDropped) {
  for (const char *line : {"GET\r\n\r\n", "GET /\r\n\r\n", "GET\t/\tHTTP/1.1\r\n\r\n"})
    EXPECT_EQ(qt::send_raw(port(), line).raw, "") << line;
}

TEST_F(Dispatch, NulByteKeepsTheHeadIncomplete) {
  qt::Conn c(port());
  ASSERT_TRUE(c.send(std::string("GET / HTTP/1.1\r\nHost: a\0b\r\n\r\n", 30)));
  c.shutdown_send();
  EXPECT_TRUE(c.closed_without_data(qt::kEventBoundMs));
}

TEST_F(Dispatch, RefusalSentInsteadOfContinue) {
  // A request refused before its body gets the refusal, never the interim answer.
  Response r = qt::send_raw(port(),
                            "PUT /bucket/a%zz HTTP/1.1\r\nHost: x\r\nexpect:  100-Continue \r\n"
                            "Content-Length: 5\r\n\r\n");
  expect_error(r, 400, "HTTP/1.1 400 Bad Request", "InvalidRequest", "Invalid request path",
               "/bucket/a%zz");
  EXPECT_EQ(r.raw.find("100 Continue"), std::string::npos) << r.raw;
  // A request that goes on to read its body gets it first.
  make_bucket("contbucket");
  Response ok = qt::send_raw(port(),
                             "PUT /contbucket/k HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\n"
                             "Content-Length: 5\r\n\r\nhello");
  EXPECT_EQ(ok.raw.compare(0, 25, "HTTP/1.1 100 Continue\r\n\r\n"), 0) << ok.raw;
  EXPECT_EQ(ok.status, 200) << ok.raw;
}

TEST_F(Dispatch, BadPathsRefused) {
  const char *paths[] = {"/bucket/a%zz", "/bucket/a%4"};
  for (const char *p : paths) {
    SCOPED_TRACE(p);
    Response r = req("GET", p);
    expect_error(r, 400, "HTTP/1.1 400 Bad Request", "InvalidRequest", "Invalid request path", p);
  }
  req("GET", "/bad_name?x=1");
  EXPECT_STREQ(s3_last_error(), "bad path: /bad_name");
  // The Resource is escaped and carries the path without its query.
  Response r = req("GET", "/a&b/k?acl");
  expect_error(r, 400, "HTTP/1.1 400 Bad Request", "InvalidBucketName",
               "The specified bucket is not valid.", "/a&amp;b/k");
}

// ---------------------------------------------------------------- service shape

TEST_F(Dispatch, ServiceShape) {
  for (const char *line : {"GET / HTTP/1.1", "get / HTTP/1.0", "GET /?x=1 HTTP/1.1",
                           "GET x HTTP/1.1", "GeT  HTTP/1.1"}) {
    Response r = qt::send_raw(port(), std::string(line) + "\r\nHost: x\r\n\r\n");
    EXPECT_EQ(r.status, 200) << line;
    EXPECT_NE(r.body.find("<ListAllMyBucketsResult"), std::string::npos) << line;
  }
  for (const char *method : {"PUT", "PATCH", "HEAD", "DELETE", "POST"}) {
    Response r = req(method, "/");
    expect_error_to(method, r, 405, "HTTP/1.1 405 Method Not Allowed", "MethodNotAllowed",
                    "Only GET on / is supported", "/");
  }
  // An OPTIONS is a preflight wherever it goes, and one without an Origin is refused.
  Response star = qt::send_raw(port(), "OPTIONS * HTTP/1.1\r\nHost: x\r\n\r\n");
  expect_error(star, 400, "HTTP/1.1 400 Bad Request", "BadRequest",
               "Insufficient information. Origin request header needed.", "*");
}

// ---------------------------------------------------------------- bucket shape

TEST_F(Dispatch, BucketSubresourcesNeverReachTheBucketOperations) {
  // Each configuration this server keeps none of: PUT is refused, DELETE changes nothing. Each
  // one it keeps: a PUT without a document is malformed. Neither ever lists or deletes.
  const char *names[] = {"acl", "replication", "analytics", "inventory",
                         "metrics", "accelerate", "object-lock", "policyStatus",
                         "intelligent-tiering", "metadataTable"};
  const char *kept[] = {"lifecycle", "policy", "website", "logging", "notification",
                        "requestPayment", "encryption", "publicAccessBlock", "ownershipControls",
                        "versioning"};
  make_bucket("subres");
  for (const char *n : names) {
    SCOPED_TRACE(n);
    expect_error(req("PUT", std::string("/subres?") + n), 501, "HTTP/1.1 501 Not Implemented",
                 "NotImplemented", kNotImplemented, "/subres");
  }
  for (const char *n : kept) {
    SCOPED_TRACE(n);
    Response put = req("PUT", std::string("/subres?") + n);
    EXPECT_EQ(put.status, 400) << put.raw;
    const char *code = std::string(n) == "policy" ? "MalformedPolicy" : "MalformedXML";
    EXPECT_NE(put.body.find(std::string("<Code>") + code + "</Code>"), std::string::npos) << put.raw;
  }
  std::vector<std::string> every(std::begin(names), std::end(names));
  every.insert(every.end(), std::begin(kept), std::end(kept));
  for (const std::string &n : every) {
    SCOPED_TRACE(n);
    EXPECT_EQ(req("DELETE", "/subres?" + n).status, 204);
    Response get = req("GET", "/subres?" + n);
    EXPECT_EQ(get.body.find("<ListBucketResult"), std::string::npos) << get.raw;
  }
  EXPECT_TRUE(qt::dir_exists(root() + "/subres"));  // no DELETE with a sub-resource deleted it
  // With a value, and after other parameters; a missing bucket is never created.
  for (const char *t : {"/missing-b?website", "/missing-b?x=1&policy=1", "/missing-b?acl="}) {
    Response r = req("DELETE", t);
    EXPECT_EQ(r.status, 404) << t;
  }
  EXPECT_EQ(req("PUT", "/missing-b?acl").status, 404);
  EXPECT_FALSE(qt::dir_exists(root() + "/missing-b"));
  // Names that only begin like a sub-resource are not one.
  EXPECT_EQ(req("GET", "/subres?aclx").status, 200);
}

TEST_F(Dispatch, BucketRows) {
  EXPECT_EQ(req("put", "/rows-b").status, 200);
  EXPECT_TRUE(qt::dir_exists(root() + "/rows-b"));
  Response loc = req("GET", "/rows-b?location");
  EXPECT_NE(loc.body.find("<LocationConstraint"), std::string::npos) << loc.raw;
  Response uploads = req("GET", "/rows-b?uploads");
  EXPECT_NE(uploads.body.find("<ListMultipartUploadsResult"), std::string::npos) << uploads.raw;
  for (const char *t : {"/rows-b", "/rows-b/", "/rows-b?list-type=2", "/rows-b?prefix=a"}) {
    Response list = req("GET", t);
    EXPECT_NE(list.body.find("<ListBucketResult"), std::string::npos) << t << list.raw;
  }
  Response head = req("HEAD", "/rows-b");
  EXPECT_EQ(head.header("x-amz-bucket-region"), "us-east-1");
  Response del = req("POST", "/rows-b?delete", {},
                     "<Delete><Object><Key>nothing</Key></Object></Delete>");
  EXPECT_NE(del.body.find("<DeleteResult"), std::string::npos) << del.raw;
  for (const char *method : {"POST", "PATCH"}) {
    Response r = req(method, "/rows-b");
    expect_error(r, 405, "HTTP/1.1 405 Method Not Allowed", "MethodNotAllowed",
                 "Method not supported for buckets", "/rows-b");
  }
  EXPECT_EQ(req("Delete", "/rows-b").status, 204);
  EXPECT_FALSE(qt::dir_exists(root() + "/rows-b"));
  for (const char *t : {"/rows-b", "/rows-b?location", "/rows-b?uploads"}) {
    Response r = req("GET", t);
    expect_error(r, 404, "HTTP/1.1 404 Not Found", "NoSuchBucket",
                 "The specified bucket does not exist", "/rows-b");
  }
}

// ---------------------------------------------------------------- object shape

TEST_F(Dispatch, ObjectRows) {
  make_bucket("objrows");
  store("/objrows/k", "hello");
  EXPECT_EQ(qt::read_file(root() + "/objrows/k"), "hello");
  Response copy = req("PUT", "/objrows/k2", {"x-amz-copy-source: /objrows/k"});
  EXPECT_NE(copy.body.find("<CopyObjectResult"), std::string::npos) << copy.raw;
  EXPECT_EQ(qt::read_file(root() + "/objrows/k2"), "hello");
  // An empty copy source is no copy: the (empty) body is stored.
  EXPECT_EQ(req("PUT", "/objrows/k3", {"x-amz-copy-source:   "}).status, 200);
  EXPECT_TRUE(qt::file_exists(root() + "/objrows/k3"));
  EXPECT_EQ(qt::read_file(root() + "/objrows/k3"), "");
  Response get = req("get", "/objrows/k");
  EXPECT_EQ(get.status, 200);
  EXPECT_EQ(get.body, "hello");
  Response head = req("HEAD", "/objrows/k");
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.header("Content-Length"), "5");
  EXPECT_EQ(head.body, "");
  EXPECT_EQ(req("DELETE", "/objrows/k2").status, 204);
  EXPECT_FALSE(qt::file_exists(root() + "/objrows/k2"));
  for (const char *method : {"POST", "PATCH"}) {
    Response r = req(method, "/objrows/k");
    expect_error(r, 405, "HTTP/1.1 405 Method Not Allowed", "MethodNotAllowed",
                 "Method not supported for objects", "/objrows/k");
  }
}

TEST_F(Dispatch, ObjectSubresourcesNeverTouchData) {
  make_bucket("objsub");
  store("/objsub/k", "precious");
  const char *names[] = {"acl", "tagging", "retention", "legal-hold",
                         "torrent", "restore", "select", "attributes"};
  for (const char *n : names) {
    for (const char *method : {"GET", "HEAD", "PUT", "POST", "DELETE", "PATCH"}) {
      // Answered: GET of the tag set, of the ACL (the next test) and of the attributes, PUT of
      // a private ACL, PUT and DELETE of the tag set (which leave the data alone, as checked
      // below).
      const std::string name(n), m(method);
      if ((name == "tagging" || name == "acl" || name == "attributes") && m == "GET") continue;
      if (name == "tagging" && (m == "PUT" || m == "DELETE")) continue;
      SCOPED_TRACE(m + " ?" + name);
      for (const std::string &q : {name, name + "=", "x=1&" + name}) {
        Response r = req(method, "/objsub/k?" + q, {}, "<Tagging><TagSet/></Tagging>");
        expect_error_to(method, r, 501, "HTTP/1.1 501 Not Implemented", "NotImplemented", kNotImplemented,
                        "/objsub/k");
      }
    }
  }
  EXPECT_EQ(qt::read_file(root() + "/objsub/k"), "precious");
  // Even with an uploadId beside it, or on a key that does not exist.
  EXPECT_EQ(req("PUT", "/objsub/k?tagging&uploadId=abc&partNumber=1").status, 501);
  EXPECT_EQ(req("DELETE", "/objsub/none?acl").status, 501);
  // Reading the tag set is answered.
  Response tags = req("GET", "/objsub/k?tagging");
  EXPECT_EQ(tags.status, 200) << tags.raw;
  EXPECT_NE(tags.body.find("<TagSet></TagSet>"), std::string::npos) << tags.raw;
  EXPECT_EQ(req("GET", "/objsub/k?tagging&acl").status, 501);
}

TEST_F(Dispatch, MultipartRows) {
  make_bucket("mprows");
  EXPECT_FALSE(upload_id("/mprows/big").empty());
  Response by_put = req("PUT", "/mprows/big?uploads");
  EXPECT_NE(by_put.body.find("<InitiateMultipartUploadResult"), std::string::npos) << by_put.raw;

  std::string id = upload_id("/mprows/big");
  ASSERT_FALSE(id.empty());
  std::string base = "/mprows/big?uploadId=" + id;
  Response part = req("PUT", base + "&partNumber=1", {}, "part-one");
  EXPECT_EQ(part.status, 200) << part.raw;
  EXPECT_FALSE(qt::file_exists(root() + "/mprows/big"));  // a part is not an object
  Response parts = req("GET", base);
  EXPECT_NE(parts.body.find("<ListPartsResult"), std::string::npos) << parts.raw;
  const std::string not_routed[][2] = {{"HEAD", base},
                                        {"HEAD", base + "&partNumber=1"},
                                        {"PUT", base},
                                        {"PUT", base + "&partNumber"},  // no "=": no part number
                                        {"PATCH", base}};
  for (const auto &row : not_routed) {
    SCOPED_TRACE(row[0] + " " + row[1]);
    Response r = req(row[0], row[1]);
    expect_error_to(row[0], r, 405, "HTTP/1.1 405 Method Not Allowed", "MethodNotAllowed",
                    "Method not allowed for multipart", "/mprows/big");
  }
  store("/mprows/src", "copied-bytes");
  Response copy_part = req("PUT", base + "&partNumber=2", {"x-amz-copy-source: /mprows/src"});
  EXPECT_NE(copy_part.body.find("<CopyPartResult"), std::string::npos) << copy_part.raw;
  std::string etag = part.header("ETag");
  Response done = req("POST", base, {},
                      "<CompleteMultipartUpload><Part><PartNumber>1</PartNumber><ETag>" + etag +
                          "</ETag></Part></CompleteMultipartUpload>");
  EXPECT_NE(done.body.find("<CompleteMultipartUploadResult"), std::string::npos) << done.raw;
  EXPECT_EQ(qt::read_file(root() + "/mprows/big"), "part-one");

  std::string gone = upload_id("/mprows/other");
  EXPECT_EQ(req("DELETE", "/mprows/other?uploadId=" + gone).status, 204);
}

TEST_F(Dispatch, MalformedUploadIdIsNoSuchUpload) {
  // Any uploadId makes a multipart request: a value that is not of the server's form never
  // turns UploadPart into PutObject or Abort into DeleteObject.
  make_bucket("badid");
  store("/badid/k", "kept");
  const std::string no_upload =
      "The specified upload does not exist. The upload ID may be invalid, or the upload may have "
      "been aborted or completed.";
  const std::string ids[] = {"abc.def", "", std::string(65, 'a'), std::string(64, 'a'), "a%2Fb/c",
                             std::string(32, 'A'), std::string(31, 'a') + "."};
  for (const std::string &id : ids) {
    for (const std::string &t : {"/badid/k?uploadId=" + id + "&partNumber=1", "/badid/k?uploadId=" + id,
                                 std::string("/badid/k?partNumber=1&uploadId")}) {
      for (const char *method : {"PUT", "POST", "DELETE", "GET"}) {
        if (std::string(method) == "PUT" && t.find("partNumber") == std::string::npos) continue;
        SCOPED_TRACE(std::string(method) + " " + t);
        Response r = req(method, t, {}, std::string(method) == "PUT" ? "plain" : "");
        expect_error(r, 404, "HTTP/1.1 404 Not Found", "NoSuchUpload", no_upload, "/badid/k");
      }
    }
  }
  EXPECT_EQ(qt::read_file(root() + "/badid/k"), "kept");
  // Methods a multipart request does not have are refused before the id is looked at.
  Response r = req("HEAD", "/badid/k?uploadId=" + std::string(64, 'a'));
  EXPECT_EQ(r.status, 405);
}

TEST_F(Dispatch, RefusalsAreCounted) {
  long long before = qa::requests_count();
  ASSERT_GE(before, 0) << "the statistics document names requests_count";
  req("PATCH", "/");                          // 405 service
  req("GET", "/ab");                          // 400 path
  req("GET", "/count-b?website");             // 501
  req("GET", "/count-missing");               // 404
  {
    qt::Conn c(port());  // dropped unanswered: the peer closes before the head is complete
    c.send("GET / HTTP/1.1\r\n");
    c.shutdown_send();
    EXPECT_TRUE(c.closed_without_data(qt::kEventBoundMs));
  }
  EXPECT_EQ(qa::requests_count() - before, 4);
}

}  // namespace
