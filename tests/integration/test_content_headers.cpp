// Content headers kept with objects (Cache-Control, Content-Disposition, Content-Encoding,
// Content-Language, Expires) and the response-* overrides of GET, and conditional writes
// (If-None-Match: *, If-Match) on PutObject, CopyObject and CompleteMultipartUpload, over raw
// HTTP against the real library.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "fixture.h"
#include "harness.h"
#include "platform/platform.h"

namespace {

const char *kPreMessage = "At least one of the pre-conditions you specified did not hold";

// The five headers as a client sends them, and as GET and HEAD must answer them.
const std::vector<std::pair<std::string, std::string>> kContent = {
    {"Cache-Control", "max-age=3600, must-revalidate"},
    {"Content-Disposition", "attachment; filename=\"report: 100%.txt\""},
    {"Content-Encoding", "gzip"},
    {"Content-Language", "de-CH"},
    {"Expires", "Thu, 01 Dec 2044 16:00:00 GMT"},
};

std::vector<std::string> content_lines() {
  std::vector<std::string> out;
  for (const auto &h : kContent) out.push_back(h.first + ": " + h.second);
  return out;
}

void expect_code(const qt::Response &r, int status, const std::string &code,
                 const std::string &message = "") {
  EXPECT_EQ(r.status, status) << r.raw;
  EXPECT_NE(r.body.find("<Code>" + code + "</Code>"), std::string::npos) << r.body;
  if (!message.empty()) {
    EXPECT_NE(r.body.find("<Message>" + message + "</Message>"), std::string::npos) << r.body;
  }
}

class ContentHeaders : public qt::FreshServer {
 protected:
  const qt::Server &srv = server;
  void SetUp() override { plat_mkdir(srv.path("bkt").c_str()); }
  // Initiates, uploads one part and completes; the Complete answer.
  qt::Response multipart(const std::string &key, const std::vector<std::string> &init_headers,
                         const std::string &data, const std::vector<std::string> &complete_headers = {}) {
    qt::Response init = req("POST", "/bkt/" + key + "?uploads", init_headers);
    EXPECT_EQ(init.status, 200) << init.raw;
    size_t a = init.body.find("<UploadId>"), b = init.body.find("</UploadId>");
    std::string id = init.body.substr(a + 10, b - a - 10);
    qt::Response part = req("PUT", "/bkt/" + key + "?partNumber=1&uploadId=" + id, {}, data);
    EXPECT_EQ(part.status, 200) << part.raw;
    return req("POST", "/bkt/" + key + "?uploadId=" + id, complete_headers,
               "<CompleteMultipartUpload><Part><PartNumber>1</PartNumber></Part>"
               "</CompleteMultipartUpload>");
  }
};

TEST_F(ContentHeaders, KeptByEveryWayOfStoringAndAnsweredByGetAndHead) {
  std::vector<std::string> with_type = content_lines();
  with_type.push_back("Content-Type: text/plain");
  with_type.push_back("x-amz-meta-owner: ann");
  ASSERT_EQ(req("PUT", "/bkt/put", with_type, "data").status, 200);
  ASSERT_EQ(multipart("mpu", with_type, "parts").status, 200);
  ASSERT_EQ(req("PUT", "/bkt/plain", {"Content-Type: text/plain", "x-amz-meta-owner: ann"}, "x").status, 200);
  // COPY keeps the source's headers and ignores the request's; REPLACE takes the request's.
  ASSERT_EQ(req("PUT", "/bkt/copied", {"x-amz-copy-source: /bkt/put", "Cache-Control: no-store"}).status, 200);
  std::vector<std::string> replace = with_type;
  replace.push_back("x-amz-copy-source: /bkt/plain");
  replace.push_back("x-amz-metadata-directive: REPLACE");
  ASSERT_EQ(req("PUT", "/bkt/replaced", replace).status, 200);

  for (const char *key : {"put", "mpu", "copied", "replaced"}) {
    for (const char *method : {"GET", "HEAD"}) {
      SCOPED_TRACE(std::string(method) + " " + key);
      qt::Response r = req(method, std::string("/bkt/") + key);
      ASSERT_EQ(r.status, 200) << r.raw;
      for (const auto &h : kContent) EXPECT_EQ(r.header(h.first), h.second) << r.head;
      EXPECT_EQ(r.header("Content-Type"), "text/plain");
      EXPECT_EQ(r.header("x-amz-meta-owner"), "ann");
    }
  }
  // An object stored without them answers none; a REPLACE without them drops the source's.
  ASSERT_EQ(req("PUT", "/bkt/dropped", {"x-amz-copy-source: /bkt/put",
                                         "x-amz-metadata-directive: REPLACE"}).status, 200);
  for (const char *key : {"plain", "dropped"}) {
    qt::Response r = req("GET", std::string("/bkt/") + key);
    for (const auto &h : kContent) EXPECT_FALSE(r.has_header(h.first)) << key << "\n" << r.head;
  }
}

TEST_F(ContentHeaders, AwsChunkedIsFramingNotContent) {
  // A JS SDK stream upload of a gzip file, as captured: "content-encoding: gzip,aws-chunked".
  std::string dir = qt::data_dir() + "/requests/jssdk-extra/05-stream-content-encoding-gzip/";
  std::string captured = qt::read_file(dir + "0005_05-stream-content-encoding-gzip_PutObject.req");
  ASSERT_FALSE(captured.empty());
  plat_mkdir(srv.path("js-extra").c_str());
  ASSERT_EQ(qt::send_raw(srv.port, captured).status, 200);
  EXPECT_EQ(req("HEAD", "/js-extra/gz.txt.gz").header("Content-Encoding"), "gzip");

  // The token alone leaves no coding at all; in any place and case it is removed.
  struct Case {
    const char *sent;
    const char *kept;  // "" = no Content-Encoding answered
  } cases[] = {{"aws-chunked", ""}, {"AWS-Chunked, br", "br"}, {"gzip , aws-chunked , br", "gzip,br"},
               {"gzip, aws-chunked", "gzip"}};
  for (const Case &c : cases) {
    // The payload hash announces the stream; the token in Content-Encoding only names it.
    ASSERT_EQ(req("PUT", "/bkt/enc",
                  {std::string("Content-Encoding: ") + c.sent, "x-amz-decoded-content-length: 1",
                   "x-amz-content-sha256: STREAMING-UNSIGNED-PAYLOAD-TRAILER"},
                  "1\r\nx\r\n0\r\n\r\n")
                  .status,
              200);
    EXPECT_EQ(qt::read_file(srv.path("bkt/enc")), "x");
    qt::Response r = req("HEAD", "/bkt/enc");
    EXPECT_EQ(r.header("Content-Encoding"), c.kept) << c.sent;
    EXPECT_EQ(r.has_header("Content-Encoding"), c.kept[0] != 0) << c.sent;
  }
}

TEST_F(ContentHeaders, ResponseOverridesOnGetAndHead) {
  ASSERT_EQ(req("PUT", "/bkt/o", {"Content-Type: text/plain", "Cache-Control: no-cache"}, "body").status, 200);
  const std::string q =
      "?response-content-type=application%2Fjson&response-content-disposition=attachment%3B%20"
      "filename%3D%22a.json%22&response-cache-control=max-age%3D9&response-content-encoding=br"
      "&response-content-language=fr&response-expires=Wed%2C%2021%20Oct%202043%2007%3A28%3A00%20GMT";
  for (const char *method : {"GET", "HEAD"}) {
    qt::Response r = req(method, "/bkt/o" + q);
    ASSERT_EQ(r.status, 200) << r.raw;
    EXPECT_EQ(r.header("Content-Type"), "application/json");
    EXPECT_EQ(r.header("Content-Disposition"), "attachment; filename=\"a.json\"");
    EXPECT_EQ(r.header("Cache-Control"), "max-age=9");
    EXPECT_EQ(r.header("Content-Encoding"), "br");
    EXPECT_EQ(r.header("Content-Language"), "fr");
    EXPECT_EQ(r.header("Expires"), "Wed, 21 Oct 2043 07:28:00 GMT");
  }
  EXPECT_EQ(req("GET", "/bkt/o" + q).body, "body");
  // Overrides change the answer only: the object keeps what it was stored with.
  qt::Response plain = req("GET", "/bkt/o");
  EXPECT_EQ(plain.header("Cache-Control"), "no-cache");
  EXPECT_EQ(plain.header("Content-Type"), "text/plain");
  EXPECT_FALSE(plain.has_header("Content-Language"));
}

TEST_F(ContentHeaders, ControlCharactersNeverReachAHead) {
  // A decoded line break in an override would add a header of the client's choosing.
  qt::Response r = req("GET", "/bkt/x?response-content-disposition=a%0D%0ASet-Cookie%3A%20x%3D1");
  expect_code(r, 400, "InvalidArgument");
  EXPECT_FALSE(r.has_header("Set-Cookie"));
  // Stored values: refused before the body is taken, and nothing stored.
  for (const std::string &bad : {std::string("Content-Disposition: a\x01z"),
                                  std::string("Cache-Control: a\x7fz"),
                                  "Content-Language: " + std::string(1100, 'l')}) {
    expect_code(req("PUT", "/bkt/bad", {bad}, "x"), 400, "InvalidArgument");
    EXPECT_FALSE(qt::file_exists(srv.path("bkt/bad"))) << bad;
    expect_code(req("POST", "/bkt/bad?uploads", {bad}), 400, "InvalidArgument");
  }
  ASSERT_EQ(req("PUT", "/bkt/src", {}, "x").status, 200);
  expect_code(req("PUT", "/bkt/bad", {"x-amz-copy-source: /bkt/src", "x-amz-metadata-directive: REPLACE",
                                      "Expires: a\x02"}),
              400, "InvalidArgument");
  EXPECT_FALSE(qt::file_exists(srv.path("bkt/bad")));
}

TEST_F(ContentHeaders, RecordsOfEveryFormRead) {
  const std::string md5 = qt::md5_hex("old");
  qt::write_file(srv.path("bkt/old"), "old");
  qt::write_file(srv.path("bkt/new"), "old");
  // A record as written before content headers were kept; and one with them, where a hand-made
  // "+..." line with a colon stays user metadata, and an escape other than the two written
  // (%0D) is never undone.
  qt::write_file(srv.path(".s3meta/bkt/old"), "text/csv\n" + md5 + "\nx-amz-meta-a:1\n");
  qt::write_file(srv.path(".s3meta/bkt/new"),
                 "text/csv\n" + md5 + "\nx-amz-meta-a:1\n+Expires Thu, 01 Dec 2044 16%3A00%3A00 GMT\n"
                 "+Future-Header v\n+Content-Language a%0D%0AX\n+Cache-Control%25\n");
  qt::Response old_r = req("GET", "/bkt/old");
  EXPECT_EQ(old_r.header("Content-Type"), "text/csv");
  EXPECT_EQ(old_r.header("ETag"), "\"" + md5 + "\"");
  EXPECT_EQ(old_r.header("x-amz-meta-a"), "1");
  for (const auto &h : kContent) EXPECT_FALSE(old_r.has_header(h.first));
  qt::Response new_r = req("GET", "/bkt/new");
  EXPECT_EQ(new_r.header("x-amz-meta-a"), "1");
  EXPECT_EQ(new_r.header("Expires"), "Thu, 01 Dec 2044 16:00:00 GMT");
  EXPECT_EQ(new_r.header("Content-Language"), "a%0D%0AX");
  EXPECT_FALSE(new_r.has_header("Future-Header"));

  // What this server writes: user metadata lines first, and content lines without a colon, so
  // that a reader of the earlier format skips them instead of taking them for user metadata.
  std::vector<std::string> h = content_lines();
  h.push_back("x-amz-meta-b: 2");
  ASSERT_EQ(req("PUT", "/bkt/written", h, "x").status, 200);
  std::string record = qt::read_record(srv.path(".s3meta/bkt/written"));
  EXPECT_EQ(record, "\n" + qt::md5_hex("x") +
                        "\nx-amz-meta-b:2\n+Cache-Control max-age=3600, must-revalidate\n"
                        "+Content-Disposition attachment; filename=\"report%3A 100%25.txt\"\n"
                        "+Content-Encoding gzip\n+Content-Language de-CH\n"
                        "+Expires Thu, 01 Dec 2044 16%3A00%3A00 GMT\n"
                        "+Checksum CRC64NVME FULL_OBJECT Lb1nAmRU5LE=\n");
}

// ---------------------------------------------------------------- conditional writes

TEST_F(ContentHeaders, ConditionalWritesOnPutCopyAndComplete) {
  ASSERT_EQ(req("PUT", "/bkt/source", {}, "source bytes").status, 200);
  const std::string etag = "\"" + qt::md5_hex("old") + "\"";
  struct Case {
    const char *name;
    bool exists;
    std::string header;
    int status;
    const char *code;  // "" on success
  } cases[] = {
      {"create on a free key", false, "If-None-Match: *", 200, ""},
      {"create on a taken key", true, "If-None-Match: *", 412, "PreconditionFailed"},
      {"replace the version meant", true, "If-Match: " + etag, 200, ""},
      {"replace another version", true, "If-Match: \"0123456789abcdef0123456789abcdef\"", 412,
       "PreconditionFailed"},
      {"replace what is not there", false, "If-Match: " + etag, 404, "NoSuchKey"},
      {"If-Match * on a taken key", true, "If-Match: *", 200, ""},
  };
  int n = 0;
  for (const Case &c : cases) {
    for (const char *way : {"put", "copy", "complete"}) {
      SCOPED_TRACE(std::string(c.name) + " by " + way);
      std::string key = "k" + std::to_string(n++);
      if (c.exists) {
        ASSERT_EQ(req("PUT", "/bkt/" + key, {}, "old").status, 200);
      }
      qt::Response r;
      std::string wanted;
      if (std::string(way) == "put") {
        r = req("PUT", "/bkt/" + key, {c.header}, "new");
        wanted = "new";
      } else if (std::string(way) == "copy") {
        r = req("PUT", "/bkt/" + key, {c.header, "x-amz-copy-source: /bkt/source"});
        wanted = "source bytes";
      } else {
        r = multipart(key, {}, "parts", {c.header});
        wanted = "parts";
      }
      if (c.status == 200) {
        EXPECT_EQ(r.status, 200) << r.raw;
        EXPECT_EQ(qt::read_file(srv.path("bkt/" + key)), wanted);
        continue;
      }
      expect_code(r, c.status, c.code, c.status == 412 ? kPreMessage : "The specified key does not exist");
      EXPECT_EQ(qt::file_exists(srv.path("bkt/" + key)), c.exists);
      if (c.exists) {
        EXPECT_EQ(qt::read_file(srv.path("bkt/" + key)), "old");
      }
    }
  }
  // A write can only ask for a free key: If-None-Match with an entity tag is not supported.
  expect_code(req("PUT", "/bkt/etag-none", {"If-None-Match: " + etag}, "x"), 501, "NotImplemented");
  EXPECT_FALSE(qt::file_exists(srv.path("bkt/etag-none")));
  // Refused writes leave no temporary file behind.
  plat_dir *d = plat_dir_open(srv.path("bkt").c_str());
  ASSERT_TRUE(d);
  char name[256];
  int is_dir = 0;
  while (plat_dir_next(d, name, sizeof name, &is_dir) == 1) {
    EXPECT_NE(name[0], '.') << name;
  }
  plat_dir_close(d);
}

TEST_F(ContentHeaders, RacingCreatesExactlyOneWins) {
  constexpr int kClients = 8;
  std::vector<std::string> bodies;
  for (int i = 0; i < kClients; i++) bodies.push_back(qt::random_bytes(200000, 100 + i));
  std::vector<int> status(kClients, 0);
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; i++) {
    threads.emplace_back([&, i] {
      ready++;
      while (ready.load() < kClients) std::this_thread::yield();
      status[i] = qt::request(srv.port, "PUT", "/bkt/lock", {"If-None-Match: *"}, bodies[i]).status;
    });
  }
  for (std::thread &t : threads) t.join();
  int winners = 0, refused = 0, winner = -1;
  for (int i = 0; i < kClients; i++) {
    if (status[i] == 200) {
      winners++;
      winner = i;
    }
    if (status[i] == 412) refused++;
  }
  EXPECT_EQ(winners, 1);
  EXPECT_EQ(refused, kClients - 1);
  ASSERT_GE(winner, 0);
  EXPECT_TRUE(qt::read_file(srv.path("bkt/lock")) == bodies[winner]);
  EXPECT_EQ(req("HEAD", "/bkt/lock").header("ETag"), "\"" + qt::md5_hex(bodies[winner]) + "\"");
}

}  // namespace
