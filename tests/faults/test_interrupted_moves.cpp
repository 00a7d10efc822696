// Objects moving between "a" and "a/" (the object beside keys below it): every state a kill can
// leave on disk, in the data tree and in the record tree and in both directions, reads back
// whole under its key once the server starts, a read looks, or a write below the key comes;
// and a move whose rename fails keeps the object whole. The server runs in this process, so
// the rules of platform/testing.h make its calls fail and it can be started again on its root.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "harness.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "quillmar-s3.h"
#include "store/names.h"

namespace {

// Where the object of "x/a" lies when the kill came, in the tree the case plants.
enum place {
  FOLDER_EMPTY,  // still (or already) in its place, the moving folder made and empty
  IN_FOLDER,     // in the moving folder, nothing under its key
  IN_FOLDER_DIR  // in the moving folder, its key an empty directory
};
enum trigger { BY_START, BY_READ, BY_WRITE, BY_DELETE };

struct leftover_case {
  const char *name;
  int records;  // 1 the record tree, 0 the data tree
  int inside;   // 1 the move out of "x/a/" (a/ S3_DIR_OBJECT), 0 the move into it
  place where;
  trigger by;
};

std::ostream &operator<<(std::ostream &os, const leftover_case &c) { return os << c.name; }

const leftover_case kCases[] = {
    {"DataIntoFolderEmptyStart", 0, 0, FOLDER_EMPTY, BY_START},
    {"DataIntoInFolderStart", 0, 0, IN_FOLDER, BY_START},
    {"DataIntoInFolderDirStart", 0, 0, IN_FOLDER_DIR, BY_START},
    {"DataOutFolderEmptyStart", 0, 1, FOLDER_EMPTY, BY_START},
    {"DataOutInFolderStart", 0, 1, IN_FOLDER, BY_START},
    {"DataOutInFolderDirStart", 0, 1, IN_FOLDER_DIR, BY_START},
    {"RecordIntoInFolderStart", 1, 0, IN_FOLDER, BY_START},
    {"RecordIntoInFolderDirStart", 1, 0, IN_FOLDER_DIR, BY_START},
    {"RecordOutFolderEmptyStart", 1, 1, FOLDER_EMPTY, BY_START},
    {"RecordOutInFolderStart", 1, 1, IN_FOLDER, BY_START},
    {"RecordOutInFolderDirStart", 1, 1, IN_FOLDER_DIR, BY_START},
    {"DataIntoInFolderRead", 0, 0, IN_FOLDER, BY_READ},
    {"DataOutInFolderDirRead", 0, 1, IN_FOLDER_DIR, BY_READ},
    {"RecordIntoInFolderDirRead", 1, 0, IN_FOLDER_DIR, BY_READ},
    {"RecordOutInFolderRead", 1, 1, IN_FOLDER, BY_READ},
    {"DataIntoInFolderWrite", 0, 0, IN_FOLDER, BY_WRITE},
    {"DataOutInFolderDirWrite", 0, 1, IN_FOLDER_DIR, BY_WRITE},
    {"RecordIntoInFolderWrite", 1, 0, IN_FOLDER, BY_WRITE},
    {"RecordOutInFolderDirWrite", 1, 1, IN_FOLDER_DIR, BY_WRITE},
    {"DataIntoInFolderDelete", 0, 0, IN_FOLDER, BY_DELETE},
    {"DataOutInFolderDirDelete", 0, 1, IN_FOLDER_DIR, BY_DELETE},
    {"RecordOutInFolderDelete", 1, 1, IN_FOLDER, BY_DELETE},
};

// Every path under dir whose last name is the moving folder's, or a file of that name.
void moving_folders(const std::string &dir, std::vector<std::string> *out) {
  std::vector<std::pair<std::string, int>> entries = qt::dir_entries(dir);
  for (auto &e : entries) {
    std::string path = dir + "/" + e.first;
    if (e.first == S3_MOVING_FOLDER) out->push_back(path);
    if (e.second) moving_folders(path, out);
  }
}

class Moves : public ::testing::Test {
 protected:
  qt::Server srv;
  const std::string body = qt::random_bytes(7000, 5);

