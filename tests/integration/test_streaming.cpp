// Streamed uploads against the real library: signed aws-chunked PUTs built by an independent
// signer (Python), the recorded JS SDK uploads (aws-chunked inside HTTP chunked), and the
// checksum answers, checking the answers and the files they leave on disk.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "harness.h"
#include "platform/platform.h"

namespace {

const char kAccess[] = "AKIDSTREAMTEST000001";
const char kSecret[] = "streamTestSecret/0123456789abcdefghijkl";

std::string alphabet_payload(size_t n) {
  std::string s;
  while (s.size() < n) s += "abcdefghijklmnopqrstuvwxyz";
  return s.substr(0, n);
}

// Signed streamed PUTs of size bytes to path-MODE, one per mode, from
// tests/integration/stream_request.py; the file of each mode is out + "." + mode.
std::string signed_requests(int port, const std::string &path, size_t size, size_t chunk, const std::string &modes) {
  std::string out = qt::make_temp_dir() + "/req";
  std::string cmd = std::string("python3 ") + QUILLMAR_SOURCE_DIR + "/tests/integration/stream_request.py " + out +
                    " " + std::to_string(port) + " " + kAccess + " '" + kSecret + "' " + path + " " +
                    std::to_string(size) + " " + std::to_string(chunk) + " " + modes;
  if (qt::run_command(cmd) != 0) return "";
  return out;
}

TEST(SignedStream, StoredOnlyWhenEveryChunkVerifies) {
  qt::Server srv(kAccess, kSecret);
  ASSERT_EQ(plat_mkdir(srv.path("bkt").c_str()), 0);
  const size_t size = 150000;
  const std::string payload = alphabet_payload(size);
  std::string out = signed_requests(srv.port, "/bkt/obj", size, 65536, "signed,trailer,tamper,cut");
  ASSERT_FALSE(out.empty()) << "the independent signer (python3) failed";
  struct Case {
    const char *mode;
    int status;
    const char *code;
  } cases[] = {{"signed", 200, ""},
               {"trailer", 200, ""},
               {"tamper", 403, "SignatureDoesNotMatch"},
               {"cut", 400, "IncompleteBody"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.mode);
    std::string key = std::string("obj-") + c.mode;
    qt::Response r = qt::send_raw(srv.port, qt::read_file(out + "." + c.mode));
    ASSERT_EQ(c.status, r.status) << r.raw.substr(0, 600);
    if (c.status == 200) {
      EXPECT_TRUE(qt::read_file(srv.path("bkt/" + key)) == payload);
      EXPECT_EQ("\"" + qt::md5_hex(payload) + "\"", r.header("ETag"));
    } else {
      EXPECT_NE(std::string::npos, r.body.find(std::string("<Code>") + c.code + "</Code>"));
      EXPECT_FALSE(qt::file_exists(srv.path("bkt/" + key)));
    }
  }
  qt::remove_tree(out.substr(0, out.size() - 4));
}

// The recorded JS SDK stream uploads: HTTP chunked framing around unsigned aws-chunked framing
// with a checksum trailer. Their signatures are from the time of capture, so the server runs
// without keys here.
void each_jssdk_stream(const std::function<void(const std::string &, const std::string &)> &fn) {
  const char *dirs[] = {"jssdk/06-put-readstream-small", "jssdk/08-put-readstream-contentlength",
                        "jssdk/12-put-stream-sha256", "jssdk-extra/05-stream-content-encoding-gzip"};
  for (const char *d : dirs) {
    std::string dir = qt::data_dir() + "/requests/" + d;
    plat_dir *h = plat_dir_open(dir.c_str());
    ASSERT_TRUE(h) << dir;
    char name[256];
    int is_dir = 0;
    while (plat_dir_next(h, name, sizeof name, &is_dir) == 1) {
      std::string n = name;
      if (n.size() > 4 && n.compare(n.size() - 4, 4, ".req") == 0) fn(dir + "/" + n, qt::read_file(dir + "/" + n));
    }
    plat_dir_close(h);
  }
}

std::string target_key(const std::string &req) {
  size_t sp = req.find(' '), q = req.find_first_of("? ", sp + 1);
  return req.substr(sp + 2, q - sp - 2);  // "bucket/key"
}

TEST(UnsignedStream, RecordedJsSdkUploadsStoreTheirPayload) {
  qt::Server srv;
  int seen = 0;
  each_jssdk_stream([&](const std::string &path, const std::string &req) {
    SCOPED_TRACE(path);
    seen++;
    std::string bucket = target_key(req).substr(0, target_key(req).find('/'));
    plat_mkdir(srv.path(bucket).c_str());
    qt::Response r = qt::send_raw(srv.port, req);
    ASSERT_EQ(200, r.status) << r.raw;
    std::string stored = qt::read_file(srv.path(target_key(req)));
    size_t at = req.find("x-amz-decoded-content-length: ");
    ASSERT_NE(std::string::npos, at);
    EXPECT_EQ(req.substr(at + 30, req.find('\r', at) - at - 30), std::to_string(stored.size()));
    EXPECT_EQ("\"" + qt::md5_hex(stored) + "\"", r.header("ETag"));
    qt::Response g = qt::request(srv.port, "GET", "/" + target_key(req));
    EXPECT_EQ(200, g.status);
    EXPECT_TRUE(g.body == stored);
  });
  EXPECT_EQ(4, seen);
  EXPECT_EQ("hello wire capture\n", qt::read_file(srv.path("js-bkt/stream-small.txt")));
}

TEST(UnsignedStream, WrongTrailerChecksumKeepsTheEarlierObject) {
  qt::Server srv;
  std::string req = qt::read_file(qt::data_dir() +
                                  "/requests/jssdk/06-put-readstream-small/0006_06-put-readstream-small_PutObject.req");
  ASSERT_FALSE(req.empty()) << "capture missing under " << qt::data_dir();
  ASSERT_EQ(plat_mkdir(srv.path("js-bkt").c_str()), 0);
  ASSERT_EQ(200, qt::send_raw(srv.port, req).status);
  size_t at = req.find("x-amz-checksum-crc32:/kvDnA==");
  ASSERT_NE(std::string::npos, at);
  std::string bad = req;
  bad[at + 22] = 'A';
  qt::Response r = qt::send_raw(srv.port, bad);
  EXPECT_EQ(400, r.status);
  EXPECT_NE(std::string::npos, r.body.find("<Code>BadDigest</Code>"));
  EXPECT_EQ("hello wire capture\n", qt::read_file(srv.path("js-bkt/stream-small.txt")));
}

TEST(HeaderChecksums, MismatchesAnswerBadDigest) {
  qt::Server srv;
  ASSERT_EQ(plat_mkdir(srv.path("bkt").c_str()), 0);
  struct Case {
    std::string header;
    int status;
    const char *message;
  } cases[] = {
      {"x-amz-checksum-crc32: DUoRhQ==", 200, ""},
      {"x-amz-checksum-crc32: DUoRhA==", 400, "The CRC32 you specified did not match the calculated checksum."},
      {"Content-MD5: XrY7u+Ae7tCTyyK7j1rNww==", 200, ""},
      {"Content-MD5: XrY7u+Ae7tCTyyK7j1rNxw==", 400, "The Content-MD5 you specified did not match what we received."},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.header);
    qt::Response r = qt::request(srv.port, "PUT", "/bkt/hw", {c.header}, "hello world");
    ASSERT_EQ(c.status, r.status) << r.raw;
    if (c.status != 200) {
      EXPECT_NE(std::string::npos, r.body.find("<Code>BadDigest</Code>"));
      EXPECT_NE(std::string::npos, r.body.find(c.message));
    }
  }
}

}  // namespace
