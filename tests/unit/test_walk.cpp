// Key enumeration on temporary trees: sorted directory listings, walk order against key order,
// hidden names, the capacities and truncation flags, and keys nested thousands of levels deep.
#include "scratch.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "auth/hash.h"
#include "http/request.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "store/layout.h"
#include "store/walk.h"

namespace {

class WalkTest : public ut::Scratch {
 protected:
  WalkTest() : ut::Scratch(false) {}
  void write(const std::string &rel, const std::string &data) { ut::write_file(p(rel), data); }
  // gather_keys over dir with room for cap records; the flag starts at preset.
  std::vector<list_entry> gather(const std::string &dir, size_t cap, int *flag, long *rc) {
    std::vector<list_entry> out(cap ? cap : 1);
    *rc = gather_keys(dir.c_str(), dir.c_str(), out.data(), cap, flag);
    out.resize(*rc > 0 ? size_t(*rc) : 0);
    return out;
  }
};

using ut::md5_of;

std::vector<std::string> keys_of(const std::vector<list_entry> &v) {
  std::vector<std::string> k;
  for (const list_entry &e : v) k.push_back(e.key);
  return k;
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

TEST_F(WalkTest, WalkOrderRecordsAndHiddenNames) {
  write("b/a/x", "x1");
  write("b/a-b", "ab");
  write("b/B", "bb");
  write("b/c/d/e", "deep");
  write("b/dir/.hidden", "never listed");
  write("b/.upload-1-2-3.tmp", "temporary");
  write("b/.meta/k", "hidden tree");
  ASSERT_EQ(mkdir_p(p("b/empty/sub").c_str()), 0);
  ASSERT_EQ(plat_set_mtime(p("b/a-b").c_str(), 1714564800), 0);  // 2024-05-01 12:00:00

  int flag = 0;
  long rc = 0;
  auto got = gather(p("b"), 16, &flag, &rc);
  ASSERT_EQ(rc, 4);
  EXPECT_EQ(keys_of(got), (std::vector<std::string>{"B", "a/x", "a-b", "c/d/e"}));
  EXPECT_EQ(flag, 0);
  const list_entry &ab = got[2];
  EXPECT_EQ(ab.size, 2u);
  EXPECT_EQ(std::string(ab.etag), md5_of("ab"));
  EXPECT_STREQ(ab.last_modified, "2024-05-01T12:00:00.000Z");
  EXPECT_EQ(ab.is_prefix, 0);

  qsort(got.data(), got.size(), sizeof(list_entry), list_entry_cmp);
  EXPECT_EQ(keys_of(got), (std::vector<std::string>{"B", "a-b", "a/x", "c/d/e"}));

  object_entry objs[8];
  EXPECT_EQ(enumerate_objects(p("b").c_str(), p("b").c_str(), objs, 8, nullptr), 4);
  EXPECT_STREQ(objs[1].key, "a/x");
  EXPECT_EQ(std::string(objs[3].etag), md5_of("deep"));

  key_set ks;
  key_set_init(&ks);
  ASSERT_EQ(gather_key_set(p("b").c_str(), p("b").c_str(), &ks, 16, &flag), 4);
  key_set_sort(&ks);
  EXPECT_STREQ(key_set_key(&ks, 1), "a-b");
  EXPECT_EQ(std::string(ks.recs[1].etag), md5_of("ab"));
  EXPECT_EQ(ks.recs[1].mtime, 1714564800);
  EXPECT_STREQ(key_set_key(&ks, 2), "a/x");
  key_set_free(&ks);
}

TEST_F(WalkTest, CapacityStopsAndFlags) {
  for (const char *k : {"k1", "k2", "k3", "k4", "k5"}) write(std::string("b/") + k, k);
  long rc = 0;
  int flag = 0;
  EXPECT_EQ(gather(p("b"), 3, &flag, &rc).size(), 3u);
  EXPECT_EQ(flag, 0);
  flag = 7;  // stopping at the capacity leaves the flag as it was
  gather(p("b"), 3, &flag, &rc);
  EXPECT_EQ(rc, 3);
  EXPECT_EQ(flag, 7);

  object_entry objs[2];
  flag = 0;
  EXPECT_EQ(enumerate_objects(p("b").c_str(), p("b").c_str(), objs, 1, &flag), 1);
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(enumerate_objects(p("b").c_str(), p("b").c_str(), objs, 1, nullptr), 1);
}

// The walk as a plain recursion with a name list per level: the reference the iterative
// walkers must match, record for record and flag for flag. The trees it is used on hold far
// fewer names per directory than either walker takes, so a small list gives the same walk.
constexpr size_t REF_NAMES = 64;

long ref_gather(const std::string &dir, size_t base_len, std::vector<std::string> *out, size_t cap,
                int *trunc) {
  std::unique_ptr<char[][S3_NAME_SLOT]> names(new char[REF_NAMES][S3_NAME_SLOT]);
  std::vector<int> flags(REF_NAMES);
  int local = 0;
  size_t n = list_dir_names(dir.c_str(), names.get(), REF_NAMES, flags.data(), &local);
  size_t count = 0;
  for (size_t i = 0; i < n; i++) {
    std::string path = dir + "/" + names[i];
    if (names[i][0] == '.') continue;
    if (flags[i]) {
      int fresh = 0;
      count += size_t(ref_gather(path, base_len, out, cap - count, &fresh));
      if (fresh) local = 1;
      if (count >= cap) return long(count);
    } else {
      if (count >= cap) return long(count);
      out->push_back(path.substr(base_len + 1));
      count++;
    }
  }
  *trunc = local;
  return long(count);
}

long ref_enumerate(const std::string &dir, size_t base_len, std::vector<std::string> *out,
                   size_t cap, int *trunc) {
  std::unique_ptr<char[][S3_NAME_SLOT]> names(new char[REF_NAMES][S3_NAME_SLOT]);
  int flags[REF_NAMES];
  size_t n = list_dir_names(dir.c_str(), names.get(), REF_NAMES, flags, nullptr);
  size_t count = 0;
  for (size_t i = 0; i < n; i++) {
    std::string path = dir + "/" + names[i];
    if (names[i][0] == '.') continue;
    if (flags[i]) {
      count += size_t(ref_enumerate(path, base_len, out, cap - count, trunc));
      if (count >= cap) return long(count);
    } else {
      if (count >= cap) {
        if (trunc) *trunc = 1;
        return long(count);
      }
      out->push_back(path.substr(base_len + 1));
      count++;
    }
  }
  return long(count);
}

TEST_F(WalkTest, MatchesRecursiveWalkAtEveryCapacity) {
  std::mt19937 rng(20240501);
  const char *segs[] = {"a", "b", "a-b", "z", ".h", "B", "m"};
  for (int tree = 0; tree < 8; tree++) {
    std::string bucket = "t" + std::to_string(tree);
    for (int i = 0; i < 14; i++) {
      std::string key;
      int depth = 1 + int(rng() % 4);
      for (int d = 0; d < depth; d++) key += std::string(d ? "/" : "") + segs[rng() % 7];
      key += std::to_string(rng() % 3);  // file names never collide with directory names
      write(bucket + "/" + key, key);
    }
    ASSERT_EQ(mkdir_p(p(bucket + "/empty/x").c_str()), 0);
    if (tree % 2) {
      ASSERT_EQ(mkdir_p(p(bucket + "/zz-last").c_str()), 0);  // an empty directory last
    }
    const std::string dir = p(bucket);
    for (size_t cap = 0; cap <= 16; cap++) {
      std::vector<std::string> want;
      int want_flag = 7;
      long want_n = ref_gather(dir, dir.size(), &want, cap, &want_flag);

      int flag = 7;
      long rc = 0;
      auto got = gather(dir, cap, &flag, &rc);
      EXPECT_EQ(rc, want_n) << bucket << " cap " << cap;
      EXPECT_EQ(keys_of(got), want) << bucket << " cap " << cap;
      EXPECT_EQ(flag, want_flag) << bucket << " cap " << cap;

      key_set ks;
      key_set_init(&ks);
      int ks_flag = 7;
      EXPECT_EQ(gather_key_set(dir.c_str(), dir.c_str(), &ks, cap, &ks_flag), want_n);
      EXPECT_EQ(ks_flag, want_flag);
      for (size_t i = 0; i < ks.count && i < want.size(); i++) {
        EXPECT_EQ(key_set_key(&ks, i), want[i]);
      }
      key_set_free(&ks);

      std::vector<std::string> want_e;
      int want_eflag = 7;
      long want_en = ref_enumerate(dir, dir.size(), &want_e, cap, &want_eflag);
      std::vector<object_entry> objs(cap ? cap : 1);
      int eflag = 7;
      long en = enumerate_objects(dir.c_str(), dir.c_str(), objs.data(), cap, &eflag);
      ASSERT_EQ(en, want_en) << bucket << " cap " << cap;
      EXPECT_EQ(eflag, want_eflag) << bucket << " cap " << cap;
      for (long i = 0; i < en; i++) EXPECT_EQ(objs[size_t(i)].key, want_e[size_t(i)]);
    }
  }
}

TEST_F(WalkTest, DirectoryBeyondNameCapacity) {
  // 16385 names in one directory: only 16384 are walked and the listing reports truncation,
  // also from a sub-directory. With 16384 it is complete.
  ASSERT_EQ(mkdir_p(p("b/big").c_str()), 0);
  for (int i = 0; i < 16385; i++) {
    std::string path = p("b/big/f" + std::to_string(i));
    plat_file *f = plat_file_open(path.c_str(), PLAT_WRITE_TRUNC);
    ASSERT_NE(f, nullptr);
    plat_file_close(f);
  }
  write("b/z", "after the big directory");
  key_set ks;
  key_set_init(&ks);
  int flag = 0;
  EXPECT_EQ(gather_key_set(p("b").c_str(), p("b").c_str(), &ks, 65536, &flag), 16385);
  EXPECT_EQ(flag, 1);
  key_set_free(&ks);

  long rc = 0;
  flag = 0;
  EXPECT_EQ(gather(p("b"), 16390, &flag, &rc).size(), 16385u);
  EXPECT_EQ(flag, 1);

  ASSERT_EQ(remove_file(p("b/big/f77").c_str()), 0);
  flag = 0;
  key_set_init(&ks);
  EXPECT_EQ(gather_key_set(p("b").c_str(), p("b").c_str(), &ks, 65536, &flag), 16385);
  EXPECT_EQ(flag, 0);
  key_set_free(&ks);
}

TEST_F(WalkTest, EnumerateSeesAtMost256PerDirectory) {
  for (int i = 0; i < 300; i++) write("b/f" + std::to_string(i), "");
  std::vector<object_entry> objs(400);
  int flag = 0;
  EXPECT_EQ(enumerate_objects(p("b").c_str(), p("b").c_str(), objs.data(), 400, &flag), 256);
  EXPECT_EQ(flag, 0);
}

TEST_F(WalkTest, DeepNesting) {
  // As deep as a 4095-byte key allows (about 2000 levels), with the whole path still one the
  // OS accepts. Every helper that recurses over a bucket copes with it.
  std::string key = "d";
  while (root.size() + 3 + key.size() + 4 < 4090) key += "/d";
  ASSERT_EQ(mkdir_p(p("b/" + key).c_str()), 0);
  EXPECT_EQ(dir_contains_files(p("b").c_str()), 0);
  key += "/obj";
  ASSERT_GE(std::count(key.begin(), key.end(), '/'), 1900);
  write("b/" + key, "bottom");
  write("b/top", "t");
  EXPECT_EQ(dir_contains_files(p("b").c_str()), 1);

  int flag = 0;
  long rc = 0;
  auto got = gather(p("b"), 8, &flag, &rc);
  ASSERT_EQ(rc, 2);
  EXPECT_EQ(std::string(got[0].key), key);
  EXPECT_EQ(std::string(got[0].etag), md5_of("bottom"));
  EXPECT_STREQ(got[1].key, "top");

  object_entry objs[4];
  ASSERT_EQ(enumerate_objects(p("b").c_str(), p("b").c_str(), objs, 4, nullptr), 2);
  EXPECT_EQ(std::string(objs[0].key), key);

  key_set ks;
  key_set_init(&ks);
  ASSERT_EQ(gather_key_set(p("b").c_str(), p("b").c_str(), &ks, 8, &flag), 2);
  EXPECT_EQ(std::string(key_set_key(&ks, 0)), key);
  key_set_free(&ks);

  EXPECT_EQ(delete_dir_recursive(p("b").c_str()), 0);
  plat_stat_t st;
  EXPECT_NE(plat_stat(p("b").c_str(), &st), 0);
}

}  // namespace
