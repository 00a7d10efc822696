// Objects over raw HTTP against the real library: PutObject, CopyObject, GetObject, HeadObject,
// DeleteObject and GET ?tagging, checking the answers and the files they leave on disk.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fixture.h"
#include "harness.h"
#include "platform/platform.h"

namespace {

const char *kEmptyMd5 = "d41d8cd98f00b204e9800998ecf8427e";

class Objects : public qt::FreshServer {
 protected:
  void SetUp() override {
    for (const char *b : {"bkt", "dst", "src-bucket", "src"}) plat_mkdir(at(b).c_str());
  }
  qt::Response get(const std::string &target, const std::vector<std::string> &headers = {}) {
    return req("GET", target, headers);
  }
  qt::Response head(const std::string &target, const std::vector<std::string> &headers = {}) {
    return req("HEAD", target, headers);
  }
  qt::Response copy(const std::string &target, const std::string &source,
                    const std::vector<std::string> &more = {}, const std::string &body = "") {
    std::vector<std::string> h = {"x-amz-copy-source: " + source};
    h.insert(h.end(), more.begin(), more.end());
    return req("PUT", target, h, body);
  }
  std::string meta_file(const std::string &bucket_key) { return qt::read_record(at(".s3meta/" + bucket_key)); }
  // The record without its checksum line, for tests about the other lines; the line itself
  // must be there (every stored object keeps one).
  std::string meta_without_checksum(const std::string &bucket_key) {
    std::string m = meta_file(bucket_key);
    size_t at_line = m.find("\n+Checksum ");
    EXPECT_NE(at_line, std::string::npos) << bucket_key;
    if (at_line == std::string::npos) return m;
    size_t end = m.find('\n', at_line + 1);
    return m.erase(at_line + 1, end - at_line);
  }
  // Names in a directory that begin with "." (temporary files).
  std::vector<std::string> hidden_files(const std::string &rel) { return qt::dot_entries(at(rel)); }
};

std::string in_quotes(const std::string &s) { return "\"" + s + "\""; }

// An S3 error answer with this status, code and message.
void qa_expect_code(const qt::Response &r, int status, const std::string &code,
                    const std::string &message) {
  EXPECT_EQ(r.status, status) << r.raw;
  EXPECT_NE(r.body.find("<Code>" + code + "</Code>"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("<Message>" + message + "</Message>"), std::string::npos) << r.body;
}

TEST_F(Objects, PutStoresBodyAndMetadata) {
  // Empty body: empty file, the MD5 of nothing, no Content-Length on the answer.
  qt::Response r = put("/bkt/empty", "");
  ASSERT_EQ(r.status, 200) << r.raw;
  EXPECT_EQ(r.header("ETag"), in_quotes(kEmptyMd5));
  EXPECT_FALSE(r.has_header("Content-Length"));
  EXPECT_TRUE(qt::file_exists(server.path("bkt/empty")));
  EXPECT_EQ(qt::read_file(server.path("bkt/empty")), "");
  EXPECT_EQ(meta_file("bkt/empty"),
            std::string("\n") + kEmptyMd5 + "\n+Checksum CRC64NVME FULL_OBJECT AAAAAAAAAAA=\n");

  // A nested key makes its levels; a missing bucket is not made on the way.
  r = put("/newbkt/docs/2024/report.pdf", "%PDF-1.4");
  EXPECT_EQ(r.status, 404);
  EXPECT_FALSE(qt::dir_exists(server.path("newbkt")));
  ASSERT_EQ(qt::request(port(), "PUT", "/newbkt").status, 200);
  r = put("/newbkt/docs/2024/report.pdf", "%PDF-1.4");
  ASSERT_EQ(r.status, 200) << r.raw;
  EXPECT_EQ(qt::read_file(server.path("newbkt/docs/2024/report.pdf")), "%PDF-1.4");
  r = get("/newbkt/docs/2024/report.pdf");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "%PDF-1.4");
  EXPECT_EQ(r.header("Content-Type"), "application/pdf");
  EXPECT_EQ(r.header("ETag"), in_quotes(qt::md5_hex("%PDF-1.4")));

  // A key that names a directory level of a stored key is stored beside it.
  ASSERT_EQ(put("/bkt/docs/a", "1").status, 200);
  r = put("/bkt/docs", "x");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(get("/bkt/docs").body, "x");
  EXPECT_EQ(get("/bkt/docs/a").body, "1");
  EXPECT_TRUE(hidden_files("bkt").empty());
}

TEST_F(Objects, MetadataRoundTrip) {
  qt::Response r = put("/bkt/m.bin", "hello",
                       {"Content-Type: text/csv", "x-amz-meta-owner: ann", "x-amz-meta-color:  blue ",
                        "X-Amz-Meta-Size:\t10"});
  ASSERT_EQ(r.status, 200) << r.raw;
  EXPECT_EQ(meta_file("bkt/m.bin"), "text/csv\n" + qt::md5_hex("hello") +
                                        "\nx-amz-meta-owner:ann\nx-amz-meta-color:blue\nX-Amz-Meta-Size:10\n"
                                        "+Checksum CRC64NVME FULL_OBJECT M3eFcAZSQlc=\n");
  for (const char *method : {"GET", "HEAD"}) {
    r = qt::request(port(), method, "/bkt/m.bin");
    ASSERT_EQ(r.status, 200) << method;
    EXPECT_EQ(r.header("Content-Type"), "text/csv");
    EXPECT_EQ(r.header("Content-Length"), "5");
    EXPECT_NE((r.head + "\r\n").find("\r\nAccept-Ranges: bytes\r\nx-amz-meta-owner:ann\r\n"
                                     "x-amz-meta-color:blue\r\nX-Amz-Meta-Size:10\r\n"),
              std::string::npos)
        << r.head;
    EXPECT_EQ(r.body, std::string(method) == "GET" ? "hello" : "");
  }

  // A CR inside a metadata name must not smuggle a header of its own into the GET answer.
  ASSERT_EQ(put("/bkt/cr", "x", {"x-amz-meta-a\rSet-Cookie: evil", "x-amz-meta-ok: 1"}).status, 200);
  r = get("/bkt/cr");
  EXPECT_EQ(r.header("x-amz-meta-ok"), "1");
  EXPECT_FALSE(r.has_header("Set-Cookie")) << r.head;

  // Long user metadata: the block is cut at its limit, yet every head line stays a header.
  std::vector<std::string> hdrs;
  for (int i = 0; i < 5; i++)
    hdrs.push_back("x-amz-meta-" + std::to_string(i) + ": " + std::string(287, char('a' + i)));
  ASSERT_EQ(put("/bkt/long", "body", hdrs).status, 200);
  r = get("/bkt/long");
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "body");
  EXPECT_EQ(r.header("x-amz-meta-2"), std::string(287, 'c'));
  EXPECT_EQ(r.header("x-amz-meta-3"), std::string(104, 'd'));
  EXPECT_FALSE(r.has_header("x-amz-meta-4"));
  EXPECT_EQ(r.header("Content-Length"), "4");
  size_t pos = r.head.find("\r\n") + 2;
  while (pos < r.head.size()) {
    size_t end = r.head.find("\r\n", pos);
    if (end == std::string::npos) end = r.head.size();
    EXPECT_NE(r.head.substr(pos, end - pos).find(':'), std::string::npos) << r.head;
    pos = end + 2;
  }
}

