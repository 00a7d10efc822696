// Unit tests of the answer writers: reason phrases, heads and error documents as sent over a
// loopback connection, request ids, XML escaping and the growable buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "http/response.h"
#include "platform/testing.h"

namespace {

// The answer context of a request that is no HEAD and adds no head lines.
const answer_context kPlain = {0, nullptr, ""};

// Runs a writer against one end of a loopback connection and returns every byte it sent.
template <typename Fn>
std::string capture(Fn write) {
  uint32_t lo = 0;
  EXPECT_EQ(plat_ipv4_parse("127.0.0.1", &lo), 0);
  plat_sock l = plat_tcp_socket();
  EXPECT_EQ(plat_sock_bind(l, lo, 0), 0);
  EXPECT_EQ(plat_sock_listen(l, 4), 0);
  plat_sock c = plat_tcp_connect(lo, plat_sock_local_port(l));
  plat_sock srv = plat_sock_accept(l);
  plat_sock_close(l);
  std::string got;
  std::thread reader([&] {
    char buf[65536];
    long n;
    while ((n = plat_sock_recv(c, buf, sizeof buf)) > 0) got.append(buf, size_t(n));
  });
  write(srv);
  http_flush_held();  // as the end of every request does
  plat_sock_close(srv);
  reader.join();
  plat_sock_close(c);
  return got;
}

// Replaces the Date and x-amz-request-id values, which change from call to call.
std::string mask(std::string head) {
  head = std::regex_replace(head, std::regex("Date: [^\r]*"), "Date: *");
  head = std::regex_replace(head, std::regex("x-amz-request-id: [0-9a-f]{32}"), "x-amz-request-id: *");
  return std::regex_replace(head, std::regex("<RequestId>[0-9a-f]{32}</RequestId>"),
                            "<RequestId>ID</RequestId>");
}

TEST(Reason, Phrases) {
  const std::pair<int, const char *> cases[] = {
      {200, "OK"},
      {201, "Created"},
      {204, "No Content"},
      {206, "Partial Content"},
      {303, "See Other"},
      {304, "Not Modified"},
      {400, "Bad Request"},
      {403, "Forbidden"},
      {404, "Not Found"},
      {405, "Method Not Allowed"},
      {409, "Conflict"},
      {411, "Length Required"},
      {412, "Precondition Failed"},
      {416, "Range Not Satisfiable"},
      {500, "Internal Server Error"},
      {501, "Not Implemented"},
      {503, "Service Unavailable"},
      // A status without a phrase of its own keeps its class's.
      {299, "OK"},
      {499, "Bad Request"},
      {599, "Internal Server Error"},
  };
  for (const auto &c : cases) EXPECT_STREQ(http_reason(c.first), c.second) << c.first;
}

TEST(Heads, ExactLines) {
  std::string h204 = capture([](plat_sock s) { http_send_headers(s, &kPlain, 204, "", 0, 0); });
  EXPECT_EQ(mask(h204),
            "HTTP/1.1 204 No Content\r\nServer: quillmar-s3/1.2.3\r\nDate: *\r\n"
            "x-amz-request-id: *\r\nConnection: close\r\n\r\n");
  std::string with_len = capture([](plat_sock s) { http_send_headers(s, &kPlain, 200, "A: b\r\n", 42, 1); });
  EXPECT_EQ(mask(with_len),
            "HTTP/1.1 200 OK\r\nServer: quillmar-s3/1.2.3\r\nDate: *\r\nx-amz-request-id: *\r\n"
            "Content-Length: 42\r\nA: b\r\nConnection: close\r\n\r\n");
  std::string obj = capture(
      [](plat_sock s) { http_send_obj_headers(s, &kPlain, 206, "text/plain", 18446744073709551615ull, nullptr); });
  EXPECT_EQ(mask(obj),
            "HTTP/1.1 206 Partial Content\r\nServer: quillmar-s3/1.2.3\r\nDate: *\r\nx-amz-request-id: *\r\n"
            "Content-Type: text/plain\r\nContent-Length: 18446744073709551615\r\n"
            "Connection: close\r\n\r\n");
  std::regex date("Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), \\d\\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|"
                  "Sep|Oct|Nov|Dec) \\d{4} \\d\\d:\\d\\d:\\d\\d GMT\r\n");
  EXPECT_TRUE(std::regex_search(obj, date)) << obj;
}

TEST(Heads, LongBlocksWholeOrNothing) {
  // An extra block far beyond the 2048-byte head buffer still goes out whole.
  std::string extra;
  for (int i = 0; i < 40; i++) extra += "x-amz-meta-k" + std::to_string(i) + ": " + std::string(100, 'v') + "\r\n";
  std::string got = capture([&](plat_sock s) { http_send_obj_headers(s, &kPlain, 200, "a/b", 5, extra.c_str()); });
  ASSERT_GT(got.size(), 4000u);
  EXPECT_NE(got.find(extra + "Connection: close\r\n\r\n"), std::string::npos);
  EXPECT_EQ(got.find("\r\n\r\n"), got.size() - 4);
  // A last line without its CR LF is ended before the closing line.
  got = capture([](plat_sock s) { http_send_headers(s, &kPlain, 200, "ETag: \"x\"", 0, 0); });
  EXPECT_NE(got.find("ETag: \"x\"\r\nConnection: close\r\n\r\n"), std::string::npos);
  // Fixed lines beyond the buffer (only a content type can do that) send nothing at all.
  std::string type(2100, 't');
  got = capture([&](plat_sock s) { http_send_obj_headers(s, &kPlain, 200, type.c_str(), 0, ""); });
  EXPECT_EQ(got, "");
}

TEST(ErrorDocument, ExactBytesAndEscapedResource) {
  std::string got = capture([](plat_sock s) {
    send_error(s, &kPlain, 404, "NoSuchKey", "The specified key does not exist.", "/b/a&<>\"'", nullptr);
  });
  size_t split = got.find("\r\n\r\n");
  ASSERT_NE(split, std::string::npos);
  std::string head = got.substr(0, split + 4), body = got.substr(split + 4);
  const std::string want_body =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Error>\n  <Code>NoSuchKey</Code>\n"
      "  <Message>The specified key does not exist.</Message>\n"
      "  <Resource>/b/a&amp;&lt;&gt;&quot;&apos;</Resource>\n  <RequestId>ID</RequestId>\n"
      "  <HostId>quillmars3localhost</HostId>\n</Error>\n";
  EXPECT_EQ(mask(body), want_body);
  EXPECT_EQ(mask(head), "HTTP/1.1 404 Not Found\r\nServer: quillmar-s3/1.2.3\r\nDate: *\r\n"
                        "x-amz-request-id: *\r\nContent-Length: " +
                            std::to_string(body.size()) +
                            "\r\nContent-Type: application/xml\r\nConnection: close\r\n\r\n");
  // The RequestId is the id the head carries.
  size_t at = head.find("x-amz-request-id: ");
  ASSERT_NE(at, std::string::npos);
  std::string id = head.substr(at + 18, 32);
  EXPECT_NE(body.find("<RequestId>" + id + "</RequestId>"), std::string::npos) << got;

  got = capture([](plat_sock s) {
    send_error(s, &kPlain, 416, "InvalidRange", "The requested range is not satisfiable", "/b/k",
               "Content-Range: bytes */10\r\n");
  });
  EXPECT_NE(got.find("\r\nContent-Type: application/xml\r\nContent-Range: bytes */10\r\n"
                     "Connection: close\r\n\r\n"),
            std::string::npos);
}

// The answer to a HEAD is the head a GET would get, Content-Length included, and nothing more.
TEST(ErrorDocument, HeadAnswerStopsAtTheHead) {
  auto write = [](plat_sock s, const answer_context *a) {
    send_error(s, a, 404, "NoSuchKey", "The specified key does not exist.", "/b/k", nullptr);
    http_write_all(s, a, "more", 4);
  };
  auto plain = [&](plat_sock s) { write(s, &kPlain); };
  std::string get = capture(plain);
  const answer_context head_only = {1, nullptr, ""};
  std::string head = capture([&](plat_sock s) { write(s, &head_only); });
  size_t split = get.find("\r\n\r\n");
  ASSERT_NE(split, std::string::npos);
  EXPECT_EQ(mask(get.substr(0, split + 4)), mask(head));
  EXPECT_NE(get.find("</Error>\nmore"), std::string::npos) << get;
  // The mark belongs to the request's context: another request's answers carry their bodies.
  EXPECT_EQ(capture(plain).size(), get.size());
}

// The head lines of the request's context follow the writer's own lines in every head, error
// heads and the heads of a HEAD included, and come before the closing line.
TEST(AnswerContext, RequestLinesInEveryHead) {
  const char *cors = "Access-Control-Allow-Origin: http://app.test\r\nVary: Origin\r\n";
  const answer_context with_lines = {0, cors, ""};
  const answer_context head_with_lines = {1, cors, ""};
  const std::string tail = std::string(cors) + "Connection: close\r\n\r\n";
  std::string got = capture([&](plat_sock s) { http_send_headers(s, &with_lines, 200, "A: b\r\n", 0, 0); });
  EXPECT_NE(got.find("\r\nA: b\r\n" + tail), std::string::npos) << got;
  got = capture([&](plat_sock s) { http_send_obj_headers(s, &with_lines, 200, "a/b", 1, nullptr); });
  EXPECT_NE(got.find("\r\nContent-Length: 1\r\n" + tail), std::string::npos) << got;
  got = capture([&](plat_sock s) {
    send_error(s, &head_with_lines, 403, "AccessDenied", "Access Denied", "/b", "A: b\r\n");
  });
  EXPECT_NE(got.find("\r\nContent-Type: application/xml\r\nA: b\r\n" + tail), std::string::npos) << got;
  EXPECT_EQ(got.find("\r\n\r\n"), got.size() - 4) << "a HEAD's error is its head alone";
}

TEST(RequestId, FormatAndDistinct) {
  std::set<std::string> seen;
  std::regex hex32("[0-9a-f]{32}");
  for (int i = 0; i < 1000; i++) {
    char id[33];
    EXPECT_EQ(request_id(id), id);
    EXPECT_TRUE(std::regex_match(id, hex32)) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 1000u);
  // Concurrent callers each get a finished id of their own.
  std::vector<std::thread> threads;
  std::vector<std::string> ids(8 * 500);
  for (int t = 0; t < 8; t++)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; i++) {
        char id[33];
        ids[size_t(t * 500 + i)] = request_id(id);
      }
    });
  for (auto &th : threads) th.join();
  std::set<std::string> all(ids.begin(), ids.end());
  EXPECT_EQ(all.size(), ids.size());
  for (const auto &id : ids) EXPECT_TRUE(std::regex_match(id, hex32));
}

