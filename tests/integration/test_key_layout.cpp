// Keys and the file tree: folder markers ("dir/") stored beside the keys below them, and keys
// the tree cannot hold beside a stored one, refused with 409 and nothing changed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "answers.h"
#include "harness.h"

namespace {

using qt::Response;

class KeyLayout : public qa::SharedServer {};

TEST_F(KeyLayout, FolderMarkerIsAnObjectBesideItsKeys) {
  ASSERT_EQ(req("PUT", "/fmk").status, 200);
  // Either order: the marker first, or the key below it first.
  ASSERT_EQ(req("PUT", "/fmk/dir/", {"Content-Type: application/x-directory"}, "").status, 200);
  ASSERT_EQ(req("PUT", "/fmk/dir/file", {}, "inside").status, 200);
  ASSERT_EQ(req("PUT", "/fmk/other/file", {}, "x").status, 200);
  Response late = req("PUT", "/fmk/other/", {"x-amz-meta-kind: folder"}, "marker body");
  ASSERT_EQ(late.status, 200) << late.raw;
  EXPECT_EQ(late.header("ETag"), "\"" + qt::md5_hex("marker body") + "\"");

  Response h = req("HEAD", "/fmk/dir/");
  EXPECT_EQ(h.status, 200) << h.raw;
  EXPECT_EQ(h.header("Content-Type"), "application/x-directory");
  EXPECT_EQ(h.header("Content-Length"), "0");
  Response g = req("GET", "/fmk/other/");
  EXPECT_EQ(g.body, "marker body");
  EXPECT_EQ(g.header("x-amz-meta-kind"), "folder");
  EXPECT_EQ(req("GET", "/fmk/dir/file").body, "inside");
  // The directory's own name is no object.
  EXPECT_EQ(req("GET", "/fmk/dir").status, 404);

  // A copy onto and from a marker.
  ASSERT_EQ(req("PUT", "/fmk/copied/", {"x-amz-copy-source: /fmk/other/"}).status, 200);
  EXPECT_EQ(req("GET", "/fmk/copied/").body, "marker body");

  // Deleting the marker keeps the keys below it, and the other way round.
  EXPECT_EQ(req("DELETE", "/fmk/dir/").status, 204);
  EXPECT_EQ(req("GET", "/fmk/dir/").status, 404);
  EXPECT_EQ(req("GET", "/fmk/dir/file").body, "inside");
  EXPECT_EQ(req("DELETE", "/fmk/other/file").status, 204);
  EXPECT_EQ(req("GET", "/fmk/other/").body, "marker body");
  // Deleting a key whose path is a directory is a delete of nothing.
  EXPECT_EQ(req("DELETE", "/fmk/dir").status, 204);
  EXPECT_EQ(req("GET", "/fmk/dir/file").body, "inside");

  // DeleteObjects takes markers as keys.
  std::string body =
      "<Delete><Object><Key>other/</Key></Object><Object><Key>copied/</Key></Object>"
      "<Object><Key>dir/file</Key></Object></Delete>";
  Response md = qt::request(port(), "POST", "/fmk?delete", {}, body);
  ASSERT_EQ(md.status, 200) << md.raw;
  for (const char *k : {"other/", "copied/", "dir/file"})
    EXPECT_NE(md.body.find(std::string("<Key>") + k + "</Key>\n  </Deleted>"), std::string::npos)
        << k << md.body;
  EXPECT_EQ(req("GET", "/fmk/other/").status, 404);
}

TEST_F(KeyLayout, MarkerKeepsItsBucketFromBeingDeleted) {
  ASSERT_EQ(req("PUT", "/fmdel").status, 200);
  ASSERT_EQ(req("PUT", "/fmdel/only/", {}, "").status, 200);
  Response del = req("DELETE", "/fmdel");
  EXPECT_EQ(del.status, 409);
  EXPECT_NE(del.body.find("<Code>BucketNotEmpty</Code>"), std::string::npos);
  EXPECT_EQ(req("DELETE", "/fmdel/only/").status, 204);
  EXPECT_EQ(req("DELETE", "/fmdel").status, 204);
}

TEST_F(KeyLayout, KeysTheTreeCannotHoldAnswer409AndChangeNothing) {
  ASSERT_EQ(req("PUT", "/kcb").status, 200);
  ASSERT_EQ(req("PUT", "/kcb/a", {}, "object a").status, 200);
  ASSERT_EQ(req("PUT", "/kcb/d/x", {}, "object d/x").status, 200);
  ASSERT_EQ(req("PUT", "/kcb/src", {}, "source").status, 200);
  struct Row {
    const char *what, *method, *target;
    std::vector<std::string> headers;
    const char *conflict;  // the stored key the answer names
  };
  const Row rows[] = {
      {"below an object", "PUT", "/kcb/a/b", {}, "a"},
      {"deep below an object", "PUT", "/kcb/a/b/c", {}, "a"},
      {"marker of an object", "PUT", "/kcb/a/", {}, "a"},
      {"object over a directory", "PUT", "/kcb/d", {}, "d/x"},
      {"copy below an object", "PUT", "/kcb/a/c", {"x-amz-copy-source: /kcb/src"}, "a"},
      {"copy over a directory", "PUT", "/kcb/d", {"x-amz-copy-source: /kcb/src"}, "d/x"},
      {"upload below an object", "POST", "/kcb/a/m?uploads", {}, "a"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    Response r = qt::request(port(), row.method, row.target, row.headers,
                             std::string(row.method) == "PUT" && row.headers.empty() ? "new" : "");
    std::string path = std::string(row.target).substr(0, std::string(row.target).find('?'));
    qa::expect_error(r, 409, "HTTP/1.1 409 Conflict", "KeyConflict",
                     std::string("The key cannot be stored beside the existing key \"") +
                         row.conflict + "\"",
                     path);
  }
  // With Expect the refusal comes instead of the interim answer.
  Response ex = qt::send_raw(port(), "PUT /kcb/a/b HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\n"
                                     "Content-Length: 3\r\n\r\n");
  EXPECT_EQ(ex.status, 409);
  EXPECT_EQ(ex.raw.find("100 Continue"), std::string::npos) << ex.raw;
  EXPECT_EQ(req("GET", "/kcb/a").body, "object a");
  EXPECT_EQ(req("GET", "/kcb/d/x").body, "object d/x");
  EXPECT_FALSE(qt::dir_exists(at("kcb/a")));
  EXPECT_TRUE(qt::dir_exists(at("kcb/d")));

  // Once the keys below are gone, the directory left behind gives way.
  EXPECT_EQ(req("DELETE", "/kcb/d/x").status, 204);
  ASSERT_EQ(req("PUT", "/kcb/d", {}, "now a file").status, 200);
  EXPECT_EQ(req("GET", "/kcb/d").body, "now a file");
  EXPECT_EQ(req("GET", "/kcb/d").header("Content-Length"), "10");
}

TEST_F(KeyLayout, ServerNamesAreNoKeys) {
  ASSERT_EQ(req("PUT", "/own").status, 200);
  for (const char *t : {"/own/.quillmar-folder", "/own/dir/.quillmar-folder",
                        "/own/.upload-1-2-3.tmp", "/own/x/.mpu-1-2.tmp", "/own//"}) {
    SCOPED_TRACE(t);
    Response r = req("PUT", t, {}, "v");
    qa::expect_error(r, 400, "HTTP/1.1 400 Bad Request", "InvalidRequest", "Invalid request path",
                     t);
  }
  // Names near them are ordinary keys.
  for (const char *t : {"/own/.quillmar-folder2", "/own/.upload-1-2.tmp"})
    EXPECT_EQ(req("PUT", t, {}, "v").status, 200) << t;
}

}  // namespace
