// The OS layer: replacing moves (also across file systems), removal rules, listings, threads
// and randomness.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/testing.h"

namespace {

std::string temp_dir(const char *base) {
  unsigned char r[8];
  EXPECT_EQ(plat_random_bytes(r, sizeof r), 0);
  char name[128];
  snprintf(name, sizeof name, "%s/quillmar-unit-%02x%02x%02x%02x%02x%02x%02x%02x", base, r[0], r[1],
           r[2], r[3], r[4], r[5], r[6], r[7]);
  return plat_mkdir(name) == 0 ? name : "";
}

void put(const std::string &path, const std::string &data) {
  plat_file_guard f(plat_file_open(path.c_str(), PLAT_WRITE_TRUNC));
  ASSERT_NE(f.f, nullptr) << path;
  ASSERT_EQ(plat_file_write(f.f, data.data(), data.size()), (long)data.size());
}

std::string get(const std::string &path) {
  plat_file_guard f(plat_file_open(path.c_str(), PLAT_READ));
  std::string out;
  if (!f.f) return "<missing>";
  char buf[256];
  long n;
  while ((n = plat_file_read(f.f, buf, sizeof buf)) > 0) out.append(buf, (size_t)n);
  return out;
}

void remove_all(const std::string &path) {
  plat_dir *d = plat_dir_open(path.c_str());
  if (!d) return;
  char name[256];
  int is_dir;
  std::vector<std::pair<std::string, int>> entries;
  while (plat_dir_next(d, name, sizeof name, &is_dir)) entries.emplace_back(name, is_dir);
  plat_dir_close(d);
  for (auto &e : entries) {
    std::string p = path + "/" + e.first;
    if (e.second) remove_all(p);
    else plat_unlink(p.c_str(), nullptr);
  }
  plat_rmdir(path.c_str());
}

struct TempTree : ::testing::Test {
  std::string dir;
  void SetUp() override {
    dir = temp_dir("/tmp");
    ASSERT_FALSE(dir.empty());
  }
  void TearDown() override { remove_all(dir); }
};

}  // namespace

TEST_F(TempTree, RenameReplacesAndRemovalNeverTakesADirectory) {
  put(dir + "/a", "new");
  put(dir + "/b", "old contents");
  plat_err err = PLAT_ERR_OTHER;
  ASSERT_EQ(plat_rename_replace((dir + "/a").c_str(), (dir + "/b").c_str(), &err), 0);
  EXPECT_EQ(err, PLAT_OK);
  EXPECT_EQ(get(dir + "/b"), "new");
  EXPECT_EQ(get(dir + "/a"), "<missing>");

  EXPECT_EQ(plat_rename_replace((dir + "/a").c_str(), (dir + "/b").c_str(), &err), -1);
  EXPECT_EQ(err, PLAT_ERR_NOT_FOUND);

  ASSERT_EQ(plat_mkdir((dir + "/d").c_str()), 0);
  EXPECT_EQ(plat_mkdir((dir + "/d").c_str()), -1);
  EXPECT_EQ(plat_unlink((dir + "/d").c_str(), &err), -1);
  EXPECT_EQ(err, PLAT_ERR_IS_DIR);
  plat_stat_t st;
  ASSERT_EQ(plat_stat((dir + "/d").c_str(), &st), 0);
  EXPECT_EQ(st.is_dir, 1);
  EXPECT_EQ(plat_file_open((dir + "/d").c_str(), PLAT_READ), nullptr);

  EXPECT_EQ(plat_unlink((dir + "/missing").c_str(), &err), -1);
  EXPECT_EQ(err, PLAT_ERR_NOT_FOUND);
  EXPECT_EQ(plat_unlink((dir + "/b/under-a-file").c_str(), &err), -1);
  EXPECT_EQ(err, PLAT_ERR_NOT_FOUND);
  EXPECT_EQ(plat_unlink((dir + "/b").c_str(), &err), 0);
}

