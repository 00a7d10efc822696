// Multipart uploads over HTTP: Initiate, UploadPart, UploadPartCopy, Complete, Abort and the two
// listings, against one running server.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "answers.h"
#include "harness.h"
#include "platform/platform.h"

namespace {

const std::string DECL = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
const std::string NS = "http://s3.amazonaws.com/doc/2006-03-01/";

class Multipart : public qa::SharedServer {
 protected:
  // Uploads go only into buckets that exist.
  void SetUp() override {
    for (const char *b : {"mp-copy", "mp-fail", "mp-done", "mp-swap", "mp-key", "mp-init",
                          "mp-abort", "mp-parts", "mp-many", "mp-lp", "mp-big"})
      plat_mkdir((root() + "/" + b).c_str());
  }
  void make_bucket(const std::string &b) { ASSERT_EQ(req("PUT", "/" + b).status, 200); }
  qt::Response put_part(const std::string &bucket_key, const std::string &id, const std::string &n,
                        const std::string &data) {
    return req("PUT", "/" + bucket_key + "?partNumber=" + n + "&uploadId=" + id, {}, data);
  }
  qt::Response complete(const std::string &bucket_key, const std::string &id,
                        const std::string &body) {
    return req("POST", "/" + bucket_key + "?uploadId=" + id, {}, body);
  }
  std::string upload_dir(const std::string &bucket, const std::string &id) {
    return root() + "/.mpu/" + bucket + "/" + id;
  }
};

// <Part> elements for the given numbers and ETag texts.
std::string parts_xml(const std::vector<std::pair<int, std::string>> &parts) {
  std::string x = "<CompleteMultipartUpload xmlns=\"" + NS + "\">";
  for (auto &p : parts) {
    x += "<Part><PartNumber>" + std::to_string(p.first) + "</PartNumber>";
    if (p.second != "-") x += "<ETag>" + p.second + "</ETag>";
    x += "</Part>";
  }
  return x + "</CompleteMultipartUpload>";
}

std::string raw_md5(const std::string &data) {
  std::string hex = qt::md5_hex(data), raw;
  for (size_t i = 0; i < 32; i += 2) raw += char(std::stoi(hex.substr(i, 2), nullptr, 16));
  return raw;
}

// The ETag of a completed upload: MD5 of the parts' digests, a hyphen and the count.
std::string multipart_etag(const std::vector<std::string> &parts) {
  std::string digests;
  for (auto &p : parts) digests += raw_md5(p);
  return qt::md5_hex(digests) + "-" + std::to_string(parts.size());
}

TEST_F(Multipart, InitiateByPostAndPutRecordsKeyAndContentType) {
  for (const char *method : {"POST", "PUT"}) {
    qt::Response r = req(method, "/mp-init/dir/a%26b.bin?uploads", {"Content-Type: video/mp4"});
    ASSERT_EQ(r.status, 200) << method << r.raw;
    EXPECT_EQ(r.header("Content-Type"), "application/xml");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.body, m, std::regex("<UploadId>([0-9a-f]{32})</UploadId>")));
    std::string id = m[1];
    EXPECT_EQ(r.body, DECL + "<InitiateMultipartUploadResult>\n  <Bucket>mp-init</Bucket>\n"
                             "  <Key>dir/a&amp;b.bin</Key>\n  <UploadId>" + id +
                             "</UploadId>\n</InitiateMultipartUploadResult>\n");
    EXPECT_EQ(qt::read_file(upload_dir("mp-init", id) + "/meta"), "dir/a&b.bin\nvideo/mp4\n");
  }
  // A line break in the key would split the recorded key line: refused.
  qt::Response r = req("POST", "/mp-init/bad%0Akey?uploads");
  qa::expect_error(r, 400, "HTTP/1.1 400 Bad Request", "InvalidRequest", "Invalid key",
                   "/mp-init/bad%0Akey");
}

// An upload id is given out only for an upload that exists: a bucket whose upload folder cannot
// be made (a file holds its place) gets a 500, and nothing is left behind.
TEST_F(Multipart, InitiateThatCannotMakeItsUploadIsAnError) {
  plat_mkdir((root() + "/mp-blocked").c_str());
  std::string blocker = root() + "/.mpu/mp-blocked";
  qt::write_file(blocker, "not a folder");
  qt::Response r = req("POST", "/mp-blocked/k?uploads");
  EXPECT_EQ(r.status, 500) << r.raw;
  EXPECT_EQ(r.body.find("<UploadId>"), std::string::npos);
  EXPECT_EQ(qt::read_file(blocker), "not a folder");
  std::remove(blocker.c_str());
  EXPECT_NE(initiate("mp-blocked/k"), "");
}

