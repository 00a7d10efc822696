// File identities and the cache of computed ETags keyed by them: what counts as the same file
// version, and that links and directories have no identity to hash.
#include <gtest/gtest.h>

#include "platform/testing.h"
#include "scratch.h"
#include "store/etag_cache.h"
#include "store/object.h"

namespace {

class EtagCache : public ut::Scratch {};

TEST_F(EtagCache, IdentityIsThatOfARegularFileItself) {
  ut::write_file(p("bkt/file"), "twelve bytes");
  ASSERT_EQ(plat_set_mtime(p("bkt/file").c_str(), 1700000000), 0);
  ASSERT_EQ(plat_symlink(p("bkt/file").c_str(), p("bkt/link").c_str()), 0);
  plat_file_id id;
  ASSERT_EQ(plat_file_identity(p("bkt/file").c_str(), &id), 0);
  EXPECT_EQ(id.size, 12u);
  EXPECT_EQ(id.mtime_ns, int64_t(1700000000) * 1000000000);
  plat_file_id other;
  for (const char *rel : {"bkt/link", "bkt", "bkt/missing"})
    EXPECT_EQ(plat_file_identity(p(rel).c_str(), &other), -1) << rel;

  // A link in an object's place is never read through: the unreadable ETag, not the target's.
  char etag[S3_ETAG_CAP];
  object_list_etag("bkt", "link", p("bkt/link").c_str(), etag, sizeof etag);
  EXPECT_STREQ(etag, "00000000000000000000000000000000");
  object_list_etag("bkt", "file", p("bkt/file").c_str(), etag, sizeof etag);
  EXPECT_EQ(std::string(etag), ut::md5_of("twelve bytes"));
}

TEST_F(EtagCache, HitsOnlyTheSameVersion) {
  plat_file_id id{11, 22, 33, 44};
  etag_cache_put(&id, "0123456789abcdef0123456789abcdef");
  char hex[33] = "";
  ASSERT_EQ(etag_cache_get(&id, hex), 1);
  EXPECT_STREQ(hex, "0123456789abcdef0123456789abcdef");
  const plat_file_id others[] = {{12, 22, 33, 44}, {11, 23, 33, 44}, {11, 22, 34, 44}, {11, 22, 33, 45}};
  for (const plat_file_id &o : others) EXPECT_EQ(etag_cache_get(&o, hex), 0);
}

}  // namespace
