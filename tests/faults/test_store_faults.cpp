// System calls that fail while an object is stored: for PutObject, UploadPart, UploadPartCopy,
// CompleteMultipartUpload, CopyObject, a browser form's upload and DeleteObjects, a failed write, read, flush to disk,
// move or lock leaves the earlier object (or part) whole with its ETag, is answered once with
// InternalError, and leaves no temporary file behind. The server runs in this process, so the
// platform's table of system calls is the one the rules of platform/testing.h replace.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "harness.h"
#include "platform/platform.h"
#include "platform/syscalls.h"
#include "platform/testing.h"
#include "store/names.h"

namespace {

// What a case stores, replacing an object (or part) that is already there.
enum fault_op {
  OP_PUT,
  OP_PUT_LARGE,
  OP_UPLOAD_PART,
  OP_PART_COPY,
  OP_COMPLETE,
  OP_COPY,
  OP_POST,
  OP_DELETE
};

struct fault_case {
  const char *name;
  fault_op op;
  const char *call;   // a kind of call of plat_fault_arm
  const char *where;  // the text the path must hold, "{root}" standing for the storage root
                      // ("" for every path)
  unsigned nth;       // the first matching call that fails
  unsigned times;     // how many fail (0: every one from the nth on)
};

const fault_case kCases[] = {
    // The new data's temporary file (".tmp") and the record's draft (".rec"), both in the
    // server's temporary folder.
    {"PutDataOpen", OP_PUT, "open", ".tmp", 1, 1},
    {"PutDataWrite", OP_PUT, "write", ".tmp", 1, 1},
    {"PutLargeDataWrite", OP_PUT_LARGE, "write", ".tmp", 3, 1},
    {"PutDataSync", OP_PUT, "sync", ".tmp", 1, 1},
    {"PutRecordWrite", OP_PUT, "write", ".rec", 1, 1},
    {"PutRecordSync", OP_PUT, "sync", ".rec", 1, 1},
    {"PutDataMove", OP_PUT, "rename", ".tmp", 1, 1},
    {"PutBucketLock", OP_PUT, "lock", "{root}/.s3meta/.lock/bkt", 1, 0},
    {"PutKeyLock", OP_PUT, "lock", "{root}/.s3meta/.keylock/bkt", 1, 0},
    // A browser form's file, written through the same temporary file as a PUT.
    {"PostDataWrite", OP_POST, "write", ".tmp", 1, 1},
    {"PostDataSync", OP_POST, "sync", ".tmp", 1, 1},
    {"PostDataMove", OP_POST, "rename", ".tmp", 1, 1},
    // A part's temporary files, its move and the upload's lock.
    {"PartDataWrite", OP_UPLOAD_PART, "write", ".tmp", 1, 1},
    {"PartDataSync", OP_UPLOAD_PART, "sync", ".tmp", 1, 1},
    {"PartRecordWrite", OP_UPLOAD_PART, "write", ".rec", 1, 1},
    {"PartRecordSync", OP_UPLOAD_PART, "sync", ".rec", 1, 1},
    {"PartDataMove", OP_UPLOAD_PART, "rename", ".tmp", 1, 1},
    {"PartUploadLock", OP_UPLOAD_PART, "lock", "{root}/.mpu/bkt/", 1, 0},
    {"PartBucketLock", OP_UPLOAD_PART, "lock", "{root}/.s3meta/.lock/bkt", 1, 0},
    // A part copied from an object: its temporary file, reading the source, the move.
    {"PartCopyDataWrite", OP_PART_COPY, "write", ".tmp", 1, 1},
    {"PartCopySourceRead", OP_PART_COPY, "read", "{root}/bkt/source", 1, 1},
    {"PartCopyDataSync", OP_PART_COPY, "sync", ".tmp", 1, 1},
    {"PartCopyDataMove", OP_PART_COPY, "rename", ".tmp", 1, 1},
    // The joined parts' temporary file, reading a part, the record, the move.
    {"CompleteJoinWrite", OP_COMPLETE, "write", ".tmp", 1, 1},
    {"CompleteUploadRead", OP_COMPLETE, "read", "/meta", 1, 1},
    {"CompleteHeadersRead", OP_COMPLETE, "read", "/meta", 2, 1},
    {"CompletePartRead", OP_COMPLETE, "read", "/1.part", 1, 1},
    {"CompleteJoinSync", OP_COMPLETE, "sync", ".tmp", 1, 1},
    {"CompleteRecordSync", OP_COMPLETE, "sync", ".rec", 1, 1},
    {"CompleteJoinMove", OP_COMPLETE, "rename", ".tmp", 1, 1},
    {"CompleteBucketLock", OP_COMPLETE, "lock", "{root}/.s3meta/.lock/bkt", 1, 0},
    // The copy's temporary file, reading the source, the record, the move, the lock.
    {"CopyDataWrite", OP_COPY, "write", ".tmp", 1, 1},
    // (the first read is the one that proves the opened source still reads)
    {"CopySourceRead", OP_COPY, "read", "{root}/bkt/source", 2, 1},
    {"CopyDataSync", OP_COPY, "sync", ".tmp", 1, 1},
    {"CopyRecordSync", OP_COPY, "sync", ".rec", 1, 1},
    {"CopyDataMove", OP_COPY, "rename", ".tmp", 1, 1},
    {"CopyBucketLock", OP_COPY, "lock", "{root}/.s3meta/.lock/bkt", 1, 0},
    {"CopyKeyLock", OP_COPY, "lock", "{root}/.s3meta/.keylock/bkt", 1, 0},
    // Taking the object's file out of its place (unlinked while held open), and the lock the
    // removal holds.
    {"DeleteUnlink", OP_DELETE, "unlink", "{root}/bkt/obj", 1, 1},
    {"DeleteBucketLock", OP_DELETE, "lock", "{root}/.s3meta/.lock/bkt", 1, 0},
};

void PrintTo(const fault_case &c, std::ostream *os) { *os << c.name; }

// Puts the OS's own calls back on every way out of a test.
struct fault_scope {
  ~fault_scope() { plat_fault_clear(); }
};

int status_lines(const std::string &raw) {
  int n = 0;
  for (size_t at = raw.find("HTTP/1.1 "); at != std::string::npos; at = raw.find("HTTP/1.1 ", at + 1))
    if (at == 0 || raw.compare(at - 2, 2, "\r\n") == 0) n++;
  return n;
}

std::string between(const std::string &s, const std::string &open, const std::string &close) {
  size_t a = s.find(open);
  if (a == std::string::npos) return "";
  a += open.size();
  size_t b = s.find(close, a);
  return b == std::string::npos ? "" : s.substr(a, b - a);
}

// The server's own temporary files anywhere under dir: those of its temporary folders (not their
// lock files), and any named as temporary files once were (folder markers are objects).
void own_temporaries(const std::string &dir, std::vector<std::string> *out) {
  std::vector<std::pair<std::string, int>> entries = qt::dir_entries(dir);
  for (auto &e : entries) {
    std::string path = dir + "/" + e.first;
    bool in_temp_tree = path.find("/.s3tmp/") != std::string::npos;
    bool lock = e.first.size() > 5 && e.first.compare(e.first.size() - 5, 5, ".lock") == 0;
    if (e.second)
      own_temporaries(path, out);
    else if (in_temp_tree ? !lock
                          : is_own_name(e.first.c_str(), 0) && !is_folder_marker(e.first.c_str(), 0))
      out->push_back(path);
  }
}

class StoreFaults : public ::testing::TestWithParam<fault_case> {
 protected:
  qt::Server srv;
  std::string earlier = qt::random_bytes(3000, 1);
  std::string newer = qt::random_bytes(5000, 2);
  std::string upload_id;

