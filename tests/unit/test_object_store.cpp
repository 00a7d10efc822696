// The store's object records: a commit moves the data and writes its record together, a
// removal takes both, a snapshot reads one version, and a deleted bucket's records go with it.
#include "scratch.h"

#include <string>

#include "platform/platform.h"
#include "store/layout.h"
#include "store/object.h"

namespace {

const char *kEtag = "0123456789abcdef0123456789abcdef";

class ObjectStore : public ut::Scratch {
 protected:
  std::string meta(const std::string &bucket_key) {
    return ut::read_file(p(".s3meta/" + bucket_key));
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

  EXPECT_EQ(object_remove("bkt", "d"), -1);
  EXPECT_TRUE(ut::exists(p(".s3meta/bkt/d"))) << "a failed removal keeps the record";
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

}  // namespace
