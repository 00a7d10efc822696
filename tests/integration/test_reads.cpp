// Reads and deletes whose answer depends on what is asked of the object: Range headers valid,
// invalid and unsatisfiable; ?partNumber on objects made from parts and on plain ones;
// DeleteObject under If-Match; and a CompleteMultipartUpload repeated after its success.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "answers.h"
#include "harness.h"
#include "platform/platform.h"

namespace {

const std::string NS = "http://s3.amazonaws.com/doc/2006-03-01/";

class Reads : public qa::SharedServer {
 protected:
  void SetUp() override {
    for (const char *b : {"rd-range", "rd-part", "rd-del", "rd-again"})
      plat_mkdir((root() + "/" + b).c_str());
  }
  // Stores bucket_key from the given parts; returns the Complete answer.
  qt::Response multipart(const std::string &bucket_key, const std::vector<std::string> &parts,
                         std::string *upload_id = nullptr) {
    qt::Response r = req("POST", "/" + bucket_key + "?uploads");
    std::smatch m;
    EXPECT_TRUE(std::regex_search(r.body, m, std::regex("<UploadId>([0-9a-f]{32})</UploadId>")))
        << r.raw;
    const std::string id = m.size() > 1 ? std::string(m[1]) : "";
    if (upload_id) *upload_id = id;
    std::string xml = "<CompleteMultipartUpload xmlns=\"" + NS + "\">";
    for (size_t i = 0; i < parts.size(); i++) {
      const std::string n = std::to_string(i + 1);
      EXPECT_EQ(req("PUT", "/" + bucket_key + "?partNumber=" + n + "&uploadId=" + id, {},
                    parts[i])
                    .status,
                200);
      xml += "<Part><PartNumber>" + n + "</PartNumber></Part>";
    }
    return complete(bucket_key, id, xml + "</CompleteMultipartUpload>");
  }
  qt::Response complete(const std::string &bucket_key, const std::string &id,
                        const std::string &xml) {
    return req("POST", "/" + bucket_key + "?uploadId=" + id, {}, xml);
  }
  std::string record(const std::string &bucket_key) {
    return qt::read_record(root() + "/.s3meta/" + bucket_key);
  }
};

std::string element(const std::string &name, const std::string &value) {
  return "<" + name + ">" + value + "</" + name + ">";
}

// Every shape of Range header against a 10-byte and an empty object, GET and HEAD alike.
TEST_F(Reads, RangeHeaderTable) {
  ASSERT_EQ(put("/rd-range/ten", "0123456789").status, 200);
  ASSERT_EQ(put("/rd-range/zero", "").status, 200);
  struct Case {
    const char *key, *range;
    int status;                 // of the GET
    const char *body;           // of a 206
    const char *content_range;  // of a 206, or of the GET's 416
  };
  const Case cases[] = {
      // Satisfiable: only the first range of a list is served.
      {"ten", "bytes=2-5", 206, "2345", "bytes 2-5/10"},
      {"ten", "bytes=-3", 206, "789", "bytes 7-9/10"},
      {"ten", "bytes=-20", 206, "0123456789", "bytes 0-9/10"},
      {"ten", "bytes=8-", 206, "89", "bytes 8-9/10"},
      {"ten", "bytes=5-100", 206, "56789", "bytes 5-9/10"},
      {"ten", "BYTES=0-0", 206, "0", "bytes 0-0/10"},
      {"ten", "bytes=0-3,6-8", 206, "0123", "bytes 0-3/10"},
      {"ten", "bytes= 2-5 , 7-8", 206, "2345", "bytes 2-5/10"},
      {"ten", "bytes=,2-5", 206, "2345", "bytes 2-5/10"},
      {"ten", "bytes=9-99999999999999999999999", 206, "9", "bytes 9-9/10"},
      // Valid, and no byte of the object in it.
      {"ten", "bytes=-0", 416, nullptr, "bytes */10"},
      {"ten", "bytes=10-", 416, nullptr, "bytes */10"},
      {"ten", "bytes=10-12", 416, nullptr, "bytes */10"},
      {"ten", "bytes=99999999999999999999999-", 416, nullptr, "bytes */10"},
      {"zero", "bytes=0-0", 416, nullptr, "bytes */0"},
      {"zero", "bytes=0-", 416, nullptr, "bytes */0"},
      {"zero", "bytes=-1", 416, nullptr, "bytes */0"},
      // No valid byte range: ignored, the whole object is the answer.
      {"ten", "bytes=5-2", 200, nullptr, ""},
      {"ten", "bytes=0--1", 200, nullptr, ""},
      {"ten", "bytes=abc", 200, nullptr, ""},
      {"ten", "items=0-5", 200, nullptr, ""},
      {"ten", "bytes=5", 200, nullptr, ""},
      {"ten", "bytes=", 200, nullptr, ""},
      {"ten", "bytes=-", 200, nullptr, ""},
      {"ten", "bytes=1-2-3", 200, nullptr, ""},
      {"ten", "bytes=1 -2", 200, nullptr, ""},
      {"ten", "bytes=0-1,x", 200, nullptr, ""},
      {"ten", "bytes=0-1,5-2", 200, nullptr, ""},
      {"ten", "bytes=+1-2", 200, nullptr, ""},
      {"zero", "bytes=0--1", 200, nullptr, ""},
  };
  for (const Case &c : cases) {
    const std::string target = std::string("/rd-range/") + c.key;
    const std::string whole = std::string(c.key) == "ten" ? "0123456789" : "";
    const std::vector<std::string> range = {std::string("Range: ") + c.range};
    qt::Response r = req("GET", target, range);
    EXPECT_EQ(r.status, c.status) << c.range << r.raw;
    EXPECT_EQ(r.header("Content-Range"), c.content_range) << c.range;
    qt::Response h = req("HEAD", target, range);
    if (c.status == 206) {
      EXPECT_EQ(r.body, c.body) << c.range;
      EXPECT_EQ(r.header("Content-Length"), std::to_string(strlen(c.body))) << c.range;
      EXPECT_EQ(h.status, 200) << c.range;
      EXPECT_EQ(h.header("Content-Length"), "10") << c.range;
    } else if (c.status == 200) {
      EXPECT_EQ(r.body, whole) << c.range;
      EXPECT_EQ(r.header("Content-Length"), std::to_string(whole.size())) << c.range;
      EXPECT_EQ(h.status, 200) << c.range;
    } else {
      EXPECT_NE(r.body.find(element("Code", "InvalidRange")), std::string::npos) << c.range;
      EXPECT_NE(r.body.find(element("RangeRequested", c.range)), std::string::npos) << r.body;
      EXPECT_NE(r.body.find(element("ActualObjectSize", std::to_string(whole.size()))),
                std::string::npos)
          << r.body;
      EXPECT_EQ(h.status, 416) << c.range;
    }
    EXPECT_FALSE(h.has_header("Content-Range")) << c.range;
  }
}

// Each part of an object made from three, by GET and HEAD; the part count; the refusals.
TEST_F(Reads, PartNumberOfAMultipartObject) {
  const std::vector<std::string> parts = {std::string(70000, 'a'), std::string(70000, 'b'), "tail"};
  qt::Response done = multipart("rd-part/three", parts);
  ASSERT_EQ(done.status, 200) << done.raw;
  // Equal sizes in a row are recorded once, with their count.
  EXPECT_NE(record("rd-part/three").find("\n+Parts 70000*2 4\n"), std::string::npos)
      << record("rd-part/three");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(done.body, m, std::regex("<ETag>\"([0-9a-f]{32}-3)\"</ETag>")));
  const std::string etag = m[1];
  uint64_t first = 0;
  for (size_t i = 0; i < parts.size(); i++) {
    const std::string n = std::to_string(i + 1);
    const std::string range = "bytes " + std::to_string(first) + "-" +
                              std::to_string(first + parts[i].size() - 1) + "/140004";
    for (const char *method : {"GET", "HEAD"}) {
      qt::Response r = req(method, "/rd-part/three?partNumber=" + n);
      EXPECT_EQ(r.status, 206) << method << n << r.head;
      EXPECT_EQ(r.header("Content-Range"), range) << method << n;
      EXPECT_EQ(r.header("Content-Length"), std::to_string(parts[i].size())) << method << n;
      EXPECT_EQ(r.header("x-amz-mp-parts-count"), "3") << method << n;
      EXPECT_EQ(r.header("ETag"), "\"" + etag + "\"") << method << n;
      EXPECT_EQ(r.body, std::string(method) == "GET" ? parts[i] : "") << method << n;
    }
    first += parts[i].size();
  }
  // The conditions are those of the whole object.
  EXPECT_EQ(req("GET", "/rd-part/three?partNumber=2", {"If-None-Match: \"" + etag + "\""}).status,
            304);
  EXPECT_EQ(req("GET", "/rd-part/three?partNumber=2", {"If-Match: \"other\""}).status, 412);

