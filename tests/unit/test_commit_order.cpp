// What a crash can leave of a commit, and how the store reads it back: a metadata record is
// trusted only when it is not older than its data file, a commit's stamp always outranks the
// record it replaces, and the start-up sweep removes stale temporary files and nothing else.
#include "scratch.h"

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/testing.h"
#include "store/files.h"
#include "store/meta.h"
#include "store/names.h"
#include "store/object.h"
#include "store/sweep.h"

namespace {

constexpr int64_t kSecond = 1000000000;
const char *kOld = "11111111111111111111111111111111";
const char *kNew = "22222222222222222222222222222222";

int64_t mtime_ns(const std::string &path) {
  plat_file_guard f(plat_file_open(path.c_str(), PLAT_READ));
  int64_t t = -1;
  if (f.f) plat_file_mtime_ns(f.f, &t);
  return t;
}

void set_mtime_ns(const std::string &path, int64_t t) {
  plat_file_guard f(plat_file_open(path.c_str(), PLAT_READ));
  ASSERT_NE(f.f, nullptr) << path;
  ASSERT_EQ(plat_file_set_mtime_ns(f.f, t), 0) << path;
}

std::vector<std::string> names_in(const std::string &dir) {
  std::vector<std::string> out;
  plat_dir *d = plat_dir_open(dir.c_str());
  char name[512];
  int is_dir = 0;
  while (d && plat_dir_next(d, name, sizeof name, &is_dir) == 1) out.push_back(name);
  plat_dir_close(d);
  return out;
}

class CommitOrder : public ut::Scratch {
 protected:
  void commit(const std::string &key, const std::string &data, const char *etag) {
    std::string tmp = p("bkt/.upload-1-2-3.tmp");
    ut::write_file(tmp, data);
    mkdir_parent(p("bkt/" + key).c_str());
    ASSERT_EQ(object_commit(tmp.c_str(), "bkt", key.c_str(), etag, "text/plain", nullptr, 0), 0);
  }
  std::string snapshot_etag(const std::string &key) {
    object_view_guard g;
    if (object_snapshot("bkt", key.c_str(), &g.v) != 0) return "<none>";
    return g.v.etag;
  }
};

TEST_F(CommitOrder, RecordIsTrustedOnlyForTheVersionItNames) {
  // A record names its data's size, commit stamp and file number: its own time does not matter,
  // and data that is not exactly that version (another time, as a rewrite in place gives it)
  // never gets its ETag.
  commit("k", "old bytes", kOld);
  const int64_t stamp = mtime_ns(p("bkt/k"));
  for (int64_t record_minus_data : {-kSecond, int64_t(0), 5 * kSecond}) {
    set_mtime_ns(p(".s3meta/bkt/k"), stamp + record_minus_data);
    EXPECT_EQ(snapshot_etag("k"), kOld) << record_minus_data;
  }
  set_mtime_ns(p("bkt/k"), stamp + 1);
  EXPECT_EQ(snapshot_etag("k"), "");
  set_mtime_ns(p("bkt/k"), stamp);
  EXPECT_EQ(snapshot_etag("k"), kOld);
}

TEST_F(CommitOrder, RecordWithoutItsVersionIsTrustedOnlyWhenNotOlderThanItsData) {
  // A record in the form written before records named their version: the data moved in, then
  // the process died before its record followed, so a record older than its data is an earlier
  // version's and must not lend its ETag to the new bytes.
  struct row {
    const char *name;
    int64_t record_minus_data;
    const char *etag;
  };
  const row rows[] = {
      {"record older by 1 ns", -1, ""},
      {"record older by 1 s", -kSecond, ""},
      {"same time", 0, kOld},
      {"record newer", 5 * kSecond, kOld},
  };
  commit("k", "old bytes", kOld);
  ut::write_file(p(".s3meta/bkt/k"), ut::read_record(p(".s3meta/bkt/k")));
  for (const row &r : rows) {
    int64_t data_time = mtime_ns(p("bkt/k"));
    set_mtime_ns(p(".s3meta/bkt/k"), data_time + r.record_minus_data);
    EXPECT_EQ(snapshot_etag("k"), r.etag) << r.name;
  }
}

TEST_F(CommitOrder, CommitStampsDataAndRecordAlikeAndOutranksTheRecordItReplaces) {
  commit("a/k", "first", kOld);
  // A record stamped in the future (a clock set back since) must still lose to the next commit.
  int64_t future = plat_time_now_ns() + 3600 * kSecond;
  set_mtime_ns(p(".s3meta/bkt/a/k"), future);
  commit("a/k", "second", kNew);
  EXPECT_EQ(mtime_ns(p("bkt/a/k")), mtime_ns(p(".s3meta/bkt/a/k")));
  EXPECT_GT(mtime_ns(p("bkt/a/k")), future);
  EXPECT_EQ(snapshot_etag("a/k"), kNew);
  EXPECT_EQ(ut::read_file(p("bkt/a/k")), "second");
  // Neither the data nor the record leaves a temporary file behind.
  EXPECT_EQ(names_in(p("bkt")), std::vector<std::string>{"a"});
  EXPECT_EQ(names_in(p(".s3meta/bkt/a")), std::vector<std::string>{"k"});
}

TEST_F(CommitOrder, FailedMoveLeavesNoRecordDraft) {
  ut::write_file(p("bkt/dir/inner"), "inner");
  std::string tmp = p("bkt/.upload-1-2-3.tmp");
  ut::write_file(tmp, "new");
  EXPECT_EQ(object_commit(tmp.c_str(), "bkt", "dir", kNew, "", nullptr, 0), -1);
  EXPECT_EQ(names_in(p("bkt")), std::vector<std::string>{"dir"});
  for (const std::string &n : names_in(p(".s3meta/bkt"))) EXPECT_FALSE(is_own_name(n.c_str(), 0)) << n;
}

TEST_F(CommitOrder, SweepRemovesStaleTemporaryFilesAndNothingElse) {
  const int64_t stale = plat_time_now_ns() - (S3_TEMP_GRACE_SECONDS + 60) * kSecond;
  struct row {
    const char *path;
    bool stale_time;
    bool removed;
  };
  const row rows[] = {
      {"bkt/.upload-1700000000-12-3.tmp", true, true},
      {"bkt/deep/er/.mpu-12-4.tmp", true, true},
      {".s3meta/bkt/deep/.upload-1700000000-12-5.tmp", true, true},
      {"bkt/.upload--5-12-6.tmp", true, true},
      {"bkt/.upload-1700000000-12-7.tmp", false, false},  // young: may be a live upload
      {"bkt/.upload-1-2.tmp", true, false},                // not exactly a temporary name
      {"bkt/.mpu-1-2.tmpx", true, false},
      {"bkt/upload-1-2-3.tmp", true, false},
      {"bkt/.env", true, false},
      {".mpu/bkt/0123/.upload-1-2-3.tmp", true, false},   // uploads have their own sweep
      {".s3meta/bkt/.env", true, false},
  };
  for (const row &r : rows) {
    ut::write_file(p(r.path), "x");
    if (r.stale_time) set_mtime_ns(p(r.path), stale);
  }
  // A link named like a temporary file, to a stale file outside the tree, and a directory so
  // named with a stale temporary file inside it.
  ut::write_file(p(".elsewhere/.upload-1-2-3.tmp"), "keep");
  set_mtime_ns(p(".elsewhere/.upload-1-2-3.tmp"), stale);
  ASSERT_EQ(plat_symlink(p(".elsewhere/.upload-1-2-3.tmp").c_str(), p("bkt/.upload-9-9-9.tmp").c_str()), 0);
  ASSERT_EQ(plat_symlink(p(".elsewhere").c_str(), p("bkt/linkdir").c_str()), 0);
  ASSERT_EQ(plat_mkdir(p("bkt/.mpu-7-7.tmp").c_str()), 0);
  ut::write_file(p("bkt/.mpu-7-7.tmp/.mpu-8-8.tmp"), "x");
  set_mtime_ns(p("bkt/.mpu-7-7.tmp/.mpu-8-8.tmp"), stale);

  EXPECT_EQ(temp_sweep(), 5u);
  for (const row &r : rows) EXPECT_EQ(ut::exists(p(r.path)), !r.removed) << r.path;
  EXPECT_EQ(ut::read_file(p(".elsewhere/.upload-1-2-3.tmp")), "keep");
  plat_stat_t link_st;  // the link is still there (opens never follow links, so ask for it)
  ASSERT_EQ(plat_lstat(p("bkt/.upload-9-9-9.tmp").c_str(), &link_st), 0);
  EXPECT_TRUE(link_st.is_link);
  EXPECT_TRUE(is_directory(p("bkt/.mpu-7-7.tmp").c_str()));
  EXPECT_FALSE(ut::exists(p("bkt/.mpu-7-7.tmp/.mpu-8-8.tmp")));
}

}  // namespace