TEST_F(Objects, FailedUploadsLeaveTheEarlierObject) {
  ASSERT_EQ(put("/bkt/k", "version one").status, 200);
  const std::string before = meta_file("bkt/k");

  qt::Response r = put("/bkt/k", "version two", {"x-amz-content-sha256: " + qt::sha256_hex("other")});
  EXPECT_EQ(r.status, 403);
  EXPECT_NE(r.body.find("<Code>XAmzContentSHA256Mismatch</Code>"), std::string::npos) << r.body;
  EXPECT_EQ(qt::read_file(server.path("bkt/k")), "version one");
  EXPECT_EQ(meta_file("bkt/k"), before);
  EXPECT_TRUE(hidden_files("bkt").empty());

  // The connection drops in the middle of the body.
  {
    qt::Conn c(port());
    ASSERT_TRUE(c.send("PUT /bkt/k HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\n" +
                       std::string(3000, 'z')));
  }
  // The server notices the drop when it next reads; its temporary file goes then.
  EXPECT_TRUE(qt::wait_until([&] { return hidden_files("bkt").empty(); }));
  r = get("/bkt/k");
  EXPECT_EQ(r.body, "version one");
  EXPECT_EQ(r.header("ETag"), in_quotes(qt::md5_hex("version one")));
}

