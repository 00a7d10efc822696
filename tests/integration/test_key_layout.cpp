// Keys and the file tree: folder markers ("dir/") and objects ("a") stored beside the keys
// below them, and the server's own names taken as ordinary keys.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "answers.h"
#include "harness.h"

namespace {

using qt::Response;

class KeyLayout : public qa::SharedServer {
 protected:
  // The <Key> texts of a listing, in order (the keys here need no XML escapes).
  static std::vector<std::string> keys_in(const std::string &body) {
    std::vector<std::string> out;
    for (size_t at = 0; (at = body.find("<Key>", at)) != std::string::npos;) {
      size_t end = body.find("</Key>", at);
      out.push_back(body.substr(at + 5, end - at - 5));
      at = end;
    }
    return out;
  }
  // A one-part multipart upload of bucket_key; the Complete answer.
  Response upload_whole(const std::string &bucket_key, const std::string &data) {
    std::string id = initiate(bucket_key);
    Response part = req("PUT", "/" + bucket_key + "?partNumber=1&uploadId=" + id, {}, data);
    std::string body = "<CompleteMultipartUpload><Part><PartNumber>1</PartNumber><ETag>" +
                       part.header("ETag") + "</ETag></Part></CompleteMultipartUpload>";
    return req("POST", "/" + bucket_key + "?uploadId=" + id, {}, body);
  }
};

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

TEST_F(KeyLayout, ObjectsBesideKeysBelowThemInEitherOrder) {
  ASSERT_EQ(req("PUT", "/kcb").status, 200);
  ASSERT_EQ(req("PUT", "/kcb/a", {}, "object a").status, 200);
  ASSERT_EQ(req("PUT", "/kcb/d/x", {}, "object d/x").status, 200);
  ASSERT_EQ(req("PUT", "/kcb/src", {}, "source").status, 200);
  struct Row {
    const char *what, *method, *target;
    std::vector<std::string> headers;
  };
  const Row rows[] = {
      {"below an object", "PUT", "/kcb/a/b", {}},
      {"deep below an object", "PUT", "/kcb/a/b/c", {}},
      {"marker of an object", "PUT", "/kcb/a/", {}},
      {"object over a directory", "PUT", "/kcb/d", {}},
      {"copy below an object", "PUT", "/kcb/a/c", {"x-amz-copy-source: /kcb/src"}},
      {"copy over a directory", "PUT", "/kcb/e", {"x-amz-copy-source: /kcb/src"}},
  };
  ASSERT_EQ(req("PUT", "/kcb/e/y", {}, "object e/y").status, 200);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    Response r = qt::request(port(), row.method, row.target, row.headers,
                             row.headers.empty() ? std::string("new ") + row.target : "");
    EXPECT_EQ(r.status, 200) << r.raw;
  }
  // The object moved into the directory its key names, with its record.
  EXPECT_TRUE(qt::dir_exists(at("kcb/a")));
  Response a = req("GET", "/kcb/a");
  EXPECT_EQ(a.body, "object a");
  EXPECT_EQ(a.header("ETag"), "\"" + qt::md5_hex("object a") + "\"");
  EXPECT_EQ(req("GET", "/kcb/a/b").body, "new /kcb/a/b");
  EXPECT_EQ(req("GET", "/kcb/a/b/c").body, "new /kcb/a/b/c");
  EXPECT_EQ(req("GET", "/kcb/a/").body, "new /kcb/a/");
  EXPECT_EQ(req("GET", "/kcb/a/c").body, "source");
  EXPECT_EQ(req("GET", "/kcb/d").body, "new /kcb/d");
  EXPECT_EQ(req("GET", "/kcb/d/x").body, "object d/x");
  EXPECT_EQ(req("GET", "/kcb/e").body, "source");
  // A multipart upload of a key below an object, and of an object over a directory.
  for (const char *k : {"a/m", "d"}) {
    Response c = upload_whole(std::string("kcb/") + k, std::string("part of ") + k);
    EXPECT_EQ(c.status, 200) << k << c.raw;
    EXPECT_EQ(req("GET", std::string("/kcb/") + k).body, std::string("part of ") + k);
  }
  // Listed in key order, "a" before "a-", "a/" and the keys below it.
  ASSERT_EQ(req("PUT", "/kcb/a-z", {}, "dash").status, 200);
  Response list = req("GET", "/kcb?list-type=2");
  std::vector<std::string> keys = keys_in(list.body);
  EXPECT_EQ(keys, (std::vector<std::string>{"a", "a-z", "a/", "a/b", "a/b/c", "a/c", "a/m", "d",
                                            "d/x", "e", "e/y", "src"}));

  // Once the keys below are gone, the object is a plain file again.
  EXPECT_EQ(req("DELETE", "/kcb/e/y").status, 204);
  EXPECT_FALSE(qt::dir_exists(at("kcb/e")));
  EXPECT_EQ(req("GET", "/kcb/e").body, "source");
  EXPECT_EQ(req("DELETE", "/kcb/e").status, 204);
  EXPECT_EQ(req("GET", "/kcb/e").status, 404);
  EXPECT_EQ(req("GET", "/kcb/d/x").body, "object d/x");
}

TEST_F(KeyLayout, ServerNamesAreOrdinaryKeys) {
  ASSERT_EQ(req("PUT", "/own").status, 200);
  const char *keys[] = {".quillmar-folder", "dir/.quillmar-folder", ".quillmar-object",
                        ".quillmar-k-x", ".upload-1-2-3.tmp", "x/.mpu-1-2.tmp", "/"};
  for (const char *k : keys) {
    std::string t = std::string("/own/") + k;
    ASSERT_EQ(req("PUT", t, {}, std::string("v ") + k).status, 200) << k;
  }
  for (const char *k : keys)
    EXPECT_EQ(req("GET", std::string("/own/") + k).body, std::string("v ") + k) << k;
  std::vector<std::string> listed = keys_in(req("GET", "/own?list-type=2").body);
  EXPECT_EQ(listed, (std::vector<std::string>{".quillmar-folder", ".quillmar-k-x",
                                              ".quillmar-object", ".upload-1-2-3.tmp", "/",
                                              "dir/.quillmar-folder", "x/.mpu-1-2.tmp"}));
}

}  // namespace