  qt::Response send(const std::string &method, const std::string &target,
                    const std::string &data = "", std::vector<std::string> headers = {}) {
    headers.push_back("Connection: close");
    return qt::request(srv.port, method, target, headers, data);
  }
  void restart() {
    s3_server_stop();
    srv.port = 0;
    for (int attempt = 0; attempt < 5 && srv.port == 0; attempt++) {
      int p = qt::free_port();
      if (s3_server_start_ex(p, "127.0.0.1", srv.root.c_str(), "", "") == 0) srv.port = p;
    }
    ASSERT_NE(srv.port, 0) << s3_last_error();
  }
  std::vector<std::string> folders_left() {
    std::vector<std::string> left;
    moving_folders(srv.root, &left);
    return left;
  }
  // "x/a" reads back whole with its own record (its metadata and ETag).
  void expect_whole(const char *key = "x/a") {
    qt::Response g = send("GET", std::string("/bkt/") + key);
    EXPECT_EQ(g.status, 200) << g.raw;
    EXPECT_EQ(g.body == body, true) << key;
    EXPECT_EQ(g.header("x-amz-meta-m"), "v");
    EXPECT_EQ(g.header("ETag"), "\"" + qt::md5_hex(body) + "\"");
  }
  void SetUp() override {
    ASSERT_NE(srv.port, 0);
    ASSERT_EQ(send("PUT", "/bkt").status, 200);
    ASSERT_EQ(send("PUT", "/bkt/x/a", body, {"x-amz-meta-m: v"}).status, 200);
  }
};

class Leftovers : public Moves, public ::testing::WithParamInterface<leftover_case> {};

TEST_P(Leftovers, ObjectReadsWholeUnderItsKeyAndTheFolderGoes) {
  const leftover_case &c = GetParam();
  if (c.inside) {
    // "x/a" moved into its directory for "x/a/b"; "x/a/b" then went and the move back was
    // cut short. Its files go by hand, as the removal does before the move.
    ASSERT_EQ(send("PUT", "/bkt/x/a/b", "below").status, 200);
    for (const char *tree : {"bkt", ".s3meta/bkt"}) {
      plat_err err = PLAT_OK;
      ASSERT_EQ(plat_unlink(srv.path(std::string(tree) + "/x/a/b").c_str(), &err), 0) << tree;
    }
  }
  if (c.by == BY_START) s3_server_stop();
  const std::string p = srv.path(c.records ? ".s3meta/bkt/x" : "bkt/x");
  const std::string folder = p + "/" S3_MOVING_FOLDER;
  const std::string object = c.inside ? p + "/a/" S3_DIR_OBJECT : p + "/a";
  plat_err err = PLAT_OK;
  ASSERT_EQ(plat_mkdir(folder.c_str()), 0);
  if (c.where != FOLDER_EMPTY) {
    ASSERT_EQ(plat_rename_replace(object.c_str(), (folder + "/a").c_str(), &err), 0);
    if (c.inside && c.where == IN_FOLDER) {
      ASSERT_EQ(plat_rmdir((p + "/a").c_str()), 0);
    }
    if (!c.inside && c.where == IN_FOLDER_DIR) {
      ASSERT_EQ(plat_mkdir((p + "/a").c_str()), 0);
    }
  }
  if (c.by == BY_START) {
    // The start-up sweep puts it back before any request comes.
    restart();
    EXPECT_EQ(folders_left(), std::vector<std::string>{});
  }
  if (c.by == BY_WRITE) {
    ASSERT_EQ(send("PUT", "/bkt/x/a/c", "later").status, 200);
  }
  if (c.by == BY_DELETE) {
    // The removal removes that object: it never comes back, nor does its record.
    ASSERT_EQ(send("DELETE", "/bkt/x/a").status, 204);
    restart();
    EXPECT_EQ(send("GET", "/bkt/x/a").status, 404);
    ASSERT_EQ(send("PUT", "/bkt/x/a", "plain").status, 200);
    EXPECT_EQ(send("HEAD", "/bkt/x/a").header("x-amz-meta-m"), "");
    EXPECT_EQ(folders_left(), std::vector<std::string>{});
    return;
  }
  expect_whole();
  if (c.by == BY_WRITE) {
    EXPECT_EQ(send("GET", "/bkt/x/a/c").body, "later");
  }
  EXPECT_EQ(folders_left(), std::vector<std::string>{});
  // The listing shows the key once and nothing of the server's own.
  qt::Response l = send("GET", "/bkt?list-type=2&prefix=x/");
  EXPECT_NE(l.body.find("<Key>x/a</Key>"), std::string::npos) << l.body;
  EXPECT_EQ(l.body.find("quillmar"), std::string::npos) << l.body;
}

INSTANTIATE_TEST_SUITE_P(States, Leftovers, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<leftover_case> &i) {
                           return std::string(i.param.name);
                         });

TEST_F(Moves, MovesBothWaysLeaveNoFolder) {
  ASSERT_EQ(send("PUT", "/bkt/x/a/b", "below").status, 200);
  EXPECT_TRUE(qt::file_exists(srv.path("bkt/x/a/" S3_DIR_OBJECT)));
  EXPECT_EQ(folders_left(), std::vector<std::string>{});
  expect_whole();
  ASSERT_EQ(send("DELETE", "/bkt/x/a/b").status, 204);
  EXPECT_TRUE(qt::file_exists(srv.path("bkt/x/a")));
  EXPECT_EQ(folders_left(), std::vector<std::string>{});
  expect_whole();
}