TEST_F(Objects, CopySourceForms) {
  ASSERT_EQ(put("/src-bucket/a%20b.txt", "copy me", {"Content-Type: text/csv", "x-amz-meta-owner: ann"})
                .status,
            200);
  qt::set_mtime(server.path("src-bucket/a b.txt"), 1700000000);
  ASSERT_EQ(put("/dst/keep", "precious").status, 200);

  struct Case {
    const char *source;
    int status;
    const char *code;
  };
  const Case cases[] = {
      {"/src-bucket/a%20b.txt", 200, nullptr},
      {"src-bucket/a%20b.txt", 200, nullptr},
      {"///src-bucket/a%20b.txt", 200, nullptr},
      {"src-bucket", 400, "InvalidArgument"},
      {"/src-bucket/", 400, "InvalidArgument"},
      {"/src-bucket/missing.txt", 404, "NoSuchKey"},
      {"/nobucket/a%20b.txt", 404, "NoSuchKey"},
      {"/../etc/passwd", 400, "InvalidArgument"},
      // Dot segments are a key's own text: no such source key, and nothing outside is read.
      {"/src-bucket/a/../../x", 404, "NoSuchKey"},
      {"/src-bucket/a%2F..%2F..%2Fx", 404, "NoSuchKey"},
      {"/src-bucket/.", 404, "NoSuchKey"},
      {"/SRC-bucket/a%20b.txt", 400, "InvalidArgument"},
      {"/src-bucket/a%00b.txt", 400, "InvalidArgument"},
  };
  for (const Case &c : cases) {
    qt::Response r = copy("/dst/keep", c.source);
    EXPECT_EQ(r.status, c.status) << c.source << "\n" << r.raw;
    if (c.code) {
      EXPECT_NE(r.body.find(std::string("<Code>") + c.code + "</Code>"), std::string::npos) << c.source;
      EXPECT_EQ(qt::read_file(server.path("dst/keep")), "precious") << c.source;
    } else {
      EXPECT_EQ(qt::read_file(server.path("dst/keep")), "copy me") << c.source;
      EXPECT_EQ(r.header("Content-Type"), "application/xml");
      EXPECT_EQ(r.body, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<CopyObjectResult>\n  <ETag>\"" +
                            qt::md5_hex("copy me") +
                            "\"</ETag>\n  <LastModified>2023-11-14T22:13:20.000Z</LastModified>\n"
                            "  <ChecksumCRC64NVME>tOwQ3nucINE=</ChecksumCRC64NVME>\n"
                            "  <ChecksumType>FULL_OBJECT</ChecksumType>\n</CopyObjectResult>\n");
      ASSERT_EQ(put("/dst/keep", "precious").status, 200);
    }
  }
  qt::Response r = copy("/dst/keep", "/src-bucket/missing.txt");
  EXPECT_NE(r.body.find("<Message>The source key does not exist</Message>"), std::string::npos);
  r = copy("/dst/keep", "src-bucket");
  EXPECT_NE(r.body.find("<Message>Invalid copy source</Message>"), std::string::npos);
  EXPECT_TRUE(hidden_files("dst").empty());
  r = copy("/dst/x", "/src-bucket/a%20b.txt", {"x-amz-metadata-directive: MERGE"});
  qa_expect_code(r, 400, "InvalidArgument", "Unknown metadata directive.");
  EXPECT_FALSE(qt::file_exists(server.path("dst/x")));
}

