// Checksums end to end: each algorithm through PutObject (header, named only, trailer), what GET
// and HEAD answer in checksum mode, multipart uploads with composite and full-object checksums,
// CopyObject and GetObjectAttributes. Expected values come from a bitwise CRC and SHA-256 of
// the test's own, never from the server's code.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "answers.h"
#include "harness.h"
#include "platform/platform.h"

namespace {

std::string b64(const std::string &raw) {
  static const char k[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < raw.size(); i += 3) {
    uint32_t v = (uint32_t)(unsigned char)raw[i] << 16;
    if (i + 1 < raw.size()) v |= (uint32_t)(unsigned char)raw[i + 1] << 8;
    if (i + 2 < raw.size()) v |= (unsigned char)raw[i + 2];
    out += k[(v >> 18) & 63];
    out += k[(v >> 12) & 63];
    out += i + 1 < raw.size() ? k[(v >> 6) & 63] : '=';
    out += i + 2 < raw.size() ? k[v & 63] : '=';
  }
  return out;
}

struct Algo {
  const char *name;     // "CRC32"
  const char *header;   // "x-amz-checksum-crc32"
  const char *element;  // "ChecksumCRC32"
  uint64_t poly;        // reflected polynomial; 0 for SHA-256
  int width;
};
const Algo CRC32 = {"CRC32", "x-amz-checksum-crc32", "ChecksumCRC32", 0xEDB88320u, 32};
const Algo CRC32C = {"CRC32C", "x-amz-checksum-crc32c", "ChecksumCRC32C", 0x82F63B78u, 32};
const Algo CRC64 = {"CRC64NVME", "x-amz-checksum-crc64nvme", "ChecksumCRC64NVME",
                    0x9A6C9329AC4BC9B5ULL, 64};
const Algo SHA256 = {"SHA256", "x-amz-checksum-sha256", "ChecksumSHA256", 0, 256};

// The raw digest of data: a bitwise CRC (big-endian bytes) or SHA-256.
std::string raw_digest(const Algo &a, const std::string &data) {
  if (!a.poly) {
    std::string hex = qt::sha256_hex(data), raw;
    for (size_t i = 0; i < 64; i += 2) raw += char(std::stoi(hex.substr(i, 2), nullptr, 16));
    return raw;
  }
  const uint64_t mask = a.width == 64 ? ~0ULL : 0xFFFFFFFFULL;
  uint64_t c = mask;
  for (unsigned char ch : data) {
    c ^= ch;
    for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ a.poly : c >> 1;
  }
  c ^= mask;
  std::string raw;
  for (int i = a.width / 8 - 1; i >= 0; i--) raw += char((c >> (8 * i)) & 0xFF);
  return raw;
}
std::string value(const Algo &a, const std::string &data) { return b64(raw_digest(a, data)); }

// The value of element in xml ("" when absent).
std::string element(const std::string &xml, const std::string &name) {
  std::smatch m;
  if (!std::regex_search(xml, m, std::regex("<" + name + ">([^<]*)</" + name + ">"))) return "";
  return m[1];
}

class Checksums : public qt::SharedServer {
 protected:
  void SetUp() override {
    for (const char *b : {"ck-put", "ck-mp", "ck-copy", "ck-attr", "ck-trail", "ck-tag"})
      plat_mkdir((root() + "/" + b).c_str());
  }
  // Starts an upload with the algorithm and type (either may be ""): its id.
  std::string start(const std::string &key, const std::string &algo, const std::string &type) {
    std::vector<std::string> h;
    if (!algo.empty()) h.push_back("x-amz-checksum-algorithm: " + algo);
    if (!type.empty()) h.push_back("x-amz-checksum-type: " + type);
    return initiate("ck-mp/" + key, h);
  }
};

TEST_F(Checksums, PutObjectStoresAndAnswersEachAlgorithm) {
  const std::string data = "hello world";
  struct Case {
    const char *header;
    const char *good;
    const char *bad;
  } cases[] = {
      {"x-amz-checksum-crc32", "DUoRhQ==", "DUoRhA=="},
      {"x-amz-checksum-crc32c", "yZRlqg==", "yZRlqw=="},
      {"x-amz-checksum-crc64nvme", "jSnVw/bqjr4=", "jSnVw/bqjr8="},
      {"x-amz-checksum-sha1", "Kq5sNclPz7QV2+lfQIuc6R7oRu0=", "Kq5sNclPz7QV2+lfQIuc6R7oRu8="},
      {"x-amz-checksum-sha256", "uU0nuZNNPgilLlLX2n2r+sSE7+N6U4DukIj3rOLvzek=",
       "uU0nuZNNPgilLlLX2n2r+sSE7+N6U4DukIj3rOLvzeg="},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.header);
    const std::string key = std::string("/ck-put/") + c.header;
    qt::Response bad = put(key, data, {std::string(c.header) + ": " + c.bad});
    EXPECT_EQ(400, bad.status);
    EXPECT_NE(std::string::npos, bad.body.find("<Code>BadDigest</Code>"));
    EXPECT_FALSE(qt::file_exists(at("ck-put/") + c.header));

    qt::Response ok = put(key, data, {std::string(c.header) + ": " + c.good});
    ASSERT_EQ(200, ok.status) << ok.raw;
    EXPECT_EQ(c.good, ok.header(c.header));
    EXPECT_EQ("FULL_OBJECT", ok.header("x-amz-checksum-type"));

    // Named only: the server computes it.
    std::string algo = std::string(c.header).substr(15);
    for (auto &ch : algo) ch = (char)toupper(ch);
    qt::Response named = put(key + "-named", data, {"x-amz-sdk-checksum-algorithm: " + algo});
    ASSERT_EQ(200, named.status);
    EXPECT_EQ(c.good, named.header(c.header));

    for (const char *method : {"GET", "HEAD"}) {
      qt::Response g = req(method, key, {"x-amz-checksum-mode: ENABLED"});
      EXPECT_EQ(c.good, g.header(c.header)) << method;
      EXPECT_EQ("FULL_OBJECT", g.header("x-amz-checksum-type"));
    }
    EXPECT_FALSE(req("GET", key).has_header(c.header));
    EXPECT_FALSE(req("GET", key, {"x-amz-checksum-mode: ENABLED", "Range: bytes=0-3"}).has_header(c.header));
  }
  // No algorithm named: CRC64NVME, as for every new object.
  qt::Response plain = put("/ck-put/plain", data);
  EXPECT_EQ("jSnVw/bqjr4=", plain.header("x-amz-checksum-crc64nvme"));
  EXPECT_EQ("jSnVw/bqjr4=",
            req("HEAD", "/ck-put/plain", {"x-amz-checksum-mode: ENABLED"}).header("x-amz-checksum-crc64nvme"));
  // A name that is no algorithm is refused before anything is stored.
  EXPECT_EQ(400, put("/ck-put/odd", data, {"x-amz-sdk-checksum-algorithm: MD4"}).status);
  EXPECT_FALSE(qt::file_exists(at("ck-put/odd")));
}

