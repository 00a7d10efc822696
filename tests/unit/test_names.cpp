// Unit tests of the name rules the store applies before it locks or removes anything by a
// bucket's name, and of the uploadId form.
#include <gtest/gtest.h>

#include <cstring>

#include "store/names.h"

namespace {

// Every name the bucket-name rule lets through is plain; what is not plain could name the
// root's reserved directories, the root itself or a path below another folder.
TEST(NameRules, PlainBucketNames) {
  struct {
    const char *name;
    int plain;
  } cases[] = {
      {"abc", 1}, {"my.bucket", 1}, {"a-1", 1},      {"", 0},          {".", 0},
      {"..", 0},  {".s3meta", 0},   {".mpu", 0},     {"a/b", 0},       {"x/..", 0},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(plain_bucket_name(c.name), c.plain) << c.name;
    if (valid_bucket_name(c.name, strlen(c.name))) {
      EXPECT_TRUE(plain_bucket_name(c.name)) << c.name;
    }
  }
  EXPECT_FALSE(plain_bucket_name(nullptr));
}

TEST(NameRules, UploadIdForm) {
  EXPECT_TRUE(valid_upload_id("0123456789abcdef0123456789abcdef"));
  for (const char *bad : {"", "0123456789abcdef0123456789abcde", "0123456789abcdef0123456789abcdef0",
                          "0123456789ABCDEF0123456789abcdef", "../3456789abcdef0123456789abcdef"})
    EXPECT_FALSE(valid_upload_id(bad)) << bad;
  EXPECT_FALSE(valid_upload_id(nullptr));
}

}  // namespace