TEST_F(Objects, CopyOntoItself) {
  ASSERT_EQ(put("/src-bucket/a%20b.txt", "copy me", {"Content-Type: text/csv", "x-amz-meta-owner: ann"})
                .status,
            200);
  qt::set_mtime(server.path("src-bucket/a b.txt"), 1700000000);
  qt::Response r;
  // Without changing anything: refused as S3 does, nothing touched.
  const std::string own_meta = "text/csv\n" + qt::md5_hex("copy me") + "\nx-amz-meta-owner:ann\n";
  for (const char *directive : {"", "x-amz-metadata-directive: COPY"}) {
    std::vector<std::string> h;
    if (*directive) h.push_back(directive);
    r = copy("/src-bucket/a%20b.txt", "/src-bucket/a%20b.txt", h, "hello");
    qa_expect_code(r, 400, "InvalidRequest",
                   "This copy request is illegal because it is trying to copy an object to itself "
                   "without changing the object's metadata, storage class, website redirect location "
                   "or encryption attributes.");
    EXPECT_EQ(meta_without_checksum("src-bucket/a b.txt"), own_meta);
  }
  // With REPLACE it rewrites the metadata; content stays, a body sent with the copy is dropped.
  r = copy("/src-bucket/a%20b.txt", "/src-bucket/a%20b.txt",
           {"x-amz-metadata-directive: REPLACE", "Content-Type: text/plain", "x-amz-meta-v: 2"}, "hello");
  EXPECT_EQ(r.status, 200) << r.raw;
  EXPECT_EQ(qt::read_file(server.path("src-bucket/a b.txt")), "copy me");
  EXPECT_EQ(meta_file("src-bucket/a b.txt"), "text/plain\n" + qt::md5_hex("copy me") +
                                                "\nx-amz-meta-v:2\n+Checksum CRC64NVME FULL_OBJECT tOwQ3nucINE=\n");
  EXPECT_NE(r.body.find("<LastModified>2023-11-14T22:13:20.000Z</LastModified>"), std::string::npos);
}

TEST_F(Objects, CopyMetadataDirective) {
  ASSERT_EQ(put("/src/typed.txt", "typed",
                {"Content-Type: text/csv", "x-amz-meta-owner: ann", "X-Amz-Meta-Tag: a:b"})
                .status,
            200);
  ASSERT_EQ(put("/src/untyped.txt", "untyped").status, 200);
  qt::write_file(server.path("src/placed"), "placed");
  qt::write_file(server.path("src/multi"), "multi");
  qt::write_file(server.path(".s3meta/src/multi"), "\nabcdef0123456789abcdef0123456789-2\n");
  const std::string typed = qt::md5_hex("typed");
  const std::string REPLACE = "x-amz-metadata-directive: REPLACE";

  struct Case {
    const char *source, *dest;
    std::vector<std::string> headers;
    const char *content_type;  // as GET answers it
    std::string meta;          // the destination's metadata file
  };
  const Case cases[] = {
      // COPY, the default: the source's content type and user metadata, whatever the request says.
      {"/src/typed.txt", "/dst/c1.bin", {}, "text/csv",
       "text/csv\n" + typed + "\nx-amz-meta-owner:ann\nX-Amz-Meta-Tag:a:b\n"},
      {"/src/typed.txt", "/dst/c2.bin", {"Content-Type: image/png", "x-amz-meta-owner: bob"}, "text/csv",
       "text/csv\n" + typed + "\nx-amz-meta-owner:ann\nX-Amz-Meta-Tag:a:b\n"},
      {"/src/typed.txt", "/dst/c3.bin", {"x-amz-metadata-directive: COPY"}, "text/csv",
       "text/csv\n" + typed + "\nx-amz-meta-owner:ann\nX-Amz-Meta-Tag:a:b\n"},
      // REPLACE: the request's content type and user metadata only.
      {"/src/typed.txt", "/dst/r1.bin", {REPLACE, "Content-Type: image/png", "x-amz-meta-owner: bob"},
       "image/png", "image/png\n" + typed + "\nx-amz-meta-owner:bob\n"},
      {"/src/typed.txt", "/dst/r2.json", {REPLACE}, "application/json",
       "application/json\n" + typed + "\n"},
      // The source recorded no content type: the record stays empty, GET guesses from the key.
      {"/src/untyped.txt", "/dst/c4.json", {}, "application/json", "\n" + qt::md5_hex("untyped") + "\n"},
      // No metadata file at the source: guessed from the destination key and recorded.
      {"/src/placed", "/dst/c5.json", {}, "application/json", "application/json\n" + qt::md5_hex("placed") + "\n"},
      // A multipart ETag is kept in the record; the answer carries the MD5 of the bytes.
      {"/src/multi", "/dst/c6", {}, "binary/octet-stream",
       "\nabcdef0123456789abcdef0123456789-2\n"},
  };
  for (const Case &c : cases) {
    qt::Response r = copy(c.dest, c.source, c.headers);
    ASSERT_EQ(r.status, 200) << c.dest << r.raw;
    EXPECT_EQ(meta_without_checksum("dst" + std::string(c.dest).substr(4)), c.meta) << c.dest;
    qt::Response g = get(c.dest);
    EXPECT_EQ(g.header("Content-Type"), c.content_type) << c.dest;
  }
  qt::Response g = get("/dst/c2.bin");
  EXPECT_EQ(g.header("x-amz-meta-owner"), "ann");
  EXPECT_EQ(g.header("X-Amz-Meta-Tag"), "a:b");
  qt::Response r = copy("/dst/c7", "/src/multi");
  EXPECT_NE(r.body.find("<ETag>\"" + qt::md5_hex("multi") + "\"</ETag>"), std::string::npos);
  EXPECT_EQ(get("/dst/c7").header("ETag"), "\"abcdef0123456789abcdef0123456789-2\"");
}