TEST_F(Multipart, UploadPartNumbersAndMissingUpload) {
  std::string id = initiate("mp-parts/k");
  ASSERT_FALSE(id.empty());
  for (const char *bad : {"0", "10001", "", "abc", "5x", "-1"}) {
    qt::Response r = put_part("mp-parts/k", id, bad, "data");
    EXPECT_EQ(r.status, 400) << bad;
    EXPECT_NE(r.body.find("<Message>Invalid part number</Message>"), std::string::npos) << bad;
  }
  for (const char *good : {"1", "10000"}) {
    qt::Response r = put_part("mp-parts/k", id, good, "data");
    EXPECT_EQ(r.status, 200) << good << r.raw;
    EXPECT_EQ(r.header("ETag"), "\"" + qt::md5_hex("data") + "\"");
    EXPECT_FALSE(r.has_header("Content-Length"));
    EXPECT_EQ(r.body, "");
    EXPECT_EQ(qt::read_record(upload_dir("mp-parts", id) + "/" + good + ".etag"),
              qt::md5_hex("data") + "\nCRC64NVME 7a5hQ478J4A=\n");
  }
  qt::Response r = put_part("mp-parts/k", "0123456789abcdef0123456789abcdef", "1", "data");
  qa::expect_error(r, 404, "HTTP/1.1 404 Not Found", "NoSuchUpload",
                   "The specified multipart upload does not exist", "/mp-parts/k");
}

TEST_F(Multipart, UploadPartWithMismatchedPayloadHashIsRefused) {
  std::string id = initiate("mp-swap/k");
  ASSERT_FALSE(id.empty());
  qt::Response r = req("PUT", "/mp-swap/k?partNumber=1&uploadId=" + id,
                       {"x-amz-content-sha256: " + qt::sha256_hex("other")}, "payload");
  qa::expect_error(r, 403, "HTTP/1.1 403 Forbidden", "XAmzContentSHA256Mismatch",
                   "The x-amz-content-sha256 header you provided did not match what we computed",
                   "/mp-swap/k");
  EXPECT_FALSE(qt::file_exists(upload_dir("mp-swap", id) + "/1.part"));
  EXPECT_FALSE(qt::file_exists(upload_dir("mp-swap", id) + "/1.etag"));
  // The same part with the matching hash is stored.
  r = req("PUT", "/mp-swap/k?partNumber=1&uploadId=" + id,
          {"x-amz-content-sha256: " + qt::sha256_hex("payload")}, "payload");
  EXPECT_EQ(r.status, 200) << r.raw;
  EXPECT_EQ(qt::read_file(upload_dir("mp-swap", id) + "/1.part"), "payload");
}

TEST_F(Multipart, CompleteJoinsPartsAndMatchesEtagForms) {
  make_bucket("mp-done");
  std::string id = initiate("mp-done/obj.bin", {"Content-Type: text/csv"});
  ASSERT_FALSE(id.empty());
  const std::string p1 = std::string(70000, 'a') + "1", p2 = "second part", p3 = "3";
  ASSERT_EQ(put_part("mp-done/obj.bin", id, "1", p1).status, 200);
  ASSERT_EQ(put_part("mp-done/obj.bin", id, "2", "replaced later").status, 200);
  ASSERT_EQ(put_part("mp-done/obj.bin", id, "2", p2).status, 200);
  ASSERT_EQ(put_part("mp-done/obj.bin", id, "5", p3).status, 200);
  std::string e1 = qt::md5_hex(p1), e2 = qt::md5_hex(p2);

  // Every ETag form: quoted, entity-quoted and absent; gaps between numbers are fine, and so
  // are parts far below S3's 5 MiB minimum.
  qt::Response r = complete("mp-done/obj.bin", id,
                            parts_xml({{1, "\"" + e1 + "\""}, {2, "&quot;" + e2 + "&quot;"}, {5, "-"}}));
  ASSERT_EQ(r.status, 200) << r.raw;
  std::string etag = multipart_etag({p1, p2, p3});
  EXPECT_EQ(r.body, DECL + "<CompleteMultipartUploadResult>\n  <Location>http://127.0.0.1:" +
                        std::to_string(port()) + "/mp-done/obj.bin</Location>\n  <Bucket>mp-done</Bucket>\n"
                        "  <Key>obj.bin</Key>\n  <ETag>\"" + etag + "\"</ETag>\n"
                        "  <ChecksumCRC64NVME>SQ5shbiAw/A=</ChecksumCRC64NVME>\n"
                        "  <ChecksumType>FULL_OBJECT</ChecksumType>\n"
                        "</CompleteMultipartUploadResult>\n");
  EXPECT_EQ(qt::read_file(root() + "/mp-done/obj.bin"), p1 + p2 + p3);
  EXPECT_FALSE(qt::dir_exists(upload_dir("mp-done", id)));
  EXPECT_EQ(qt::read_record(root() + "/.s3meta/mp-done/obj.bin"),
            "text/csv\n" + etag + "\n+Parts 70001 11 1\n+Checksum CRC64NVME FULL_OBJECT SQ5shbiAw/A=\n"
            "+PartSums CRC64NVME kwkN1DeMWC8= 370pAWrYPzg= 3UhAUyZwrCA=\n");

  for (const char *method : {"GET", "HEAD"}) {
    qt::Response g = req(method, "/mp-done/obj.bin");
    EXPECT_EQ(g.status, 200) << method;
    EXPECT_EQ(g.header("ETag"), "\"" + etag + "\"") << method;
    EXPECT_EQ(g.header("Content-Type"), "text/csv") << method;
  }

  // The upload is gone for every operation on it; a repeated Complete is answered as the first
  // while the object stands.
  qt::Response retried = complete("mp-done/obj.bin", id, parts_xml({{1, "-"}}));
  EXPECT_EQ(retried.status, 200) << retried.raw;
  EXPECT_EQ(retried.body, r.body);
  for (auto &[method, query] : std::vector<std::pair<std::string, std::string>>{
           {"DELETE", ""}, {"GET", ""}, {"PUT", "&partNumber=1"}}) {
    qt::Response again = req(method, "/mp-done/obj.bin?uploadId=" + id + query, {},
                             method == "POST" ? parts_xml({{1, "-"}}) : "");
    EXPECT_EQ(again.status, 404) << method;
    EXPECT_NE(again.body.find("<Code>NoSuchUpload</Code>"), std::string::npos) << method;
  }
}

