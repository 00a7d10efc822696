// Metadata files: what meta_save writes for a request head, and what meta_load gives back
// from files written by the server or by hand.
#include "scratch.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/state.h"
#include "http/request.h"
#include "platform/platform.h"
#include "store/layout.h"
#include "store/files.h"
#include "store/meta.h"

namespace {

class MetaTest : public ut::Scratch {
 protected:
  std::string meta_file(const std::string &bucket, const std::string &key) {
    return root + "/.s3meta/" + bucket + "/" + key;
  }
  static std::string read(const std::string &path) { return ut::read_file(path); }
  void write(const std::string &bucket, const std::string &key, const std::string &data) {
    ut::write_file(meta_file(bucket, key), data);
  }
  struct loaded {
    int rc;
    std::string ctype, etag, block;
  };
  loaded load(const std::string &bucket, const std::string &key, size_t etag_size = 96) {
    char ctype[256] = "";
    char etag[96] = "";
    char block[1024] = "";
    loaded l;
    l.rc = meta_load(bucket.c_str(), key.c_str(), ctype, etag, etag_size, block);
    l.ctype = ctype;
    l.etag = etag;
    l.block = block;
    return l;
  }
};

const char *kMd5 = "0123456789abcdef0123456789abcdef";

TEST_F(MetaTest, SaveRecordsUserMetadataFromTheHead) {
  struct Case {
    const char *name;
    std::string head;
    const char *ctype;
    std::string file;
  };
  const std::string big(1500, 'v');
  const Case cases[] = {
      {"trimmed values, names as spelled",
       "PUT /b/k HTTP/1.1\r\nHost: h\r\nContent-Type: text/plain\r\n"
       "x-amz-meta-color:  blue \r\nX-Amz-Meta-Size:\t10\r\n\r\n",
       "text/plain", std::string("text/plain\n") + kMd5 + "\nx-amz-meta-color:blue\nX-Amz-Meta-Size:10\n"},
      {"no content type gives an empty first line", "PUT /b/k HTTP/1.1\r\n\r\n", nullptr,
       std::string("\n") + kMd5 + "\n"},
      {"no colon is not recorded, an empty name part is",
       "PUT /b/k HTTP/1.1\r\nx-amz-meta-note\r\nx-amz-meta-:v\r\n\r\n", "",
       std::string("\n") + kMd5 + "\nx-amz-meta-:v\n"},
      {"repeats keep head order",
       "PUT /b/k HTTP/1.1\r\nx-amz-meta-a: 1\r\nHost: h\r\nx-amz-meta-a: 2\r\n\r\n", "",
       std::string("\n") + kMd5 + "\nx-amz-meta-a:1\nx-amz-meta-a:2\n"},
      {"long value cut to 1023 bytes", "PUT /b/k HTTP/1.1\r\nx-amz-meta-big: " + big + "\r\n\r\n",
       "", std::string("\n") + kMd5 + "\nx-amz-meta-big:" + big.substr(0, 1023) + "\n"},
      {"name above 255 bytes is not recorded",
       "PUT /b/k HTTP/1.1\r\nx-amz-meta-" + std::string(250, 'n') + ": v\r\n\r\n", "",
       std::string("\n") + kMd5 + "\n"},
      {"control characters in the name are not recorded",
       "PUT /b/k HTTP/1.1\r\nx-amz-meta-a\rSet-Cookie: evil\r\nx-amz-meta-b\t: t\r\nx-amz-meta-ok: 1\r\n\r\n",
       "", std::string("\n") + kMd5 + "\nx-amz-meta-ok:1\n"},
      {"last piece without line feed and LF-only lines", "PUT /b/k HTTP/1.1\nx-amz-meta-x: 1\nx-amz-meta-y: 2",
       "", std::string("\n") + kMd5 + "\nx-amz-meta-x:1\nx-amz-meta-y:2\n"},
  };
  for (const Case &c : cases) {
    meta_save("bkt", "dir/obj.txt", kMd5, c.ctype, c.head.data(), c.head.size());
    EXPECT_EQ(read(meta_file("bkt", "dir/obj.txt")), c.file) << c.name;
  }
}

TEST_F(MetaTest, RoundTripAndLineEnds) {
  const std::string head = "PUT /b/k HTTP/1.1\r\nContent-Type: text/csv\r\nx-amz-meta-owner: ann\r\n\r\n";
  meta_save("bkt", "a/b/c", kMd5, "text/csv", head.data(), head.size());
  loaded l = load("bkt", "a/b/c");
  EXPECT_EQ(l.rc, 1);
  EXPECT_EQ(l.ctype, "text/csv");
  EXPECT_EQ(l.etag, kMd5);
  EXPECT_EQ(l.block, "x-amz-meta-owner:ann\r\n");

  // CR LF line ends read the same as LF; leading blanks are skipped.
  write("bkt", "crlf", std::string(" text/csv\r\n") + kMd5 + "\r\nx-amz-meta-owner:ann\r\n");
  loaded c = load("bkt", "crlf");
  EXPECT_EQ(c.ctype, l.ctype);
  EXPECT_EQ(c.etag, l.etag);
  EXPECT_EQ(c.block, l.block);

  // A line with a CR inside (a file written by hand) is ignored: it would split a head line.
  write("bkt", "cr", std::string("text/csv\rSet-Cookie: a\n") + kMd5 +
                         "\rX: b\nx-amz-meta-a\rSet-Cookie:evil\nx-amz-meta-owner:ann\n");
  loaded cr = load("bkt", "cr");
  EXPECT_EQ(cr.ctype, "");
  EXPECT_EQ(cr.etag, "");
  EXPECT_EQ(cr.block, "x-amz-meta-owner:ann\r\n");

  // No file: 0 and the caller's buffers untouched.
  EXPECT_EQ(load("bkt", "missing").rc, 0);
  // Two lines only, first empty: empty content type and block.
  write("bkt", "two", std::string("\n") + kMd5 + "\n");
  loaded t = load("bkt", "two");
  EXPECT_EQ(t.rc, 1);
  EXPECT_EQ(t.ctype, "");
  EXPECT_EQ(t.etag, kMd5);
  EXPECT_EQ(t.block, "");

  meta_remove("bkt", "a/b/c");
  EXPECT_EQ(load("bkt", "a/b/c").rc, 0);
  meta_remove("bkt", "a/b/c");  // already gone: no harm
}

TEST_F(MetaTest, ReaderLimits) {
  // A 96-character ETag does not fit a 96-byte buffer; 95 does.
  write("bkt", "e96", "text/plain\n" + std::string(96, 'e') + "\n");
  EXPECT_EQ(load("bkt", "e96").etag, "");
  write("bkt", "e95", "text/plain\n" + std::string(95, 'e') + "\n");
  EXPECT_EQ(load("bkt", "e95").etag, std::string(95, 'e'));
  // The same ETag with CopyObject's 80-byte buffer.
  EXPECT_EQ(load("bkt", "e95", 80).etag, "");

  // Content type: 255 taken, 256 ignored.
  write("bkt", "c255", std::string(255, 'c') + "\n\n");
  EXPECT_EQ(load("bkt", "c255").ctype, std::string(255, 'c'));
  write("bkt", "c256", std::string(256, 'c') + "\n\n");
  EXPECT_EQ(load("bkt", "c256").ctype, "");

  // Five lines of 300 characters: three whole lines with their ends, then 117 characters.
  std::string file = "\n\n", expect;
  for (int i = 0; i < 5; i++) {
    std::string line = "x-amz-meta-" + std::to_string(i) + ":" + std::string(300 - 13, char('a' + i));
    ASSERT_EQ(line.size(), 300u);
    file += line + "\n";
    if (i < 3) expect += line + "\r\n";
    if (i == 3) expect += line.substr(0, 117);
  }
  write("bkt", "five", file);
  loaded f = load("bkt", "five");
  EXPECT_EQ(f.block.size(), 1023u);
  EXPECT_EQ(f.block, expect);
}

TEST_F(MetaTest, OverLongLineIsConsumedWhole) {
  // A 255-byte name and a 1023-byte value make a line longer than one read. Its remainder holds
  // a colon, but must not come back as a header of its own; the next line still reads.
  std::string name = "x-amz-meta-" + std::string(244, 'n');
  std::string value = std::string(900, 'v') + ":evil" + std::string(118, 'w');
  ASSERT_EQ(value.size(), 1023u);
  std::string head = "PUT /b/k HTTP/1.1\r\n" + name + ": " + value + "\r\nx-amz-meta-next: ok\r\n\r\n";
  meta_save("bkt", "long", kMd5, "", head.data(), head.size());
  ASSERT_EQ(read(meta_file("bkt", "long")),
            std::string("\n") + kMd5 + "\n" + name + ":" + value + "\nx-amz-meta-next:ok\n");
  loaded l = load("bkt", "long");
  EXPECT_EQ(l.block, (name + ":" + value).substr(0, 1023));
  EXPECT_EQ(l.block.find("evil"), std::string::npos);

  // The colon of this line lies beyond the first read: the line is no header, its tail neither.
  std::string file = std::string("\n\n") + "x-amz-meta-a:1\n" + std::string(1100, 'x') + ":tail:y\n" +
                     "x-amz-meta-b:2\n";
  write("bkt", "long2", file);
  loaded m = load("bkt", "long2");
  EXPECT_EQ(m.block, "x-amz-meta-a:1\r\nx-amz-meta-b:2\r\n");
}

TEST_F(MetaTest, PathThatDoesNotFitIsNeverCut) {
  // root/.s3meta/bucket/key beyond 4351 characters: nothing is written and nothing is read,
  // in particular not the file the cut path would name.
  // Segments of one file name each; the object path fits exactly.
  const size_t want = 4351 - root.size() - 1 - 3 - 1;
  std::string key;
  while (want - key.size() > 201) key += std::string(200, 'k') + "/";
  key += std::string(want - key.size(), 'k');
  char obj[S3_FS_PATH];
  ASSERT_EQ(object_path("bkt", key.c_str(), obj), 0);
  char mp[S3_FS_PATH];
  ASSERT_EQ(meta_path("bkt", key.c_str(), mp), -1);
  meta_save("bkt", key.c_str(), kMd5, "text/plain", "", 0);
  EXPECT_EQ(load("bkt", key).rc, 0);
}

// The part layout of the largest object: 10,000 parts, runs of equal sizes among single ones,
// spread over as many lines as it takes; every part is found where its predecessors end.
TEST_F(MetaTest, PartLayoutRoundTrip) {
  std::vector<uint64_t> sizes;
  for (size_t i = 0; i < S3_PARTS_MAX; i++)
    sizes.push_back(i % 7 == 0 ? 5242880 : (i < 6000 ? 8388608 : 1000000000000ull + i));
  const part_layout layout = {sizes.data(), sizes.size()};
  const std::string head = "PUT /b/k HTTP/1.1\r\nx-amz-meta-a: 1\r\n\r\n";
  meta_draft d;
  ASSERT_EQ(meta_draft_write(&d, "bkt", "big", "e-10000", "text/plain", head.data(), head.size(),
                             &layout),
            0);
  ASSERT_EQ(meta_draft_sync(&d), 0);
  ASSERT_EQ(meta_draft_publish(&d, plat_time_now_ns()), 0);
  const std::string file = read(meta_file("bkt", "big"));
  ASSERT_NE(file.find("\n+Parts 5242880 8388608*6 5242880 "), std::string::npos);
  for (size_t pos = 0; pos < file.size();) {
    size_t end = file.find('\n', pos);
    EXPECT_LE(end - pos, 1000u) << "a layout line longer than a reader keeps";
    pos = end + 1;
  }
  std::vector<uint64_t> offsets(1, 0);
  for (uint64_t size : sizes) offsets.push_back(offsets.back() + size);
  // A sample of parts (each read goes through the whole record): both ends, every run kind.
  for (uint32_t want = 1; want <= S3_PARTS_MAX; want += (want < 30 || want > 9970) ? 1 : 97) {
    char ctype[256] = "", etag[96] = "", block[1024] = "";
    part_lookup p;
    part_lookup_clear(&p, want);
    ASSERT_EQ(meta_load("bkt", "big", ctype, etag, sizeof etag, block, nullptr, &p), 1);
    ASSERT_TRUE(p.found && !p.bad) << want;
    ASSERT_EQ(p.count, S3_PARTS_MAX);
    ASSERT_EQ(p.first, offsets[want - 1]) << want;
    ASSERT_EQ(p.len, sizes[want - 1]) << want;
    // The layout lines are neither user metadata nor anything else a reader shows.
    if (want == 1) {
      EXPECT_STREQ(block, "x-amz-meta-a:1\r\n");
    }
  }
  part_lookup all;
  part_lookup_clear(&all, 0);
  char ctype[256] = "", etag[96] = "", block[1024] = "";
  meta_load("bkt", "big", ctype, etag, sizeof etag, block, nullptr, &all);
  EXPECT_EQ(all.total, offsets.back());
  EXPECT_FALSE(all.found);

  // Lines that cannot be read make the layout one not to use.
  for (const char *bad : {"+Parts 5*0", "+Parts x", "+Parts 5*10001", "+Parts 5 -1",
                          "+Parts 18446744073709551615*2"}) {
    write("bkt", "bad", std::string("\n") + kMd5 + "\n" + bad + "\n");
    part_lookup p;
    part_lookup_clear(&p, 1);
    meta_load("bkt", "bad", ctype, etag, sizeof etag, block, nullptr, &p);
    EXPECT_TRUE(p.bad) << bad;
  }
}

}  // namespace