// A bucket whose one object a kill left in the middle of a move is not empty.
TEST_F(Moves, HiddenObjectKeepsItsBucket) {
  const std::string p = srv.path("bkt/x");
  plat_err err = PLAT_OK;
  ASSERT_EQ(plat_mkdir((p + "/" S3_MOVING_FOLDER).c_str()), 0);
  ASSERT_EQ(plat_rename_replace((p + "/a").c_str(), (p + "/" S3_MOVING_FOLDER "/a").c_str(), &err),
            0);
  qt::Response d = send("DELETE", "/bkt");
  EXPECT_EQ(d.status, 409) << d.raw;
  expect_whole();
  EXPECT_EQ(folders_left(), std::vector<std::string>{});
}

// A rename of a move failing (the first, into the folder, or the second, out of it), in either
// direction: the object stays whole under its key and no folder stays.
struct failed_rename_case {
  const char *name;
  int out;       // 1 the move out (a removal below the key), 0 the move into the directory
  unsigned nth;  // which rename through the moving folder fails
};

std::ostream &operator<<(std::ostream &os, const failed_rename_case &c) { return os << c.name; }

class FailedRenames : public Moves, public ::testing::WithParamInterface<failed_rename_case> {
 protected:
  void TearDown() override { plat_fault_clear(); }
};

TEST_P(FailedRenames, ObjectStaysWhole) {
  const failed_rename_case &c = GetParam();
  if (c.out) {
    ASSERT_EQ(send("PUT", "/bkt/x/a/b", "below").status, 200);
  }
  int rule = plat_fault_arm("rename", "/" S3_MOVING_FOLDER "/", c.nth, 1);
  ASSERT_GE(rule, 0);
  qt::Response r = c.out ? send("DELETE", "/bkt/x/a/b") : send("PUT", "/bkt/x/a/b", "below");
  EXPECT_EQ(plat_fault_failed(rule), 1u);
  plat_fault_clear();
  // A move into the directory that fails fails the write; a move out only tidies.
  EXPECT_EQ(r.status, c.out ? 204 : 500) << r.raw;
  expect_whole();
  EXPECT_EQ(folders_left(), std::vector<std::string>{});
}

const failed_rename_case kFailedRenames[] = {
    {"IntoFirst", 0, 1}, {"IntoSecond", 0, 2}, {"OutFirst", 1, 1}, {"OutSecond", 1, 2}};

INSTANTIATE_TEST_SUITE_P(Renames, FailedRenames, ::testing::ValuesIn(kFailedRenames),
                         [](const ::testing::TestParamInfo<failed_rename_case> &i) {
                           return std::string(i.param.name);
                         });

// A start long after everything was stored: the sweep of stale temporary files keeps every
// file of the reserved names, however old: an object beside keys below it, a folder marker, a
// kept version, and a file of the moving folder's name, as a kill left it in an older build,
// which names no key: it is kept as it is, never listed, and the objects beside it read.
TEST_F(Moves, LateStartKeepsEveryReservedFile) {
  ASSERT_EQ(send("PUT", "/bkt/x/a/b", "below").status, 200);
  ASSERT_EQ(send("PUT", "/bkt/x/d/", "", {"x-amz-meta-m: marker"}).status, 200);
  ASSERT_EQ(send("PUT", "/vbk").status, 200);
  ASSERT_EQ(send("PUT", "/vbk?versioning",
                 "<VersioningConfiguration><Status>Enabled</Status></VersioningConfiguration>")
                .status,
            200);
  qt::Response first = send("PUT", "/vbk/k", "first");
  ASSERT_EQ(first.status, 200);
  ASSERT_EQ(send("PUT", "/vbk/k", "second").status, 200);
  s3_server_stop();
  qt::write_file(srv.path("bkt/x/" S3_MOVING_FOLDER), "orphan");
  plat_clock_fix_ns(plat_time_now_ns() + 3600 * 1000000000ll);
  restart();
  plat_clock_fix_ns(0);
  EXPECT_EQ(qt::read_file(srv.path("bkt/x/" S3_MOVING_FOLDER)), "orphan");
  expect_whole();
  EXPECT_EQ(send("HEAD", "/bkt/x/d/").header("x-amz-meta-m"), "marker");
  EXPECT_EQ(send("GET", "/vbk/k?versionId=" + first.header("x-amz-version-id")).body, "first");
  qt::Response l = send("GET", "/bkt?list-type=2");
  EXPECT_EQ(l.body.find("quillmar"), std::string::npos) << l.body;
  EXPECT_NE(l.body.find("<Key>x/a</Key>"), std::string::npos) << l.body;
}

}  // namespace