TEST_F(Multipart, CompleteUsesTheKeyRecordedAtInitiation) {
  std::string id = initiate("mp-key/a/b");
  ASSERT_FALSE(id.empty());
  ASSERT_EQ(put_part("mp-key/a/b", id, "1", "xyz").status, 200);
  qt::Response r = complete("mp-key/other", id, parts_xml({{1, "-"}}));
  ASSERT_EQ(r.status, 200) << r.raw;
  EXPECT_NE(r.body.find("<Key>a/b</Key>"), std::string::npos);
  EXPECT_NE(r.body.find("/mp-key/a/b</Location>"), std::string::npos);
  EXPECT_EQ(qt::read_file(root() + "/mp-key/a/b"), "xyz");
  EXPECT_FALSE(qt::file_exists(root() + "/mp-key/other"));
}

TEST_F(Multipart, FailedCompleteLeavesObjectAndPartsAlone) {
  make_bucket("mp-fail");
  ASSERT_EQ(req("PUT", "/mp-fail/k", {}, "old content").status, 200);
  std::string id = initiate("mp-fail/k");
  ASSERT_FALSE(id.empty());
  ASSERT_EQ(put_part("mp-fail/k", id, "1", "one").status, 200);
  ASSERT_EQ(put_part("mp-fail/k", id, "2", "two").status, 200);
  std::string e1 = qt::md5_hex("one");
  const char *MALFORMED =
      "The XML you provided was not well-formed or did not validate against our published schema.";
  const char *PART_ORDER =
      "The list of parts was not in ascending order. Parts must be ordered by part number.";

  struct {
    const char *name;
    std::string body;
    const char *code, *message;
  } cases[] = {
      {"wrong etag", parts_xml({{1, e1}, {2, "\"0123456789abcdef0123456789abcdef\""}}), "InvalidPart",
       "The specified part etag does not match the etag we stored"},
      {"part never uploaded", parts_xml({{1, e1}, {3, "-"}}), "InvalidPart",
       "One or more of the specified parts could not be found"},
      // A listed part is never left out: one the server cannot take refuses the whole list.
      {"part number 0", parts_xml({{1, e1}, {0, "-"}}), "InvalidArgument",
       "Part number must be an integer between 1 and 10000, inclusive"},
      {"part number 10001", parts_xml({{1, e1}, {10001, "-"}}), "InvalidArgument",
       "Part number must be an integer between 1 and 10000, inclusive"},
      {"part number not a number",
       "<CompleteMultipartUpload><Part><PartNumber>1</PartNumber></Part><Part><PartNumber>2x</PartNumber>"
       "</Part></CompleteMultipartUpload>",
       "MalformedXML", "The XML you provided was not well-formed or did not validate against our published schema."},
      {"part without number",
       "<CompleteMultipartUpload><Part><PartNumber>1</PartNumber></Part><Part><ETag>x</ETag></Part>"
       "</CompleteMultipartUpload>",
       "MalformedXML", "The XML you provided was not well-formed or did not validate against our published schema."},
      {"no part element", "<CompleteMultipartUpload/>", "MalformedXML", MALFORMED},
      {"descending", parts_xml({{2, "-"}, {1, "-"}}), "InvalidPartOrder", PART_ORDER},
      {"repeated", parts_xml({{1, "-"}, {1, "-"}, {2, "-"}}), "InvalidPartOrder", PART_ORDER},
      {"too many parts", parts_xml(std::vector<std::pair<int, std::string>>(10001, {1, "-"})),
       "InvalidRequest", "Too many parts in CompleteMultipartUpload"},
  };
  for (auto &c : cases) {
    qt::Response r = complete("mp-fail/k", id, c.body);
    EXPECT_EQ(r.status, 400) << c.name;
    EXPECT_NE(r.body.find(std::string("<Code>") + c.code + "</Code>"), std::string::npos) << c.name;
    EXPECT_NE(r.body.find(std::string("<Message>") + c.message + "</Message>"), std::string::npos)
        << c.name << r.body;
    EXPECT_EQ(qt::read_file(root() + "/mp-fail/k"), "old content") << c.name;
  }
  // A part file that vanished after its ETag was stored.
  qt::write_file(upload_dir("mp-fail", id) + "/3.etag", qt::md5_hex("three") + "\n");
  qt::Response r = complete("mp-fail/k", id, parts_xml({{1, "-"}, {3, "-"}}));
  EXPECT_EQ(r.status, 400);
  EXPECT_NE(r.body.find("<Message>Part file missing</Message>"), std::string::npos) << r.body;
  EXPECT_EQ(qt::read_file(root() + "/mp-fail/k"), "old content");

  EXPECT_EQ(qt::read_file(upload_dir("mp-fail", id) + "/1.part"), "one");
  EXPECT_EQ(qt::read_file(upload_dir("mp-fail", id) + "/2.part"), "two");
  // The retry succeeds with the parts kept.
  r = complete("mp-fail/k", id, parts_xml({{1, "-"}, {2, "-"}}));
  EXPECT_EQ(r.status, 200) << r.raw;
  EXPECT_EQ(qt::read_file(root() + "/mp-fail/k"), "onetwo");
}

