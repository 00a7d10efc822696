// Requests the server must refuse rather than promise what it does not do, over raw HTTP:
// customer-key and key-service encryption, Object Lock, and the default encryption it answers
// back; entries in the tree that are no objects or buckets (FIFOs, linked buckets); bounded
// waits for a bucket lock; conditional writes on objects stored without a record.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "answers.h"
#include "harness.h"
#include "platform/platform.h"
#include "platform/testing.h"

namespace {

using qt::Response;

// The entries of dir whose names do not begin with "." (the server's own temporary files).
std::vector<std::string> visible_entries(const std::string &dir) {
  std::vector<std::string> out;
  plat_dir *d = plat_dir_open(dir.c_str());
  if (!d) return out;
  char name[256];
  int is_dir = 0;
  while (plat_dir_next(d, name, sizeof name, &is_dir) == 1)
    if (name[0] != '.') out.push_back(name);
  plat_dir_close(d);
  return out;
}

std::string upload_id_of(const Response &r) {
  std::smatch m;
  return std::regex_search(r.body, m, std::regex("<UploadId>([^<]*)</UploadId>")) ? m[1].str() : "";
}

const char kSseC[] = "x-amz-server-side-encryption-customer-algorithm: AES256";
const char kSseCKey[] = "x-amz-server-side-encryption-customer-key: MDEyMzQ1Njc4OWFiY2RlZjAxMjM0NTY3ODlhYmNkZWY=";
const char kNoLock[] = "Bucket is missing Object Lock Configuration";

class Refusals : public qa::SharedServer {};

TEST_F(Refusals, EncryptionAndLockRequestsAreRefusedAndNothingIsStored) {
  ASSERT_EQ(qt::request(port(), "PUT", "/ref-b").status, 200);
  ASSERT_EQ(qt::request(port(), "PUT", "/ref-b/src", {}, "source").status, 200);
  std::string id = upload_id_of(qt::request(port(), "POST", "/ref-b/mp?uploads"));
  ASSERT_EQ(id.size(), 32u);
  const std::string copy = "x-amz-copy-source: /ref-b/src";
  const std::string part = "/ref-b/mp?partNumber=1&uploadId=" + id;
  struct Case {
    const char *name;
    std::string method, target;
    std::vector<std::string> headers;
    int status;
    std::string code, message;
  } cases[] = {
      {"SSE-C on PUT", "PUT", "/ref-b/k", {kSseC, kSseCKey}, 501, "NotImplemented", ""},
      {"SSE-C on PUT over a stored key", "PUT", "/ref-b/src", {kSseC}, 501, "NotImplemented", ""},
      {"aws:kms on PUT", "PUT", "/ref-b/k", {"x-amz-server-side-encryption: aws:kms"}, 501, "NotImplemented", ""},
      {"aws:kms:dsse on PUT",
       "PUT",
       "/ref-b/k",
       {"x-amz-server-side-encryption: aws:kms:dsse"},
       501,
       "NotImplemented",
       ""},
      {"a key-service key alone",
       "PUT",
       "/ref-b/k",
       {"x-amz-server-side-encryption-aws-kms-key-id: k1"},
       501,
       "NotImplemented",
       ""},
      {"an unknown algorithm",
       "PUT",
       "/ref-b/k",
       {"x-amz-server-side-encryption: AES512"},
       400,
       "InvalidArgument",
       "The encryption method specified is not supported"},
      {"lock mode on PUT",
       "PUT",
       "/ref-b/k",
       {"x-amz-object-lock-mode: GOVERNANCE", "x-amz-object-lock-retain-until-date: 2030-01-01T00:00:00Z"},
       400,
       "InvalidRequest",
       kNoLock},
      {"legal hold on PUT", "PUT", "/ref-b/k", {"x-amz-object-lock-legal-hold: ON"}, 400, "InvalidRequest", kNoLock},
      {"SSE-C on CopyObject", "PUT", "/ref-b/c", {copy, kSseC}, 501, "NotImplemented", ""},
      {"source SSE-C on CopyObject",
       "PUT",
       "/ref-b/c",
       {copy, "x-amz-copy-source-server-side-encryption-customer-algorithm: AES256"},
       501,
       "NotImplemented",
       ""},
      {"lock on CopyObject",
       "PUT",
       "/ref-b/c",
       {copy, "x-amz-object-lock-mode: COMPLIANCE"},
       400,
       "InvalidRequest",
       kNoLock},
      {"SSE-C on Initiate", "POST", "/ref-b/u?uploads", {kSseC}, 501, "NotImplemented", ""},
      {"aws:kms on Initiate",
       "POST",
       "/ref-b/u?uploads",
       {"x-amz-server-side-encryption: aws:kms"},
       501,
       "NotImplemented",
       ""},
      {"lock on Initiate",
       "POST",
       "/ref-b/u?uploads",
       {"x-amz-object-lock-legal-hold: ON"},
       400,
       "InvalidRequest",
       kNoLock},
      {"SSE-C on UploadPart", "PUT", part, {kSseC}, 501, "NotImplemented", ""},
      {"SSE-C on GET", "GET", "/ref-b/src", {kSseC, kSseCKey}, 501, "NotImplemented", ""},
      {"SSE-C on HEAD", "HEAD", "/ref-b/src", {kSseC}, 501, "", ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::string body = c.method == "PUT" ? "new data" : "";
    Response r = qt::request(port(), c.method, c.target, c.headers, body);
    EXPECT_EQ(r.status, c.status) << r.raw;
    if (!c.code.empty()) {
      EXPECT_NE(r.body.find("<Code>" + c.code + "</Code>"), std::string::npos) << r.body;
    }
    if (!c.message.empty()) {
      EXPECT_NE(r.body.find("<Message>" + c.message + "</Message>"), std::string::npos) << r.body;
    }
  }
  // Nothing was stored: no object, no upload, no part; the stored object is as it was.
  EXPECT_EQ(visible_entries(root() + "/ref-b"), std::vector<std::string>{"src"});
  EXPECT_EQ(visible_entries(root() + "/.mpu/ref-b"), std::vector<std::string>{id});
  for (const std::string &e : visible_entries(root() + "/.mpu/ref-b/" + id))
    EXPECT_EQ(e.rfind("1.", 0), std::string::npos) << e;
  EXPECT_EQ(qt::read_file(root() + "/ref-b/src"), "source");
}

// S3 encrypts every object with its own keys and says so; this server keeps plain files and
// answers the same line, so clients that ask for AES256 (or check for it) work.
TEST_F(Refusals, DefaultEncryptionIsAcceptedAndAnsweredBack) {
  ASSERT_EQ(qt::request(port(), "PUT", "/aes-b").status, 200);
  const std::string sse = "x-amz-server-side-encryption: AES256";
  Response put = qt::request(port(), "PUT", "/aes-b/k", {sse}, "plain bytes");
  EXPECT_EQ(put.status, 200) << put.raw;
  Response plain = qt::request(port(), "PUT", "/aes-b/p", {}, "other");
  Response get = qt::request(port(), "GET", "/aes-b/k");
  Response head = qt::request(port(), "HEAD", "/aes-b/p");
  Response copy = qt::request(port(), "PUT", "/aes-b/c", {"x-amz-copy-source: /aes-b/k", sse});
  Response init = qt::request(port(), "POST", "/aes-b/m?uploads", {sse});
  std::string id = upload_id_of(init);
  Response part = qt::request(port(), "PUT", "/aes-b/m?partNumber=1&uploadId=" + id, {}, "part one");
  Response done = qt::request(port(), "POST", "/aes-b/m?uploadId=" + id, {},
                              "<CompleteMultipartUpload><Part><PartNumber>1</PartNumber></Part>"
                              "</CompleteMultipartUpload>");
  const std::pair<const char *, const Response *> answers[] = {
      {"PUT", &put},         {"PUT without the header", &plain},
      {"GET", &get},         {"HEAD", &head},
      {"Copy", &copy},       {"Initiate", &init},
      {"UploadPart", &part}, {"Complete", &done}};
  for (const auto &a : answers) {
    SCOPED_TRACE(a.first);
    EXPECT_EQ(a.second->status, 200) << a.second->raw;
    EXPECT_EQ(a.second->header("x-amz-server-side-encryption"), "AES256") << a.second->head;
  }
  EXPECT_EQ(get.body, "plain bytes");
  // The data lies in a plain file, as the README says.
  EXPECT_EQ(qt::read_file(root() + "/aes-b/k"), "plain bytes");
}

// A browser form carries the same requests as fields.
TEST_F(Refusals, FormFieldsAreJudgedLikeHeaders) {
  ASSERT_EQ(qt::request(port(), "PUT", "/form-r").status, 200);
  const std::string boundary = "qtRefusalBoundary";
  auto post = [&](const std::string &field, const std::string &value) {
    std::string b = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"key\"\r\n\r\nf\r\n";
    b += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + field + "\"\r\n\r\n" + value + "\r\n";
    b += "--" + boundary +
         "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"a\"\r\n\r\n"
         "form data\r\n--" +
         boundary + "--\r\n";
    return qt::request(port(), "POST", "/form-r", {"Content-Type: multipart/form-data; boundary=" + boundary}, b);
  };
  struct Case {
    const char *field, *value;
    int status;
  } cases[] = {
      {"x-amz-server-side-encryption-customer-algorithm", "AES256", 501},
      {"x-amz-server-side-encryption", "aws:kms", 501},
      {"x-amz-object-lock-mode", "GOVERNANCE", 400},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.field);
    EXPECT_EQ(post(c.field, c.value).status, c.status);
    EXPECT_FALSE(qt::file_exists(root() + "/form-r/f"));
  }
  Response ok = post("x-amz-server-side-encryption", "AES256");
  EXPECT_EQ(ok.status, 204) << ok.raw;
  EXPECT_EQ(ok.header("x-amz-server-side-encryption"), "AES256");
  EXPECT_EQ(qt::read_file(root() + "/form-r/f"), "form data");
}

// A FIFO in a bucket is no object: it is never opened (an open would wait for a writer for
// ever, holding the bucket's lock), never listed, and no read of it waits. The same for a FIFO
// in the place of a bucket's lock file.
TEST_F(Refusals, AFifoInTheTreeIsNeverOpenedNorListed) {
  ASSERT_EQ(qt::request(port(), "PUT", "/fifo-b").status, 200);
  ASSERT_EQ(qt::request(port(), "PUT", "/fifo-b/real", {}, "real").status, 200);
  // Windows has no FIFOs in its file system; the Wine run leaves this test out by name.
  ASSERT_EQ(plat_make_fifo((root() + "/fifo-b/pipe").c_str()), 0) << "cannot make a FIFO";
  for (const char *m : {"GET", "HEAD"}) {
    Response r = qt::send_raw(port(), std::string(m) + " /fifo-b/pipe HTTP/1.1\r\nHost: x\r\n\r\n", 60000);
    EXPECT_EQ(r.status, 404) << m << r.raw;
  }
  Response copy = qt::request(port(), "PUT", "/fifo-b/c", {"x-amz-copy-source: /fifo-b/pipe"});
  EXPECT_EQ(copy.status, 404) << copy.raw;
  Response list = qt::request(port(), "GET", "/fifo-b?list-type=2");
  EXPECT_EQ(list.status, 200);
  EXPECT_NE(list.body.find("<Key>real</Key>"), std::string::npos) << list.body;
  EXPECT_EQ(list.body.find("pipe"), std::string::npos) << list.body;
  EXPECT_EQ(std::string(s3_list_objects_json("fifo-b")).find("pipe"), std::string::npos);

  ASSERT_EQ(qt::request(port(), "PUT", "/fifo-l").status, 200);
  ASSERT_EQ(qt::request(port(), "PUT", "/fifo-l/k", {}, "kept").status, 200);
  std::string lock = root() + "/.s3meta/.lock/fifo-l";
  plat_unlink(lock.c_str(), nullptr);
  ASSERT_EQ(plat_make_fifo(lock.c_str()), 0);
  Response get = qt::send_raw(port(), "GET /fifo-l/k HTTP/1.1\r\nHost: x\r\n\r\n", 60000);
  EXPECT_EQ(get.status, 200) << get.raw;
  EXPECT_EQ(get.body, "kept");
}

// A bucket's place holding a symbolic link is no bucket: nothing behind the link is listed,
// read, written or removed, by HTTP or through the host's JSON functions.
TEST_F(Refusals, ALinkedBucketIsNoBucket) {
  qt::TempDir outside_dir;
  const std::string &outside = outside_dir.path;
  qt::write_file(outside + "/secret", "outside data");
  ASSERT_EQ(plat_symlink(outside.c_str(), (root() + "/linked-b").c_str()), 0);
  ASSERT_EQ(qt::request(port(), "PUT", "/real-b").status, 200);

  Response buckets = qt::request(port(), "GET", "/");
  EXPECT_NE(buckets.body.find("<Name>real-b</Name>"), std::string::npos) << buckets.body;
  EXPECT_EQ(buckets.body.find("linked-b"), std::string::npos) << buckets.body;
  EXPECT_EQ(std::string(s3_list_buckets_json()).find("linked-b"), std::string::npos);
  EXPECT_EQ(std::string(s3_list_objects_json("linked-b")).find("secret"), std::string::npos);
  struct Case {
    const char *method, *target;
    int status;
  } cases[] = {
      {"GET", "/linked-b?list-type=2", 404},
      {"GET", "/linked-b", 404},
      {"HEAD", "/linked-b", 404},
      {"GET", "/linked-b/secret", 404},
      {"PUT", "/linked-b/new", 404},
      {"POST", "/linked-b/u?uploads", 404},
      {"DELETE", "/linked-b", 404},
      // A DELETE of a key answers 204 whether or not it was there; the file stays.
      {"DELETE", "/linked-b/secret", 204},
  };
  for (const Case &c : cases) {
    Response r = qt::request(port(), c.method, c.target, {}, std::string(c.method) == "PUT" ? "x" : "");
    EXPECT_EQ(r.status, c.status) << c.method << " " << c.target << "\n" << r.raw;
  }
  EXPECT_EQ(qt::read_file(outside + "/secret"), "outside data");
  EXPECT_EQ(visible_entries(outside), std::vector<std::string>{"secret"});
  plat_unlink((root() + "/linked-b").c_str(), nullptr);
}

// A write whose bucket lock stays held elsewhere (here by the test, as another process on the
// same root would) is answered 503 SlowDown after a bounded wait, and the bucket works again
// once the lock is free; reads and other buckets are served meanwhile.
TEST(BucketLock, AHeldLockEndsInSlowDown) {
  qt::Server srv;
  ASSERT_EQ(qt::request(srv.port, "PUT", "/held-b").status, 200);
  ASSERT_EQ(qt::request(srv.port, "PUT", "/free-b").status, 200);
  ASSERT_EQ(qt::request(srv.port, "PUT", "/held-b/k", {}, "v1").status, 200);
  plat_file_lock lock;
  ASSERT_EQ(plat_file_lock_take(srv.path(".s3meta/.lock/held-b").c_str(), 1, 0, &lock), 0);
  Response put, get;
  std::thread writer(
      [&] { put = qt::send_raw(srv.port, "PUT /held-b/k HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\nv2", 60000); });
  std::thread reader([&] { get = qt::send_raw(srv.port, "GET /held-b/k HTTP/1.1\r\nHost: x\r\n\r\n", 60000); });
  EXPECT_EQ(qt::request(srv.port, "PUT", "/free-b/k", {}, "free").status, 200);
  writer.join();
  reader.join();
  EXPECT_EQ(put.status, 503) << put.raw;
  EXPECT_NE(put.body.find("<Code>SlowDown</Code>"), std::string::npos) << put.body;
  // A read takes no bucket lock: it checks that the record names the data it opened.
  EXPECT_EQ(get.status, 200) << get.raw;
  EXPECT_EQ(get.body, "v1");
  EXPECT_EQ(qt::read_file(srv.path("held-b/k")), "v1");
  plat_file_lock_release(&lock);
  EXPECT_EQ(qt::request(srv.port, "PUT", "/held-b/k", {}, "v3").status, 200);
  EXPECT_EQ(qt::request(srv.port, "GET", "/held-b/k").body, "v3");
}

// If-Match on an object that was placed on disk without a record: its bytes are hashed (before
// any lock is taken) and the test is made against the version in place, also after that
// version was replaced behind the server's back. Reads of another bucket are answered while
// the large object is hashed.
TEST_F(Refusals, ConditionalWriteOnAnObjectWithoutRecord) {
  ASSERT_EQ(qt::request(port(), "PUT", "/cond-b").status, 200);
  ASSERT_EQ(qt::request(port(), "PUT", "/other-b").status, 200);
  ASSERT_EQ(qt::request(port(), "PUT", "/other-b/o", {}, "other").status, 200);
  const std::string big = qt::random_bytes(16 << 20, 21);
  qt::write_file(root() + "/cond-b/big", big);
  const std::string big_tag = "If-Match: \"" + qt::md5_hex(big) + "\"";

  Response cond;
  std::thread writer([&] { cond = qt::request(port(), "PUT", "/cond-b/big", {big_tag}, "replaced"); });
  Response other = qt::request(port(), "GET", "/other-b/o");
  writer.join();
  EXPECT_EQ(other.body, "other");
  EXPECT_EQ(cond.status, 200) << cond.raw;
  EXPECT_EQ(qt::read_file(root() + "/cond-b/big"), "replaced");
  Response wrong = qt::request(port(), "PUT", "/cond-b/big", {"If-Match: \"0123\""}, "x");
  EXPECT_EQ(wrong.status, 412) << wrong.raw;

  // Replaced on disk: the record no longer vouches for the data, which is hashed again.
  qt::write_file(root() + "/cond-b/big", "outside write");
  qt::set_mtime(root() + "/cond-b/big", 4102444800);  // later than the record
  EXPECT_EQ(qt::request(port(), "PUT", "/cond-b/big", {"If-Match: \"" + qt::md5_hex("replaced") + "\""}, "y").status,
            412);
  Response again =
      qt::request(port(), "PUT", "/cond-b/big", {"If-Match: \"" + qt::md5_hex("outside write") + "\""}, "z");
  EXPECT_EQ(again.status, 200) << again.raw;
  EXPECT_EQ(qt::read_file(root() + "/cond-b/big"), "z");
}

}  // namespace