  qt::Response beyond = req("GET", "/rd-part/three?partNumber=4");
  EXPECT_EQ(beyond.status, 416) << beyond.raw;
  EXPECT_NE(beyond.body.find(element("Code", "InvalidPartNumber")), std::string::npos);
  EXPECT_NE(beyond.body.find(element("Message", "The requested partnumber is not satisfiable")),
            std::string::npos);
  EXPECT_NE(beyond.body.find(element("PartNumberRequested", "4")), std::string::npos);
  EXPECT_NE(beyond.body.find(element("ActualPartCount", "3")), std::string::npos);
  EXPECT_FALSE(beyond.has_header("Content-Range"));

  for (const char *bad : {"0", "10001", "abc", "", "-1", "1x"}) {
    qt::Response r = req("GET", std::string("/rd-part/three?partNumber=") + bad);
    EXPECT_EQ(r.status, 400) << bad;
    EXPECT_NE(r.body.find(element("Code", "InvalidArgument")), std::string::npos) << bad;
  }
  qt::Response both = req("GET", "/rd-part/three?partNumber=1", {"Range: bytes=0-1"});
  EXPECT_EQ(both.status, 400);
  EXPECT_NE(both.body.find("Cannot specify both Range header and partNumber query parameter"),
            std::string::npos)
      << both.body;
}

