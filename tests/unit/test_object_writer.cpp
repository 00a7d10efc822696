// The object writer: what it commits lands on the key or part with its record, and a writer
// that is dropped, or that meets a missing bucket or upload, leaves nothing on disk.
#include "scratch.h"

#include <algorithm>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "store/names.h"
#include "store/layout.h"
#include "store/mpu.h"
#include "store/object.h"
#include "store/writer.h"

namespace {

class ObjectWriter : public ut::Scratch {
 protected:
  // Every entry under rel, recursively, sorted, relative to the root (directories end in "/").
  void entries(const std::string &rel, std::vector<std::string> *out) {
    plat_dir *d = plat_dir_open(p(rel).c_str());
    if (!d) return;
    char name[4096];
    int is_dir = 0;
    std::vector<std::pair<std::string, int>> found;
    while (plat_dir_next(d, name, sizeof name, &is_dir) == 1) found.emplace_back(name, is_dir);
    plat_dir_close(d);
    for (auto &e : found) {
      std::string child = rel + "/" + e.first;
      out->push_back(child + (e.second ? "/" : ""));
      if (e.second) entries(child, out);
    }
  }
  std::vector<std::string> tree(const std::string &rel) {
    std::vector<std::string> out;
    entries(rel, &out);
    std::sort(out.begin(), out.end());
    return out;
  }
};

TEST_F(ObjectWriter, CommitsCopiedBytesOntoTheKeyWithTheirRecord) {
  ut::write_file(p("bkt/src"), "source bytes");
  object_writer_guard w;
  ASSERT_EQ(writer_begin_object(&w.w, "bkt", "a/b/c"), 0);
  plat_file_guard in(plat_file_open(p("bkt/src").c_str(), PLAT_READ));
  char md5[33];
  uint64_t copied = 0;
  ASSERT_EQ(writer_copy_from(&w.w, in.f, md5, &copied), 0);
  EXPECT_EQ(copied, 12u);
  EXPECT_EQ(std::string(md5), ut::md5_of("source bytes"));
  ASSERT_EQ(writer_finish(&w.w), 0);
  ASSERT_EQ(writer_commit_object(&w.w, md5, "text/plain", nullptr, 0, nullptr, nullptr), 0);
  EXPECT_EQ(ut::read_file(p("bkt/a/b/c")), "source bytes");
  object_view_guard g;
  ASSERT_EQ(object_snapshot("bkt", "a/b/c", &g.v), 0);
  EXPECT_STREQ(g.v.etag, md5);
  EXPECT_STREQ(g.v.content_type, "text/plain");
  // Nothing but the source, the object and its folders: no temporary file stayed.
  EXPECT_EQ(tree("bkt"), (std::vector<std::string>{"bkt/a/", "bkt/a/b/", "bkt/a/b/c", "bkt/src"}));
}

TEST_F(ObjectWriter, DroppedOrRefusedWritersLeaveNothing) {
  ASSERT_EQ(plat_mkdir(p("bkt").c_str()), 0);
  ut::write_file(p("bkt/obj"), "earlier");
  {
    // Bytes written, then the request fails: the guard aborts.
    object_writer_guard w;
    ASSERT_EQ(writer_begin_object(&w.w, "bkt", "deep/key"), 0);
    ASSERT_EQ(writer_open(&w.w), 0);
    ASSERT_EQ(writer_write(&w.w, "partial", 7), 0);
    EXPECT_TRUE(ut::exists(writer_temp_path(&w.w)));
  }
  {
    // A failed commit (a directory stands where the object "dir" goes) takes its temporary
    // with it.
    ut::write_file(p("bkt/dir/inner"), "inner");
    ut::write_file(p("bkt/dir/" S3_DIR_OBJECT "/x"), "x");
    object_writer_guard w;
    ASSERT_EQ(writer_begin_object(&w.w, "bkt", "dir"), 0);
    ASSERT_EQ(writer_open(&w.w), 0);
    ASSERT_EQ(writer_write(&w.w, "new", 3), 0);
    EXPECT_EQ(writer_commit_object(&w.w, "e", "", nullptr, 0, nullptr, nullptr), -1);
  }
  EXPECT_EQ(tree("bkt"), (std::vector<std::string>{"bkt/dir/", "bkt/dir/" S3_DIR_OBJECT "/",
                                                   "bkt/dir/" S3_DIR_OBJECT "/x", "bkt/dir/inner",
                                                   "bkt/obj"}));
  EXPECT_EQ(ut::read_file(p("bkt/obj")), "earlier");

  // Joining into a bucket deleted meanwhile never brings it back, nor any folder of the key.
  object_writer_guard join;
  ASSERT_EQ(writer_begin_join(&join.w, "gone", "x/y"), 0);
  EXPECT_EQ(writer_open(&join.w), 1);
  EXPECT_FALSE(ut::exists(p("gone")));

  // A part of an upload that does not exist is refused before any file is made.
  object_writer_guard part;
  EXPECT_EQ(writer_begin_part(&part.w, "bkt", "0123456789abcdef0123456789abcdef", 1), 1);

  // A key the store cannot hold has no writer.
  object_writer_guard own;
  EXPECT_EQ(writer_begin_object(&own.w, "bkt", std::string(5000, 'k').c_str()), -1);
}

TEST_F(ObjectWriter, CommitsAPartRangeWithItsETag) {
  ASSERT_EQ(plat_mkdir(p("bkt").c_str()), 0);
  ut::write_file(p("bkt/src"), "0123456789");
  const char id[] = "00112233445566778899aabbccddeeff";
  ASSERT_EQ(mpu_create("bkt", id, "obj", "", nullptr, 0), 0);
  object_writer_guard w;
  ASSERT_EQ(writer_begin_part(&w.w, "bkt", id, 7), 0);
  char md5[33];
  uint64_t copied = 0;
  ASSERT_EQ(writer_copy_range(&w.w, p("bkt/src").c_str(), 2, 5, md5, &copied), 0);
  EXPECT_EQ(copied, 5u);
  EXPECT_EQ(std::string(md5), ut::md5_of("23456"));
  ASSERT_EQ(writer_commit_part(&w.w, md5), 0);
  std::string udir = std::string(".mpu/bkt/") + id;
  EXPECT_EQ(ut::read_file(p(udir + "/7.part")), "23456");
  char etag[80];
  ASSERT_EQ(mpu_part_etag("bkt", id, 7, etag), 0);
  EXPECT_STREQ(etag, md5);
  EXPECT_EQ(tree(udir),
            (std::vector<std::string>{udir + "/7.etag", udir + "/7.part", udir + "/meta"}));
}

}  // namespace
