// Body framing and answer shapes against the real library, over raw HTTP: what frames a body
// (the payload hash and decoded length, never Content-Encoding), streams without a length or
// cut before their end, HEAD answers that stop at the head, and the status lines' phrases.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"
#include "platform/platform.h"
#include "signer.h"

namespace {

const char kAccess[] = "AKIDFRAMINGTEST00001";
const char kSecret[] = "framingTestSecret/0123456789abcdefghijk";
constexpr int kWait = 60000;  // generous bound for a sanitizer build on a busy machine

std::string host(int port) { return "Host: 127.0.0.1:" + std::to_string(port); }

// A raw request: request line, Host, the given lines, the body; nothing added.
std::string raw(int port, const std::string &line, const std::vector<std::string> &headers,
                const std::string &body = "") {
  std::string out = line + " HTTP/1.1\r\n" + host(port) + "\r\n";
  for (const std::string &h : headers) out += h + "\r\n";
  return out + "\r\n" + body;
}

// The names in a directory, hidden ones included.
std::vector<std::string> entries(const std::string &dir) {
  std::vector<std::string> out;
  plat_dir *d = plat_dir_open(dir.c_str());
  if (!d) return out;
  char name[512];
  int is_dir = 0;
  while (plat_dir_next(d, name, sizeof name, &is_dir) == 1) out.push_back(name);
  plat_dir_close(d);
  return out;
}

std::string cl(const std::string &body) { return "Content-Length: " + std::to_string(body.size()); }

// A PUT signed as a client sends it: the payload hash is the body's digest, every header signed.
std::string signed_put(int port, const std::string &target, const std::string &body,
                       const std::vector<std::pair<std::string, std::string>> &extra) {
  return qt::sign_request(
      qt::client_signed("127.0.0.1:" + std::to_string(port), kAccess, kSecret, "PUT", target, body, extra));
}

std::string signed_get(int port, const std::string &method, const std::string &target) {
  return qt::sign_request(qt::client_signed("127.0.0.1:" + std::to_string(port), kAccess, kSecret, method, target));
}

// Content-Encoding says how the object is encoded: an ordinary body sent with aws-chunked in
// it is stored as sent, answered at once, and the token is not kept as the object's coding.
TEST(Framing, ContentEncodingNeverFramesTheBody) {
  qt::Server srv(kAccess, kSecret);
  ASSERT_EQ(plat_mkdir(srv.path("bkt").c_str()), 0);
  struct Case {
    const char *encoding;
    std::string body;
    const char *kept;  // "" = no Content-Encoding answered
  } cases[] = {
      {"aws-chunked", "plain text, not a chunk stream", ""},
      {"gzip, aws-chunked", std::string("\x1f\x8b\x08\x00 gzip bytes", 15), "gzip"},
      {"AWS-CHUNKED", "", ""},
      // A body that looks like a chunk stream is still the object's data.
      {"aws-chunked", "5;chunk-signature=x\r\nhello\r\n0;chunk-signature=y\r\n\r\n", ""},
  };
  int n = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.encoding);
    std::string key = "/bkt/enc" + std::to_string(n++);
    qt::Response put = qt::send_raw(srv.port, signed_put(srv.port, key, c.body, {{"Content-Encoding", c.encoding}}), kWait);
    ASSERT_EQ(200, put.status) << put.raw;
    EXPECT_TRUE(qt::read_file(srv.path(key.substr(1))) == c.body);
    EXPECT_EQ("\"" + qt::md5_hex(c.body) + "\"", put.header("ETag"));
    qt::Response head = qt::send_raw(srv.port, signed_get(srv.port, "HEAD", key), kWait);
    ASSERT_EQ(200, head.status) << head.raw;
    EXPECT_EQ(c.kept[0] != 0, head.has_header("Content-Encoding")) << head.head;
    EXPECT_EQ(c.kept, head.header("Content-Encoding"));
  }
}

// What announces a stream is the payload hash or a decoded length; without either, chunk lines
// are data.
TEST(Framing, StreamAnnouncedByHashOrDecodedLength) {
  qt::Server srv;
  ASSERT_EQ(plat_mkdir(srv.path("bkt").c_str()), 0);
  const std::string stream = "5;x=1\r\nhello\r\n0;x=1\r\n\r\n";
  struct Case {
    const char *name;
    std::vector<std::string> headers;
    std::string stored;
  } cases[] = {
      {"decoded_length", {"x-amz-decoded-content-length: 5"}, "hello"},
      {"streaming_hash", {"x-amz-content-sha256: STREAMING-AWS4-HMAC-SHA256-PAYLOAD"}, "hello"},
      {"unsigned_payload_and_encoding", {"x-amz-content-sha256: UNSIGNED-PAYLOAD", "Content-Encoding: aws-chunked"},
       stream},
      {"digest_beside_decoded_length",
       {"x-amz-content-sha256: " + qt::sha256_hex(stream), "x-amz-decoded-content-length: 5"}, stream},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> h = c.headers;
    h.push_back(cl(stream));
    std::string key = std::string("bkt/") + c.name;
    qt::Response r = qt::send_raw(srv.port, raw(srv.port, "PUT /" + key, h, stream), kWait);
    ASSERT_EQ(200, r.status) << r.raw;
    EXPECT_EQ(c.stored, qt::read_file(srv.path(key)));
  }
}

