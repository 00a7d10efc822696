// Object and bucket tags over raw HTTP: given with every way of writing an object, replaced and
// removed on their own without touching the data, kept or replaced by copies, counted on reads,
// gone with their object or bucket; S3's limits and answers; records written before tags were
// kept stay readable and keep every line when tags are added to them.
#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "answers.h"
#include "harness.h"

namespace {

using qt::Response;
using Tags = std::vector<std::pair<std::string, std::string>>;

const char kXmlns[] = "http://s3.amazonaws.com/doc/2006-03-01/";
const char kMalformed[] =
    "The XML you provided was not well-formed or did not validate against our published schema.";
const char kBadHeader[] =
    "The header 'x-amz-tagging' shall be encoded as UTF-8 then URLEncoded URL query parameters "
    "without tag name duplicates.";

// The Tagging document as clients send it and as the server answers it.
std::string tagging_doc(const Tags &tags, bool with_ns = true) {
  std::string d = std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Tagging") +
                  (with_ns ? std::string(" xmlns=\"") + kXmlns + "\"" : "") + "><TagSet>";
  for (const auto &t : tags) d += "<Tag><Key>" + t.first + "</Key><Value>" + t.second + "</Value></Tag>";
  return d + "</TagSet></Tagging>\n";
}

// %XX escapes undone (the tests' own escapes are all well-formed).
std::string pct_decoded(const std::string &s) {
  std::string out;
  for (size_t i = 0; i < s.size(); i++) {
    if (s[i] == '%' && i + 2 < s.size()) {
      out += (char)std::stoi(s.substr(i + 1, 2), nullptr, 16);
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

Tags numbered(size_t n, const std::string &prefix = "k") {
  Tags t;
  for (size_t i = 0; i < n; i++) t.push_back({prefix + std::to_string(i), "v"});
  return t;
}

class Tagging : public qa::SharedServer {
 protected:
  void bucket(const std::string &b) { ASSERT_EQ(req("PUT", "/" + b).status, 200); }
  // The answer to GET ?tagging, which must be 200.
  std::string tags_of(const std::string &bk) {
    Response r = req("GET", "/" + bk + "?tagging");
    EXPECT_EQ(r.status, 200) << r.raw;
    EXPECT_EQ(r.header("Content-Type"), "application/xml");
    return r.body;
  }
  Response put_tags(const std::string &bk, const std::string &doc) {
    return req("PUT", "/" + bk + "?tagging", {}, doc);
  }
};

TEST_F(Tagging, TagsFollowTheObjectThroughWritesAndCopies) {
  bucket("tag-life");
  ASSERT_EQ(put("/tag-life/a", "alpha", {"x-amz-tagging: color=blue&size%20class=x%3Dl+2",
                                         "Content-Type: text/x-a", "x-amz-meta-note: kept"})
                .status,
            200);
  const std::string two = tagging_doc({{"color", "blue"}, {"size class", "x=l 2"}});
  EXPECT_EQ(tags_of("tag-life/a"), two);
  for (const char *m : {"GET", "HEAD"}) {
    Response r = req(m, "/tag-life/a");
    EXPECT_EQ(r.header("x-amz-tagging-count"), "2") << m;
  }
  const std::string etag = req("HEAD", "/tag-life/a").header("ETag");
  const std::string modified = req("HEAD", "/tag-life/a").header("Last-Modified");

  // Replaced on their own: data, ETag, content type, metadata and time stay.
  Response set = put_tags("tag-life/a", tagging_doc({{"é", "ü x@y"}}, false));
  EXPECT_EQ(set.status, 200) << set.raw;
  EXPECT_EQ(tags_of("tag-life/a"), tagging_doc({{"é", "ü x@y"}}));
  Response got = req("GET", "/tag-life/a");
  EXPECT_EQ(got.body, "alpha");
  EXPECT_EQ(got.header("ETag"), etag);
  EXPECT_EQ(got.header("Last-Modified"), modified);
  EXPECT_EQ(got.header("Content-Type"), "text/x-a");
  EXPECT_EQ(got.header("x-amz-meta-note"), "kept");
  EXPECT_EQ(got.header("x-amz-tagging-count"), "1");

  // Copies: COPY (the default) keeps them, REPLACE takes the request's, also none; a metadata
  // REPLACE leaves the tags to their own directive.
  struct copy_case {
    const char *dest;
    std::vector<std::string> headers;
    std::string expect;
  } copies[] = {
      {"/tag-life/c1", {"x-amz-tagging: ignored=1"}, tagging_doc({{"é", "ü x@y"}})},
      {"/tag-life/c2", {"x-amz-tagging-directive: REPLACE", "x-amz-tagging: n=1&m="},
       tagging_doc({{"n", "1"}, {"m", ""}})},
      {"/tag-life/c3", {"x-amz-tagging-directive: replace"}, tagging_doc({})},
      {"/tag-life/c4", {"x-amz-metadata-directive: REPLACE", "x-amz-tagging: ignored=1"},
       tagging_doc({{"é", "ü x@y"}})},
  };
  for (const copy_case &c : copies) {
    SCOPED_TRACE(c.dest);
    std::vector<std::string> h = c.headers;
    h.push_back("x-amz-copy-source: /tag-life/a");
    ASSERT_EQ(req("PUT", c.dest, h).status, 200);
    EXPECT_EQ(tags_of(std::string(c.dest).substr(1)), c.expect);
  }
  qa::expect_error(req("PUT", "/tag-life/c5", {"x-amz-copy-source: /tag-life/a",
                                               "x-amz-tagging-directive: MERGE"}),
                   400, "HTTP/1.1 400 Bad Request", "InvalidArgument", "Unknown tagging directive.",
                   "/tag-life/c5");

  // A new version without tags has none; removal answers 204 and the count header goes.
  ASSERT_EQ(put("/tag-life/c1", "new").status, 200);
  EXPECT_EQ(tags_of("tag-life/c1"), tagging_doc({}));
  EXPECT_FALSE(req("HEAD", "/tag-life/c1").has_header("x-amz-tagging-count"));
  EXPECT_EQ(req("DELETE", "/tag-life/a?tagging").status, 204);
  EXPECT_EQ(tags_of("tag-life/a"), tagging_doc({}));
  EXPECT_FALSE(req("GET", "/tag-life/a").has_header("x-amz-tagging-count"));
  EXPECT_EQ(req("GET", "/tag-life/a").body, "alpha");

  // The tags go with their object: a new object of the key starts without any.
  ASSERT_EQ(put_tags("tag-life/c2", tagging_doc({{"x", "y"}})).status, 200);
  EXPECT_EQ(req("DELETE", "/tag-life/c2").status, 204);
  EXPECT_EQ(req("GET", "/tag-life/c2?tagging").status, 404);
  EXPECT_EQ(req("PUT", "/tag-life/c2?tagging", {}, tagging_doc({{"x", "y"}})).status, 404);
  ASSERT_EQ(put("/tag-life/c2", "again").status, 200);
  EXPECT_EQ(tags_of("tag-life/c2"), tagging_doc({}));
}

TEST_F(Tagging, MultipartUploadsAndFormsCarryTheirTags) {
  bucket("tag-mp");
  std::string id = initiate("tag-mp/big", {"x-amz-tagging: stage=raw&team=a%2Fb"});
  ASSERT_FALSE(id.empty());
  Response part = put("/tag-mp/big?partNumber=1&uploadId=" + id, std::string(1000, 'p'));
  ASSERT_EQ(part.status, 200);
  Response done = req("POST", "/tag-mp/big?uploadId=" + id, {},
                      "<CompleteMultipartUpload><Part><PartNumber>1</PartNumber><ETag>" +
                          part.header("ETag") + "</ETag></Part></CompleteMultipartUpload>");
  ASSERT_EQ(done.status, 200) << done.raw;
  EXPECT_EQ(tags_of("tag-mp/big"), tagging_doc({{"stage", "raw"}, {"team", "a/b"}}));
  EXPECT_EQ(req("HEAD", "/tag-mp/big").header("x-amz-tagging-count"), "2");
  // Ten tags at their longest, each character four bytes and sent escaped: the upload keeps
  // them whole until Complete.
  std::string key_esc, value_esc;
  for (int i = 0; i < 127; i++) key_esc += "%F0%9F%98%80";
  for (int i = 0; i < 256; i++) value_esc += "%F0%9F%8C%8D";
  std::string header = "x-amz-tagging: ";
  Tags longest;
  for (int i = 0; i < 10; i++) {
    header += (i ? "&" : "") + std::to_string(i) + key_esc + "=" + value_esc;
    longest.push_back({std::to_string(i) + pct_decoded(key_esc), pct_decoded(value_esc)});
  }
  id = initiate("tag-mp/wide", {header});
  ASSERT_FALSE(id.empty());
  part = put("/tag-mp/wide?partNumber=1&uploadId=" + id, "w");
  done = req("POST", "/tag-mp/wide?uploadId=" + id, {},
             "<CompleteMultipartUpload><Part><PartNumber>1</PartNumber><ETag>" +
                 part.header("ETag") + "</ETag></Part></CompleteMultipartUpload>");
  ASSERT_EQ(done.status, 200) << done.raw;
  EXPECT_EQ(tags_of("tag-mp/wide"), tagging_doc(longest));
  // And a copy of it keeps them.
  ASSERT_EQ(req("PUT", "/tag-mp/wide-copy", {"x-amz-copy-source: /tag-mp/wide"}).status, 200);
  EXPECT_EQ(tags_of("tag-mp/wide-copy"), tagging_doc(longest));

  // Refused at initiation, before any part is sent.
  qa::expect_error(req("POST", "/tag-mp/bad?uploads", {"x-amz-tagging: a=1&a=2"}), 400,
                   "HTTP/1.1 400 Bad Request", "InvalidArgument", kBadHeader, "/tag-mp/bad");

  // A browser form's tagging field is a Tagging document.
  const std::string boundary = "----tagformBoundary";
  auto form = [&](const std::string &tagging) {
    std::string b = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"key\"\r\n\r\nform.txt\r\n";
    b += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"tagging\"\r\n\r\n" + tagging + "\r\n";
    b += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"f\"\r\n\r\n"
         "form data\r\n--" + boundary + "--\r\n";
    return req("POST", "/tag-mp", {"Content-Type: multipart/form-data; boundary=" + boundary}, b);
  };
  Response posted = form(tagging_doc({{"via", "form"}}, false));
  EXPECT_EQ(posted.status, 204) << posted.raw;
  EXPECT_EQ(tags_of("tag-mp/form.txt"), tagging_doc({{"via", "form"}}));
  Response refused = form(tagging_doc(numbered(11), false));
  EXPECT_EQ(refused.status, 400);
  EXPECT_NE(refused.body.find("<Code>BadRequest</Code>"), std::string::npos) << refused.raw;
  EXPECT_EQ(tags_of("tag-mp/form.txt"), tagging_doc({{"via", "form"}}));  // nothing stored
}

TEST_F(Tagging, LimitsAndMalformedSetsAreRefusedAndChangeNothing) {
  bucket("tag-lim");
  ASSERT_EQ(put("/tag-lim/o", "o", {"x-amz-tagging: keep=me"}).status, 200);
  const std::string keep = tagging_doc({{"keep", "me"}});
  const std::string k128(128, 'k'), v256(256, 'v');
  // 128 and 256 characters of four bytes each: counted in characters, not bytes (and the
  // record's line for them is longer than any other line a record holds).
  std::string wide_key, wide_value;
  for (int i = 0; i < 128; i++) wide_key += "\xF0\x9F\x98\x80";
  for (int i = 0; i < 256; i++) wide_value += "\xF0\x9F\x8C\x8D";
  struct row {
    const char *what;
    std::string body;
    int status;
    const char *code;
    std::string message;
  } rows[] = {
      {"ten tags", tagging_doc(numbered(10), false), 200, "", ""},
      {"longest key and value", tagging_doc({{k128, v256}}, false), 200, "", ""},
      {"longest in characters", tagging_doc({{wide_key, wide_value}}, false), 200, "", ""},
      {"allowed punctuation", tagging_doc({{"a+-=._:/@ z", "1 +-=._:/@"}}, false), 200, "", ""},
      {"empty set", tagging_doc({}, false), 200, "", ""},
      {"eleven tags", tagging_doc(numbered(11), false), 400, "BadRequest",
       "Object tags cannot be greater than 10"},
      {"key too long", tagging_doc({{k128 + "k", "v"}}, false), 400, "InvalidTag",
       "The TagKey you have provided is invalid"},
      {"key too long in characters", tagging_doc({{wide_key + "e", "v"}}, false), 400,
       "InvalidTag", "The TagKey you have provided is invalid"},
      {"value too long", tagging_doc({{"k", v256 + "v"}}, false), 400, "InvalidTag",
       "The TagValue you have provided is invalid"},
      {"empty key", tagging_doc({{"", "v"}}, false), 400, "InvalidTag",
       "The TagKey you have provided is invalid"},
      {"key character", tagging_doc({{"a%b", "v"}}, false), 400, "InvalidTag",
       "The TagKey you have provided is invalid"},
      {"value character", tagging_doc({{"k", "a&amp;b"}}, false), 400, "InvalidTag",
       "The TagValue you have provided is invalid"},
      {"duplicate key", tagging_doc({{"d", "1"}, {"d", "2"}}, false), 400, "InvalidTag",
       "Cannot provide multiple Tags with the same key"},
      {"system key", tagging_doc({{"aws:owner", "me"}}, false), 400, "InvalidTag",
       "Your TagKey cannot be prefixed with aws:"},
      {"no value", "<Tagging><TagSet><Tag><Key>k</Key></Tag></TagSet></Tagging>", 400,
       "MalformedXML", kMalformed},
      {"other root", "<Tags><TagSet/></Tags>", 400, "MalformedXML", kMalformed},
      {"no tag set", "<Tagging></Tagging>", 400, "MalformedXML", kMalformed},
      {"cut short", "<Tagging><TagSet><Tag><Key>k</Key><Value>v", 400, "MalformedXML", kMalformed},
      {"stray element", "<Tagging><TagSet><Tag><Key>k</Key><Value>v</Value><X/></Tag></TagSet></Tagging>",
       400, "MalformedXML", kMalformed},
      {"not XML", "color=blue", 400, "MalformedXML", kMalformed},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    ASSERT_EQ(put_tags("tag-lim/o", tagging_doc({{"keep", "me"}})).status, 200);
    Response a = put_tags("tag-lim/o", r.body);
    if (r.status == 200) {
      EXPECT_EQ(a.status, 200) << a.raw;
      // The stored set reads back exactly as sent.
      std::string sent = r.body;
      sent.replace(sent.find("<Tagging>"), 9, std::string("<Tagging xmlns=\"") + kXmlns + "\">");
      EXPECT_EQ(tags_of("tag-lim/o"), sent);
    } else {
      qa::expect_error(a, r.status, r.status == 400 ? "HTTP/1.1 400 Bad Request" : "", r.code,
                       r.message, "/tag-lim/o");
      EXPECT_EQ(tags_of("tag-lim/o"), keep);
    }
  }

  // The header form of PutObject: refused before anything is stored.
  struct header_row {
    std::string value;
    const char *code;
    std::string message;
  } headers[] = {
      {"a=1&a=2", "InvalidArgument", kBadHeader},
      {"=v", "InvalidArgument", kBadHeader},
      {"a=%zz", "InvalidArgument", kBadHeader},
      {"a=%ff", "InvalidArgument", kBadHeader},  // not UTF-8
      {"k0=v&k1=v&k2=v&k3=v&k4=v&k5=v&k6=v&k7=v&k8=v&k9=v&k10=v", "BadRequest",
       "Object tags cannot be greater than 10"},
      {"k=" + std::string(257, 'v'), "InvalidTag", "The TagValue you have provided is invalid"},
      {"k%25=v", "InvalidTag", "The TagKey you have provided is invalid"},
      {"aws%3Ax=v", "InvalidTag", "Your TagKey cannot be prefixed with aws:"},
  };
  for (const header_row &h : headers) {
    SCOPED_TRACE(h.value);
    qa::expect_error(put("/tag-lim/h", "h", {"x-amz-tagging: " + h.value}), 400,
                     "HTTP/1.1 400 Bad Request", h.code, h.message, "/tag-lim/h");
    EXPECT_FALSE(qt::file_exists(at("tag-lim/h")));
  }
  // Empty pairs are skipped, a key without "=" has an empty value, an empty header no tags.
  ASSERT_EQ(put("/tag-lim/h", "h", {"x-amz-tagging: a&&b=2&"}).status, 200);
  EXPECT_EQ(tags_of("tag-lim/h"), tagging_doc({{"a", ""}, {"b", "2"}}));
  ASSERT_EQ(put("/tag-lim/h", "h", {"x-amz-tagging:"}).status, 200);
  EXPECT_EQ(tags_of("tag-lim/h"), tagging_doc({}));
}

TEST_F(Tagging, BucketTagsLiveBesideTheBucketAndGoWithIt) {
  bucket("tag-bkt");
  qa::expect_error(req("GET", "/tag-bkt?tagging"), 404, "HTTP/1.1 404 Not Found", "NoSuchTagSet",
                   "The TagSet does not exist", "/tag-bkt");
  Response set = req("PUT", "/tag-bkt?tagging", {}, tagging_doc(numbered(50, "b"), false));
  EXPECT_EQ(set.status, 204) << set.raw;
  EXPECT_EQ(req("GET", "/tag-bkt?tagging").body, tagging_doc(numbered(50, "b")));
  Response many = req("PUT", "/tag-bkt?tagging", {}, tagging_doc(numbered(51, "b"), false));
  qa::expect_error(many, 400, "HTTP/1.1 400 Bad Request", "BadRequest",
                   "Bucket tag count cannot be greater than 50", "/tag-bkt");
  EXPECT_EQ(req("GET", "/tag-bkt?tagging").body, tagging_doc(numbered(50, "b")));
  // The bucket's objects and listing never see the set.
  EXPECT_EQ(req("GET", "/tag-bkt").body.find("<Contents>"), std::string::npos);
  EXPECT_EQ(req("HEAD", "/tag-bkt?tagging").status, 200);

  EXPECT_EQ(req("DELETE", "/tag-bkt?tagging").status, 204);
  EXPECT_EQ(req("GET", "/tag-bkt?tagging").status, 404);
  EXPECT_TRUE(qt::dir_exists(at("tag-bkt")));  // a DELETE of the set never deletes the bucket

  // Gone with the bucket: a new bucket of that name starts without tags.
  ASSERT_EQ(req("PUT", "/tag-bkt?tagging", {}, tagging_doc({{"x", "1"}}, false)).status, 204);
  ASSERT_EQ(req("DELETE", "/tag-bkt").status, 204);
  for (const char *m : {"GET", "PUT", "DELETE"})
    EXPECT_EQ(req(m, "/tag-bkt?tagging", {}, tagging_doc({{"x", "1"}}, false)).status, 404) << m;
  bucket("tag-bkt");
  EXPECT_EQ(req("GET", "/tag-bkt?tagging").status, 404);
}

TEST_F(Tagging, EarlierRecordsAndObjectsWithoutOneTakeTags) {
  bucket("tag-old");
  // A record as versions before tags wrote it, and an object dropped in by other means.
  ASSERT_EQ(put("/tag-old/rec", "record data").status, 200);
  const std::string record = "text/x-old\n" + qt::md5_hex("record data") +
                             "\nx-amz-meta-a:1\n+Cache-Control max-age=5\n";
  qt::write_file(at(".s3meta/tag-old/rec"), record);
  qt::write_file(at("tag-old/plain"), "plain data");

  EXPECT_EQ(tags_of("tag-old/rec"), tagging_doc({}));
  EXPECT_EQ(tags_of("tag-old/plain"), tagging_doc({}));
  Response old = req("GET", "/tag-old/rec");
  EXPECT_EQ(old.header("Content-Type"), "text/x-old");
  EXPECT_FALSE(old.has_header("x-amz-tagging-count"));

  ASSERT_EQ(put_tags("tag-old/rec", tagging_doc({{"t", "1"}})).status, 200);
  ASSERT_EQ(put_tags("tag-old/plain", tagging_doc({{"p", "2"}})).status, 200);
  // Every line of the earlier record is kept, the tags follow them.
  EXPECT_EQ(qt::read_file(at(".s3meta/tag-old/rec")), record + "+Tag t 1\n");
  Response rec = req("GET", "/tag-old/rec");
  EXPECT_EQ(rec.header("Content-Type"), "text/x-old");
  EXPECT_EQ(rec.header("Cache-Control"), "max-age=5");
  EXPECT_EQ(rec.header("x-amz-meta-a"), "1");
  EXPECT_EQ(rec.header("x-amz-tagging-count"), "1");
  Response plain = req("GET", "/tag-old/plain");
  EXPECT_EQ(plain.body, "plain data");
  EXPECT_EQ(plain.header("ETag"), "\"" + qt::md5_hex("plain data") + "\"");
  EXPECT_EQ(tags_of("tag-old/plain"), tagging_doc({{"p", "2"}}));
  // Removing the tags of an object without a record leaves it without one.
  qt::write_file(at("tag-old/bare"), "bare");
  EXPECT_EQ(req("DELETE", "/tag-old/bare?tagging").status, 204);
  EXPECT_FALSE(qt::file_exists(at(".s3meta/tag-old/bare")));
}

TEST_F(Tagging, TagChangesRacingNewVersionsNeverPairARecordWithOtherData) {
  // A tag change rewrites the record it read; a version stored in between must keep its own
  // record (its ETag, type and tags), never get the earlier one back.
  bucket("tag-race");
  ASSERT_EQ(put("/tag-race/k", "v0", {"x-amz-tagging: n=0"}).status, 200);
  std::atomic<bool> stop{false};
  std::thread tagger([&] {
    for (int i = 0; !stop; i++)
      qt::request(port(), "PUT", "/tag-race/k?tagging", {},
                  tagging_doc({{"t", std::to_string(i)}}, false));
  });
  for (int i = 1; i <= 60; i++) {
    const std::string body = "version " + std::to_string(i);
    ASSERT_EQ(put("/tag-race/k", body, {"Content-Type: text/v" + std::to_string(i)}).status, 200);
    Response got = req("GET", "/tag-race/k");
    if (got.body != body) continue;  // an answer of a later write cannot happen: one writer
    EXPECT_EQ(got.header("ETag"), "\"" + qt::md5_hex(body) + "\"") << i;
    EXPECT_EQ(got.header("Content-Type"), "text/v" + std::to_string(i)) << i;
    // Its tags are none (its own write gave none) or one the tagger set after it.
    const std::string count = got.header("x-amz-tagging-count");
    EXPECT_TRUE(count.empty() || count == "1") << count;
    EXPECT_EQ(tags_of("tag-race/k").find("<Key>n</Key>"), std::string::npos) << i;
  }
  stop = true;
  tagger.join();
}

}  // namespace