TEST(ContentHeadersFromHead, WhatAHeadGivesAndWhatIsRefused) {
  struct Case {
    const char *name;
    std::string head;
    int rc;
    int bad;                  // index refused, when rc is -1
    const char *encoding;     // Content-Encoding kept
    const char *disposition;  // Content-Disposition kept
  };
  const Case cases[] = {
      {"trimmed, any case, first line wins",
       "PUT /b/k HTTP/1.1\r\ncontent-encoding:\t gzip \r\nCONTENT-DISPOSITION: inline\r\n"
       "Content-Encoding: br\r\n\r\n",
       0, -1, "gzip", "inline"},
      {"aws-chunked token removed", "PUT /b/k HTTP/1.1\r\nContent-Encoding: aws-chunked,gzip\r\n", 0,
       -1, "gzip", ""},
      {"user metadata and look-alikes are no content headers",
       "PUT /b/k HTTP/1.1\r\nx-amz-meta-content-encoding: gzip\r\nContent-Encodings: br\r\n", 0, -1,
       "", ""},
      {"control character refused, the rest kept",
       "PUT /b/k HTTP/1.1\r\nContent-Disposition: a\x01z\r\nContent-Encoding: gzip\r\n", -1,
       CH_CONTENT_DISPOSITION, "gzip", ""},
      {"too long refused, never cut",
       "PUT /b/k HTTP/1.1\r\nContent-Disposition: " + std::string(1100, 'd') + "\r\n", -1,
       CH_CONTENT_DISPOSITION, "", ""},
      {"colons count three times toward the limit",
       "PUT /b/k HTTP/1.1\r\nContent-Disposition: " + std::string(400, ':') + "\r\n", -1,
       CH_CONTENT_DISPOSITION, "", ""},
  };
  for (const Case &c : cases) {
    content_headers h;
    int bad = -1;
    EXPECT_EQ(content_headers_from_head(c.head.data(), c.head.size(), &h, &bad), c.rc) << c.name;
    EXPECT_EQ(bad, c.bad) << c.name;
    EXPECT_STREQ(h.value[CH_CONTENT_ENCODING], c.encoding) << c.name;
    EXPECT_STREQ(h.value[CH_CONTENT_DISPOSITION], c.disposition) << c.name;
  }
}