// Unsigned aws-chunked uploads with the checksum in a trailer, as the SDKs send by default.
TEST_F(Checksums, TrailersOfEachAlgorithmAreVerifiedAndStored) {
  const std::string data = "hello world";
  struct Case {
    const char *header;
    const char *good;
  } cases[] = {
      {"x-amz-checksum-crc32", "DUoRhQ=="},
      {"x-amz-checksum-crc32c", "yZRlqg=="},
      {"x-amz-checksum-crc64nvme", "jSnVw/bqjr4="},
      {"x-amz-checksum-sha1", "Kq5sNclPz7QV2+lfQIuc6R7oRu0="},
      {"x-amz-checksum-sha256", "uU0nuZNNPgilLlLX2n2r+sSE7+N6U4DukIj3rOLvzek="},
  };
  auto send = [&](const std::string &key, const std::string &trailer, const std::string &v) {
    std::string body = "b\r\n" + data + "\r\n0\r\n" + trailer + ":" + v + "\r\n\r\n";
    return req("PUT", "/ck-trail/" + key,
               {"x-amz-content-sha256: STREAMING-UNSIGNED-PAYLOAD-TRAILER",
                "Content-Encoding: aws-chunked", "x-amz-decoded-content-length: 11",
                "x-amz-trailer: " + trailer},
               body);
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.header);
    std::string wrong = c.good;
    wrong[1] = wrong[1] == 'A' ? 'B' : 'A';
    qt::Response bad = send(c.header, c.header, wrong);
    EXPECT_EQ(400, bad.status) << bad.raw;
    EXPECT_FALSE(qt::file_exists(at("ck-trail/") + c.header));
    qt::Response ok = send(c.header, c.header, c.good);
    ASSERT_EQ(200, ok.status) << ok.raw;
    EXPECT_EQ(c.good, ok.header(c.header));
    EXPECT_EQ(data, qt::read_file(at("ck-trail/") + c.header));
    EXPECT_EQ(c.good, req("GET", std::string("/ck-trail/") + c.header,
                          {"x-amz-checksum-mode: ENABLED"}).header(c.header));
  }
}