TEST_F(Multipart, AbortRemovesTheUpload) {
  std::string id = initiate("mp-abort/k");
  ASSERT_FALSE(id.empty());
  ASSERT_EQ(put_part("mp-abort/k", id, "1", "x").status, 200);
  qt::Response r = req("DELETE", "/mp-abort/k?uploadId=" + id);
  EXPECT_EQ(r.status, 204);
  EXPECT_FALSE(r.has_header("Content-Length"));
  EXPECT_FALSE(qt::dir_exists(upload_dir("mp-abort", id)));
  r = req("DELETE", "/mp-abort/k?uploadId=" + id);
  qa::expect_error(r, 404, "HTTP/1.1 404 Not Found", "NoSuchUpload",
                   "The specified multipart upload does not exist", "/mp-abort/k");
}

TEST_F(Multipart, ListPartsSortsNumericallyAndPages) {
  std::string id = initiate("mp-lp/real&key");
  ASSERT_FALSE(id.empty());
  for (const char *n : {"10", "9", "2"}) ASSERT_EQ(put_part("mp-lp/real&key", id, n, std::string(n) + "-data").status, 200);
  // Each part's CRC64NVME, the checksum every part gets when its upload names none.
  auto part = [](const std::string &n) {
    const char *crc = n == "2" ? "DtI2msFdeOM=" : n == "9" ? "xDnONFsE00U=" : "qp4LBIpeptY=";
    return "  <Part>\n    <PartNumber>" + n + "</PartNumber>\n    <LastModified>ISO</LastModified>\n"
           "    <ETag>\"" + qt::md5_hex(n + "-data") + "\"</ETag>\n    <Size>" +
           std::to_string(n.size() + 5) + "</Size>\n    <ChecksumCRC64NVME>" + crc +
           "</ChecksumCRC64NVME>\n  </Part>\n";
  };
  auto head = [&](const std::string &marker, const std::string &max, const std::string &trunc) {
    return DECL + "<ListPartsResult xmlns=\"" + NS + "\">\n  <Bucket>mp-lp</Bucket>\n"
           "  <Key>real&amp;key</Key>\n  <UploadId>" + id + "</UploadId>\n"
           "  <StorageClass>STANDARD</StorageClass>\n  <PartNumberMarker>" + marker +
           "</PartNumberMarker>\n  <MaxParts>" + max + "</MaxParts>\n  <IsTruncated>" + trunc +
           "</IsTruncated>\n";
  };
  auto list = [&](const std::string &query) {
    // Listed through another key: the recorded key is the one shown.
    qt::Response r = req("GET", "/mp-lp/other?uploadId=" + id + query);
    EXPECT_EQ(r.status, 200) << r.raw;
    // LastModified in ISO 8601, as in every other listing.
    return std::regex_replace(r.body, std::regex("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.000Z"), "ISO");
  };
  EXPECT_EQ(list(""), head("0", "1000", "false") + part("2") + part("9") + part("10") + "</ListPartsResult>\n");
  EXPECT_EQ(list("&max-parts=1"), head("0", "1", "true") + part("2") +
                                      "  <NextPartNumberMarker>2</NextPartNumberMarker>\n</ListPartsResult>\n");
  EXPECT_EQ(list("&max-parts=1&part-number-marker=2"),
            head("2", "1", "true") + part("9") + "  <NextPartNumberMarker>9</NextPartNumberMarker>\n</ListPartsResult>\n");
  EXPECT_EQ(list("&part-number-marker=9&max-parts=0"), head("9", "1", "false") + part("10") + "</ListPartsResult>\n");
  EXPECT_EQ(list("&part-number-marker=10&max-parts=5000"), head("10", "1000", "false") + "</ListPartsResult>\n");
}