TEST_F(Objects, CopySourceConditions) {
  ASSERT_EQ(put("/src/c", "conditional").status, 200);
  qt::set_mtime(server.path("src/c"), 1714564800);  // Wed, 01 May 2024 12:00:00 GMT
  // A source without a recorded ETag is judged by the MD5 of its bytes.
  qt::write_file(server.path("src/placed"), "placed");
  const std::string etag = qt::md5_hex("conditional");
  const std::string BEFORE = "Tue, 30 Apr 2024 12:00:00 GMT", AT = "Wed, 01 May 2024 12:00:00 GMT";
  struct Case {
    const char *name, *source;
    std::vector<std::string> headers;
    int status;
  };
  const Case cases[] = {
      {"if-match holds", "/src/c", {"x-amz-copy-source-if-match: \"" + etag + "\""}, 200},
      {"if-match fails", "/src/c", {"x-amz-copy-source-if-match: \"other\""}, 412},
      {"if-match by MD5", "/src/placed", {"x-amz-copy-source-if-match: " + qt::md5_hex("placed")}, 200},
      {"if-none-match fails", "/src/c", {"x-amz-copy-source-if-none-match: \"" + etag + "\""}, 412},
      {"if-none-match holds", "/src/c", {"x-amz-copy-source-if-none-match: \"other\""}, 200},
      {"modified since before", "/src/c", {"x-amz-copy-source-if-modified-since: " + BEFORE}, 200},
      {"not modified since", "/src/c", {"x-amz-copy-source-if-modified-since: " + AT}, 412},
      {"unmodified since", "/src/c", {"x-amz-copy-source-if-unmodified-since: " + AT}, 200},
      {"modified after the date", "/src/c", {"x-amz-copy-source-if-unmodified-since: " + BEFORE}, 412},
      {"unreadable date ignored", "/src/c", {"x-amz-copy-source-if-unmodified-since: yesterday"}, 200},
      // If-Match true overrides If-Unmodified-Since false.
      {"match over unmodified", "/src/c",
       {"x-amz-copy-source-if-match: " + etag, "x-amz-copy-source-if-unmodified-since: " + BEFORE}, 200},
      // If-None-Match false wins over If-Modified-Since true.
      {"none-match over modified", "/src/c",
       {"x-amz-copy-source-if-none-match: " + etag, "x-amz-copy-source-if-modified-since: " + BEFORE}, 412},
  };
  for (const Case &c : cases) {
    ASSERT_EQ(put("/dst/keep", "precious").status, 200);
    qt::Response r = copy("/dst/keep", c.source, c.headers);
    EXPECT_EQ(r.status, c.status) << c.name << r.raw;
    if (c.status == 412) {
      qa_expect_code(r, 412, "PreconditionFailed",
                     "At least one of the pre-conditions you specified did not hold");
      EXPECT_EQ(qt::read_file(server.path("dst/keep")), "precious") << c.name;
    }
  }
}

