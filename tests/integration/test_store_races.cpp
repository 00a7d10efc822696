// Races on the store over HTTP: DeleteBucket against uploads, Complete against a part retry, two
// server processes on one storage root, and keys that would leave their place in the tree.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "fixture.h"
#include "harness.h"
#include "platform/testing.h"

namespace {

// Each test has a server of its own over an empty root.
class KeyPlace : public qt::FreshServer {
 protected:
  const qt::Server &srv = server;
};
class StoreRaces : public qt::FreshServer {
 protected:
  const qt::Server &srv = server;
};

std::string part_target(const std::string &bucket_key, const std::string &id, int n) {
  return "/" + bucket_key + "?partNumber=" + std::to_string(n) + "&uploadId=" + id;
}

// A Complete body listing parts 1..n without ETags (any stored part matches).
std::string parts_body(int n) {
  std::string x = "<CompleteMultipartUpload>";
  for (int i = 1; i <= n; i++)
    x += "<Part><PartNumber>" + std::to_string(i) + "</PartNumber></Part>";
  return x + "</CompleteMultipartUpload>";
}

// The number of the server's temporary files (".upload-...") directly in dir.
int temp_files(const std::string &dir) {
  int n = 0;
  plat_dir *d = plat_dir_open(dir.c_str());
  if (!d) return 0;
  char name[256];
  int is_dir = 0;
  while (plat_dir_next(d, name, sizeof name, &is_dir) == 1)
    if (std::string(name).rfind(".upload-", 0) == 0) n++;
  plat_dir_close(d);
  return n;
}

// The files in the servers' temporary folders under root (their lock files not counted).
int temp_tree_files(const std::string &root) {
  int n = 0;
  std::string tree = root + "/.s3tmp";
  plat_dir *d = plat_dir_open(tree.c_str());
  if (!d) return 0;
  char name[256];
  int is_dir = 0;
  while (plat_dir_next(d, name, sizeof name, &is_dir) == 1) {
    if (!is_dir) continue;
    plat_dir *inner = plat_dir_open((tree + "/" + name).c_str());
    if (!inner) continue;
    char file[256];
    int sub = 0;
    while (plat_dir_next(inner, file, sizeof file, &sub) == 1) n += sub ? 0 : 1;
    plat_dir_close(inner);
  }
  plat_dir_close(d);
  return n;
}

// The multipart ETag of the given part payloads.
std::string multipart_etag(const std::vector<std::string> &parts) {
  std::string raw;
  for (const std::string &p : parts) {
    std::string hex = qt::md5_hex(p);
    for (size_t i = 0; i < 32; i += 2) raw += (char)std::stoi(hex.substr(i, 2), nullptr, 16);
  }
  return qt::md5_hex(raw) + "-" + std::to_string(parts.size());
}

TEST_F(KeyPlace, KeysThatLookLikePathsStayKeysOfTheirOwn) {
  ASSERT_EQ(qt::request(srv.port, "PUT", "/kpl").status, 200);
  struct row {
    const char *name, *target;
    int status;
  } rows[] = {
      {"encoded slash makes a dot segment", "/kpl/x%2F.%2Fy", 200},
      {"encoded slash ends in a dot", "/kpl/d%2F.", 200},
      {"encoded dots and slash", "/kpl/%2E%2E%2Fx", 200},
      {"encoded slash before dot-dot", "/kpl/a%2F..", 200},
      {"dot segment after an encoded slash", "/kpl/a%2F.%2F", 200},
      {"upload temporary name", "/kpl/.upload-1700000000-12-3.tmp", 200},
      {"join temporary name below a directory", "/kpl/d/.mpu-12-3.tmp", 200},
      {"temporary-like name that is not one", "/kpl/.upload-x.tmp", 200},
      {"temporary name as a directory level", "/kpl/.mpu-1-2.tmp/k", 200},
      {"dot-name", "/kpl/.env", 200},
      {"two dots inside a segment", "/kpl/a..b%2Fc", 200},
  };
  for (const row &r : rows) {
    qt::Response a = put(r.target, std::string("data ") + r.name);
    EXPECT_EQ(a.status, r.status) << r.name << "\n" << a.raw;
  }
  for (const row &r : rows)
    EXPECT_EQ(qt::request(srv.port, "GET", r.target).body, std::string("data ") + r.name) << r.name;
  // Nothing aliased: the plain forms of those keys hold nothing, nothing lies outside.
  EXPECT_FALSE(qt::file_exists(srv.path("kpl/x/y")));
  EXPECT_FALSE(qt::file_exists(srv.path("x")));
  EXPECT_EQ(qt::request(srv.port, "GET", "/kpl/x/y").status, 404);
  EXPECT_EQ(qt::request(srv.port, "GET", "/kpl/a").status, 404);
  EXPECT_EQ(qt::request(srv.port, "DELETE", "/kpl/d%2F.").status, 204);
  EXPECT_EQ(qt::request(srv.port, "GET", "/kpl/d%2F.").status, 404);
}

TEST_F(KeyPlace, LinksInTheTreeAreNotFollowed) {
  ASSERT_EQ(qt::request(srv.port, "PUT", "/lnk").status, 200);
  qt::TempDir outside_dir;
  const std::string &outside = outside_dir.path;
  qt::write_file(outside + "/secret", "outside data");
  ASSERT_EQ(plat_symlink(outside.c_str(), srv.path("lnk/dir").c_str()), 0);
  ASSERT_EQ(plat_symlink((outside + "/secret").c_str(), srv.path("lnk/file").c_str()), 0);

  EXPECT_EQ(qt::request(srv.port, "GET", "/lnk/dir/secret").status, 404);
  EXPECT_EQ(qt::request(srv.port, "GET", "/lnk/file").status, 404);
  // Nor are they listed: neither the link to a file nor what the link to a folder holds.
  qt::Response list = qt::request(srv.port, "GET", "/lnk?list-type=2");
  EXPECT_EQ(list.status, 200);
  EXPECT_EQ(list.body.find("<Key>"), std::string::npos) << list.body;
  EXPECT_NE(put("/lnk/dir/new", "x").status, 200);
  qt::request(srv.port, "DELETE", "/lnk/dir/secret");
  EXPECT_EQ(qt::read_file(outside + "/secret"), "outside data");
  EXPECT_FALSE(qt::file_exists(outside + "/new"));
}

// DeleteBucket requests keep coming while writers store, read back and remove their own keys
// (so the bucket is often empty and the deletes often win). A PUT answered 200 must be there
// when its writer reads it back: no delete may take it, and none may be answered for a bucket
// that held it.
TEST_F(StoreRaces, DeleteBucketNeverLosesAnAcknowledgedPut) {
  const int kWriters = 3, kPutsEach = 150;
  ASSERT_EQ(qt::request(srv.port, "PUT", "/race").status, 200);
  std::atomic<int> running{kWriters}, acknowledged{0}, lost{0}, deleted{0};
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; w++) {
    writers.emplace_back([&, w] {
      for (int i = 0; i < kPutsEach; i++) {
        std::string target = "/race/w" + std::to_string(w) + "-k" + std::to_string(i);
        std::string body = qt::random_bytes(2000 + 97 * i, uint32_t(w * 100 + i));
        if (put(target, body).status != 200) continue;
        acknowledged++;
        qt::Response g = qt::request(srv.port, "GET", target);
        if (g.status != 200 || g.body != body) lost++;
        qt::request(srv.port, "DELETE", target);
      }
      running--;
    });
  }
  // A write never re-creates a deleted bucket, so the deleter makes it again after each win, and
  // paces itself so that writers get their turns (the pauses only shape the load).
  while (running > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (qt::request(srv.port, "DELETE", "/race").status != 204) continue;
    deleted++;
    qt::request(srv.port, "PUT", "/race");
  }
  for (std::thread &t : writers) t.join();
  EXPECT_EQ(lost, 0) << "PUTs answered 200 and then missing";
  EXPECT_GT(acknowledged, 0);
  std::printf("acknowledged PUTs: %d, bucket deletes: %d\n", acknowledged.load(), deleted.load());
}

