// The multipart store: upload ids, the "meta" and ".etag" readers, the final ETag and the
// start-up sweep's age boundary.
#include "scratch.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "digest/hash.h"
#include "base/state.h"
#include "http/request.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "store/files.h"
#include "store/mpu.h"

namespace {

class MpuTest : public ut::Scratch {
 protected:
  std::string upload(const std::string &id) { return root + "/.mpu/bkt/" + id; }
  void write(const std::string &path, const std::string &data) { ut::write_file(path, data); }
};

using ut::md5_of;

TEST(MpuIds, ThirtyTwoLowercaseHexDigitsAndFresh) {
  char a[33], b[33];
  mpu_new_upload_id(a);
  mpu_new_upload_id(b);
  ASSERT_EQ(strlen(a), 32u);
  for (const char *p = a; *p; p++) EXPECT_TRUE((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f')) << a;
  EXPECT_STRNE(a, b);
}

// An upload is made only inside a bucket that exists, and then whole: folder and "meta" file.
TEST_F(MpuTest, CreateNeedsTheBucket) {
  const char *id = "0123456789abcdef0123456789abcdef";
  EXPECT_EQ(mpu_create("bkt", id, "k", "text/plain", nullptr, 0), 1);
  EXPECT_FALSE(ut::exists(root + "/.mpu/bkt"));
  plat_mkdir((root + "/bkt").c_str());
  ASSERT_EQ(mpu_create("bkt", id, "dir/k", "text/plain", nullptr, 0), 0);
  char key[4096], ctype[256];
  ASSERT_EQ(mpu_meta_read("bkt", id, key, ctype), 0);
  EXPECT_STREQ(key, "dir/k");
  EXPECT_STREQ(ctype, "text/plain");
}

TEST_F(MpuTest, MetaReader) {
  struct {
    const char *name, *content;
    int rc;
    const char *key, *ctype;
  } cases[] = {
      {"lf", "dir/a.bin\ntext/plain\n", 0, "dir/a.bin", "text/plain"},
      {"crlf", "dir/a.bin\r\ntext/plain\r\n", 0, "dir/a.bin", "text/plain"},
      {"key line only", "k", 0, "k", ""},
      {"key and empty type", "k\n\n", 0, "k", ""},
      {"empty file", "", -1, "", ""},
  };
  for (auto &c : cases) {
    write(upload("u1") + "/meta", c.content);
    char key[4096] = "x", ctype[256] = "x";
    EXPECT_EQ(mpu_meta_read("bkt", "u1", key, ctype), c.rc) << c.name;
    if (c.rc == 0) {
      EXPECT_STREQ(key, c.key) << c.name;
      EXPECT_STREQ(ctype, c.ctype) << c.name;
    }
  }
  char key[4096], ctype[256];
  EXPECT_EQ(mpu_meta_read("bkt", "missing", key, ctype), -1);
}

TEST_F(MpuTest, PartEtagReader) {
  struct {
    const char *name, *content;
    int rc;
    const char *etag;
  } cases[] = {
      {"lf", "0123456789abcdef0123456789abcdef\n", 0, "0123456789abcdef0123456789abcdef"},
      {"crlf", "0123456789abcdef0123456789abcdef\r\n", 0, "0123456789abcdef0123456789abcdef"},
      {"empty file", "", -1, ""},
      {"empty line", "\n", -1, ""},
  };
  for (auto &c : cases) {
    write(upload("u1") + "/7.etag", c.content);
    char etag[80] = "x";
    EXPECT_EQ(mpu_part_etag("bkt", "u1", 7, etag), c.rc) << c.name;
    if (c.rc == 0) {
      EXPECT_STREQ(etag, c.etag) << c.name;
    }
  }
  char etag[80];
  EXPECT_EQ(mpu_part_etag("bkt", "u1", 8, etag), -1);
}

TEST_F(MpuTest, FinalEtagIsDigestOfPartDigestsWithCount) {
  unsigned char d1[16], d2[16];
  std::string e1 = md5_of("first part", d1);
  std::string e2 = md5_of("second", d2);
  write(upload("u1") + "/1.etag", e1 + "\n");
  write(upload("u1") + "/2.etag", e2 + "\n");

  unsigned char both[32], expect_raw[16];
  memcpy(both, d1, 16);
  memcpy(both + 16, d2, 16);
  std::string expect = md5_of(std::string(reinterpret_cast<char *>(both), 32), expect_raw);

  // The final ETag as Complete builds it: the recorded ETag of each listed part, fed in order.
  auto final_etag = [](const unsigned long *list, size_t n, char out[48]) {
    md5_ctx c;
    md5_init(&c);
    for (size_t i = 0; i < n; i++) {
      char etag[80];
      if (mpu_part_etag("bkt", "u1", list[i], etag) == 0) mpu_etag_feed(&c, etag);
    }
    mpu_etag_finish(&c, n, out);
  };
  unsigned long parts[] = {1, 2};
  char out[48];
  final_etag(parts, 2, out);
  EXPECT_EQ(std::string(out), expect + "-2");

  // A repeated part counts twice; a part without ETag adds nothing but still counts.
  unsigned long again[] = {1, 1, 9};
  memcpy(both + 16, d1, 16);
  expect = md5_of(std::string(reinterpret_cast<char *>(both), 32), expect_raw);
  final_etag(again, 3, out);
  EXPECT_EQ(std::string(out), expect + "-3");
}

TEST_F(MpuTest, SweepRemovesOnlyUploadsWhoseLastWriteIsOlderThanSevenDays) {
  // The boundary is exact to the second, so the fixture is rebuilt when the clock ticks
  // between setting the times and the sweep.
  for (int attempt = 0; attempt < 5; attempt++) {
    delete_dir_recursive((root + "/.mpu").c_str());
    int64_t now = server_now();
    write(upload("old") + "/meta", "k\n\n");
    write(upload("old") + "/1.part", "data");
    write(upload("edge") + "/meta", "k\n\n");
    write(upload("fresh") + "/meta", "k\n\n");
    // Begun long ago, still receiving parts: its age is that of its last part.
    write(upload("active") + "/meta", "k\n\n");
    write(upload("active") + "/1.part", "data");
    write(upload("active") + "/2.part", "data");
    write(upload("nometa") + "/1.part", "data");
    write(root + "/.mpu/bkt/plainfile", "x");
    // Completion records live as long as an upload would.
    write(upload("old.done"), "k\ne-1\n1\n");
    write(upload("edge.done"), "k\ne-1\n1\n");
    ASSERT_EQ(plat_set_mtime(upload("old.done").c_str(), now - 604801), 0);
    ASSERT_EQ(plat_set_mtime(upload("edge.done").c_str(), now - 604800), 0);
    ASSERT_EQ(plat_set_mtime((upload("old") + "/meta").c_str(), now - 604801), 0);
    ASSERT_EQ(plat_set_mtime((upload("old") + "/1.part").c_str(), now - 604801), 0);
    ASSERT_EQ(plat_set_mtime((upload("active") + "/meta").c_str(), now - 30 * 86400), 0);
    ASSERT_EQ(plat_set_mtime((upload("active") + "/1.part").c_str(), now - 20 * 86400), 0);
    ASSERT_EQ(plat_set_mtime((upload("edge") + "/meta").c_str(), now - 604800), 0);
    ASSERT_EQ(plat_set_mtime((upload("nometa") + "/1.part").c_str(), now - 10 * 604800), 0);
    mpu_gc_sweep();
    if (server_now() != now) continue;
    EXPECT_FALSE(is_directory(upload("old").c_str()));
    EXPECT_TRUE(is_directory(upload("edge").c_str()));
    EXPECT_TRUE(is_directory(upload("fresh").c_str()));
    EXPECT_TRUE(is_directory(upload("active").c_str()));
    EXPECT_TRUE(is_directory(upload("nometa").c_str()));
    plat_stat_t st;
    EXPECT_EQ(plat_stat((root + "/.mpu/bkt/plainfile").c_str(), &st), 0);
    EXPECT_NE(plat_stat(upload("old.done").c_str(), &st), 0);
    EXPECT_EQ(plat_stat(upload("edge.done").c_str(), &st), 0);
    EXPECT_TRUE(is_directory((root + "/.mpu/bkt").c_str()));
    return;
  }
  FAIL() << "clock kept ticking during the sweep";
}

}  // namespace
