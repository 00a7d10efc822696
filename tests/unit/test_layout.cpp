// The storage tree helpers: path rules, directory creation, replacing moves, recursive
// deletion, the emptiness test, file times, content types, temporary names and range copies.
#include "scratch.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "digest/hash.h"
#include "base/date.h"
#include "base/state.h"
#include "http/request.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "store/content_type.h"
#include "store/files.h"
#include "store/layout.h"
#include "store/names.h"
#include "store/temp_names.h"
#include "store/walk.h"

namespace {

class LayoutTest : public ut::Scratch {
 protected:
  void write(const std::string &rel, const std::string &data) { ut::write_file(p(rel), data); }
  std::string read(const std::string &rel) { return ut::read_file(p(rel)); }
  bool exists(const std::string &rel) { return ut::exists(p(rel)); }
};

TEST_F(LayoutTest, ObjectPathRules) {
  // The root here is about 27 characters; fill keys so root/bucket/key lands on the limit.
  const std::string head = root + "/photos/";
  const std::string fits(4351 - head.size(), 'k');
  struct row {
    const char *name;
    const char *bucket;
    std::string key;
    bool has_key;
    int rc;
    std::string want;
  } rows[] = {
      {"nested key", "photos", "2024/a.jpg", true, 0, root + "/photos/2024/a.jpg"},
      {"no key", "photos", "", false, 0, root + "/photos"},
      {"empty key", "photos", "", true, 0, root + "/photos"},
      {"exactly 4351", "photos", fits, true, 0, head + fits},
      {"one beyond", "photos", fits + "k", true, -1, ""},
      {"folder marker", "photos", "2024/", true, 0, root + "/photos/2024/.quillmar-folder"},
      {"marker with its name beyond", "photos", fits.substr(14) + "/", true, -1, ""},
      {"only slashes", "photos", "//", true, -1, ""},
      {"marker file by its name", "photos", "2024/.quillmar-folder", true, -1, ""},
      {"temporary file by its name", "photos", ".upload-1-2-3.tmp", true, -1, ""},
  };
  for (const row &r : rows) {
    char out[S3_FS_PATH];
    int rc = object_path(r.bucket, r.has_key ? r.key.c_str() : nullptr, out);
    EXPECT_EQ(rc, r.rc) << r.name;
    if (rc == 0) {
      EXPECT_EQ(std::string(out), r.want) << r.name;
    }
  }

  // A root that leaves no room for the bucket.
  std::string long_root = root + "/" + std::string(4095 - root.size() - 1, 'r');
  ASSERT_TRUE(copy_text(s_storage_root, sizeof(s_storage_root), long_root.c_str()));
  char out[S3_FS_PATH];
  EXPECT_EQ(object_path(std::string(300, 'b').c_str(), nullptr, out), -1);
  ASSERT_TRUE(copy_text(s_storage_root, sizeof(s_storage_root), root.c_str()));
}

TEST_F(LayoutTest, MetaPathFormsOrRefuses) {
  char out[S3_FS_PATH];
  ASSERT_EQ(meta_path("b", "x/y.txt", out), 0);
  EXPECT_EQ(std::string(out), root + "/.s3meta/b/x/y.txt");
  ASSERT_EQ(meta_path("b", "x/", out), 0);
  EXPECT_EQ(std::string(out), root + "/.s3meta/b/x/.quillmar-folder");
  // Cutting would name another object's record: refused.
  EXPECT_EQ(meta_path("b", std::string(4340, 'k').c_str(), out), -1);
}

TEST_F(LayoutTest, MkdirPCreatesEveryLevel) {
  EXPECT_EQ(mkdir_p(p("data/a/b").c_str()), 0);
  EXPECT_TRUE(is_directory(p("data").c_str()));
  EXPECT_TRUE(is_directory(p("data/a").c_str()));
  EXPECT_TRUE(is_directory(p("data/a/b").c_str()));
  EXPECT_EQ(mkdir_p(p("data/a/b").c_str()), 0);  // already there
  std::string too_long = p("long/") + std::string(4352 - p("long/").size(), 'x');
  ASSERT_EQ(too_long.size(), 4352u);
  EXPECT_EQ(mkdir_p(too_long.c_str()), -1);
  EXPECT_FALSE(exists("long"));
  // mkdir_parent makes the directory that will hold a file.
  mkdir_parent(p("m/n/file").c_str());
  EXPECT_TRUE(is_directory(p("m/n").c_str()));
  EXPECT_FALSE(exists("m/n/file"));
}

TEST_F(LayoutTest, ReplaceFile) {
  write("src", "new");
  write("dst", "old content");
  ASSERT_EQ(replace_file(p("src").c_str(), p("dst").c_str()), 0);
  EXPECT_EQ(read("dst"), "new");
  EXPECT_FALSE(exists("src"));
  // A missing source is not a busy destination: it fails and leaves the destination alone.
  EXPECT_EQ(replace_file(p("nope").c_str(), p("dst").c_str()), -1);
  EXPECT_EQ(read("dst"), "new");
}

TEST_F(LayoutTest, FileInfoAndRemoveFile) {
  write("f", "12345");
  uint64_t size = 0;
  int64_t mtime = 0;
  int is_dir = -1;
  ASSERT_EQ(file_info(p("f").c_str(), &size, &mtime, &is_dir), 0);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(is_dir, 0);
  EXPECT_GT(mtime, 0);
  EXPECT_EQ(file_info(p("missing").c_str(), &size, nullptr, nullptr), -1);
  ASSERT_EQ(mkdir_p(p("d").c_str()), 0);
  EXPECT_EQ(remove_file(p("f").c_str()), 0);
  EXPECT_EQ(remove_file(p("f").c_str()), 1);
  EXPECT_EQ(remove_file(p("d").c_str()), -1);
  EXPECT_TRUE(is_directory(p("d").c_str()));
}

TEST_F(LayoutTest, DeleteDirRecursive) {
  EXPECT_EQ(delete_dir_recursive(p("absent").c_str()), -1);
  write("t/.hidden", "h");
  write("t/a/b/c/.x", "x");
  write("t/a/file", "f");
  write("t/a/.d/inner", "i");
  ASSERT_EQ(mkdir_p(p("t/empty/deeper").c_str()), 0);
  write("t/z", "z");
  EXPECT_EQ(delete_dir_recursive(p("t").c_str()), 0);
  EXPECT_FALSE(exists("t"));
}

TEST_F(LayoutTest, DirHasObjects) {
  ASSERT_EQ(mkdir_p(p("b/empty/sub").c_str()), 0);
  write("b/.upload-1-2-3.tmp", "partial");
  write("b/dir/.mpu-4-5.tmp", "joining");
  EXPECT_EQ(dir_has_objects(p("b").c_str()), 0);
  EXPECT_EQ(dir_has_objects(p("missing").c_str()), 0);
  write("d/.hiddendir/.env", "a dot-key is an object like any other");
  EXPECT_EQ(dir_has_objects(p("d").c_str()), 1);
  // A regular file several levels down, behind many empty siblings.
  for (int i = 0; i < 50; i++) ASSERT_EQ(mkdir_p(p("b/s" + std::to_string(i)).c_str()), 0);
  write("b/s37/x/y/z/obj", "o");
  EXPECT_EQ(dir_has_objects(p("b").c_str()), 1);
  write("c/top", "t");
  EXPECT_EQ(dir_has_objects(p("c").c_str()), 1);
}

// Names Windows cannot hold, or would take for another name or a device, are refused on every
// platform; near misses stay allowed. The request parser answers -3 for them, except DELETE.
TEST(PortableNames, Table) {
  struct row {
    const char *name;
    const char *key;
    bool refused;
  } rows[] = {
      {"plain", "photos/2024/a.jpg", false},
      {"backslash", "a\\b", true},
      {"colon", "logs/12:30.txt", true},
      {"less", "a<b", true},
      {"greater", "a>b", true},
      {"quote", "say\"hi\"", true},
      {"pipe", "a|b", true},
      {"question", "why?", true},
      {"star", "*.txt", true},
      {"control", "tab\there", true},
      {"escape char", "a\x1b", true},
      {"trailing dot", "dir/file.", true},
      {"trailing dot mid", "dir./file", true},
      {"trailing blank", "file ", true},
      {"leading blank ok", " file", false},
      {"dots inside ok", "a.b.c", false},
      {"folder marker ok", "dir/", false},
      {"con", "CON", true},
      {"con lower ext", "dir/con.txt", true},
      {"con double ext", "Con.tar.gz", true},
      {"con blank ext", "CON .txt", true},
      {"prn", "prn", true},
      {"aux", "x/AuX", true},
      {"nul", "nul.json", true},
      {"com1", "COM1", true},
      {"com9 ext", "com9.log", true},
      {"lpt5", "Lpt5", true},
      {"com superscript", "COM\xc2\xb9", true},
      {"com0 ok", "COM0", false},
      {"com10 ok", "COM10", false},
      {"lpt ok", "LPT", false},
      {"console ok", "console", false},
      {"nul prefix ok", "nullable", false},
      {"con suffix ok", "xcon", false},
      {"device in middle", "a/aux/b", true},
      {"utf8 ok", "caf\xc3\xa9/\xe2\x82\xac", false},
  };
  for (const row &r : rows)
    EXPECT_EQ(name_portability_problem(r.key) != nullptr, r.refused) << r.name << ": " << r.key;
}

TEST(ContentType, Table) {
  struct row {
    const char *name;
    const char *type;
  } rows[] = {
      {"a.txt", "text/plain"},         {"x.HTML", "text/html"},
      {"x.htm", "text/html"},          {"s.css", "text/css"},
      {"app.js", "application/javascript"}, {"d.json", "application/json"},
      {"d.xml", "application/xml"},    {"p.png", "image/png"},
      {"IMG.JPG", "image/jpeg"},       {"p.jpeg", "image/jpeg"},
      {"g.gif", "image/gif"},          {"w.webp", "image/webp"},
      {"v.svg", "image/svg+xml"},      {"doc.pdf", "application/pdf"},
      {"z.zip", "application/zip"},    {"a.tar.gz", "application/gzip"},
      {"m.mp4", "video/mp4"},          {"s.mp3", "audio/mpeg"},
      {"s.wav", "audio/wav"},          {".txt", "text/plain"},
      {"release.old/readme", "binary/octet-stream"},
      {"file.", "binary/octet-stream"}, {"noext", "binary/octet-stream"},
      {"a.txt.bak", "binary/octet-stream"},
  };
  for (const row &r : rows) EXPECT_STREQ(guess_content_type(r.name), r.type) << r.name;
}

TEST_F(LayoutTest, ModificationTimes) {
  write("f", "x");
  civil_time tm{2024, 3, 5, 7, 8, 9, 0};
  int64_t t = 0;
  ASSERT_EQ(seconds_from_civil(&tm, &t), 0);
  ASSERT_EQ(plat_set_mtime(p("f").c_str(), t), 0);
  char buf[64];
  ASSERT_EQ(file_mtime_iso8601(p("f").c_str(), buf), 0);
  EXPECT_STREQ(buf, "2024-03-05T07:08:09.000Z");
  ASSERT_EQ(file_mtime_rfc1123(p("f").c_str(), buf), 0);
  EXPECT_STREQ(buf, "Tue, 05 Mar 2024 07:08:09 GMT");
  ASSERT_EQ(plat_set_mtime(p("f").c_str(), 0), 0);
  ASSERT_EQ(file_mtime_rfc1123(p("f").c_str(), buf), 0);
  EXPECT_STREQ(buf, "Thu, 01 Jan 1970 00:00:00 GMT");

  strcpy(buf, "untouched");
  EXPECT_EQ(file_mtime_iso8601(p("missing").c_str(), buf), -1);
  EXPECT_STREQ(buf, "untouched");
  EXPECT_EQ(file_mtime_rfc1123(p("missing").c_str(), buf), -1);
  EXPECT_STREQ(buf, "untouched");
}

// The hexadecimal name of a temporary file or folder, "" when path is not dir/<32 hex><ext>.
std::string hex_name(const std::string &path, const std::string &dir, const std::string &ext) {
  if (path.compare(0, dir.size() + 1, dir + "/") != 0) return {};
  std::string name = path.substr(dir.size() + 1);
  if (name.size() != 32 + ext.size() || name.compare(32, ext.size(), ext) != 0) return {};
  name.resize(32);
  if (name.find_first_not_of("0123456789abcdef") != std::string::npos) return {};
  return name;
}

TEST_F(LayoutTest, TemporaryFilesAreNewRandomAndExclusive) {
  char a[S3_FS_PATH], b[S3_FS_PATH];
  ASSERT_EQ(temp_file_make(a), 0);
  ASSERT_EQ(temp_file_make(b), 0);
  // Both in one folder of the temporary tree, itself named by 128 random bits, its lock beside.
  std::string area = std::string(a).substr(0, std::string(a).rfind('/'));
  EXPECT_FALSE(hex_name(area, root + "/.s3tmp", "").empty()) << area;
  EXPECT_TRUE(ut::exists(area + ".lock"));
  EXPECT_FALSE(hex_name(a, area, ".tmp").empty()) << a;
  EXPECT_FALSE(hex_name(b, area, ".tmp").empty()) << b;
  EXPECT_STRNE(a, b);
  EXPECT_EQ(ut::read_file(a), "");

  // An entry already in a name's place is never opened, emptied or followed.
  plat_err err = PLAT_OK;
  ut::write_file(a, "someone's bytes");
  EXPECT_EQ(plat_file_create(a, &err), nullptr);
  EXPECT_EQ(err, PLAT_ERR_EXISTS);
  EXPECT_EQ(ut::read_file(a), "someone's bytes");
  if (plat_symlink((root + "/outside").c_str(), (root + "/link").c_str()) == 0) {
    EXPECT_EQ(plat_file_create((root + "/link").c_str(), &err), nullptr);
    EXPECT_EQ(err, PLAT_ERR_EXISTS);
    EXPECT_FALSE(ut::exists(root + "/outside"));
  }
  // A later step writes into the made file without emptying it.
  plat_file *f = plat_file_open(a, PLAT_WRITE_KEEP);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(plat_file_write(f, "S", 1), 1);
  plat_file_close(f);
  EXPECT_EQ(ut::read_file(a), "Someone's bytes");
  temp_area_close();
}

// A start sweeps the temporary folders whose lock it can take, and only those.
TEST_F(LayoutTest, TempSweepKeepsLiveFolders) {
  std::string tree = root + "/.s3tmp";
  std::string live = tree + "/" + std::string(32, 'a');
  std::string dead = tree + "/" + std::string(32, 'b');
  std::string lockless = tree + "/" + std::string(32, 'c');
  for (const std::string &d : {live, dead, lockless}) {
    ASSERT_EQ(mkdir_p(d.c_str()), 0);
    ut::write_file(d + "/0123.tmp", "part of an upload");
  }
  ut::write_file(live + ".lock", "");
  ut::write_file(dead + ".lock", "");
  ut::write_file(tree + "/" + std::string(32, 'd') + ".lock", "");  // its folder already gone
  ut::write_file(tree + "/notes.txt", "not a server's");
  plat_file_lock held;
  ASSERT_EQ(plat_file_lock_take((live + ".lock").c_str(), 1, 0, &held), 0);
  EXPECT_EQ(temp_area_sweep(), 2u);
  EXPECT_TRUE(ut::exists(live + "/0123.tmp"));
  EXPECT_FALSE(ut::exists(dead));
  EXPECT_FALSE(ut::exists(dead + ".lock"));
  EXPECT_FALSE(ut::exists(lockless));
  EXPECT_FALSE(ut::exists(tree + "/" + std::string(32, 'd') + ".lock"));
  EXPECT_TRUE(ut::exists(tree + "/notes.txt"));
  // Once its server is gone, the next start takes the folder too.
  plat_file_lock_release(&held);
  EXPECT_EQ(temp_area_sweep(), 1u);
  EXPECT_FALSE(ut::exists(live));
}

TEST_F(LayoutTest, CopyFileRangeMd5) {
  std::string data;
  for (int i = 0; i < 200000; i++) data.push_back(char('a' + i % 23));
  write("src", data);
  struct row {
    const char *name;
    uint64_t offset, count;
    int rc;
    std::string want;
  } rows[] = {
      {"whole file", 0, UINT64_MAX, 0, data},
      {"range across blocks", 70000, 65536 + 10, 0, data.substr(70000, 65546)},
      {"to the end from offset", 199990, UINT64_MAX, 0, data.substr(199990)},
      {"empty range", 5, 0, 0, ""},
      {"source too short", 199990, 11, -1, ""},
  };
  for (const row &r : rows) {
    char md5[33] = "";
    uint64_t copied = 12345;
    int rc = copy_file_range_md5(p("src").c_str(), r.offset, r.count, p("dst").c_str(), md5,
                                 &copied);
    EXPECT_EQ(rc, r.rc) << r.name;
    if (rc != 0) continue;
    EXPECT_EQ(read("dst"), r.want) << r.name;
    EXPECT_EQ(copied, r.want.size()) << r.name;
    md5_ctx c;
    md5_init(&c);
    md5_update(&c, r.want.data(), r.want.size());
    unsigned char d[16];
    md5_final(&c, d);
    char hex[33];
    hex_encode(d, 16, hex);
    hex[32] = 0;
    EXPECT_STREQ(md5, hex) << r.name;
  }
  char md5[33];
  EXPECT_EQ(copy_file_range_md5(p("missing").c_str(), 0, UINT64_MAX, p("dst").c_str(), md5,
                                nullptr),
            -1);
}

}  // namespace