// An upload whose bucket is deleted while its body arrives is not answered 200, and its commit
// does not make the bucket again: the PUT's temporary file and the upload's parts went with it.
TEST_F(StoreRaces, InFlightUploadsFailWhenTheirBucketIsDeleted) {
  ASSERT_EQ(qt::request(srv.port, "PUT", "/gone").status, 200);
  std::string id = initiate("gone/mp");
  ASSERT_FALSE(id.empty());
  const std::string half(5000, 'a');
  qt::Conn object(srv.port), part(srv.port);
  ASSERT_TRUE(object.send("PUT /gone/d/k HTTP/1.1\r\nHost: x\r\nContent-Length: 10000\r\n\r\n" + half));
  ASSERT_TRUE(part.send("PUT " + part_target("gone/mp", id, 1) +
                        " HTTP/1.1\r\nHost: x\r\nContent-Length: 10000\r\n\r\n" + half));
  // Both temporary files exist once the first body bytes are stored; wait for them. They live
  // in the server's temporary folder, so the bucket is empty and its delete succeeds.
  ASSERT_TRUE(qt::wait_until([&] { return temp_tree_files(srv.root) == 2; }));
  EXPECT_EQ(temp_files(srv.path("gone")), 0);
  ASSERT_EQ(qt::request(srv.port, "DELETE", "/gone").status, 204);
  ASSERT_TRUE(object.send(half));
  ASSERT_TRUE(part.send(half));
  std::string object_answer = object.recv_all(), part_answer = part.recv_all();
  EXPECT_EQ(object_answer.rfind("HTTP/1.1 404", 0), 0u) << object_answer;
  EXPECT_NE(object_answer.find("<Code>NoSuchBucket</Code>"), std::string::npos) << object_answer;
  EXPECT_EQ(part_answer.find("HTTP/1.1 200"), std::string::npos) << part_answer;
  EXPECT_EQ(part_answer.find("HTTP/1.1 500"), std::string::npos) << part_answer;
  EXPECT_TRUE(qt::wait_until([&] { return temp_tree_files(srv.root) == 0; }));
  // A second delete of the bucket that is gone is answered as such.
  EXPECT_EQ(qt::request(srv.port, "DELETE", "/gone").status, 404);
  EXPECT_FALSE(qt::dir_exists(srv.path("gone")));
  EXPECT_FALSE(qt::dir_exists(srv.path(".mpu/gone")));
}