// A stream with nothing to carry it is refused before its body is asked for, and no empty
// object takes the key's place.
TEST(Framing, StreamWithoutLengthIs411) {
  qt::Server srv;
  ASSERT_EQ(plat_mkdir(srv.path("bkt").c_str()), 0);
  qt::write_file(srv.path("bkt/kept"), "earlier");
  const std::vector<std::string> modes[] = {
      {"x-amz-content-sha256: STREAMING-UNSIGNED-PAYLOAD-TRAILER"},
      {"x-amz-content-sha256: STREAMING-AWS4-HMAC-SHA256-PAYLOAD", "Content-Encoding: aws-chunked"},
      {"x-amz-decoded-content-length: 5", "Expect: 100-continue"},
  };
  for (const auto &h : modes) {
    SCOPED_TRACE(h[0]);
    for (const char *target : {"/bkt/new", "/bkt/kept", "/bkt/up?partNumber=1&uploadId=abc"}) {
      qt::Response r = qt::send_raw(srv.port, raw(srv.port, std::string("PUT ") + target, h), kWait);
      EXPECT_EQ("HTTP/1.1 411 Length Required", r.status_line) << target;
      EXPECT_NE(std::string::npos, r.body.find("<Code>MissingContentLength</Code>")) << r.raw;
      EXPECT_EQ(std::string::npos, r.raw.find("100 Continue"));
    }
    EXPECT_FALSE(qt::file_exists(srv.path("bkt/new")));
    EXPECT_EQ("earlier", qt::read_file(srv.path("bkt/kept")));
  }
}