  qt::Response send(const std::string &method, const std::string &target,
                    const std::string &body = "", std::vector<std::string> headers = {}) {
    headers.push_back("Connection: close");
    return qt::request(srv.port, method, target, headers, body);
  }

  void SetUp() override {
    ASSERT_NE(srv.port, 0);
    ASSERT_EQ(send("PUT", "/bkt").status, 200);
    ASSERT_EQ(send("PUT", "/bkt/obj", earlier, {"Content-Type: text/plain"}).status, 200);
  }

  void start_upload() {
    qt::Response r = send("POST", "/bkt/obj?uploads", "", {"x-amz-meta-color: blue"});
    ASSERT_EQ(r.status, 200) << r.raw;
    upload_id = between(r.body, "<UploadId>", "</UploadId>");
    ASSERT_FALSE(upload_id.empty());
  }

  qt::Response upload_part(const std::string &data) {
    return send("PUT", "/bkt/obj?partNumber=1&uploadId=" + upload_id, data);
  }

  qt::Response complete() {
    return send("POST", "/bkt/obj?uploadId=" + upload_id,
                "<CompleteMultipartUpload><Part><PartNumber>1</PartNumber></Part>"
                "</CompleteMultipartUpload>");
  }

  // Everything before the failing request, made with the OS's own calls.
  void prepare(fault_op op) {
    if (op == OP_UPLOAD_PART || op == OP_PART_COPY) {
      start_upload();
      ASSERT_EQ(upload_part(earlier).status, 200);
      if (op == OP_PART_COPY) {
        ASSERT_EQ(send("PUT", "/bkt/source", newer).status, 200);
      }
    } else if (op == OP_COMPLETE) {
      start_upload();
      ASSERT_EQ(upload_part(newer).status, 200);
    } else if (op == OP_COPY) {
      ASSERT_EQ(send("PUT", "/bkt/source", newer).status, 200);
    }
  }