// A part retried over and over while Complete runs: the object is always one whole payload of
// each part, and its ETag is the one those payloads give.
TEST_F(StoreRaces, CompleteNeverJoinsHalfAPartRetry) {
  ASSERT_EQ(qt::request(srv.port, "PUT", "/mpr").status, 200);
  const std::string a1 = qt::random_bytes(300000, 1), a2 = qt::random_bytes(200000, 2);
  const std::string b = qt::random_bytes(1000, 3);
  for (int round = 0; round < 8; round++) {
    std::string key = "mpr/obj" + std::to_string(round);
    std::string id = initiate(key);
    ASSERT_FALSE(id.empty());
    ASSERT_EQ(put(part_target(key, id, 1), a1).status, 200);
    ASSERT_EQ(put(part_target(key, id, 2), b).status, 200);
    std::atomic<bool> done{false};
    std::thread retry([&] {
      for (int i = 0; !done && i < 50; i++) put(part_target(key, id, 1), i % 2 ? a1 : a2);
    });
    qt::Response c = qt::request(srv.port, "POST", "/" + key + "?uploadId=" + id, {},
                                 parts_body(2));
    done = true;
    retry.join();
    ASSERT_EQ(c.status, 200) << c.raw;
    std::string got = qt::read_file(srv.path(key));
    bool whole_a1 = got == a1 + b, whole_a2 = got == a2 + b;
    ASSERT_TRUE(whole_a1 || whole_a2) << "torn object of " << got.size() << " bytes";
    std::string want = multipart_etag({whole_a1 ? a1 : a2, b});
    EXPECT_NE(c.body.find("<ETag>\"" + want + "\"</ETag>"), std::string::npos) << c.body;
    EXPECT_EQ(qt::request(srv.port, "HEAD", "/" + key).header("ETag"), "\"" + want + "\"");
  }
}