TEST(XmlEscape, EntitiesAndCuts) {
  char out[64];
  xml_escape_str("a&b<c>d\"e'f\x01\xc3\xa9", out, sizeof out);
  EXPECT_STREQ(out, "a&amp;b&lt;c&gt;d&quot;e&apos;f\x01\xc3\xa9");
  std::string amps(10000, '&');
  std::vector<char> big(4352);
  xml_escape_str(amps.c_str(), big.data(), big.size());
  std::string cut(big.data());
  EXPECT_LT(cut.size(), 4352u);
  EXPECT_EQ(cut.size() % 5, 0u);
  EXPECT_EQ(cut.size(), 4345u);  // 869 whole entities: the next needs 11 free bytes
  for (size_t i = 0; i < cut.size(); i += 5) ASSERT_EQ(cut.compare(i, 5, "&amp;"), 0);
  char tiny[10];
  xml_escape_str("abc", tiny, sizeof tiny);
  EXPECT_STREQ(tiny, "");
  char twelve[12];
  xml_escape_str("abc", twelve, sizeof twelve);
  EXPECT_STREQ(twelve, "ab");
}

TEST(Dynbuf, AppendGrowPrintf) {
  dynbuf_guard g;
  dynbuf *b = &g.b;
  ASSERT_NE(b->data, nullptr);
  EXPECT_EQ(b->cap, 4096u);
  EXPECT_EQ(b->len, 0u);
  EXPECT_STREQ(b->data, "");
  EXPECT_EQ(dynbuf_append(b, nullptr, 5), 0u);
  EXPECT_EQ(dynbuf_append(b, "hello", 5), 5u);
  EXPECT_EQ(dynbuf_append(b, "xyz", 1), 1u);
  EXPECT_STREQ(b->data, "hellox");
  // A count beyond the capacity is taken as the text's own length.
  EXPECT_EQ(dynbuf_append(b, "ab", 100000), 2u);
  EXPECT_STREQ(b->data, "helloxab");
  std::string k(4090, 'k');
  EXPECT_EQ(dynbuf_append(b, k.c_str(), k.size()), k.size());
  EXPECT_EQ(b->cap, 8192u);
  EXPECT_EQ(b->len, 8 + k.size());
  EXPECT_EQ(b->data[b->len], 0);

  EXPECT_EQ(dynbuf_printf(b, "%s", ""), 1);
  EXPECT_EQ(dynbuf_printf(b, "<%d>", 42), 1);
  EXPECT_EQ(std::string(b->data + b->len - 4), "<42>");
  size_t before = b->len;
  std::string five(5000, 'f');
  EXPECT_EQ(dynbuf_printf(b, "%s", five.c_str()), 0);
  EXPECT_EQ(b->len - before, 4599u);
  EXPECT_EQ(b->failed, 0);

  EXPECT_EQ(dynbuf_append_escaped(b, "a&<b"), 1);
  EXPECT_EQ(std::string(b->data + b->len - 11), "a&amp;&lt;b");
}

TEST(Dynbuf, GrowthDoublesAndStopsAt512MiB) {
  dynbuf b;
  dynbuf_init(&b);
  ASSERT_NE(b.data, nullptr);
  std::string big(40000, 'o');
  EXPECT_EQ(dynbuf_append(&b, big.c_str(), big.size()), big.size());
  EXPECT_EQ(b.cap, 65536u);  // 4096 doubled until the text and its NUL fit
  // A buffer already at 512 MiB refuses to grow and keeps its text. The state is staged (the
  // real allocation stays small): the refusal happens before anything is copied.
  size_t real_cap = b.cap, real_len = b.len;
  b.cap = size_t(536870912);
  b.len = b.cap - 1;
  EXPECT_EQ(dynbuf_append(&b, "x", 1), 0u);
  EXPECT_EQ(b.failed, 1);
  b.cap = real_cap;
  b.len = real_len;
  EXPECT_EQ(b.data[b.len], 0);
  EXPECT_EQ(std::string(b.data), big);
  dynbuf_free(&b);
  EXPECT_EQ(b.data, nullptr);
}

}  // namespace