  qt::Response run(fault_op op) {
    switch (op) {
      case OP_PUT:
        return send("PUT", "/bkt/obj", newer, {"Content-Type: image/png"});
      case OP_PUT_LARGE:
        return send("PUT", "/bkt/obj", qt::random_bytes(4 << 20, 3));
      case OP_UPLOAD_PART:
        return upload_part(newer);
      case OP_PART_COPY:
        return send("PUT", "/bkt/obj?partNumber=1&uploadId=" + upload_id, "",
                    {"x-amz-copy-source: /bkt/source"});
      case OP_COMPLETE:
        return complete();
      case OP_COPY:
        return send("PUT", "/bkt/obj", "", {"x-amz-copy-source: /bkt/source"});
      case OP_POST:
        return send("POST", "/bkt",
                    "--XB\r\nContent-Disposition: form-data; name=\"key\"\r\n\r\nobj\r\n"
                    "--XB\r\nContent-Disposition: form-data; name=\"file\"; filename=\"f\"\r\n"
                    "Content-Type: image/png\r\n\r\n" + newer + "\r\n--XB--\r\n",
                    {"Content-Type: multipart/form-data; boundary=XB"});
      case OP_DELETE:
        return send("POST", "/bkt?delete",
                    "<Delete><Object><Key>obj</Key></Object></Delete>");
    }
    return {};
  }

  // The stored object: the earlier bytes with their ETag and content type.
  void expect_earlier_object() {
    qt::Response got = send("GET", "/bkt/obj");
    EXPECT_EQ(got.status, 200);
    EXPECT_TRUE(got.body == earlier) << "object changed, " << got.body.size() << " bytes";
    EXPECT_EQ(got.header("ETag"), "\"" + qt::md5_hex(earlier) + "\"");
    EXPECT_EQ(got.header("Content-Type"), "text/plain");
  }

  // The part stored before the failed retry is still the one a Complete joins.
  void expect_earlier_part() {
    qt::Response listed = send("GET", "/bkt/obj?uploadId=" + upload_id);
    EXPECT_EQ(between(listed.body, "<ETag>", "</ETag>"), "\"" + qt::md5_hex(earlier) + "\"")
        << listed.body;
    ASSERT_EQ(complete().status, 200);
    EXPECT_TRUE(qt::read_file(srv.path("bkt/obj")) == earlier);
  }
};

TEST_P(StoreFaults, EarlierObjectStaysWholeAndTheFailureIsAnsweredOnce) {
  const fault_case &c = GetParam();
  ASSERT_NO_FATAL_FAILURE(prepare(c.op));
  qt::Response r;
  unsigned failed = 0;
  {
    fault_scope scope;
    std::string where = c.where;
    if (where.compare(0, 6, "{root}") == 0) where = srv.root + where.substr(6);
    int rule = plat_fault_arm(c.call, where.c_str(), c.nth, c.times);
    ASSERT_GE(rule, 0);
    r = run(c.op);
    failed = plat_fault_failed(rule);
  }
  ASSERT_GE(failed, 1u) << "the call never failed, so the case shows nothing";
  EXPECT_EQ(status_lines(r.raw), 1) << r.raw;
  if (c.op == OP_DELETE) {
    // DeleteObjects reports each key inside its 200 answer, as S3 does.
    EXPECT_EQ(r.status, 200) << r.raw;
    EXPECT_EQ(between(r.body, "<Code>", "</Code>"), "InternalError") << r.body;
    EXPECT_EQ(r.body.find("<Deleted>"), std::string::npos) << r.body;
  } else {
    EXPECT_EQ(r.status, 500) << r.raw;
    EXPECT_EQ(between(r.body, "<Code>", "</Code>"), "InternalError") << r.body;
  }

  std::vector<std::string> left;
  own_temporaries(srv.root, &left);
  EXPECT_TRUE(left.empty()) << "temporary file left: " << left[0];

  if (c.op == OP_UPLOAD_PART || c.op == OP_PART_COPY) {
    expect_earlier_part();
  } else {
    expect_earlier_object();
  }
  if (c.op == OP_COMPLETE) {
    // The upload stays for a retry, which then replaces the object, with its metadata.
    ASSERT_EQ(complete().status, 200);
    EXPECT_TRUE(qt::read_file(srv.path("bkt/obj")) == newer);
    EXPECT_EQ(send("HEAD", "/bkt/obj").header("x-amz-meta-color"), "blue");
  }
}

INSTANTIATE_TEST_SUITE_P(Calls, StoreFaults, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<fault_case> &info) {
                           return std::string(info.param.name);
                         });