// A retry that breaks off mid-body changes nothing: the earlier part and its ETag stay.
TEST_F(StoreRaces, InterruptedPartRetryKeepsTheEarlierPart) {
  ASSERT_EQ(qt::request(srv.port, "PUT", "/mpi").status, 200);
  std::string id = initiate("mpi/k");
  ASSERT_FALSE(id.empty());
  ASSERT_EQ(put(part_target("mpi/k", id, 1), "first part").status, 200);
  {
    qt::Conn c(srv.port);
    ASSERT_TRUE(c.send("PUT " + part_target("mpi/k", id, 1) +
                       " HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\nonly a piece"));
    c.shutdown_send();
    c.recv_all();
  }
  std::string etag = qt::md5_hex("first part");
  EXPECT_EQ(qt::read_file(srv.path(".mpu/mpi/" + id + "/1.part")), "first part");
  EXPECT_EQ(qt::read_record(srv.path(".mpu/mpi/" + id + "/1.etag")), etag + "\nCRC64NVME ZhguS2wRzoE=\n");
  qt::Response c = req("POST", "/mpi/k?uploadId=" + id, {},
                       "<CompleteMultipartUpload><Part><PartNumber>1</PartNumber><ETag>\"" + etag +
                           "\"</ETag></Part></CompleteMultipartUpload>");
  ASSERT_EQ(c.status, 200) << c.raw;
  EXPECT_EQ(qt::read_file(srv.path("mpi/k")), "first part");
}

// The host program, started on its own port over a shared root; stopped on exit.
struct HostProcess {
  int port = 0;
  std::string pid;
  bool ready = false;
  HostProcess(const std::string &root) {
    port = qt::free_port();
    std::string cmd = std::string(QUILLMAR_BINARY_DIR) + "/quillmar-s3d --root '" + root +
                      "' --port " + std::to_string(port) + " >/dev/null 2>&1 & echo $!";
    qt::run_command(cmd, &pid);
    while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' ')) pid.pop_back();
    // Ready once it answers.
    ready = !pid.empty() && qt::wait_until([&] { return qt::request(port, "GET", "/").status != 0; });
  }
  ~HostProcess() {
    if (!pid.empty()) qt::run_command("kill " + pid + " 2>/dev/null; wait " + pid + " 2>/dev/null");
  }
};

// Two server processes write and read the same keys: every body read is one written payload
// whole, with the ETag of that payload, and no temporary file is left behind.
TEST_F(StoreRaces, TwoProcessesOnOneRoot) {
  qt::TempDir shared;
  const std::string &root = shared.path;
  {
    HostProcess p1(root), p2(root);
    ASSERT_FALSE(p1.pid.empty());
    ASSERT_FALSE(p2.pid.empty());
    ASSERT_TRUE(p1.ready);
    ASSERT_TRUE(p2.ready);
    ASSERT_EQ(qt::request(p1.port, "PUT", "/two").status, 200);
    std::vector<std::string> payloads;
    for (int i = 0; i < 4; i++) payloads.push_back(qt::random_bytes(50000 + 30000 * i, 40 + i));
    const int keys = 3;
    std::vector<std::thread> threads;
    std::atomic<int> bad{0}, reads{0};
    for (int w = 0; w < 4; w++) {
      threads.emplace_back([&, w] {
        int port = w % 2 ? p2.port : p1.port;
        for (int i = 0; i < 15; i++) {
          std::string target = "/two/k" + std::to_string((w + i) % keys);
          if (qt::request(port, "PUT", target, {}, payloads[(w + i) % payloads.size()]).status != 200) bad++;
        }
      });
      threads.emplace_back([&, w] {
        int port = w % 2 ? p1.port : p2.port;
        for (int i = 0; i < 20; i++) {
          qt::Response g = qt::request(port, "GET", "/two/k" + std::to_string(i % keys));
          if (g.status == 404) continue;
          reads++;
          bool known = false;
          for (const std::string &p : payloads) known = known || g.body == p;
          if (g.status != 200 || !known || g.header("ETag") != "\"" + qt::md5_hex(g.body) + "\"")
            bad++;
        }
      });
    }
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(bad, 0);
    std::printf("reads checked: %d\n", reads.load());
    // No temporary file is left in the bucket.
    EXPECT_EQ(qt::request(p2.port, "DELETE", "/two/k0").status, 204);
  }
  EXPECT_EQ(temp_files(root + "/two"), 0);
  EXPECT_EQ(temp_tree_files(root), 0);
}