// Parts of sizes that include empty and one-byte parts; the object's checksum is checked
// against one computed over the whole object (full object) or over the part digests
// (composite), through Complete, GET in checksum mode, a part's GET and GetObjectAttributes.
TEST_F(Checksums, MultipartCompositeAndFullObject) {
  struct Case {
    const Algo *a;
    const char *type;
  } cases[] = {{&CRC32, "FULL_OBJECT"}, {&CRC32C, "FULL_OBJECT"}, {&CRC64, "FULL_OBJECT"},
               {&CRC32, "COMPOSITE"},   {&CRC32C, "COMPOSITE"},   {&SHA256, "COMPOSITE"}};
  const std::vector<std::vector<size_t>> layouts = {
      {1}, {0}, {5, 0, 7}, {1, 1, 1}, {70000, 1, 0, 65536, 3}};
  int n = 0;
  for (const Case &c : cases) {
    for (const auto &sizes : layouts) {
      const std::string key = "o" + std::to_string(n++);
      SCOPED_TRACE(std::string(c.a->name) + " " + c.type + " " + key);
      std::string id = start(key, c.a->name, c.type);
      ASSERT_FALSE(id.empty());
      std::string whole, digests, xml = "<CompleteMultipartUpload>";
      std::vector<std::string> part_values;
      for (size_t i = 0; i < sizes.size(); i++) {
        std::string data = qt::random_bytes(sizes[i], (uint32_t)(n * 31 + i));
        whole += data;
        digests += raw_digest(*c.a, data);
        std::string pn = std::to_string(i + 1);
        qt::Response p = req("PUT", "/ck-mp/" + key + "?partNumber=" + pn + "&uploadId=" + id, {}, data);
        ASSERT_EQ(200, p.status) << p.raw;
        EXPECT_EQ(value(*c.a, data), p.header(c.a->header));
        part_values.push_back(value(*c.a, data));
        xml += "<Part><PartNumber>" + pn + "</PartNumber><ETag>" + p.header("ETag") + "</ETag><" +
               c.a->element + ">" + value(*c.a, data) + "</" + c.a->element + "></Part>";
      }
      xml += "</CompleteMultipartUpload>";
      qt::Response lp = req("GET", "/ck-mp/" + key + "?uploadId=" + id);
      EXPECT_EQ(c.a->name, element(lp.body, "ChecksumAlgorithm"));
      EXPECT_EQ(c.type, element(lp.body, "ChecksumType"));
      EXPECT_EQ(part_values[0], element(lp.body, c.a->element));

      const bool full = std::string(c.type) == "FULL_OBJECT";
      const std::string expect = full ? value(*c.a, whole)
                                      : value(*c.a, digests) + "-" + std::to_string(sizes.size());
      std::string wrong = expect;
      wrong[0] = wrong[0] == 'A' ? 'B' : 'A';
      qt::Response refused = req("POST", "/ck-mp/" + key + "?uploadId=" + id,
                                 {std::string(c.a->header) + ": " + wrong}, xml);
      EXPECT_EQ(400, refused.status);
      EXPECT_NE(std::string::npos, refused.body.find("<Code>BadDigest</Code>"));
      qt::Response done = req("POST", "/ck-mp/" + key + "?uploadId=" + id,
                              {std::string(c.a->header) + ": " + expect}, xml);
      ASSERT_EQ(200, done.status) << done.raw;
      EXPECT_EQ(expect, element(done.body, c.a->element));
      EXPECT_EQ(c.type, element(done.body, "ChecksumType"));

      qt::Response g = req("GET", "/ck-mp/" + key, {"x-amz-checksum-mode: ENABLED"});
      EXPECT_EQ(whole, g.body);
      EXPECT_EQ(expect, g.header(c.a->header));
      EXPECT_EQ(c.type, g.header("x-amz-checksum-type"));
      qt::Response p1 = req("HEAD", "/ck-mp/" + key + "?partNumber=1", {"x-amz-checksum-mode: ENABLED"});
      EXPECT_EQ(part_values[0], p1.header(c.a->header));

      qt::Response attr = req("GET", "/ck-mp/" + key + "?attributes",
                              {"x-amz-object-attributes: Checksum,ObjectParts,ObjectSize"});
      ASSERT_EQ(200, attr.status) << attr.raw;
      EXPECT_EQ(expect, element(attr.body, c.a->element));
      EXPECT_EQ(std::to_string(sizes.size()), element(attr.body, "PartsCount"));
      EXPECT_EQ(std::to_string(whole.size()), element(attr.body, "ObjectSize"));
    }
  }
}