TEST_F(Objects, RangeTable) {
  ASSERT_EQ(put("/bkt/ten", "0123456789").status, 200);
  ASSERT_EQ(put("/bkt/zero", "").status, 200);
  struct Case {
    const char *key, *range;
    int status;
    const char *body;           // for 206
    const char *content_range;  // for 206 and the GET 416
  };
  const Case cases[] = {
      {"ten", "bytes=2-5", 206, "2345", "bytes 2-5/10"},
      {"ten", "bytes=-3", 206, "789", "bytes 7-9/10"},
      {"ten", "bytes=-20", 206, "0123456789", "bytes 0-9/10"},
      {"ten", "bytes=8-", 206, "89", "bytes 8-9/10"},
      {"ten", "bytes=5-100", 206, "56789", "bytes 5-9/10"},
      {"ten", "BYTES=0-0", 206, "0", "bytes 0-0/10"},
      {"ten", "bytes=0-3,6-8", 206, "0123", "bytes 0-3/10"},
      {"ten", "bytes=-0", 416, nullptr, "bytes */10"},
      {"ten", "bytes=10-", 416, nullptr, "bytes */10"},
      {"ten", "bytes=10-12", 416, nullptr, "bytes */10"},
      // No valid byte range: ignored, the whole object is served.
      {"ten", "bytes=6-2", 200, "0123456789", ""},
      {"ten", "items=0-5", 200, "0123456789", ""},
      {"ten", "bytes=5", 200, "0123456789", ""},
      {"zero", "bytes=0-0", 416, nullptr, "bytes */0"},
      {"zero", "bytes=-1", 416, nullptr, "bytes */0"},
  };
  for (const Case &c : cases) {
    std::string target = std::string("/bkt/") + c.key;
    qt::Response r = get(target, {std::string("Range: ") + c.range});
    EXPECT_EQ(r.status, c.status) << c.range;
    EXPECT_EQ(r.header("Content-Range"), c.content_range) << c.range;
    if (c.status != 416) {
      EXPECT_EQ(r.body, c.body) << c.range;
      EXPECT_EQ(r.header("Content-Length"), std::to_string(strlen(c.body))) << c.range;
      EXPECT_EQ(r.header("ETag"), in_quotes(qt::md5_hex(std::string(c.key) == "ten" ? "0123456789" : "")));
    } else {
      EXPECT_NE(r.body.find("<Code>InvalidRange</Code>"), std::string::npos) << c.range;
    }
    // HEAD ignores a satisfiable range and has no Content-Range on its 416.
    qt::Response h = head(target, {std::string("Range: ") + c.range});
    EXPECT_EQ(h.status, c.status == 416 ? 416 : 200) << c.range;
    EXPECT_FALSE(h.has_header("Content-Range")) << c.range;
    if (c.status != 416) {
      EXPECT_EQ(h.header("Content-Length"), "10");
    }
  }
}

TEST_F(Objects, Preconditions) {
  ASSERT_EQ(put("/bkt/p.txt", "payload").status, 200);
  qt::set_mtime(server.path("bkt/p.txt"), 1714564800);  // Wed, 01 May 2024 12:00:00 GMT
  const std::string etag = qt::md5_hex("payload");
  const std::string LAST_MODIFIED = "Wed, 01 May 2024 12:00:00 GMT";
  const std::string BEFORE = "Tue, 30 Apr 2024 12:00:00 GMT";
  const std::string IMS = "If-Modified-Since: ", IUS = "If-Unmodified-Since: ";
  struct Case {
    const char *name;
    std::vector<std::string> headers;
    int status;
  };
  const Case cases[] = {
      {"none-match quoted", {"If-None-Match: \"" + etag + "\""}, 304},
      {"none-match star", {"If-None-Match: *"}, 304},
      {"none-match list", {"If-None-Match: W/\"" + etag + "\", \"other\""}, 304},
      {"none-match other", {"If-None-Match: \"other\""}, 200},
      {"match", {"If-Match: \"" + etag + "\""}, 200},
      {"match star", {"If-Match: *"}, 200},
      {"match other", {"If-Match: \"other\""}, 412},
      {"match near miss", {"If-Match: \"" + std::string(etag).replace(0, 1, "X") + "\""}, 412},
      {"match judged first", {"If-Match: \"other\"", "If-None-Match: \"" + etag + "\""}, 412},
      {"match then none-match", {"If-Match: \"" + etag + "\"", "If-None-Match: \"" + etag + "\""}, 304},
      // Dates, in the three HTTP forms.
      {"modified since before", {IMS + BEFORE}, 200},
      {"not modified since", {IMS + LAST_MODIFIED}, 304},
      {"not modified, RFC 850", {IMS + "Wednesday, 01-May-24 12:00:00 GMT"}, 304},
      {"not modified, asctime", {IMS + "Wed May  1 12:00:00 2024"}, 304},
      {"modified one second later", {IMS + "Wed, 01 May 2024 11:59:59 GMT"}, 200},
      {"unmodified since", {IUS + LAST_MODIFIED}, 200},
      {"modified after", {IUS + BEFORE}, 412},
      {"unreadable dates ignored", {IMS + "soon", IUS + "2024-05-01"}, 200},
      // S3's combinations: If-Match true overrides If-Unmodified-Since false, and If-None-Match
      // false overrides If-Modified-Since true.
      {"match over unmodified", {"If-Match: " + etag, IUS + BEFORE}, 200},
      {"none-match over modified", {"If-None-Match: " + etag, IMS + BEFORE}, 304},
      {"none-match true ignores modified-since", {"If-None-Match: other", IMS + LAST_MODIFIED}, 200},
      {"unmodified fails before none-match", {IUS + BEFORE, "If-None-Match: " + etag}, 412},
  };
  for (const Case &c : cases) {
    for (const char *method : {"GET", "HEAD"}) {
      qt::Response r = qt::request(port(), method, "/bkt/p.txt", c.headers);
      EXPECT_EQ(r.status, c.status) << method << " " << c.name;
      if (c.status == 304) {
        // A cache refreshes what it holds from these.
        EXPECT_EQ(r.body, "");
        EXPECT_EQ(r.header("ETag"), in_quotes(etag)) << method << " " << c.name;
        EXPECT_EQ(r.header("Last-Modified"), LAST_MODIFIED) << method << " " << c.name;
      }
      if (c.status == 412 && std::string(method) == "GET") {
        EXPECT_NE(r.body.find("<Code>PreconditionFailed</Code>"), std::string::npos);
      }
    }
  }
}