TEST_F(Multipart, ListUploadsPagesByKeyMarkerAndFiltersByPrefix) {
  make_bucket("mp-lu");
  qt::Response empty = req("GET", "/mp-lu?uploads");
  EXPECT_EQ(empty.body, DECL + "<ListMultipartUploadsResult xmlns=\"" + NS + "\">\n  <Bucket>mp-lu</Bucket>\n"
                                  "  <KeyMarker></KeyMarker>\n  <MaxUploads>1000</MaxUploads>\n"
                                  "  <IsTruncated>false</IsTruncated>\n</ListMultipartUploadsResult>\n");
  std::string ib = initiate("mp-lu/b"), ia = initiate("mp-lu/a"), ib2 = initiate("mp-lu/b2");
  ASSERT_FALSE(ia.empty() || ib.empty() || ib2.empty());
  auto upload = [](const std::string &key, const std::string &id) {
    return "  <Upload>\n    <Key>" + key + "</Key>\n    <UploadId>" + id +
           "</UploadId>\n    <Initiated>TIME</Initiated>\n  </Upload>\n";
  };
  auto head = [&](const std::string &marker, const std::string &prefix, const std::string &max,
                  const std::string &trunc) {
    return DECL + "<ListMultipartUploadsResult xmlns=\"" + NS + "\">\n  <Bucket>mp-lu</Bucket>\n"
           "  <KeyMarker>" + marker + "</KeyMarker>\n" + prefix + "  <MaxUploads>" + max +
           "</MaxUploads>\n  <IsTruncated>" + trunc + "</IsTruncated>\n";
  };
  auto list = [&](const std::string &query) {
    qt::Response r = req("GET", "/mp-lu?uploads" + query);
    EXPECT_EQ(r.status, 200) << r.raw;
    return qa::mask(r.body);
  };
  const std::string end = "</ListMultipartUploadsResult>\n";
  EXPECT_EQ(list("&max-uploads=1"), head("", "", "1", "true") + upload("a", ia) +
                                        "  <NextKeyMarker>a</NextKeyMarker>\n"
                                        "  <NextUploadIdMarker>" + ia + "</NextUploadIdMarker>\n" + end);
  EXPECT_EQ(list("&max-uploads=1&key-marker=a"), head("a", "", "1", "true") + upload("b", ib) +
                                                     "  <NextKeyMarker>b</NextKeyMarker>\n"
                                                     "  <NextUploadIdMarker>" + ib + "</NextUploadIdMarker>\n" + end);
  EXPECT_EQ(list("&key-marker=b"), head("b", "", "1000", "false") + upload("b2", ib2) + end);
  EXPECT_EQ(list("&delimiter=&max-uploads=1000&prefix=b"),
            head("", "  <Prefix>b</Prefix>\n", "1000", "false") + upload("b", ib) + upload("b2", ib2) + end);
  EXPECT_EQ(list("&prefix=b2"), head("", "  <Prefix>b2</Prefix>\n", "1000", "false") + upload("b2", ib2) + end);
  EXPECT_EQ(list("&prefix=zz"), head("", "  <Prefix>zz</Prefix>\n", "1000", "false") + end);
}

TEST_F(Multipart, ListPartsPagesThroughThousandsOfParts) {
  // More parts than one page, and more files in the upload directory than any fixed name list
  // the listing used to read: every part comes back once, in order, page by page.
  std::string id = initiate("mp-many/k");
  ASSERT_FALSE(id.empty());
  const int parts = 4500;
  for (int n = 1; n <= parts; n++) {
    if (n == 777) continue;  // a gap in the numbers
    qt::write_file(upload_dir("mp-many", id) + "/" + std::to_string(n) + ".part", "p");
    qt::write_file(upload_dir("mp-many", id) + "/" + std::to_string(n) + ".etag",
                   qt::md5_hex("p") + "\n");
  }
  std::vector<int> seen;
  std::string marker = "0";
  for (int page = 0; page < 10; page++) {
    qt::Response r = req("GET", "/mp-many/k?uploadId=" + id + "&part-number-marker=" + marker);
    ASSERT_EQ(r.status, 200);
    std::smatch m;
    std::string body = r.body;
    size_t before = seen.size();
    const std::regex number("<PartNumber>(\\d+)<");
    for (auto it = std::sregex_iterator(body.begin(), body.end(), number);
         it != std::sregex_iterator(); ++it)
      seen.push_back(std::stoi((*it)[1]));
    bool truncated = body.find("<IsTruncated>true</IsTruncated>") != std::string::npos;
    EXPECT_LE(seen.size() - before, 1000u);
    if (!truncated) {
      EXPECT_EQ(body.find("NextPartNumberMarker"), std::string::npos);
      break;
    }
    ASSERT_TRUE(std::regex_search(body, m, std::regex("<NextPartNumberMarker>(\\d+)<")));
    EXPECT_EQ(std::stoi(m[1]), seen.back());
    marker = m[1];
  }
  std::vector<int> want;
  for (int n = 1; n <= parts; n++)
    if (n != 777) want.push_back(n);
  EXPECT_EQ(seen, want);
}