TEST_F(Checksums, MultipartRefusals) {
  struct Case {
    const char *algo;
    const char *type;
  } refused[] = {{"SHA256", "FULL_OBJECT"}, {"SHA1", "FULL_OBJECT"}, {"CRC64NVME", "COMPOSITE"},
                 {"", "COMPOSITE"},         {"MD5", ""},             {"CRC32", "PARTIAL"}};
  for (const Case &c : refused) {
    SCOPED_TRACE(std::string(c.algo) + "/" + c.type);
    std::vector<std::string> h;
    if (c.algo[0]) h.push_back(std::string("x-amz-checksum-algorithm: ") + c.algo);
    if (c.type[0]) h.push_back(std::string("x-amz-checksum-type: ") + c.type);
    qt::Response r = req("POST", "/ck-mp/refused?uploads", h);
    EXPECT_EQ(400, r.status);
    EXPECT_NE(std::string::npos, r.body.find("<Code>InvalidRequest</Code>"));
  }
  // The default types, answered at initiation.
  qt::Response crc64 = req("POST", "/ck-mp/d64?uploads", {"x-amz-checksum-algorithm: CRC64NVME"});
  EXPECT_EQ("FULL_OBJECT", crc64.header("x-amz-checksum-type"));
  qt::Response sha = req("POST", "/ck-mp/dsha?uploads", {"x-amz-checksum-algorithm: SHA256"});
  EXPECT_EQ("COMPOSITE", sha.header("x-amz-checksum-type"));

  // A part may not name another algorithm than its upload's; a listed part checksum must be
  // the recorded one; the Complete's type must be the upload's.
  std::string id = start("mix", "CRC32", "FULL_OBJECT");
  qt::Response other = req("PUT", "/ck-mp/mix?partNumber=1&uploadId=" + id,
                           {"x-amz-checksum-crc32c: yZRlqg=="}, "hello world");
  EXPECT_EQ(400, other.status);
  qt::Response p = req("PUT", "/ck-mp/mix?partNumber=1&uploadId=" + id, {}, "hello world");
  ASSERT_EQ(200, p.status);
  EXPECT_EQ("DUoRhQ==", p.header("x-amz-checksum-crc32"));
  auto body = [](const std::string &v) {
    return "<CompleteMultipartUpload><Part><PartNumber>1</PartNumber><ChecksumCRC32>" + v +
           "</ChecksumCRC32></Part></CompleteMultipartUpload>";
  };
  qt::Response wrong_part = req("POST", "/ck-mp/mix?uploadId=" + id, {}, body("DUoRhA=="));
  EXPECT_EQ(400, wrong_part.status);
  EXPECT_NE(std::string::npos, wrong_part.body.find("<Code>InvalidPart</Code>"));
  EXPECT_EQ(400, req("POST", "/ck-mp/mix?uploadId=" + id, {"x-amz-checksum-type: COMPOSITE"},
                     body("DUoRhQ==")).status);
  EXPECT_EQ(400, req("POST", "/ck-mp/mix?uploadId=" + id, {"x-amz-checksum-sha256: " + value(SHA256, "hello world")},
                     body("DUoRhQ==")).status);
  // A Complete without checksum headers works as before, and its object keeps the checksum.
  qt::Response ok = req("POST", "/ck-mp/mix?uploadId=" + id, {}, body("DUoRhQ=="));
  ASSERT_EQ(200, ok.status) << ok.raw;
  EXPECT_EQ("DUoRhQ==", element(ok.body, "ChecksumCRC32"));

  // An upload created without an algorithm: each part gets CRC64NVME, the object the
  // full-object CRC64NVME of its content.
  std::string plain = start("plain", "", "");
  ASSERT_EQ(200, req("PUT", "/ck-mp/plain?partNumber=1&uploadId=" + plain, {}, "hello ").status);
  ASSERT_EQ(200, req("PUT", "/ck-mp/plain?partNumber=2&uploadId=" + plain, {}, "world").status);
  qt::Response done = req("POST", "/ck-mp/plain?uploadId=" + plain, {},
                          "<CompleteMultipartUpload><Part><PartNumber>1</PartNumber></Part>"
                          "<Part><PartNumber>2</PartNumber></Part></CompleteMultipartUpload>");
  ASSERT_EQ(200, done.status);
  EXPECT_EQ("jSnVw/bqjr4=", element(done.body, "ChecksumCRC64NVME"));
}