TEST_F(Objects, ReadFallbacksAndMissingKeys) {
  // Placed by other means: MD5 as ETag, type guessed from the key.
  qt::write_file(server.path("bkt/photo.JPG"), "jpegdata");
  qt::Response r = get("/bkt/photo.JPG");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.header("ETag"), in_quotes(qt::md5_hex("jpegdata")));
  EXPECT_EQ(r.header("Content-Type"), "image/jpeg");
  qt::set_mtime(server.path("bkt/photo.JPG"), 0);
  EXPECT_EQ(get("/bkt/photo.JPG").header("Last-Modified"), "Thu, 01 Jan 1970 00:00:00 GMT");

  // A larger object streams whole.
  const std::string big = qt::random_bytes(300000, 7);
  ASSERT_EQ(put("/bkt/big", big).status, 200);
  r = get("/bkt/big");
  EXPECT_EQ(r.body.size(), big.size());
  EXPECT_TRUE(r.body == big);
  r = get("/bkt/big", {"Range: bytes=70000-200000"});
  EXPECT_TRUE(r.body == big.substr(70000, 130001));

  qt::write_file(server.path("bkt/dir/inner"), "x");
  for (const char *target : {"/bkt/missing", "/nobucket/x", "/bkt/dir"}) {
    for (const char *method : {"GET", "HEAD"}) {
      r = qt::request(port(), method, target);
      EXPECT_EQ(r.status, 404) << method << target;
      // A HEAD is answered by the status line alone, as S3 does.
      if (std::string(method) == "HEAD")
        EXPECT_EQ(r.body, "") << target;
      else
        EXPECT_NE(r.body.find("<Message>The specified key does not exist</Message>"), std::string::npos)
            << target;
    }
  }
}