TEST_F(Multipart, ListUploadsPagesThroughUploadsOfOneKey) {
  make_bucket("mp-same");
  std::vector<std::pair<std::string, std::string>> want;  // (key, id) in listing order
  for (const char *k : {"x", "x", "x", "w", "y", "x"}) want.push_back({k, initiate(std::string("mp-same/") + k)});
  std::sort(want.begin(), want.end());
  std::vector<std::pair<std::string, std::string>> seen;
  std::string query = "&max-uploads=2";
  for (int page = 0; page < 10; page++) {
    qt::Response r = req("GET", "/mp-same?uploads" + query);
    ASSERT_EQ(r.status, 200);
    std::string body = r.body;
    std::regex up("<Key>([^<]*)</Key>\n    <UploadId>([^<]*)</UploadId>");
    for (auto it = std::sregex_iterator(body.begin(), body.end(), up); it != std::sregex_iterator(); ++it)
      seen.push_back({(*it)[1], (*it)[2]});
    if (body.find("<IsTruncated>true</IsTruncated>") == std::string::npos) break;
    std::smatch km, im;
    ASSERT_TRUE(std::regex_search(body, km, std::regex("<NextKeyMarker>([^<]*)<")));
    ASSERT_TRUE(std::regex_search(body, im, std::regex("<NextUploadIdMarker>([^<]*)<")));
    EXPECT_EQ(km[1].str(), seen.back().first);
    EXPECT_EQ(im[1].str(), seen.back().second);
    query = "&max-uploads=2&key-marker=" + km[1].str() + "&upload-id-marker=" + im[1].str();
  }
  EXPECT_EQ(seen, want);
  // The id marker is echoed; without a key marker it changes nothing.
  qt::Response r = req("GET", "/mp-same?uploads&upload-id-marker=zz");
  EXPECT_NE(r.body.find("  <KeyMarker></KeyMarker>\n  <UploadIdMarker>zz</UploadIdMarker>\n"),
            std::string::npos) << r.body;
  size_t uploads = 0;
  for (size_t at = r.body.find("<Upload>"); at != std::string::npos; at = r.body.find("<Upload>", at + 1))
    uploads++;
  EXPECT_EQ(uploads, 6u);
}

TEST_F(Multipart, UploadPartCopyWholeAndRanged) {
  make_bucket("mp-copy");
  std::string src = qt::random_bytes(300000, 7);
  ASSERT_EQ(req("PUT", "/mp-copy/src%20file", {}, src).status, 200);
  std::string id = initiate("mp-copy/dst");
  ASSERT_FALSE(id.empty());
  auto copy = [&](const std::string &n, const std::vector<std::string> &headers) {
    return req("PUT", "/mp-copy/dst?partNumber=" + n + "&uploadId=" + id, headers);
  };

  qt::Response r = copy("1", {"x-amz-copy-source: /mp-copy/src%20file"});
  ASSERT_EQ(r.status, 200) << r.raw;
  EXPECT_EQ(r.header("Content-Type"), "application/xml");
  EXPECT_EQ(qa::mask(r.body), DECL + "<CopyPartResult>\n  <ETag>\"" + qt::md5_hex(src) +
                                  "\"</ETag>\n  <LastModified>TIME</LastModified>\n"
                                  "  <ChecksumCRC64NVME>YFFrAT08QNs=</ChecksumCRC64NVME>\n</CopyPartResult>\n");
  r = copy("2", {"x-amz-copy-source: mp-copy/src%20file", "x-amz-copy-source-range: bytes=100-299999"});
  ASSERT_EQ(r.status, 200) << r.raw;
  EXPECT_NE(r.body.find(qt::md5_hex(src.substr(100))), std::string::npos);
  r = copy("3", {"x-amz-copy-source: mp-copy/src%20file", "x-amz-copy-source-range: bytes=0-0"});
  ASSERT_EQ(r.status, 200) << r.raw;

  struct {
    const char *name;
    std::vector<std::string> headers;
    int status;
    const char *code, *message;
  } errors[] = {
      {"range without last", {"x-amz-copy-source: mp-copy/src%20file", "x-amz-copy-source-range: bytes=5-"},
       400, "InvalidArgument", "Invalid copy source range"},
      {"range reversed", {"x-amz-copy-source: mp-copy/src%20file", "x-amz-copy-source-range: bytes=9-5"},
       400, "InvalidArgument", "Invalid copy source range"},
      {"range beyond source", {"x-amz-copy-source: mp-copy/src%20file", "x-amz-copy-source-range: bytes=0-300000"},
       416, "InvalidRange", "The requested range is not satisfiable"},
      {"missing source", {"x-amz-copy-source: mp-copy/nothing"}, 404, "NoSuchKey", "The source key does not exist"},
      {"source without key", {"x-amz-copy-source: mp-copy"}, 400, "InvalidArgument", "Invalid copy source"},
      // Dot segments are the key's own text: no file outside the bucket is ever read.
      {"source with dot segments", {"x-amz-copy-source: mp-copy/..%2F..%2Fetc%2Fpasswd"}, 404, "NoSuchKey",
       "The source key does not exist"},
  };
  for (auto &e : errors) {
    r = copy("4", e.headers);
    EXPECT_EQ(r.status, e.status) << e.name << r.raw;
    EXPECT_NE(r.body.find(std::string("<Code>") + e.code + "</Code>"), std::string::npos) << e.name;
    EXPECT_NE(r.body.find(std::string("<Message>") + e.message + "</Message>"), std::string::npos) << e.name;
  }
  r = req("PUT", "/mp-copy/dst?partNumber=10001&uploadId=" + id, {"x-amz-copy-source: mp-copy/src%20file"});
  EXPECT_NE(r.body.find("Invalid part number"), std::string::npos);
  r = req("PUT", "/mp-copy/dst?partNumber=1&uploadId=ffffffffffffffffffffffffffffffff",
          {"x-amz-copy-source: mp-copy/src%20file"});
  EXPECT_EQ(r.status, 404);

  r = complete("mp-copy/dst", id, parts_xml({{1, "-"}, {2, "-"}, {3, "-"}}));
  ASSERT_EQ(r.status, 200) << r.raw;
  std::string expect = src + src.substr(100) + src.substr(0, 1);
  EXPECT_TRUE(qt::read_file(root() + "/mp-copy/dst") == expect);
  EXPECT_NE(r.body.find(multipart_etag({src, src.substr(100), src.substr(0, 1)})), std::string::npos);
}