TEST_F(Checksums, CopyObjectKeepsOrComputesTheChecksum) {
  ASSERT_EQ(200, put("/ck-copy/src", "hello world", {"x-amz-checksum-sha1: Kq5sNclPz7QV2+lfQIuc6R7oRu0="}).status);
  qt::Response kept = req("PUT", "/ck-copy/kept", {"x-amz-copy-source: /ck-copy/src"});
  ASSERT_EQ(200, kept.status) << kept.raw;
  EXPECT_EQ("Kq5sNclPz7QV2+lfQIuc6R7oRu0=", element(kept.body, "ChecksumSHA1"));
  qt::Response asked = req("PUT", "/ck-copy/asked",
                           {"x-amz-copy-source: /ck-copy/src", "x-amz-checksum-algorithm: CRC32C"});
  ASSERT_EQ(200, asked.status);
  EXPECT_EQ("yZRlqg==", element(asked.body, "ChecksumCRC32C"));
  EXPECT_EQ("yZRlqg==", req("HEAD", "/ck-copy/asked", {"x-amz-checksum-mode: ENABLED"})
                            .header("x-amz-checksum-crc32c"));
  // A composite source becomes a whole object: its copy's checksum is of the bytes copied.
  std::string id = initiate("ck-copy/mp", {"x-amz-checksum-algorithm: SHA256"});
  ASSERT_EQ(200, req("PUT", "/ck-copy/mp?partNumber=1&uploadId=" + id, {}, "hello world").status);
  ASSERT_EQ(200, req("POST", "/ck-copy/mp?uploadId=" + id, {},
                     "<CompleteMultipartUpload><Part><PartNumber>1</PartNumber></Part>"
                     "</CompleteMultipartUpload>").status);
  qt::Response from_mp = req("PUT", "/ck-copy/from-mp", {"x-amz-copy-source: /ck-copy/mp"});
  EXPECT_EQ(value(SHA256, "hello world"), element(from_mp.body, "ChecksumSHA256"));
  EXPECT_EQ("FULL_OBJECT", element(from_mp.body, "ChecksumType"));
}