// The record's move, the last step, fails after the new data took the key, with the clock set
// back an hour since the earlier object was stored: the answer is still one InternalError,
// nothing temporary is left, and a read meets the new bytes with their own digest as ETag,
// never under the earlier record (whose time the new data's outranks all the same).
TEST_F(StoreFaults, RecordMoveFailingAfterTheDataIsAnsweredAsAFailure) {
  qt::Response r;
  {
    fault_scope scope;
    plat_clock_fix_ns((plat_time_now() - 3600) * 1000000000);
    // Every try fails: the record's move is retried a few times before the commit gives up.
    ASSERT_GE(plat_fault_arm("rename", ".rec", 1, 100), 0);
    r = send("PUT", "/bkt/obj", newer, {"Content-Type: image/png"});
  }
  EXPECT_EQ(status_lines(r.raw), 1) << r.raw;
  EXPECT_EQ(r.status, 500) << r.raw;
  EXPECT_EQ(between(r.body, "<Code>", "</Code>"), "InternalError") << r.body;
  std::vector<std::string> left;
  own_temporaries(srv.root, &left);
  EXPECT_TRUE(left.empty()) << "temporary file left: " << left[0];
  qt::Response got = send("GET", "/bkt/obj");
  ASSERT_EQ(got.status, 200);
  EXPECT_TRUE(got.body == newer) << "the data's move did not fail, " << got.body.size() << " bytes";
  EXPECT_EQ(got.header("ETag"), "\"" + qt::md5_hex(newer) + "\"");
  EXPECT_NE(got.header("Content-Type"), "text/plain");
}

// A record move that fails once (a folder another server is making or emptying on a shared
// file system) is tried again: the upload is stored whole, record and all.
TEST_F(StoreFaults, RecordMoveFailingOnceIsTriedAgain) {
  qt::Response r;
  {
    fault_scope scope;
    ASSERT_GE(plat_fault_arm("rename", ".rec", 1, 1), 0);
    r = send("PUT", "/bkt/once", newer, {"Content-Type: image/png"});
  }
  EXPECT_EQ(r.status, 200) << r.raw;
  qt::Response got = send("GET", "/bkt/once");
  ASSERT_EQ(got.status, 200);
  EXPECT_TRUE(got.body == newer);
  EXPECT_EQ(got.header("Content-Type"), "image/png");
}

// A fixed wall clock is the one the server stores by.
TEST_F(StoreFaults, FixedClockDatesWhatIsStored) {
  fault_scope scope;
  plat_clock_fix_ns(981173106LL * 1000000000);  // 2001-02-03 04:05:06 UTC
  ASSERT_EQ(send("PUT", "/bkt/dated", "x").status, 200);
  EXPECT_EQ(send("HEAD", "/bkt/dated").header("Last-Modified"), "Sat, 03 Feb 2001 04:05:06 GMT");
}

