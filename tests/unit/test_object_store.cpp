// The store's object records: a commit moves the data and writes its record together, a
// removal takes both, a snapshot reads one version, and a deleted bucket's records go with it.
#include "scratch.h"

#include <string>

#include "platform/platform.h"
#include "platform/testing.h"
#include "store/files.h"
#include "store/mpu.h"
#include "store/object.h"

namespace {

const char *kEtag = "0123456789abcdef0123456789abcdef";

class ObjectStore : public ut::Scratch {
 protected:
  std::string meta(const std::string &bucket_key) {
    return ut::read_record(p(".s3meta/" + bucket_key));
  }
  // A finished temporary file in the bucket directory, as an upload leaves it.
  std::string temp_with(const std::string &bucket, const std::string &data) {
    std::string tmp = p(bucket + "/.upload-test.tmp");
    ut::write_file(tmp, data);
    return tmp;
  }
};

TEST_F(ObjectStore, CommitPlacesDataAndRecord) {
  std::string tmp = temp_with("bkt", "hello");
  const std::string head = "PUT /bkt/a/b HTTP/1.1\r\nx-amz-meta-k: v\r\n\r\n";
  mkdir_parent(p("bkt/a/b").c_str());
  ASSERT_EQ(
      object_commit(tmp.c_str(), "bkt", "a/b", kEtag, "text/plain", head.data(), head.size()), 0);
  EXPECT_EQ(ut::read_file(p("bkt/a/b")), "hello");
  EXPECT_FALSE(ut::exists(tmp));
  EXPECT_EQ(meta("bkt/a/b"), std::string("text/plain\n") + kEtag + "\nx-amz-meta-k:v\n");

  object_view_guard g;
  ASSERT_EQ(object_snapshot("bkt", "a/b", &g.v), 0);
  EXPECT_EQ(g.v.size, 5u);
  EXPECT_EQ(g.v.has_meta, 1);
  EXPECT_STREQ(g.v.content_type, "text/plain");
  EXPECT_STREQ(g.v.etag, kEtag);
  EXPECT_STREQ(g.v.user_meta, "x-amz-meta-k:v\r\n");
  ASSERT_NE(g.v.data, nullptr);
  char buf[16];
  EXPECT_EQ(plat_file_read(g.v.data, buf, sizeof buf), 5);
}

TEST_F(ObjectStore, FailedCommitKeepsTheEarlierObjectAndRemovesTheTemporary) {
  // The key names a directory (it is a level of another key): the move cannot succeed.
  ut::write_file(p("bkt/dir/inner"), "inner");
  ut::write_file(p(".s3meta/bkt/dir/inner"), "\nold\n");
  std::string tmp = temp_with("bkt", "new");
  EXPECT_EQ(object_commit(tmp.c_str(), "bkt", "dir", kEtag, "", nullptr, 0), -1);
  EXPECT_FALSE(ut::exists(tmp));
  EXPECT_EQ(ut::read_file(p("bkt/dir/inner")), "inner");
  EXPECT_EQ(meta("bkt/dir/inner"), "\nold\n");
}

TEST_F(ObjectStore, RemoveAndSnapshotOfMissingOrDirectoryKeys) {
  ut::write_file(p("bkt/k"), "x");
  ut::write_file(p(".s3meta/bkt/k"), "\nrec\n");
  ut::write_file(p("bkt/d/k"), "y");
  ut::write_file(p(".s3meta/bkt/d"), "\nstray\n");

  object_view_guard g;
  EXPECT_EQ(object_snapshot("bkt", "d", &g.v), -1) << "a directory is no object";
  EXPECT_EQ(g.v.data, nullptr);
  EXPECT_EQ(object_snapshot("bkt", "missing", &g.v), -1);

  EXPECT_EQ(object_remove("bkt", "d"), 1) << "a directory is no object to remove";
  EXPECT_TRUE(ut::exists(p("bkt/d/k")));
  EXPECT_TRUE(ut::exists(p(".s3meta/bkt/d"))) << "nothing removed keeps the record";
  EXPECT_EQ(object_remove("bkt", "k"), 0);
  EXPECT_FALSE(ut::exists(p("bkt/k")));
  EXPECT_FALSE(ut::exists(p(".s3meta/bkt/k")));
  EXPECT_EQ(object_remove("bkt", "k"), 1);
}

TEST_F(ObjectStore, BucketRecordsGoWithTheirBucketOnly) {
  ut::write_file(p(".s3meta/gone/a/b"), "m");
  ut::write_file(p(".mpu/gone/id/meta"), "k\n\n");
  ut::write_file(p(".s3meta/kept/k"), "m");
  ut::write_file(p(".mpu/kept/id/meta"), "k\n\n");
  bucket_remove_records("gone");
  EXPECT_FALSE(ut::exists(p(".s3meta/gone")));
  EXPECT_FALSE(ut::exists(p(".mpu/gone")));
  // Names that would point the removal at a whole tree, or above it, remove nothing.
  for (const char *bad : {"", ".", "..", "kept/.."}) {
    bucket_remove_records(bad);
    EXPECT_TRUE(ut::exists(p(".s3meta/kept/k"))) << '"' << bad << '"';
    EXPECT_TRUE(ut::exists(p(".mpu/kept/id/meta"))) << '"' << bad << '"';
  }
}

TEST_F(ObjectStore, CommitNeverMakesAMissingBucket) {
  // The body arrived, then the bucket was deleted (and its temporary file with it, or not).
  ut::write_file(p("elsewhere/.upload-1-2-3.tmp"), "late");
  std::string tmp = p("elsewhere/.upload-1-2-3.tmp");
  EXPECT_EQ(object_commit(tmp.c_str(), "gone", "a/b", kEtag, "", nullptr, 0), COMMIT_NO_BUCKET);
  EXPECT_FALSE(ut::exists(p("gone")));
  EXPECT_FALSE(ut::exists(tmp));
  EXPECT_EQ(object_make_dirs("gone", "a/b"), 1);
  EXPECT_FALSE(ut::exists(p("gone")));
  // Inside an existing bucket the key's levels are made.
  ASSERT_EQ(plat_mkdir(p("here").c_str()), 0);
  EXPECT_EQ(object_make_dirs("here", "x//y/z"), 0);
  EXPECT_TRUE(is_directory(p("here/x/y").c_str()));
}

TEST_F(ObjectStore, BucketDeleteChecksAndRemovesUnderItsLock) {
  ut::write_file(p("full/a/b"), "x");
  ut::write_file(p("empty/.upload-1-2-3.tmp"), "in flight");
  ut::write_file(p("empty/sub/.mpu-4-5.tmp"), "joining");
  ut::write_file(p(".mpu/empty/id/1.part"), "part");
  ut::write_file(p(".s3meta/empty/old"), "rec");
  EXPECT_EQ(bucket_delete("full"), 1);
  EXPECT_TRUE(ut::exists(p("full/a/b")));
  EXPECT_EQ(bucket_delete("empty"), 0);
  EXPECT_FALSE(ut::exists(p("empty")));
  EXPECT_FALSE(ut::exists(p(".mpu/empty")));
  EXPECT_FALSE(ut::exists(p(".s3meta/empty")));
  EXPECT_EQ(bucket_delete("missing"), 2);
  // The lock itself lives beside the records, never in a bucket's namespace.
  EXPECT_TRUE(ut::exists(p(".s3meta/.lock/empty")));
}

TEST_F(ObjectStore, TemporaryFilesAreNoObjects) {
  // An upload still arriving is neither read (nor copied) nor removed through its name.
  ut::write_file(p("bkt/d/.upload-1-2-3.tmp"), "half a bo");
  object_view_guard g;
  EXPECT_EQ(object_snapshot("bkt", "d/.upload-1-2-3.tmp", &g.v), -1);
  EXPECT_NE(object_remove("bkt", "d/.upload-1-2-3.tmp"), 0);
  EXPECT_TRUE(ut::exists(p("bkt/d/.upload-1-2-3.tmp")));
}

TEST_F(ObjectStore, LinksInsideTheRootAreNeverFollowed) {
  ut::write_file(p("other/secret"), "not yours");
  ut::write_file(p("bkt/plain"), "mine");
  ASSERT_EQ(plat_symlink(p("other").c_str(), p("bkt/dir").c_str()), 0);
  ASSERT_EQ(plat_symlink(p("other/secret").c_str(), p("bkt/file").c_str()), 0);
  ASSERT_EQ(plat_symlink(p("other").c_str(), p("lnb").c_str()), 0);
  ASSERT_EQ(plat_mkdir(p(".s3meta").c_str()), 0);
  ASSERT_EQ(plat_symlink(p("other").c_str(), p(".s3meta/bkt").c_str()), 0);

  struct row {
    const char *name, *bucket, *key;
    int through_dir;  // the link is a directory level: writes are refused, removals find nothing
  } rows[] = {
      {"directory link", "bkt", "dir/secret", 1},
      {"bucket link", "lnb", "secret", 1},
      {"file link", "bkt", "file", 0},
  };
  for (const row &r : rows) {
    object_view_guard g;
    EXPECT_EQ(object_snapshot(r.bucket, r.key, &g.v), -1) << r.name;
    EXPECT_EQ(g.v.data, nullptr) << r.name;
    if (!r.through_dir) continue;
    // Behind a link lies no object of this store: nothing to remove, and nothing is removed.
    EXPECT_EQ(object_remove(r.bucket, r.key), 1) << r.name;
    std::string tmp = temp_with("bkt", "x");
    // A link in the bucket's place is no bucket at all.
    EXPECT_EQ(object_commit(tmp.c_str(), r.bucket, r.key, kEtag, "", nullptr, 0),
              std::string(r.bucket) == "lnb" ? COMMIT_NO_BUCKET : -1)
        << r.name;
  }
  // A link as the last level is an entry like any other: a store replaces the link itself.
  std::string tmp_over = temp_with("bkt", "replaced");
  EXPECT_EQ(object_commit(tmp_over.c_str(), "bkt", "file", kEtag, "", nullptr, 0), -1)
      << "its record path passes a link";
  EXPECT_EQ(ut::read_file(p("other/secret")), "not yours");
  EXPECT_EQ(bucket_delete("lnb"), -1);
  EXPECT_TRUE(ut::exists(p("other/secret")));
  // A record path through a link is never read or written either.
  object_view_guard g;
  ASSERT_EQ(object_snapshot("bkt", "plain", &g.v), 0);
  EXPECT_EQ(g.v.has_meta, 0);
  std::string tmp = temp_with("bkt", "x");
  EXPECT_EQ(object_commit(tmp.c_str(), "bkt", "plain", kEtag, "", nullptr, 0), -1);
  EXPECT_EQ(ut::read_file(p("bkt/plain")), "mine");
  EXPECT_FALSE(ut::exists(p("other/plain")));
}

TEST_F(ObjectStore, PartCommitMovesDataAndRecordTogether) {
  std::string udir = p(".mpu/bkt/id");
  ut::write_file(udir + "/meta", "k\n\n");
  ut::write_file(udir + "/.upload-1-1-1.tmp", "first");
  ASSERT_EQ(mpu_part_commit("bkt", udir.c_str(), 3, (udir + "/.upload-1-1-1.tmp").c_str(), kEtag), 0);
  plat_file *f = nullptr;
  char etag[80];
  ASSERT_EQ(mpu_part_open(udir.c_str(), 3, &f, etag), 0);
  plat_file_guard held(f);
  EXPECT_STREQ(etag, kEtag);
  // The open part keeps the version it was opened with while a retry replaces it.
  ut::write_file(udir + "/.upload-1-1-2.tmp", "second");
  const char *etag2 = "fedcba9876543210fedcba9876543210";
  ASSERT_EQ(mpu_part_commit("bkt", udir.c_str(), 3, (udir + "/.upload-1-1-2.tmp").c_str(), etag2), 0);
  char buf[16];
  EXPECT_EQ(plat_file_read(f, buf, sizeof buf), 5);
  EXPECT_EQ(ut::read_file(udir + "/3.part"), "second");
  EXPECT_EQ(ut::read_record(udir + "/3.etag"), std::string(etag2) + "\n");
  // An upload that is gone takes no part and leaves no temporary file behind.
  ut::write_file(p(".mpu/bkt/gone/.upload-1-1-3.tmp"), "late");
  EXPECT_EQ(mpu_part_commit("bkt", p(".mpu/bkt/gone").c_str(), 1,
                            p(".mpu/bkt/gone/.upload-1-1-3.tmp").c_str(), kEtag),
            -1);
  EXPECT_FALSE(ut::exists(p(".mpu/bkt/gone/1.part")));
  EXPECT_FALSE(ut::exists(p(".mpu/bkt/gone/.upload-1-1-3.tmp")));
}

}  // namespace