// An object stored whole, or one whose layout is not known, is a single part: the whole object.
TEST_F(Reads, PartNumberOfAnObjectWithoutLayout) {
  ASSERT_EQ(put("/rd-part/plain", "0123456789").status, 200);
  ASSERT_EQ(put("/rd-part/empty", "").status, 200);
  const std::vector<std::string> parts = {"first", "second"};
  ASSERT_EQ(multipart("rd-part/old", parts).status, 200);
  ASSERT_EQ(multipart("rd-part/forged", parts).status, 200);
  // An object completed before layouts were recorded has none; one whose layout does not add
  // up to its data (edited by hand) is not trusted.
  const std::string old_record = record("rd-part/old");
  const size_t cut = old_record.find("+Parts ");
  ASSERT_NE(cut, std::string::npos) << old_record;
  qt::write_file(root() + "/.s3meta/rd-part/old", old_record.substr(0, cut));
  std::string forged = record("rd-part/forged");
  ASSERT_NE(forged.find("+Parts 5 6\n"), std::string::npos) << forged;
  forged.replace(forged.find("+Parts 5 6\n"), 11, "+Parts 5 7\n");
  qt::write_file(root() + "/.s3meta/rd-part/forged", forged);

  struct Case {
    const char *key;
    std::string whole;
  };
  const Case cases[] = {{"plain", "0123456789"}, {"old", "firstsecond"}, {"forged", "firstsecond"}};
  for (const Case &c : cases) {
    const std::string target = std::string("/rd-part/") + c.key;
    qt::Response r = req("GET", target + "?partNumber=1");
    EXPECT_EQ(r.status, 206) << c.key << r.raw;
    EXPECT_EQ(r.body, c.whole) << c.key;
    EXPECT_EQ(r.header("Content-Range"),
              "bytes 0-" + std::to_string(c.whole.size() - 1) + "/" + std::to_string(c.whole.size()))
        << c.key;
    EXPECT_FALSE(r.has_header("x-amz-mp-parts-count")) << c.key;
    qt::Response two = req("HEAD", target + "?partNumber=2");
    EXPECT_EQ(two.status, 416) << c.key;
    qt::Response g2 = req("GET", target + "?partNumber=2");
    EXPECT_NE(g2.body.find(element("ActualPartCount", "1")), std::string::npos) << g2.body;
  }
  // An empty object has no range to name: its part 1 is the whole of it.
  qt::Response e = req("GET", "/rd-part/empty?partNumber=1");
  EXPECT_EQ(e.status, 200) << e.raw;
  EXPECT_EQ(e.header("Content-Length"), "0");
  EXPECT_FALSE(e.has_header("Content-Range"));
}