// A stream that ends before its terminal chunk, however it ends, is not an object: 400
// IncompleteBody, and the key keeps what it held.
TEST(Framing, StreamCutBeforeTerminalChunkIsIncomplete) {
  qt::Server srv;
  ASSERT_EQ(plat_mkdir(srv.path("bkt").c_str()), 0);
  struct Case {
    const char *name;
    const char *hash;   // x-amz-content-sha256
    bool http_chunked;  // carried by Transfer-Encoding: chunked, else by Content-Length
    std::string sent;   // the body bytes sent before the client stops sending
    size_t length;      // Content-Length announced (0: the bytes sent)
  } cases[] = {
      {"unsigned_empty_line", "STREAMING-UNSIGNED-PAYLOAD-TRAILER", false, "5\r\nhello\r\n\r\n", 0},
      {"unsigned_input_ends_in_data", "STREAMING-UNSIGNED-PAYLOAD-TRAILER", false, "5\r\nhel", 40},
      {"unsigned_input_ends_after_chunk", "STREAMING-UNSIGNED-PAYLOAD-TRAILER", false, "5\r\nhello\r\n", 40},
      {"unchecked_signed_empty_line", "STREAMING-AWS4-HMAC-SHA256-PAYLOAD", false,
       "5;chunk-signature=" + std::string(64, 'a') + "\r\nhello\r\n\r\n", 0},
      {"http_chunked_ends_first", "STREAMING-UNSIGNED-PAYLOAD-TRAILER", true, "a\r\n5\r\nhello\r\n\r\n0\r\n\r\n", 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    qt::write_file(srv.path("bkt/obj"), "earlier");
    std::vector<std::string> h = {std::string("x-amz-content-sha256: ") + c.hash, "Content-Encoding: aws-chunked"};
    if (c.http_chunked)
      h.push_back("Transfer-Encoding: chunked");
    else
      h.push_back("Content-Length: " + std::to_string(c.length ? c.length : c.sent.size()));
    qt::Conn conn(srv.port);
    ASSERT_TRUE(conn.send(raw(srv.port, "PUT /bkt/obj", h, c.sent)));
    conn.shutdown_send();
    std::string answer = conn.recv_all(kWait);
    EXPECT_EQ(0u, answer.find("HTTP/1.1 400 Bad Request\r\n")) << answer;
    EXPECT_NE(std::string::npos, answer.find("<Code>IncompleteBody</Code>")) << answer;
    EXPECT_EQ("earlier", qt::read_file(srv.path("bkt/obj")));
  }
  // Only the object's own file remains: no draft of the cut body is left behind.
  EXPECT_EQ(std::vector<std::string>{"obj"}, entries(srv.path("bkt")));
}

// One server at a time: the cases of a table that need keys run against a second one.
struct AnswerCase {
  bool keyed;
  std::string method_target;
  std::vector<std::string> headers;
  const char *status_line;
};

template <typename Check>
void with_servers(const std::vector<AnswerCase> &cases, Check check) {
  for (bool keyed : {false, true}) {
    qt::Server srv(keyed ? kAccess : "", keyed ? kSecret : "");
    ASSERT_EQ(plat_mkdir(srv.path("bkt").c_str()), 0);
    ASSERT_EQ(plat_mkdir(srv.path("full").c_str()), 0);
    qt::write_file(srv.path("bkt/obj"), "0123456789");
    qt::write_file(srv.path("bkt/gone"), "x");
    qt::write_file(srv.path("full/x"), "x");
    for (const AnswerCase &c : cases)
      if (c.keyed == keyed) {
        SCOPED_TRACE(c.method_target + " " + c.status_line);
        check(srv, c);
      }
  }
}

// An answer to HEAD is its head alone, errors included: the server closes right after it.
TEST(Framing, HeadAnswersCarryNoBody) {
  const std::vector<AnswerCase> cases = {
      {false, "/bkt/obj", {}, "HTTP/1.1 200 OK"},
      {false, "/bkt", {}, "HTTP/1.1 200 OK"},
      {false, "/bkt/missing", {}, "HTTP/1.1 404 Not Found"},
      {false, "/nobucket", {}, "HTTP/1.1 404 Not Found"},
      {false, "/", {}, "HTTP/1.1 405 Method Not Allowed"},
      {false, "/bkt/obj?uploadId=abc", {}, "HTTP/1.1 405 Method Not Allowed"},
      {false, "/bkt/obj", {"If-Match: \"other\""}, "HTTP/1.1 412 Precondition Failed"},
      {false, "/bkt/obj", {"If-None-Match: *"}, "HTTP/1.1 304 Not Modified"},
      {false, "/bkt/obj", {"Range: bytes=20-30"}, "HTTP/1.1 416 Range Not Satisfiable"},
      {false, "/bkt/obj", {"Content-Length: x"}, "HTTP/1.1 400 Bad Request"},
      {true, "/bkt", {}, "HTTP/1.1 403 Forbidden"},
      {true, "/bkt/obj", {}, "HTTP/1.1 403 Forbidden"},
  };
  with_servers(cases, [](const qt::Server &srv, const AnswerCase &c) {
    qt::Response r = qt::send_raw(srv.port, raw(srv.port, "HEAD " + c.method_target, c.headers), kWait);
    EXPECT_EQ(c.status_line, r.status_line);
    EXPECT_EQ("", r.body) << r.raw;
    EXPECT_EQ(r.head.size() + 4, r.raw.size()) << r.raw;
  });
}

// Every status line carries the phrase of its own status.
TEST(Framing, ReasonPhrases) {
  const std::vector<AnswerCase> cases = {
      {false, "GET /bkt/obj", {}, "HTTP/1.1 200 OK"},
      {false, "DELETE /bkt/gone", {}, "HTTP/1.1 204 No Content"},
      {false, "GET /bkt/obj", {"Range: bytes=2-4"}, "HTTP/1.1 206 Partial Content"},
      {false, "GET /bkt/obj", {"If-None-Match: *"}, "HTTP/1.1 304 Not Modified"},
      {false, "PUT /Bad_Name", {"Content-Length: 0"}, "HTTP/1.1 400 Bad Request"},
      {true, "GET /", {}, "HTTP/1.1 403 Forbidden"},
      {false, "GET /bkt/missing", {}, "HTTP/1.1 404 Not Found"},
      {false, "PATCH /bkt/obj", {}, "HTTP/1.1 405 Method Not Allowed"},
      {false, "DELETE /full", {}, "HTTP/1.1 409 Conflict"},
      {false, "PUT /bkt/new", {"x-amz-content-sha256: STREAMING-UNSIGNED-PAYLOAD-TRAILER"},
       "HTTP/1.1 411 Length Required"},
      {false, "GET /bkt/obj", {"If-Match: \"other\""}, "HTTP/1.1 412 Precondition Failed"},
      {false, "GET /bkt/obj", {"Range: bytes=20-30"}, "HTTP/1.1 416 Range Not Satisfiable"},
  };
  with_servers(cases, [](const qt::Server &srv, const AnswerCase &c) {
    qt::Response r = qt::send_raw(srv.port, raw(srv.port, c.method_target, c.headers), kWait);
    EXPECT_EQ(c.status_line, r.status_line) << r.raw;
  });
}

}  // namespace