TEST_F(MetaTest, ContentHeadersRoundTripThroughARecord) {
  const std::string head =
      "PUT /b/k HTTP/1.1\r\nExpires: Thu, 01 Dec 2044 16:00:00 GMT\r\nx-amz-meta-a: 1\r\n"
      "Content-Disposition: attachment; filename=\"100%25: x\"\r\n\r\n";
  meta_save("bkt", "k", kMd5, "text/plain", head.data(), head.size());
  char ctype[256] = "", etag[96] = "", block[1024] = "";
  content_headers c;
  content_headers_clear(&c);
  ASSERT_EQ(meta_load("bkt", "k", ctype, etag, sizeof etag, block, &c), 1);
  EXPECT_STREQ(c.value[CH_EXPIRES], "Thu, 01 Dec 2044 16:00:00 GMT");
  EXPECT_STREQ(c.value[CH_CONTENT_DISPOSITION], "attachment; filename=\"100%25: x\"");
  EXPECT_STREQ(c.value[CH_CACHE_CONTROL], "");
  // A reader that takes no content headers sees the user metadata alone.
  EXPECT_STREQ(block, "x-amz-meta-a:1\r\n");
  char rendered[S3_CONTENT_BLOCK_CAP];
  content_headers_render(&c, rendered, sizeof rendered);
  EXPECT_STREQ(rendered,
               "Content-Disposition: attachment; filename=\"100%25: x\"\r\n"
               "Expires: Thu, 01 Dec 2044 16:00:00 GMT\r\n");
}