// /dev/shm is a separate tmpfs on Linux, so this takes the copy path of the move.
TEST_F(TempTree, RenameAcrossFileSystemsCopiesAndKeepsTheTime) {
  std::string other = temp_dir("/dev/shm");
  if (other.empty()) GTEST_SKIP() << "no /dev/shm";
  std::string src = other + "/src";
  std::string data(200000, 'x');
  data[12345] = 'y';
  put(src, data);
  ASSERT_EQ(plat_set_mtime(src.c_str(), 1709622489), 0);
  put(dir + "/dst", "old");
  plat_err err = PLAT_ERR_OTHER;
  EXPECT_EQ(plat_rename_replace(src.c_str(), (dir + "/dst").c_str(), &err), 0);
  EXPECT_EQ(get(dir + "/dst"), data);
  EXPECT_EQ(get(src), "<missing>");
  plat_stat_t st;
  ASSERT_EQ(plat_stat((dir + "/dst").c_str(), &st), 0);
  EXPECT_EQ(st.mtime, 1709622489);
  EXPECT_EQ(st.size, data.size());
  std::vector<std::string> left;
  plat_dir *d = plat_dir_open(dir.c_str());
  char name[256];
  int is_dir;
  while (plat_dir_next(d, name, sizeof name, &is_dir)) left.push_back(name);
  plat_dir_close(d);
  EXPECT_EQ(left, std::vector<std::string>{"dst"});  // no temporary left behind
  remove_all(other);
}

TEST_F(TempTree, ListingGivesNamesWithDirectoryFlags) {
  put(dir + "/file.txt", "1");
  put(dir + "/.hidden", "2");
  ASSERT_EQ(plat_mkdir((dir + "/sub").c_str()), 0);
  ASSERT_EQ(plat_mkdir((dir + "/.mpu").c_str()), 0);
  std::vector<std::pair<std::string, int>> got;
  plat_dir *d = plat_dir_open(dir.c_str());
  ASSERT_NE(d, nullptr);
  char name[256];
  int is_dir = -1;
  while (plat_dir_next(d, name, sizeof name, &is_dir) == 1) got.emplace_back(name, is_dir);
  EXPECT_EQ(plat_dir_next(d, name, sizeof name, &is_dir), 0);
  plat_dir_close(d);
  std::sort(got.begin(), got.end());
  std::vector<std::pair<std::string, int>> want = {
      {".hidden", 0}, {".mpu", 1}, {"file.txt", 0}, {"sub", 1}};
  EXPECT_EQ(got, want);

  d = plat_dir_open(dir.c_str());
  char small[4];
  while (plat_dir_next(d, small, sizeof small, &is_dir) == 1) EXPECT_LE(strlen(small), 3u);
  plat_dir_close(d);
  EXPECT_EQ(plat_dir_open((dir + "/file.txt").c_str()), nullptr);
  EXPECT_EQ(plat_dir_open((dir + "/none").c_str()), nullptr);
}

namespace {
int sleepy(void *arg) {
  plat_sleep_ms(300);
  plat_atomic_fetch_add_u32((uint32_t *)arg, 1);
  return 0;
}
}  // namespace

TEST(PlatformThreads, TimedWaitAndRandomBytes) {
  uint32_t done = 0;
  plat_thread *t = plat_thread_start(sleepy, &done, 4194304, 0);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(plat_thread_wait(t, 20), 0);
  EXPECT_EQ(plat_thread_wait(t, 5000), 1);
  EXPECT_EQ(__atomic_load_n(&done, __ATOMIC_SEQ_CST), 1u);
  plat_thread_release(t);

  unsigned char a[16], b[16];
  ASSERT_EQ(plat_random_bytes(a, sizeof a), 0);
  ASSERT_EQ(plat_random_bytes(b, sizeof b), 0);
  EXPECT_NE(memcmp(a, b, sizeof a), 0);
}

// The start-up check of a shared storage root stands on these two: the mount that holds a path
// (the longest mount point above it), and locks that keep a second handle of one file out.
TEST_F(TempTree, MountOfAPathAndTheTwoHandleLockSelfTest) {
  std::string probe = dir + "/.lockprobe";
  EXPECT_EQ(plat_lock_self_test(probe.c_str()), 1);
  EXPECT_EQ(get(probe), "<missing>") << "the probe file is removed again";
  put(probe, "x");
  EXPECT_EQ(plat_lock_self_test(probe.c_str()), -1) << "an existing file is never taken over";
#ifndef _WIN32
  plat_mount m;
  ASSERT_EQ(plat_mount_of(dir.c_str(), &m), 0);
  EXPECT_NE(m.fstype[0], '\0');
  EXPECT_EQ(dir.compare(0, strlen(m.mount_point), m.mount_point) == 0 || strcmp(m.mount_point, "/") == 0, true)
      << m.mount_point;
  ASSERT_EQ(plat_mount_of("/proc/self", &m), 0);
  EXPECT_STREQ(m.fstype, "proc");
  EXPECT_STREQ(m.mount_point, "/proc");
  EXPECT_NE(strstr(m.options, "rw"), nullptr) << m.options;
  EXPECT_EQ(plat_mount_of((dir + "/no/such/path").c_str(), &m), -1);
#endif
}
