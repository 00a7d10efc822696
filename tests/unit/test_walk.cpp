// Key enumeration on temporary trees: sorted directory listings, the walk in key order against
// a plain sort (from every kind of starting point, with groups skipped on the way), the
// server's own names, emptiness, and keys nested thousands of levels deep.
#include "scratch.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/testing.h"
#include "store/files.h"
#include "store/names.h"
#include "store/walk.h"

namespace {

class WalkTest : public ut::Scratch {
 protected:
  WalkTest() : ut::Scratch(false) {}
  void write(const std::string &rel, const std::string &data) { ut::write_file(p(rel), data); }
};

using ut::md5_of;

// Every key a walk returns, opened at (seek, mode). After each key, skip(key) may name a
// prefix of it whose remaining keys are to be skipped ("" for none).
template <typename Skip>
std::vector<std::string> walk_all(const std::string &dir, const std::string &seek,
                                  key_seek_mode mode, Skip skip) {
  std::vector<std::string> out;
  key_walk_guard g;
  EXPECT_NE(g.w, nullptr);
  EXPECT_EQ(key_walk_open(g.w, dir.c_str(), seek.c_str(), mode), 0);
  char key[S3_KEY_FIELD];
  int rc;
  while ((rc = key_walk_next(g.w, key, nullptr, nullptr)) == 1) {
    out.push_back(key);
    std::string pre = skip(out.back());
    if (!pre.empty()) {
      EXPECT_EQ(key_walk_skip_prefix(g.w, pre.c_str()), 0);
    }
  }
  EXPECT_EQ(rc, 0);
  return out;
}

std::vector<std::string> walk_all(const std::string &dir, const std::string &seek = "",
                                  key_seek_mode mode = KEY_SEEK_FROM) {
  return walk_all(dir, seek, mode, [](const std::string &) { return std::string(); });
}

bool starts_with(const std::string &s, const std::string &p) { return s.compare(0, p.size(), p) == 0; }

// The plain-sort reference for a start point.
std::vector<std::string> from_sorted(const std::set<std::string> &keys, const std::string &seek,
                                     key_seek_mode mode) {
  std::vector<std::string> out;
  for (const std::string &k : keys) {
    if (mode == KEY_SEEK_FROM && k < seek) continue;
    if (mode != KEY_SEEK_FROM && k <= seek) continue;
    if (mode == KEY_SEEK_PAST && starts_with(k, seek)) continue;
    out.push_back(k);
  }
  return out;
}

TEST_F(WalkTest, ListDirNamesSortsAndCaps) {
  write("d/a", "");
  write("d/B", "");
  write("d/.dot", "");
  ASSERT_EQ(mkdir_p(p("d/c").c_str()), 0);
  std::unique_ptr<char[][S3_NAME_SLOT]> names(new char[4][S3_NAME_SLOT]);
  int flags[4] = {9, 9, 9, 9};
  int trunc = 7;
  ASSERT_EQ(list_dir_names(p("d").c_str(), names.get(), 4, flags, &trunc), 4u);
  EXPECT_EQ(trunc, 0);  // exactly the capacity is not truncated
  const char *want[] = {".dot", "B", "a", "c"};
  for (int i = 0; i < 4; i++) {
    EXPECT_STREQ(names[i], want[i]);
    EXPECT_EQ(flags[i], i == 3 ? 1 : 0) << want[i];
  }
  ASSERT_EQ(list_dir_names(p("d").c_str(), names.get(), 3, nullptr, &trunc), 3u);
  EXPECT_EQ(trunc, 1);
  EXPECT_EQ(list_dir_names(p("missing").c_str(), names.get(), 3, flags, &trunc), 0u);
  EXPECT_EQ(trunc, 0);
}

TEST(OwnNames, OnlyTheServersTemporaryFiles) {
  struct row {
    const char *name;
    int is_dir;
    int own;
  } rows[] = {
      {".upload-1714564800-140213-7.tmp", 0, 1},
      {".upload--5-1-2.tmp", 0, 1},  // a clock before 1970
      {".mpu-140213-8.tmp", 0, 1},
      {".upload-1714564800-140213-7.tmp", 1, 0},  // a directory: a key's segment
      {".upload-1-2.tmp", 0, 0},
      {".upload-1-2-3.tmpx", 0, 0},
      {".upload-1-2-x.tmp", 0, 0},
      {".mpu-1-2-3.tmp", 0, 0},
      {".mpu--1-2.tmp", 0, 0},
      {".env", 0, 0},
      {".gitignore", 0, 0},
      {".well-known", 1, 0},
      {".s3meta", 1, 0},  // reserved only at the storage root, which no bucket walk visits
      {".mpu", 1, 0},
      {"upload-1-2-3.tmp", 0, 0},
      {".quillmar-folder", 0, 1},  // a folder marker's file, shown only as its directory's key
      {".quillmar-folder", 1, 1},  // every ".quillmar-" name is the server's own...
      {".quillmar-object", 0, 1},
      {".quillmar-c-x", 0, 1},
      {".quillmar-k-x", 0, 0},  // ...but encoded segments and chunk directories
      {".quillmar-k-x", 1, 0},
      {".quillmar-c-x", 1, 0},
      {".photo.jpg.xdev-140213-3.tmp", 0, 1},  // a move across file systems, half done
      {".xdev-1-2.tmp", 0, 0},
      {".a.xdev-1.tmp", 0, 0},
  };
  for (const row &r : rows) EXPECT_EQ(is_own_name(r.name, r.is_dir), r.own) << r.name;
  // Of the server's own files, only temporary ones may be removed by a sweep, never one of
  // the reserved prefix: those hold objects, markers, kept versions and encoded keys.
  const std::pair<const char *, int> temps[] = {
      {".upload-1714564800-140213-7.tmp", 1},
      {".mpu-140213-8.tmp", 1},
      {".photo.jpg.xdev-140213-3.tmp", 1},
      {".quillmar-object", 0},
      {".quillmar-folder", 0},
      {".quillmar-moving", 0},
      {".quillmar-v-0123456789abcdef0123456789abcdef", 0},
      {".quillmar-k-.x.xdev-1-2.tmp", 0},  // the key ".x.xdev-1-2.tmp"
      {".env", 0},
  };
  for (const auto &t : temps) EXPECT_EQ(is_temp_name(t.first), t.second) << t.first;
}

TEST_F(WalkTest, KeyOrderMatchesAPlainSortFromEveryStart) {
  // Names chosen around "/": '-' and '.' sort before it, '0' and 'B'..'z' after it.
  std::mt19937 rng(20240501);
  const char *segs[] = {"a", "a-b", "a0", "a.b", ".env", "B", "z", "ab"};
  std::set<std::string> keys;
  std::set<std::string> dirs;
  while (keys.size() < 120) {
    std::string key;
    int depth = 1 + int(rng() % 4);
    for (int d = 0; d < depth; d++) key += std::string(d ? "/" : "") + segs[rng() % 8];
    if (rng() % 2) key += std::to_string(rng() % 3);
    // A key cannot be both an object and a directory level of another key.
    bool clash = dirs.count(key) > 0;
    for (size_t at = key.find('/'); at != std::string::npos && !clash; at = key.find('/', at + 1))
      clash = keys.count(key.substr(0, at)) > 0;
    if (clash) continue;
    keys.insert(key);
    for (size_t at = key.find('/'); at != std::string::npos; at = key.find('/', at + 1))
      dirs.insert(key.substr(0, at));
  }
  for (const std::string &k : keys) write("b/" + k, k);
  // Folder markers on every other directory: the key "d/" sorts right before "d/..." keys.
  int every_other = 0;
  for (const std::string &d : dirs) {
    if (every_other++ % 2) continue;
    write("b/" + d + "/.quillmar-folder", d + "/");
    keys.insert(d + "/");
  }
  write("b/.upload-1-2-3.tmp", "a PUT in flight");
  write("b/a/.mpu-4-5.tmp", "a Complete in flight");
  ASSERT_EQ(mkdir_p(p("b/empty/deeper").c_str()), 0);
  const std::string dir = p("b");

  EXPECT_EQ(walk_all(dir), std::vector<std::string>(keys.begin(), keys.end()));

  // Every key, every proper prefix of one, and texts between keys, as start points.
  std::set<std::string> seeks = {"", "a", "a/", "a-", "a.", "a/z", "zz", "~", ".", "B/"};
  for (const std::string &k : keys) {
    seeks.insert(k);
    for (size_t n = 1; n < k.size(); n++) seeks.insert(k.substr(0, n));
  }
  for (const std::string &s : seeks)
    for (key_seek_mode m : {KEY_SEEK_FROM, KEY_SEEK_AFTER, KEY_SEEK_PAST})
      ASSERT_EQ(walk_all(dir, s, m), from_sorted(keys, s, m)) << "seek '" << s << "' mode " << m;

  // Skipping a prefix of the key just returned drops exactly the keys that begin with it.
  for (int round = 0; round < 40; round++) {
    std::vector<std::string> want;
    std::string skipping;
    std::mt19937 pick{unsigned(round)};
    auto skip = [&](const std::string &k) {
      size_t cut = pick() % (k.size() + 3);
      skipping = cut < k.size() ? k.substr(0, cut + 1) : "";
      return skipping;
    };
    std::vector<std::string> got = walk_all(dir, "", KEY_SEEK_FROM, skip);
    // Replay the same choices over the sorted keys.
    std::mt19937 again{unsigned(round)};
    std::string active;
    for (const std::string &k : keys) {
      if (!active.empty() && starts_with(k, active)) continue;
      want.push_back(k);
      size_t cut = again() % (k.size() + 3);
      active = cut < k.size() ? k.substr(0, cut + 1) : "";
    }
    ASSERT_EQ(got, want) << "round " << round;
  }
}

TEST_F(WalkTest, StartsInsideDeepDirectories) {
  // The walk descends along the seek text and goes on from there in key order.
  write("b/x/y/z/1", "");
  write("b/x/y/z/2", "");
  write("b/x/y0", "");
  write("b/m/k", "");
  std::vector<std::string> want = {"x/y/z/2", "x/y0"};
  EXPECT_EQ(walk_all(p("b"), "x/y/z/1", KEY_SEEK_AFTER), want);
  EXPECT_EQ(walk_all(p("b"), "x/y/", KEY_SEEK_PAST), std::vector<std::string>{"x/y0"});
  EXPECT_TRUE(walk_all(p("missing")).empty());
}

TEST_F(WalkTest, EnumerateAndEmptiness) {
  write("b/a-b", "ab");
  write("b/a/x", "x1");
  write("b/.env", "secret");
  ASSERT_EQ(plat_set_mtime(p("b/a-b").c_str(), 1714564800), 0);  // 2024-05-01 12:00:00
  object_entry objs[4];
  int flag = 0;
  ASSERT_EQ(enumerate_objects(p("b").c_str(), p("b").c_str(), objs, 4, &flag), 3);
  EXPECT_EQ(flag, 0);
  EXPECT_STREQ(objs[0].key, ".env");
  EXPECT_STREQ(objs[1].key, "a-b");
  EXPECT_STREQ(objs[2].key, "a/x");
  EXPECT_EQ(objs[1].size, 2u);
  EXPECT_EQ(std::string(objs[1].etag), md5_of("ab"));
  EXPECT_STREQ(objs[1].last_modified, "2024-05-01T12:00:00.000Z");
  EXPECT_EQ(enumerate_objects(p("b").c_str(), p("b").c_str(), objs, 2, &flag), 2);
  EXPECT_EQ(flag, 1);

  // Only the server's temporary files and empty directories: empty. One dot-key: not.
  write("e/.upload-1-2-3.tmp", "partial");
  write("e/d/.mpu-1-2.tmp", "joining");
  ASSERT_EQ(mkdir_p(p("e/empty/sub").c_str()), 0);
  EXPECT_EQ(dir_has_objects(p("e").c_str()), 0);
  write("e/empty/sub/.gitignore", "");
  EXPECT_EQ(dir_has_objects(p("e").c_str()), 1);
  EXPECT_EQ(dir_has_objects(p("missing").c_str()), 0);
}

TEST_F(WalkTest, ManyNamesInOneDirectoryAreAllWalked) {
  // More names in one directory than any fixed name list of the walkers used to hold (256).
  for (int i = 0; i < 600; i++) write("b/f" + std::to_string(i), "");
  write("b/g", "");
  auto got = walk_all(p("b"));
  ASSERT_EQ(got.size(), 601u);
  EXPECT_TRUE(std::is_sorted(got.begin(), got.end()));
  EXPECT_EQ(got.back(), "g");
}

TEST_F(WalkTest, DeepNesting) {
  // As deep as a 4095-byte key allows (about 2000 levels), with the whole path still one the
  // OS accepts. Every helper that walks a bucket copes with it.
  std::string key = "d";
  while (root.size() + 3 + key.size() + 4 < 4090) key += "/d";
  ASSERT_EQ(mkdir_p(p("b/" + key).c_str()), 0);
  EXPECT_EQ(dir_has_objects(p("b").c_str()), 0);
  key += "/obj";
  ASSERT_GE(std::count(key.begin(), key.end(), '/'), 1900);
  write("b/" + key, "bottom");
  write("b/top", "t");
  EXPECT_EQ(dir_has_objects(p("b").c_str()), 1);

  EXPECT_EQ(walk_all(p("b")), (std::vector<std::string>{key, "top"}));
  EXPECT_EQ(walk_all(p("b"), key, KEY_SEEK_AFTER), std::vector<std::string>{"top"});
  object_entry objs[4];
  ASSERT_EQ(enumerate_objects(p("b").c_str(), p("b").c_str(), objs, 4, nullptr), 2);
  EXPECT_EQ(std::string(objs[0].key), key);
  EXPECT_EQ(std::string(objs[0].etag), md5_of("bottom"));

  EXPECT_EQ(delete_dir_recursive(p("b").c_str()), 0);
  plat_stat_t st;
  EXPECT_NE(plat_stat(p("b").c_str(), &st), 0);
}

}  // namespace