namespace {

// Checksum lines: a record written with the object's checksum and its parts' gives them back,
// one part at a time and as a page with the layout's sizes; lines that cannot be read are
// skipped; a record written before checksums were kept reads as one without a checksum, its
// user metadata untouched.
TEST_F(MetaTest, ChecksumLinesRoundTripAndOlderRecordsReadWithout) {
  mkdir_parent(meta_file("b", "k").c_str());
  char values[45][CK_B64_CAP];
  std::vector<uint64_t> sizes;
  for (int i = 0; i < 45; i++) {
    snprintf(values[i], CK_B64_CAP, "%04dAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=", i);
    sizes.push_back(i == 44 ? 1 : 1000);
  }
  const record_checksum whole = {CK_SHA256, CK_TYPE_COMPOSITE, "AbC+/=-45"};
  const part_checksums parts = {CK_SHA256, 45, values};
  const part_layout layout = {sizes.data(), sizes.size()};
  meta_draft d;
  ASSERT_EQ(0, meta_draft_write(&d, "b", "k", "e-45", "text/plain", "x-amz-meta-a: 1\r\n", 17,
                                &layout, &whole, &parts));
  ASSERT_EQ(0, meta_draft_sync(&d));
  ASSERT_EQ(0, meta_draft_publish(&d, plat_time_now_ns()));
  // Several part lines: each stays within what the reader keeps of a line.
  std::string file = read(meta_file("b", "k"));
  size_t lines = 0;
  for (size_t at = file.find("+PartSums SHA256 "); at != std::string::npos;
       at = file.find("+PartSums SHA256 ", at + 1)) {
    lines++;
    EXPECT_LT(file.find('\n', at) - at, 1000u);
  }
  EXPECT_GT(lines, 1u);

  uint64_t page_sizes[3] = {0, 0, 0};
  char page[3][CK_B64_CAP] = {"", "", ""};
  char ctype[256] = "", etag[96] = "", user[1024] = "";
  record_sums sums;
  record_sums_clear(&sums, 44);
  sums.after = 42;
  sums.cap = 3;
  sums.sizes = page_sizes;
  sums.values = page;
  part_lookup pl;
  part_lookup_clear(&pl, 44);
  ASSERT_EQ(1, meta_load("b", "k", ctype, etag, sizeof etag, user, nullptr, &pl, &sums));
  EXPECT_STREQ("x-amz-meta-a:1\r\n", user);
  EXPECT_EQ(CK_SHA256, sums.whole.algo);
  EXPECT_EQ(CK_TYPE_COMPOSITE, sums.whole.type);
  EXPECT_STREQ("AbC+/=-45", sums.whole.value);
  EXPECT_STREQ(values[43], sums.want_value);
  EXPECT_EQ(45u, sums.sums_seen);
  EXPECT_STREQ(values[42], page[0]);
  EXPECT_STREQ(values[44], page[2]);
  EXPECT_EQ(1000u, page_sizes[0]);
  EXPECT_EQ(1u, page_sizes[2]);

  struct Case {
    const char *record;
    int algo;
    const char *value;
  } cases[] = {
      {"text/plain\netag\nx-amz-meta-a:1\n", CK_NONE, ""},  // written before checksums
      {"\netag\n+Checksum CRC32 FULL_OBJECT DUoRhQ==\n", CK_CRC32, "DUoRhQ=="},
      {"\netag\n+Checksum MD5 FULL_OBJECT DUoRhQ==\n", CK_NONE, ""},
      {"\netag\n+Checksum CRC32 PARTIAL DUoRhQ==\n", CK_NONE, ""},
      {"\netag\n+Checksum CRC32 FULL_OBJECT DUo\rRhQ==\n", CK_NONE, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.record);
    write("b", "old", c.record);
    char ct[256] = "", et[96] = "", um[1024] = "";
    record_sums s;
    record_sums_clear(&s, 0);
    ASSERT_EQ(1, meta_load("b", "old", ct, et, sizeof et, um, nullptr, nullptr, &s));
    EXPECT_EQ(c.algo, s.whole.algo);
    EXPECT_STREQ(c.value, s.whole.value);
    EXPECT_EQ(std::string(c.record).find("meta") != std::string::npos ? "x-amz-meta-a:1\r\n" : "",
              std::string(um));
  }
}

}  // namespace
