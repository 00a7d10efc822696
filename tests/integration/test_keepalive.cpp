// Persistent connections: many requests in turn on one connection, each answer framed exactly
// (none after HEAD, 204 and 304), the close a client asks for or a body left unread forces,
// pipelined requests answered in order, and the close of an idle connection.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/date.h"
#include "digest/hash.h"
#include "fixture.h"
#include "harness.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "quillmar-s3.h"
#include "signer.h"

namespace {

// One connection that reads answers one at a time, keeping what arrived beyond each.
struct Client {
  qt::Conn conn;
  std::string pending;
  explicit Client(int port) : conn(port) {}

  // The next whole answer (head_request: it answers a HEAD); status 0 when none came.
  qt::Response next(bool head_request = false) {
    uint32_t start = plat_tick_ms();
    for (;;) {
      size_t n = qt::answer_length(pending, head_request);
      if (n) {
        qt::Response r = qt::parse_response(pending.substr(0, n));
        pending.erase(0, n);
        return r;
      }
      if (plat_tick_ms() - start > uint32_t(qt::kEventBoundMs)) return qt::Response{};
      std::string more = conn.recv_some(qt::kEventBoundMs);
      if (more.empty()) return qt::Response{};
      pending += more;
    }
  }
  qt::Response ask(const std::string &bytes, bool head_request = false) {
    EXPECT_TRUE(conn.send(bytes));
    return next(head_request);
  }
  // The server closed the connection and sent nothing more.
  bool closed() { return pending.empty() && conn.closed_without_data(qt::kEventBoundMs); }
};

std::string plain(const std::string &method, const std::string &target,
                  const std::string &body = "", const std::string &extra = "",
                  const std::string &version = "HTTP/1.1") {
  std::string req = method + " " + target + " " + version + "\r\nHost: 127.0.0.1\r\n" + extra;
  if (!body.empty() || method == "PUT") req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return req + "\r\n" + body;
}

class KeepAlive : public qt::SharedServer {};

TEST_F(KeepAlive, HundredRequestsOnOneConnectionAnsweredInOrder) {
  ASSERT_EQ(put("/ka-hundred", "").status, 200);
  Client c(port());
  for (int i = 0; i < 50; i++) {
    qt::Response r = c.ask(plain("PUT", "/ka-hundred/k" + std::to_string(i), "body-" + std::to_string(i)));
    ASSERT_EQ(r.status, 200) << i << r.raw;
    EXPECT_TRUE(r.header("Connection").empty()) << r.head;
  }
  for (int i = 0; i < 50; i++) {
    qt::Response r = c.ask(plain("GET", "/ka-hundred/k" + std::to_string(i)));
    ASSERT_EQ(r.status, 200) << i;
    EXPECT_EQ(r.body, "body-" + std::to_string(i));
  }
  // The server's own count saw one connection carry them all.
  std::string stats = s3_get_stats_json();
  size_t at = stats.find("\"most_requests_per_connection\":");
  ASSERT_NE(at, std::string::npos) << stats;
  EXPECT_GE(std::stoull(stats.substr(at + 31)), 100u) << stats;
}

// What the client says decides whether the connection outlives the answer.
TEST_F(KeepAlive, ConnectionHeaderAndVersionHonoured) {
  struct Case {
    const char *version;
    const char *extra;
    bool kept;
    const char *says;  // the answer's Connection header
  } cases[] = {
      {"HTTP/1.1", "", true, ""},
      {"HTTP/1.1", "Connection: close\r\n", false, "close"},
      {"HTTP/1.1", "Connection: Keep-Alive, CLOSE\r\n", false, "close"},
      {"HTTP/1.0", "", false, "close"},
      {"HTTP/1.0", "Connection: keep-alive\r\n", true, "keep-alive"},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(std::string(k.version) + " " + k.extra);
    Client c(port());
    qt::Response r = c.ask(plain("GET", "/", "", k.extra, k.version));
    ASSERT_EQ(r.status, 200) << r.raw;
    EXPECT_EQ(r.header("Connection"), k.says);
    if (k.kept)
      EXPECT_EQ(c.ask(plain("GET", "/")).status, 200);
    else
      EXPECT_TRUE(c.closed());
  }
}

// Answers without a body (HEAD, 204, 304) leave the connection exactly at the next answer.
TEST_F(KeepAlive, BodilessAnswersKeepTheFraming) {
  ASSERT_EQ(put("/ka-bodiless", "").status, 200);
  qt::Response stored = put("/ka-bodiless/obj", "0123456789");
  ASSERT_EQ(stored.status, 200);
  const std::string etag = stored.header("ETag");
  struct Case {
    std::string request;
    bool head;
    int status;
  } cases[] = {
      {plain("HEAD", "/ka-bodiless/obj"), true, 200},
      {plain("HEAD", "/ka-bodiless/missing"), true, 404},
      {plain("GET", "/ka-bodiless/obj", "", "If-None-Match: " + etag + "\r\n"), false, 304},
      {plain("DELETE", "/ka-bodiless/gone"), false, 204},
  };
  Client c(port());
  for (const Case &k : cases) {
    SCOPED_TRACE(k.request);
    qt::Response r = c.ask(k.request, k.head);
    EXPECT_EQ(r.status, k.status) << r.raw;
    EXPECT_TRUE(r.body.empty());
    qt::Response after = c.ask(plain("GET", "/ka-bodiless/obj"));
    EXPECT_EQ(after.status, 200) << after.raw;
    EXPECT_EQ(after.body, "0123456789");
  }
}

// Two requests in one send (the second behind a PUT's body) are answered in order.
TEST_F(KeepAlive, PipelinedRequestsAnsweredInOrder) {
  ASSERT_EQ(put("/ka-pipe", "").status, 200);
  Client c(port());
  ASSERT_TRUE(c.conn.send(plain("PUT", "/ka-pipe/a", "first body") + plain("GET", "/ka-pipe/a") +
                          plain("GET", "/ka-pipe/none")));
  EXPECT_EQ(c.next().status, 200);
  qt::Response got = c.next();
  EXPECT_EQ(got.status, 200);
  EXPECT_EQ(got.body, "first body");
  EXPECT_EQ(c.next().status, 404);
  EXPECT_EQ(c.ask(plain("GET", "/ka-pipe/a")).body, "first body");
}

// An idle connection is closed by the server, without a word.
TEST_F(KeepAlive, IdleConnectionClosed) {
  Client c(port());
  ASSERT_EQ(c.ask(plain("GET", "/")).status, 200);
  EXPECT_TRUE(c.closed());
}

constexpr char kAccess[] = "AKIDKEEPALIVE0000001";
constexpr char kSecret[] = "keepAliveSecret/abcdefghijklmnopqrstuvwxyz";

// A body refused before it was read leaves the connection's position unknown: the answer says
// so and the connection closes; the next connection is served as usual.
TEST(KeepAliveUnread, UnreadBodyClosesTheConnection) {
  qt::Server server(kAccess, kSecret);
  Client c(server.port);
  ASSERT_TRUE(c.conn.send("PUT /bucket/key HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                          "Content-Length: 100000\r\n\r\n" + std::string(1000, 'x')));
  qt::Response r = c.next();
  EXPECT_EQ(r.status, 403) << r.raw;
  EXPECT_EQ(r.header("Connection"), "close");
  EXPECT_TRUE(c.closed());
  std::string host = "127.0.0.1:" + std::to_string(server.port);
  qt::Response ok = qt::send_raw(server.port,
                                 qt::sign_request(qt::client_signed(host, kAccess, kSecret, "GET", "/")));
  EXPECT_EQ(ok.status, 200) << ok.raw;
}

// An IPv4 address 127.0.0.n in network order, as the platform's socket calls take it.
uint32_t loopback(unsigned n) {
  const unsigned char bytes[4] = {127, 0, 0, (unsigned char)n};
  uint32_t be;
  memcpy(&be, bytes, sizeof be);
  return be;
}

// Reads one whole answer from s within the bound; status 0 when none came.
qt::Response answer_on(plat_sock s, int bound_ms) {
  std::string got;
  uint32_t start = plat_tick_ms();
  for (;;) {
    size_t n = qt::answer_length(got, false);
    if (n) return qt::parse_response(got.substr(0, n));
    uint32_t spent = plat_tick_ms() - start;
    if (spent >= uint32_t(bound_ms) || plat_sock_wait_readable(s, bound_ms - int(spent)) != 1)
      return qt::Response{};
    char buf[4096];
    long r = plat_sock_recv(s, buf, sizeof buf);
    if (r <= 0) return qt::Response{};
    got.append(buf, size_t(r));
  }
}

// One client address cannot hold every worker: with more uploads from 127.0.0.2 stalled in
// their bodies than there are workers, a request from 127.0.0.3 is answered promptly (not
// after the stalled reads time out), and every stalled upload is answered once its body comes.
TEST(KeepAliveShare, OneAddressCannotHoldEveryWorker) {
  qt::Server server;
  ASSERT_EQ(qt::request(server.port, "PUT", "/share").status, 200);
  const int stalled_count = 128 + 16;
  std::vector<plat_sock> stalled;
  for (int i = 0; i < stalled_count; i++) {
    plat_sock s = plat_tcp_connect_from(loopback(2), loopback(1), server.port);
    ASSERT_NE(s, PLAT_BAD_SOCK) << "connection " << i << " from 127.0.0.2";
    stalled.push_back(s);
    std::string head = "PUT /share/k" + std::to_string(i) +
                       " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 1\r\n\r\n";
    ASSERT_EQ(plat_sock_send(s, head.data(), head.size()), long(head.size()));
  }
  plat_sock other = plat_tcp_connect_from(loopback(3), loopback(1), server.port);
  ASSERT_NE(other, PLAT_BAD_SOCK);
  const std::string get = "GET /share HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  ASSERT_EQ(plat_sock_send(other, get.data(), get.size()), long(get.size()));
  qt::Response r = answer_on(other, qt::kPromptMs);
  EXPECT_EQ(r.status, 200) << "the other address waited: " << r.raw;
  plat_sock_close(other);
  for (plat_sock s : stalled) EXPECT_EQ(plat_sock_send(s, "x", 1), 1);
  for (int i = 0; i < stalled_count; i++) {
    EXPECT_EQ(answer_on(stalled[i], qt::kEventBoundMs).status, 200) << "upload " << i;
    plat_sock_close(stalled[i]);
  }
}

// A Signature Version 2 header for a request without body or x-amz-* headers, signed now.
std::string v2_head(const std::string &method, const std::string &path, const std::string &secret) {
  char date[64];
  format_rfc1123(plat_time_now(), date);
  std::string sts = method + "\n\n\n" + date + "\n" + path;
  unsigned char mac[20];
  hmac_sha1(secret.data(), secret.size(), sts.data(), sts.size(), mac);
  char sig[32];
  base64_encode(mac, sizeof mac, sig);
  return std::string("Date: ") + date + "\r\nAuthorization: AWS " + kAccess + ":" + sig + "\r\n";
}

// With keys on, one connection carries signed requests of both versions, the reads a public
// bucket serves without credentials, tag changes, and the refusals of each: every answer,
// refusals' documents included, is framed exactly, so the next one is read where it starts.
TEST(KeepAliveKeyed, PublicReadsSignaturesAndRefusalsShareOneConnection) {
  qt::Server server(kAccess, kSecret);
  std::string host = "127.0.0.1:" + std::to_string(server.port);
  auto v4 = [&](const std::string &method, const std::string &target, const std::string &body = "") {
    return qt::sign_request(qt::client_signed(host, kAccess, kSecret, method, target, body));
  };
  const std::string policy =
      "{\"Version\":\"2012-10-17\",\"Statement\":[{\"Effect\":\"Allow\",\"Principal\":\"*\","
      "\"Action\":\"s3:GetObject\",\"Resource\":\"arn:aws:s3:::ka-pub/*\"}]}";
  const std::string tags =
      "<Tagging><TagSet><Tag><Key>k</Key><Value>v</Value></Tag></TagSet></Tagging>";
  struct Step {
    std::string bytes;
    int status;
    const char *code;  // the error document's code, "" for none
    bool head = false;
  } steps[] = {
      {v4("PUT", "/ka-pub"), 200, ""},
      {v4("PUT", "/ka-pub/cat.txt", "meow"), 200, ""},
      {v4("PUT", "/ka-pub?policy", policy), 204, ""},
      {plain("GET", "/ka-pub/cat.txt"), 200, ""},
      {plain("HEAD", "/ka-pub/cat.txt"), 200, "", true},
      {plain("GET", "/ka-pub/absent"), 403, "AccessDenied"},
      {plain("HEAD", "/ka-pub/absent"), 403, "", true},
      {plain("GET", "/ka-pub/cat.txt?response-content-type=x/y"), 400, "InvalidRequest"},
      {plain("GET", "/ka-pub"), 403, "AccessDenied"},
      {plain("GET", "/ka-pub/cat.txt", "", v2_head("GET", "/ka-pub/cat.txt", kSecret)), 200, ""},
      {plain("GET", "/ka-pub/cat.txt", "", v2_head("GET", "/ka-pub/cat.txt", "wrong")), 403,
       "SignatureDoesNotMatch"},
      {plain("GET", "/ka-pub/cat.txt?AWSAccessKeyId=" + std::string(kAccess) +
                        "&Expires=1000&Signature=AAAA"),
       403, "AccessDenied"},
      {v4("PUT", "/ka-pub/cat.txt?tagging", tags), 200, ""},
      {v4("GET", "/ka-pub/cat.txt?tagging"), 200, ""},
      {v4("DELETE", "/ka-pub/cat.txt?tagging"), 204, ""},
      {plain("GET", "/ka-pub/cat.txt"), 200, ""},
  };
  Client c(server.port);
  for (const Step &s : steps) {
    SCOPED_TRACE(s.bytes.substr(0, s.bytes.find("\r\n")));
    qt::Response r = c.ask(s.bytes, s.head);
    ASSERT_EQ(r.status, s.status) << r.raw;
    EXPECT_TRUE(r.header("Connection").empty()) << r.head;
    if (s.code[0]) {
      EXPECT_NE(r.body.find(std::string("<Code>") + s.code + "</Code>"), std::string::npos) << r.body;
      EXPECT_EQ(r.body.substr(r.body.size() - 9), "</Error>\n");
    }
    if (s.status == 200 && s.bytes.rfind("GET /ka-pub/cat.txt HTTP", 0) == 0) {
      EXPECT_EQ(r.body, "meow");
    }
  }
  EXPECT_TRUE(c.pending.empty());
}

}  // namespace