// DeleteObject with If-Match removes the object only when it is the one named.
TEST_F(Reads, ConditionalDelete) {
  const std::string etag = qt::md5_hex("kept");
  struct Case {
    const char *name;
    bool stored;     // through the server (a record) or placed on disk (none)
    bool present;    // an object holds the key before the DELETE
    std::string if_match;
    int status;
  };
  const Case cases[] = {
      {"other ETag", true, true, "\"0123456789abcdef0123456789abcdef\"", 412},
      {"its ETag", true, true, "\"" + etag + "\"", 204},
      {"its ETag in a list", true, true, "\"aa\", \"" + etag + "\"", 204},
      {"any", true, true, "*", 204},
      {"any, nothing there", true, false, "*", 404},
      {"ETag, nothing there", true, false, "\"" + etag + "\"", 404},
      {"no record, other ETag", false, true, "\"" + qt::md5_hex("other") + "\"", 412},
      {"no record, its MD5", false, true, "\"" + etag + "\"", 204},
      {"no header, nothing there", true, false, "", 204},
  };
  for (const Case &c : cases) {
    const std::string file = root() + "/rd-del/k";
    std::remove(file.c_str());
    std::remove((root() + "/.s3meta/rd-del/k").c_str());
    if (c.present && c.stored) {
      ASSERT_EQ(put("/rd-del/k", "kept").status, 200);
    }
    if (c.present && !c.stored) qt::write_file(file, "kept");
    std::vector<std::string> headers;
    if (!c.if_match.empty()) headers.push_back("If-Match: " + c.if_match);
    qt::Response r = req("DELETE", "/rd-del/k", headers);
    EXPECT_EQ(r.status, c.status) << c.name << r.raw;
    EXPECT_EQ(qt::file_exists(file), c.status == 412) << c.name;
    if (c.status == 412) {
      EXPECT_NE(r.body.find(element("Code", "PreconditionFailed")), std::string::npos) << c.name;
      EXPECT_NE(r.body.find(element("Message",
                                    "At least one of the pre-conditions you specified did not hold")),
                std::string::npos);
    }
    if (c.status == 404) {
      EXPECT_NE(r.body.find(element("Code", "NoSuchKey")), std::string::npos) << c.name;
    }
  }
}

// A Complete repeated after its success gets the same answer while the object is the one it
// made, and NoSuchUpload once another write replaced or removed it.
TEST_F(Reads, RepeatedCompleteAnswersWhileTheObjectIsUnchanged) {
  std::string id;
  qt::Response first = multipart("rd-again/k", {"one", "two"}, &id);
  ASSERT_EQ(first.status, 200) << first.raw;
  const std::string xml = "<CompleteMultipartUpload><Part><PartNumber>1</PartNumber></Part>"
                          "</CompleteMultipartUpload>";
  for (int i = 0; i < 2; i++) {
    qt::Response again = complete("rd-again/k", id, xml);
    EXPECT_EQ(again.status, 200) << again.raw;
    EXPECT_EQ(again.body, first.body);
  }
  // The upload itself stays gone for every other operation.
  EXPECT_EQ(req("DELETE", "/rd-again/k?uploadId=" + id).status, 404);
  EXPECT_EQ(req("GET", "/rd-again/k?uploadId=" + id).status, 404);
  EXPECT_EQ(req("PUT", "/rd-again/k?partNumber=1&uploadId=" + id, {}, "x").status, 404);

  const std::string no_upload = "The specified multipart upload does not exist";
  ASSERT_EQ(put("/rd-again/k", "onetwo").status, 200);
  qa::expect_error(complete("rd-again/k", id, xml), 404, "HTTP/1.1 404 Not Found", "NoSuchUpload",
                   no_upload, "/rd-again/k");

  std::string id2;
  ASSERT_EQ(multipart("rd-again/k2", {"x"}, &id2).status, 200);
  ASSERT_EQ(req("DELETE", "/rd-again/k2").status, 204);
  qa::expect_error(complete("rd-again/k2", id2, xml), 404, "HTTP/1.1 404 Not Found",
                   "NoSuchUpload", no_upload, "/rd-again/k2");
}

}  // namespace
