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

// The multipart ETag of the given part payloads.
std::string multipart_etag(const std::vector<std::string> &parts) {
  std::string raw;
  for (const std::string &p : parts) {
    std::string hex = qt::md5_hex(p);
    for (size_t i = 0; i < 32; i += 2) raw += (char)std::stoi(hex.substr(i, 2), nullptr, 16);
  }
  return qt::md5_hex(raw) + "-" + std::to_string(parts.size());
}

TEST_F(KeyPlace, KeysThatLeaveTheirPlaceAreRefused) {
  ASSERT_EQ(qt::request(srv.port, "PUT", "/kpl").status, 200);
  struct row {
    const char *name, *target;
    int status;
  } rows[] = {
      {"encoded slash makes a dot segment", "/kpl/x%2F.%2Fy", 400},
      {"encoded slash ends in a dot", "/kpl/d%2F.", 400},
      {"encoded dots and slash", "/kpl/%2E%2E%2Fx", 400},
      {"encoded slash before dot-dot", "/kpl/a%2F..", 400},
      {"dot segment after an encoded slash", "/kpl/a%2F.%2F", 400},
      {"upload temporary name", "/kpl/.upload-1700000000-12-3.tmp", 400},
      {"join temporary name below a directory", "/kpl/d/.mpu-12-3.tmp", 400},
      {"temporary-like name that is not one", "/kpl/.upload-x.tmp", 200},
      {"temporary name as a directory level", "/kpl/.mpu-1-2.tmp/k", 400},
      {"dot-name", "/kpl/.env", 200},
      {"two dots inside a segment", "/kpl/a..b%2Fc", 200},
  };
  for (const row &r : rows) {
    qt::Response a = put(r.target, "data");
    EXPECT_EQ(a.status, r.status) << r.name << "\n" << a.raw;
  }
  // Nothing aliased: the plain forms of the refused keys hold nothing.
  EXPECT_FALSE(qt::file_exists(srv.path("kpl/x/y")));
  EXPECT_FALSE(qt::file_exists(srv.path("x")));
  EXPECT_EQ(qt::request(srv.port, "GET", "/kpl/x%2F.%2Fy").status, 400);
  EXPECT_EQ(qt::request(srv.port, "DELETE", "/kpl/d%2F.").status, 400);
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
  // Both temporary files exist once the first body bytes are stored; wait for them.
  ASSERT_TRUE(qt::wait_until(
      [&] { return temp_files(srv.path("gone")) + temp_files(srv.path(".mpu/gone/" + id)) == 2; }));
  ASSERT_EQ(qt::request(srv.port, "DELETE", "/gone").status, 204);
  ASSERT_TRUE(object.send(half));
  ASSERT_TRUE(part.send(half));
  std::string object_answer = object.recv_all(), part_answer = part.recv_all();
  EXPECT_EQ(object_answer.find("HTTP/1.1 200"), std::string::npos) << object_answer;
  EXPECT_EQ(part_answer.find("HTTP/1.1 200"), std::string::npos) << part_answer;
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
  EXPECT_EQ(qt::read_file(srv.path(".mpu/mpi/" + id + "/1.etag")), etag + "\nCRC64NVME ZhguS2wRzoE=\n");
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
}

}  // namespace