// The rules themselves: the nth matching call fails, for as many calls as asked, and only on
// a path that holds the rule's text; clearing them brings the OS's own calls back.
TEST(FaultRules, CountAndPathDecideWhichCallsFail) {
  std::string dir = qt::make_temp_dir();
  fault_scope scope;
  int rule = plat_fault_arm("sync", "/x-", 2, 1);
  ASSERT_GE(rule, 0);
  auto sync_of = [&](const std::string &name) {
    plat_file_guard f(plat_file_open((dir + "/" + name).c_str(), PLAT_WRITE_TRUNC));
    return f.f ? plat_file_sync(f.f) : -2;
  };
  EXPECT_EQ(sync_of("y-1"), 0);
  EXPECT_EQ(sync_of("x-1"), 0);
  EXPECT_EQ(sync_of("y-2"), 0);
  EXPECT_EQ(sync_of("x-2"), -1);
  EXPECT_EQ(sync_of("x-3"), 0);
  EXPECT_EQ(plat_fault_matched(rule), 3u);
  EXPECT_EQ(plat_fault_failed(rule), 1u);
  int every = plat_fault_arm("mkdir", "", 1, 0);
  ASSERT_GE(every, 0);
  EXPECT_NE(plat_mkdir((dir + "/d1").c_str()), 0);
  EXPECT_NE(plat_mkdir((dir + "/d2").c_str()), 0);
  plat_fault_clear();
  EXPECT_EQ(plat_mkdir((dir + "/d3").c_str()), 0);
  EXPECT_EQ(sync_of("x-4"), 0);
  EXPECT_LT(plat_fault_arm("nosuchcall", "", 1, 1), 0);
  qt::remove_tree(dir);
}

int refuse_unlink(const char *) { return -1; }

// The table by name: every entry is listed once, a replacement takes effect at once, and a null
// one puts the OS's own call back.
TEST(SyscallTable, ReplacesAndRestoresByName) {
  int entries = 0;
  bool has_unlink = false;
  for (const char *n = plat_syscall_next(nullptr); n; n = plat_syscall_next(n)) {
    entries++;
    has_unlink |= std::string(n) == "unlink";
    EXPECT_EQ(plat_syscall_get(n), plat_syscall_default(n)) << n;
  }
  EXPECT_GE(entries, 10);
  ASSERT_TRUE(has_unlink);
  std::string dir = qt::make_temp_dir();
  std::string file = dir + "/f";
  qt::write_file(file, "x");
  {
    fault_scope scope;
    ASSERT_EQ(plat_syscall_set("unlink", (plat_syscall_ptr)refuse_unlink), 0);
    EXPECT_EQ(plat_syscall_get("unlink"), (plat_syscall_ptr)refuse_unlink);
    EXPECT_NE(plat_unlink(file.c_str(), nullptr), 0);
    EXPECT_TRUE(qt::file_exists(file));
    EXPECT_EQ(plat_syscall_set("unlink", nullptr), 0);
  }
  EXPECT_EQ(plat_syscall_get("unlink"), plat_syscall_default("unlink"));
  EXPECT_EQ(plat_unlink(file.c_str(), nullptr), 0);
  EXPECT_EQ(plat_syscall_set("no-such-call", nullptr), -1);
  EXPECT_EQ(plat_syscall_get("no-such-call"), nullptr);
  qt::remove_tree(dir);
}

// A read of the object's data that fails right after the open (a file replaced on another
// client of a network file system answers ESTALE) makes the GET look again, not answer 500 or
// a cut body; when every look fails the answer is 503 SlowDown, never a 200.
TEST_F(StoreFaults, ReadFailingRightAfterTheOpenTakesANewLook) {
  const std::string data = srv.root + "/bkt/obj";
  qt::Response once, always;
  {
    fault_scope scope;
    ASSERT_GE(plat_fault_arm("read", data.c_str(), 1, 1), 0);
    once = send("GET", "/bkt/obj");
  }
  EXPECT_EQ(once.status, 200) << once.raw;
  EXPECT_TRUE(once.body == earlier);
  EXPECT_EQ(once.header("Content-Length"), std::to_string(earlier.size()));
  EXPECT_EQ(once.header("ETag"), "\"" + qt::md5_hex(earlier) + "\"");
  {
    fault_scope scope;
    ASSERT_GE(plat_fault_arm("read", data.c_str(), 1, 0), 0);
    always = send("GET", "/bkt/obj");
  }
  EXPECT_EQ(status_lines(always.raw), 1) << always.raw;
  EXPECT_EQ(always.status, 503) << always.raw;
  EXPECT_EQ(between(always.body, "<Code>", "</Code>"), "SlowDown") << always.body;
}

}  // namespace