TEST_F(Objects, DeleteAndTagging) {
  ASSERT_EQ(put("/bkt/a/b", "nested").status, 200);
  ASSERT_EQ(put("/bkt/gone", "bye").status, 200);

  qt::Response t = get("/bkt/gone?tagging");
  EXPECT_EQ(t.status, 200);
  EXPECT_EQ(t.header("Content-Type"), "application/xml");
  EXPECT_EQ(t.body,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Tagging xmlns=\"http://s3.amazonaws.com/doc/"
            "2006-03-01/\"><TagSet></TagSet></Tagging>\n");
  EXPECT_EQ(t.header("Content-Length"), std::to_string(t.body.size()));
  t = get("/bkt/nothing?tagging");
  EXPECT_EQ(t.status, 404);
  EXPECT_NE(t.body.find("<Code>NoSuchKey</Code>"), std::string::npos);

  qt::Response r = qt::request(port(), "DELETE", "/bkt/gone");
  EXPECT_EQ(r.status, 204);
  EXPECT_EQ(r.body, "");
  EXPECT_FALSE(qt::file_exists(server.path("bkt/gone")));
  EXPECT_FALSE(qt::file_exists(server.path(".s3meta/bkt/gone")));
  EXPECT_EQ(get("/bkt/gone").status, 404);

  EXPECT_EQ(qt::request(port(), "DELETE", "/bkt/gone").status, 204);
  EXPECT_EQ(qt::request(port(), "DELETE", "/nobucket/x").status, 204);

  // A directory level of another object, or a directory left empty, holds no object: deleting
  // it deletes nothing, as for a missing key.
  r = qt::request(port(), "DELETE", "/bkt/a");
  EXPECT_EQ(r.status, 204);
  EXPECT_EQ(qt::read_file(server.path("bkt/a/b")), "nested");
  EXPECT_EQ(qt::request(port(), "DELETE", "/bkt/a/b").status, 204);
  EXPECT_TRUE(qt::dir_exists(server.path("bkt/a")));
  EXPECT_EQ(qt::request(port(), "DELETE", "/bkt/a").status, 204);
}

TEST_F(Objects, ConcurrentPutsNeverTear) {
  constexpr int kClients = 8, kRounds = 50;
  std::vector<std::string> payloads;
  std::set<std::string> etags;
  for (int c = 0; c < kClients; c++)
    for (int i = 0; i < kRounds; i++) {
      payloads.push_back(qt::random_bytes(20000 + size_t(c * 997 + i * 31), uint32_t(c * 1000 + i + 1)));
      etags.insert(qt::md5_hex(payloads.back()));
    }
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; c++) {
    threads.emplace_back([&, c] {
      for (int i = 0; i < kRounds; i++) {
        if (put("/bkt/hot", payloads[size_t(c * kRounds + i)]).status != 200) bad++;
        qt::Response g = get("/bkt/hot");
        std::string md5 = qt::md5_hex(g.body);
        if (g.status != 200 || !etags.count(md5) || g.header("ETag") != in_quotes(md5)) bad++;
      }
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_TRUE(hidden_files("bkt").empty());
}

// A storage root long enough that a legal key no longer fits in a path.
TEST(ObjectsLongRoot, KeyTooLongIsRefusedEverywhere) {
  std::string base = qt::make_temp_dir();
  std::string root = base;
  for (int i = 0; i < 4; i++) root += "/" + std::string(100, char('p' + i));
  qt::write_file(root + "/.keep", "");
  int port = qt::free_port();
  ASSERT_EQ(s3_server_start_ex(port, "127.0.0.1", root.c_str(), "", ""), 0) << s3_last_error();
  ASSERT_EQ(plat_mkdir((root + "/bkt").c_str()), 0);

  std::string key;
  for (int i = 0; i < 20; i++) key += (i ? "/" : "") + std::string(200, 'k');
  const std::string target = "/bkt/" + key;
  struct Case {
    const char *method;
    std::vector<std::string> headers;
    std::string body;
  };
  const Case cases[] = {
      {"PUT", {}, "data"},
      {"PUT", {"x-amz-copy-source: /bkt/short"}, ""},
      {"GET", {}, ""},
      {"HEAD", {}, ""},
      {"DELETE", {}, ""},
  };
  for (const Case &c : cases) {
    qt::Response r = qt::request(port, c.method, target, c.headers, c.body);
    EXPECT_EQ(r.status, 400) << c.method;
    if (std::string(c.method) != "HEAD")
    {
      EXPECT_NE(r.body.find("<Code>KeyTooLongError</Code>"), std::string::npos) << c.method;
      EXPECT_NE(r.body.find("<Message>Your key is too long</Message>"), std::string::npos) << c.method;
    }
  }
  qt::Response t = qt::request(port, "GET", target + "?tagging");
  EXPECT_EQ(t.status, 400);
  EXPECT_FALSE(qt::dir_exists(root + "/bkt/" + std::string(200, 'k')));
  s3_server_stop();
  qt::remove_tree(base);
}

}  // namespace