TEST_F(Multipart, CompleteOfTenThousandParts) {
  make_bucket("mp-big");
  std::string id = initiate("mp-big/many");
  ASSERT_FALSE(id.empty());
  // The parts are laid down on disk directly: ten thousand uploads would only test the network.
  std::string dir = upload_dir("mp-big", id), body = "<CompleteMultipartUpload>", expect;
  std::vector<std::string> parts;
  for (int n = 1; n <= 10000; n++) {
    std::string data = std::to_string(n) + ",";
    qt::write_file(dir + "/" + std::to_string(n) + ".part", data);
    qt::write_file(dir + "/" + std::to_string(n) + ".etag", qt::md5_hex(data) + "\n");
    parts.push_back(data);
    expect += data;
  }
  for (int n = 1; n <= 10000; n++)
    body += "<Part><ETag>\"" + qt::md5_hex(parts[n - 1]) + "\"</ETag><PartNumber>" + std::to_string(n) +
            "</PartNumber></Part>";
  body += "</CompleteMultipartUpload>";
  qt::Response r = complete("mp-big/many", id, body);
  ASSERT_EQ(r.status, 200) << r.raw.substr(0, 2000);
  EXPECT_TRUE(qt::read_file(root() + "/mp-big/many") == expect);
  EXPECT_NE(r.body.find("<ETag>\"" + multipart_etag(parts) + "\"</ETag>"), std::string::npos);
}

TEST_F(Multipart, MetadataGivenAtInitiationReachesTheObject) {
  make_bucket("mp-meta");
  std::string id = initiate("mp-meta/doc",
                            {"Content-Type: text/markdown", "x-amz-meta-color:  blue ",
                             "X-Amz-Meta-Size: 10", "x-amz-meta-note: a:b"});
  ASSERT_FALSE(id.empty());
  EXPECT_EQ(qt::read_file(upload_dir("mp-meta", id) + "/meta"),
            "doc\ntext/markdown\nx-amz-meta-color:blue\nX-Amz-Meta-Size:10\nx-amz-meta-note:a:b\n");
  ASSERT_EQ(put_part("mp-meta/doc", id, "1", "body").status, 200);
  ASSERT_EQ(complete("mp-meta/doc", id, parts_xml({{1, "-"}})).status, 200);
  qt::Response h = req("HEAD", "/mp-meta/doc");
  EXPECT_EQ(h.status, 200);
  EXPECT_EQ(h.header("Content-Type"), "text/markdown");
  EXPECT_EQ(h.header("x-amz-meta-color"), "blue");
  EXPECT_EQ(h.header("X-Amz-Meta-Size"), "10");
  EXPECT_EQ(h.header("x-amz-meta-note"), "a:b");

  // An upload begun before user metadata was kept: key and content type lines only.
  std::string old = initiate("mp-meta/old");
  ASSERT_FALSE(old.empty());
  qt::write_file(upload_dir("mp-meta", old) + "/meta", "old\ntext/plain\n");
  ASSERT_EQ(put_part("mp-meta/old", old, "1", "x").status, 200);
  ASSERT_EQ(complete("mp-meta/old", old, parts_xml({{1, "-"}})).status, 200);
  h = req("HEAD", "/mp-meta/old");
  EXPECT_EQ(h.header("Content-Type"), "text/plain");
  EXPECT_EQ(h.head.find("x-amz-meta-"), std::string::npos) << h.head;
}

TEST_F(Multipart, UploadPartCopyConditions) {
  make_bucket("mp-cond");
  ASSERT_EQ(req("PUT", "/mp-cond/src", {}, "source").status, 200);
  qt::set_mtime(root() + "/mp-cond/src", 1714564800);  // Wed, 01 May 2024 12:00:00 GMT
  std::string id = initiate("mp-cond/dst");
  ASSERT_FALSE(id.empty());
  const std::string etag = qt::md5_hex("source");
  struct {
    const char *name;
    std::string header;
    int status;
  } cases[] = {
      {"if-match holds", "x-amz-copy-source-if-match: \"" + etag + "\"", 200},
      {"if-match fails", "x-amz-copy-source-if-match: \"0123\"", 412},
      {"if-none-match holds", "x-amz-copy-source-if-none-match: \"0123\"", 200},
      {"if-none-match fails", "x-amz-copy-source-if-none-match: " + etag, 412},
      {"modified since earlier", "x-amz-copy-source-if-modified-since: Tue, 30 Apr 2024 12:00:00 GMT", 200},
      {"not modified since", "x-amz-copy-source-if-modified-since: Wed, 01 May 2024 12:00:00 GMT", 412},
      {"unmodified since", "x-amz-copy-source-if-unmodified-since: Wed, 01 May 2024 12:00:00 GMT", 200},
      {"modified after", "x-amz-copy-source-if-unmodified-since: Tue, 30 Apr 2024 12:00:00 GMT", 412},
  };
  for (auto &c : cases) {
    qt::Response r = req("PUT", "/mp-cond/dst?partNumber=1&uploadId=" + id,
                         {"x-amz-copy-source: mp-cond/src", c.header});
    EXPECT_EQ(r.status, c.status) << c.name << r.raw;
    if (c.status == 412) {
      EXPECT_NE(r.body.find("<Code>PreconditionFailed</Code>"), std::string::npos) << c.name;
    }
  }
}