// A second server's start on the same root leaves the first one's upload in progress alone
// (its temporary folder is locked), but sweeps the folder of a server that is gone.
TEST_F(StoreRaces, SecondServerStartKeepsTheFirstOnesLiveUpload) {
  ASSERT_EQ(qt::request(srv.port, "PUT", "/live").status, 200);
  // What a killed server left: a folder without a holder of its lock.
  const std::string dead = srv.root + "/.s3tmp/" + std::string(32, 'e');
  qt::write_file(dead + ".lock", "");
  qt::write_file(dead + "/0123.tmp", "left by a crash");
  const std::string body = qt::random_bytes(20000, 7);
  qt::Conn c(srv.port);
  ASSERT_TRUE(c.send("PUT /live/k HTTP/1.1\r\nHost: x\r\nContent-Length: 20000\r\n\r\n" +
                     body.substr(0, 10000)));
  // The dead folder's file and the upload's own.
  ASSERT_TRUE(qt::wait_until([&] { return temp_tree_files(srv.root) == 2; }));
  {
    HostProcess second(srv.root);
    ASSERT_TRUE(second.ready);
    EXPECT_FALSE(qt::dir_exists(dead));
    // The first server's upload goes on and is stored whole; the second one serves it.
    ASSERT_TRUE(c.send(body.substr(10000)));
    std::string answer = c.recv_all();
    EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
    qt::Response g = qt::request(second.port, "GET", "/live/k");
    EXPECT_EQ(g.status, 200);
    EXPECT_TRUE(g.body == body);
    EXPECT_EQ(g.header("ETag"), "\"" + qt::md5_hex(body) + "\"");
  }
}

// The Size, ETag and LastModified of key's entry in a ListObjectsV2 answer ("" when absent).
struct list_fields {
  std::string size, etag, when;
};
list_fields listed(int port, const std::string &bucket, const std::string &key) {
  qt::Response l = qt::request(port, "GET", "/" + bucket + "?list-type=2");
  std::smatch m;
  std::regex entry("<Key>" + key + "</Key>\\s*<LastModified>([^<]*)</LastModified>\\s*"
                   "<ETag>&quot;([^&]*)&quot;</ETag>\\s*<Size>([0-9]*)</Size>");
  std::regex plain("<Key>" + key + "</Key>\\s*<LastModified>([^<]*)</LastModified>\\s*"
                   "<ETag>\"([^\"]*)\"</ETag>\\s*<Size>([0-9]*)</Size>");
  if (std::regex_search(l.body, m, entry) || std::regex_search(l.body, m, plain))
    return {m[3].str(), m[2].str(), m[1].str()};
  return {};
}

// A record counts only for the data version it names: the one written with it. Data replaced
// by other means reads with its own size and digest, in a read and in a listing alike; a record
// written before records named their version still reads by its time.
TEST_F(StoreRaces, RecordsAreTrustedOnlyForTheirOwnVersion) {
  ASSERT_EQ(qt::request(srv.port, "PUT", "/rvx").status, 200);
  ASSERT_EQ(qt::request(srv.port, "PUT", "/rvx/a", {"Content-Type: text/x-a"}, "hello").status, 200);
  std::string record = qt::read_file(srv.path(".s3meta/rvx/a"));
  EXPECT_TRUE(std::regex_search(record, std::regex("\n\\+Version 5 [0-9]+ [0-9]+\n"))) << record;
  EXPECT_EQ(listed(srv.port, "rvx", "a").etag, qt::md5_hex("hello"));

  // Another version in the data's place, written around the server: the record is not its own.
  const std::string other = "another body, longer";
  qt::write_file(srv.path("rvx/a"), other);
  qt::Response g = qt::request(srv.port, "GET", "/rvx/a");
  EXPECT_EQ(g.status, 200);
  EXPECT_EQ(g.body, other);
  EXPECT_EQ(g.header("Content-Length"), std::to_string(other.size()));
  EXPECT_EQ(g.header("ETag"), "\"" + qt::md5_hex(other) + "\"");
  EXPECT_NE(g.header("Content-Type"), "text/x-a");
  list_fields f = listed(srv.port, "rvx", "a");
  EXPECT_EQ(f.size, std::to_string(other.size()));
  EXPECT_EQ(f.etag, qt::md5_hex(other));

  // A record in the earlier form (no version line), not older than its data, still reads.
  qt::write_file(srv.path("rvx/old"), "old data");
  qt::set_mtime(srv.path("rvx/old"), 1700000000);
  qt::write_file(srv.path(".s3meta/rvx/old"),
                 "text/x-old\n0123456789abcdef0123456789abcdef\nx-amz-meta-k:v\n");
  qt::Response h = qt::request(srv.port, "GET", "/rvx/old");
  EXPECT_EQ(h.status, 200);
  EXPECT_EQ(h.body, "old data");
  EXPECT_EQ(h.header("ETag"), "\"0123456789abcdef0123456789abcdef\"");
  EXPECT_EQ(h.header("Content-Type"), "text/x-old");
  EXPECT_EQ(h.header("x-amz-meta-k"), "v");
  f = listed(srv.port, "rvx", "old");
  EXPECT_EQ(f.etag, "0123456789abcdef0123456789abcdef");
  EXPECT_EQ(f.size, "8");
  EXPECT_EQ(f.when, "2023-11-14T22:13:20.000Z");
  // Older than its data, the same record is an earlier version's.
  qt::set_mtime(srv.path(".s3meta/rvx/old"), 1600000000);
  EXPECT_EQ(qt::request(srv.port, "HEAD", "/rvx/old").header("ETag"),
            "\"" + qt::md5_hex("old data") + "\"");
}