// Tags and checksums share the record: every way of giving or changing one keeps the other.
TEST_F(Checksums, TagsAndChecksumsKeepEachOther) {
  const std::string data = "hello world";
  const std::string crc32c = value(CRC32C, data);
  auto expect_both = [&](const std::string &key, const Algo &a, const std::string &sum,
                         const std::string &count) {
    SCOPED_TRACE(key);
    qt::Response h = req("HEAD", "/ck-tag/" + key, {"x-amz-checksum-mode: ENABLED"});
    ASSERT_EQ(200, h.status) << h.raw;
    EXPECT_EQ(sum, h.header(a.header));
    EXPECT_EQ(count, h.header("x-amz-tagging-count"));
  };
  ASSERT_EQ(200, put("/ck-tag/a", data, {"x-amz-tagging: t=1&u=2", std::string(CRC32C.header) + ": " + crc32c}).status);
  expect_both("a", CRC32C, crc32c, "2");
  ASSERT_EQ(200, req("PUT", "/ck-tag/a?tagging", {},
                     "<Tagging><TagSet><Tag><Key>k</Key><Value>v</Value></Tag></TagSet></Tagging>")
                     .status);
  expect_both("a", CRC32C, crc32c, "1");
  EXPECT_EQ(204, req("DELETE", "/ck-tag/a?tagging").status);
  expect_both("a", CRC32C, crc32c, "");

  // A copy with new tags and another algorithm; one keeping both of its source.
  ASSERT_EQ(200, req("PUT", "/ck-tag/a?tagging", {},
                     "<Tagging><TagSet><Tag><Key>k</Key><Value>v</Value></Tag></TagSet></Tagging>")
                     .status);
  qt::Response c = req("PUT", "/ck-tag/c", {"x-amz-copy-source: /ck-tag/a", "x-amz-tagging-directive: REPLACE",
                                            "x-amz-tagging: x=1&y=2&z=3", "x-amz-checksum-algorithm: SHA256"});
  ASSERT_EQ(200, c.status) << c.raw;
  EXPECT_EQ(value(SHA256, data), element(c.body, "ChecksumSHA256"));
  expect_both("c", SHA256, value(SHA256, data), "3");
  ASSERT_EQ(200, req("PUT", "/ck-tag/d", {"x-amz-copy-source: /ck-tag/a"}).status);
  expect_both("d", CRC32C, crc32c, "1");

  // A multipart upload keeps its tags and its algorithm from initiation to Complete.
  std::string id = initiate("ck-tag/mp", {"x-amz-tagging: m=1", "x-amz-checksum-algorithm: CRC32"});
  ASSERT_FALSE(id.empty());
  ASSERT_EQ(200, req("PUT", "/ck-tag/mp?partNumber=1&uploadId=" + id, {}, data).status);
  qt::Response done = req("POST", "/ck-tag/mp?uploadId=" + id, {},
                          "<CompleteMultipartUpload><Part><PartNumber>1</PartNumber></Part>"
                          "</CompleteMultipartUpload>");
  ASSERT_EQ(200, done.status) << done.raw;
  const std::string composite = value(CRC32, raw_digest(CRC32, data)) + "-1";
  EXPECT_EQ(composite, element(done.body, "ChecksumCRC32"));
  expect_both("mp", CRC32, composite, "1");
}