TEST_F(Multipart, ListUploadsUrlEncodingAndDecodedMarker) {
  make_bucket("mp-enc");
  std::string odd = initiate("mp-enc/odd/pct%2541"), sp = initiate("mp-enc/a%20b");
  std::string plus = initiate("mp-enc/a%2Bb");
  ASSERT_FALSE(odd.empty() || sp.empty() || plus.empty());
  qt::Response r = req("GET", "/mp-enc?uploads&encoding-type=url&max-uploads=1&prefix=a");
  ASSERT_EQ(r.status, 200) << r.raw;
  for (const char *e : {"  <EncodingType>url</EncodingType>\n", "  <KeyMarker></KeyMarker>\n",
                        "  <Prefix>a</Prefix>\n", "    <Key>a%20b</Key>\n",
                        "  <NextKeyMarker>a%20b</NextKeyMarker>\n"})
    EXPECT_NE(r.body.find(e), std::string::npos) << e << "\n" << r.body;
  // The marker comes back encoded and is compared decoded: "a+b" follows "a b".
  r = req("GET", "/mp-enc?uploads&encoding-type=url&key-marker=a%20b");
  EXPECT_NE(r.body.find("  <KeyMarker>a%20b</KeyMarker>\n"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("    <Key>a%2Bb</Key>\n"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("    <Key>odd/pct%2541</Key>\n"), std::string::npos) << r.body;
  EXPECT_EQ(r.body.find("a%20b</Key>"), std::string::npos) << r.body;
  r = req("GET", "/mp-enc?uploads");
  EXPECT_NE(r.body.find("    <Key>odd/pct%41</Key>\n"), std::string::npos) << r.body;
  EXPECT_EQ(r.body.find("EncodingType"), std::string::npos);
}

TEST_F(Multipart, CompleteBodyIsReadWholeOrRefusedWhole) {
  make_bucket("mp-body");
  const std::string parts[] = {"one-", "two-", "three"};
  std::string id = initiate("mp-body/k");
  ASSERT_FALSE(id.empty());
  for (int n = 1; n <= 3; n++) ASSERT_EQ(put_part("mp-body/k", id, std::to_string(n), parts[n - 1]).status, 200);
  const std::string target = "/mp-body/k?uploadId=" + id;
  const std::string list = parts_xml({{1, "-"}, {2, "-"}, {3, "-"}});
  const std::string malformed =
      "The XML you provided was not well-formed or did not validate against our published schema.";

  // Refused whole, leaving the upload and its parts as they were. The cut body lists part 1
  // whole: taken as it stands, it would complete from part 1 alone.
  const std::string cut = list.substr(0, list.find("</Part>") + 7);
  struct {
    const char *name;
    std::string request;
    const char *code;
    const char *message;
  } refused[] = {
      {"cut short", "Content-Length: " + std::to_string(cut.size()) + "\r\n\r\n" + cut, "MalformedXML",
       malformed.c_str()},
      {"empty", "Content-Length: 0\r\n\r\n", "MalformedXML", malformed.c_str()},
      {"no framing", "\r\n", "MalformedXML", malformed.c_str()},
      // A chunk claiming more than the limit is refused at its size line.
      {"over the limit", "Transfer-Encoding: chunked\r\n\r\n400000\r\n<Complete", "MaxMessageLengthExceeded",
       "Your request was too big."},
  };
  for (auto &c : refused) {
    SCOPED_TRACE(c.name);
    qt::Response r = qt::send_raw(port(), "POST " + target + " HTTP/1.1\r\nHost: x\r\n" + c.request, qt::kPromptMs);
    qa::expect_error(r, 400, "HTTP/1.1 400 Bad Request", c.code, c.message, "/mp-body/k");
    EXPECT_TRUE(qt::file_exists(upload_dir("mp-body", id) + "/3.part"));
    EXPECT_FALSE(qt::file_exists(root() + "/mp-body/k"));
  }

  // HTTP chunked framing, the list far past the first kilobyte: every part is joined.
  std::string body = "<CompleteMultipartUpload>" + std::string(2000, ' ') + list.substr(list.find("<Part>"));
  std::string wire;
  for (size_t off = 0; off < body.size(); off += 500) {
    char size[16];
    snprintf(size, sizeof size, "%zx\r\n", std::min<size_t>(500, body.size() - off));
    wire += size + body.substr(off, 500) + "\r\n";
  }
  qt::Response r = qt::send_raw(port(), "POST " + target + " HTTP/1.1\r\nHost: x\r\n"
                                        "Transfer-Encoding: chunked\r\n\r\n" + wire + "0\r\n\r\n");
  ASSERT_EQ(r.status, 200) << r.raw;
  EXPECT_EQ(qt::read_file(root() + "/mp-body/k"), "one-two-three");
  EXPECT_NE(r.body.find(multipart_etag({parts[0], parts[1], parts[2]})), std::string::npos);
}

}  // namespace