// Readers and listings racing writers of one key with bodies of two sizes: every answer and
// every listing entry is one version whole, its size and ETag of the same payload.
TEST_F(StoreRaces, ReadsAndListingsNeverMixTwoVersions) {
  ASSERT_EQ(qt::request(srv.port, "PUT", "/mix").status, 200);
  const std::string small = qt::random_bytes(1000, 11), large = qt::random_bytes(70000, 12);
  ASSERT_EQ(qt::request(srv.port, "PUT", "/mix/k", {}, small).status, 200);
  std::atomic<bool> done{false};
  std::atomic<int> torn{0}, looks{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < 2; w++)
    threads.emplace_back([&, w] {
      for (int i = 0; i < 40; i++)
        if (qt::request(srv.port, "PUT", "/mix/k", {}, (i + w) % 2 ? large : small).status != 200)
          torn++;
      done = true;
    });
  threads.emplace_back([&] {
    while (!done) {
      qt::Response g = qt::request(srv.port, "GET", "/mix/k");
      looks++;
      if (g.status != 200 || (g.body != small && g.body != large) ||
          g.header("ETag") != "\"" + qt::md5_hex(g.body) + "\"" ||
          g.header("Content-Length") != std::to_string(g.body.size()))
        torn++;
    }
  });
  threads.emplace_back([&] {
    const std::string ss = std::to_string(small.size()), ls = std::to_string(large.size());
    while (!done) {
      list_fields f = listed(srv.port, "mix", "k");
      looks++;
      bool one = (f.size == ss && f.etag == qt::md5_hex(small)) ||
                 (f.size == ls && f.etag == qt::md5_hex(large));
      if (!one) torn++;
    }
  });
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(torn, 0);
  std::printf("reads and listing entries checked: %d\n", looks.load());
}

// A part's record names the part data it was written with: data that moved in without its own
// record (a crash between a retry's two moves) is never joined under the earlier ETag, while a
// part record in the earlier form (its ETag alone) still completes.
TEST_F(StoreRaces, PartsAreJoinedOnlyWithTheirOwnRecord) {
  ASSERT_EQ(qt::request(srv.port, "PUT", "/mpv").status, 200);
  std::string id = initiate("mpv/torn");
  ASSERT_FALSE(id.empty());
  ASSERT_EQ(put(part_target("mpv/torn", id, 1), "first body").status, 200);
  EXPECT_NE(qt::read_file(srv.path(".mpu/mpv/" + id + "/1.etag")).find("\n+Version 10 "),
            std::string::npos);
  qt::write_file(srv.path(".mpu/mpv/" + id + "/1.part"), "other body");
  qt::Response c = req("POST", "/mpv/torn?uploadId=" + id, {}, parts_body(1));
  EXPECT_EQ(c.status, 400) << c.raw;
  EXPECT_NE(c.body.find("<Code>InvalidPart</Code>"), std::string::npos) << c.body;
  EXPECT_FALSE(qt::file_exists(srv.path("mpv/torn")));

  std::string old = initiate("mpv/old");
  ASSERT_FALSE(old.empty());
  ASSERT_EQ(put(part_target("mpv/old", old, 1), "old form").status, 200);
  qt::write_file(srv.path(".mpu/mpv/" + old + "/1.etag"), qt::md5_hex("old form") + "\n");
  c = req("POST", "/mpv/old?uploadId=" + old, {}, parts_body(1));
  EXPECT_EQ(c.status, 200) << c.raw;
  EXPECT_EQ(qt::read_file(srv.path("mpv/old")), "old form");
}

}  // namespace