TEST_F(Checksums, GetObjectAttributesDocumentPagingAndErrors) {
  ASSERT_EQ(200, put("/ck-attr/one", "hello world").status);
  qt::Response all = req("GET", "/ck-attr/one?attributes",
                         {"x-amz-object-attributes: ETag,Checksum,ObjectParts,StorageClass,ObjectSize"});
  ASSERT_EQ(200, all.status) << all.raw;
  EXPECT_EQ(qt::md5_hex("hello world"), element(all.body, "ETag"));
  EXPECT_EQ("jSnVw/bqjr4=", element(all.body, "ChecksumCRC64NVME"));
  EXPECT_EQ("FULL_OBJECT", element(all.body, "ChecksumType"));
  EXPECT_EQ("STANDARD", element(all.body, "StorageClass"));
  EXPECT_EQ("11", element(all.body, "ObjectSize"));
  EXPECT_EQ(std::string::npos, all.body.find("<ObjectParts>"));  // stored whole
  EXPECT_FALSE(all.header("Last-Modified").empty());
  qt::Response size_only = req("GET", "/ck-attr/one?attributes", {"x-amz-object-attributes: ObjectSize"});
  EXPECT_EQ(std::string::npos, size_only.body.find("<ETag>"));

  std::string id = initiate("ck-attr/mp", {"x-amz-checksum-algorithm: CRC32"});
  std::vector<std::string> parts = {"a", "bb", "ccc", "dddd", "eeeee"};
  std::string xml = "<CompleteMultipartUpload>";
  for (size_t i = 0; i < parts.size(); i++) {
    std::string pn = std::to_string(i + 1);
    ASSERT_EQ(200, req("PUT", "/ck-attr/mp?partNumber=" + pn + "&uploadId=" + id, {}, parts[i]).status);
    xml += "<Part><PartNumber>" + pn + "</PartNumber></Part>";
  }
  ASSERT_EQ(200, req("POST", "/ck-attr/mp?uploadId=" + id, {}, xml + "</CompleteMultipartUpload>").status);
  qt::Response page = req("GET", "/ck-attr/mp?attributes",
                          {"x-amz-object-attributes: ObjectParts", "x-amz-max-parts: 2",
                           "x-amz-part-number-marker: 1"});
  ASSERT_EQ(200, page.status) << page.raw;
  EXPECT_EQ("true", element(page.body, "IsTruncated"));
  EXPECT_EQ("3", element(page.body, "NextPartNumberMarker"));
  EXPECT_EQ("5", element(page.body, "PartsCount"));
  EXPECT_NE(std::string::npos,
            page.body.find("<ChecksumCRC32>" + value(CRC32, "bb") + "</ChecksumCRC32>\n"
                           "      <PartNumber>2</PartNumber>\n      <Size>2</Size>"));
  EXPECT_NE(std::string::npos, page.body.find("<PartNumber>3</PartNumber>\n      <Size>3</Size>"));
  EXPECT_EQ(std::string::npos, page.body.find("<PartNumber>4</PartNumber>"));
  qt::Response last = req("GET", "/ck-attr/mp?attributes",
                          {"x-amz-object-attributes: ObjectParts", "x-amz-part-number-marker: 3"});
  EXPECT_EQ("false", element(last.body, "IsTruncated"));
  EXPECT_NE(std::string::npos, last.body.find("<PartNumber>5</PartNumber>\n      <Size>5</Size>"));

  struct Refusal {
    std::vector<std::string> headers;
    const char *key;
    int status;
    const char *code;
  } refusals[] = {
      {{}, "one", 400, "InvalidRequest"},
      {{"x-amz-object-attributes: ETag,Colour"}, "one", 400, "InvalidArgument"},
      {{"x-amz-object-attributes: ETag", "x-amz-max-parts: -1"}, "one", 400, "InvalidArgument"},
      {{"x-amz-object-attributes: ETag"}, "missing", 404, "NoSuchKey"},
  };
  for (const Refusal &c : refusals) {
    SCOPED_TRACE(c.code);
    qt::Response r = req("GET", std::string("/ck-attr/") + c.key + "?attributes", c.headers);
    EXPECT_EQ(c.status, r.status);
    EXPECT_NE(std::string::npos, r.body.find(std::string("<Code>") + c.code + "</Code>"));
  }
}

}  // namespace
