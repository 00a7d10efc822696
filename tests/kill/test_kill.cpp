// Kill tests: the host program serves a temporary root while several clients store objects
// (PUT, CopyObject, UploadPart, CompleteMultipartUpload, and a key below an object, which moves
// that object into its directory and back); it is killed with SIGKILL at a random moment,
// started again on the same root, and every key must then hold one whole version with its own
// ETag, no acknowledged write may be missing, and no temporary file may be listed.
// In a versioned bucket, writers put, add delete markers and remove versions by id: after each
// kill every version listed is whole, every acknowledged one that was not removed is there
// with its bytes, and the current version is one of those listed.
//
// SIGKILL ends the process but keeps the kernel's page cache, so what this proves is the
// order of the moves and the metadata records, not that data reaches the disk.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "digest/hash.h"
#include "harness.h"
#include "platform/platform.h"
#include "process.h"

namespace {

constexpr int kRounds = 200;
const char *kBucket = "killb";
// The key whose object moves into its directory and out while keys below it come and go.
const std::string kMovedKey = "mv/obj";

// The multipart ETag a completed upload of these parts records: MD5 of the parts' digests.
std::string multipart_etag(const std::vector<std::string> &parts) {
  md5_ctx c;
  md5_init(&c);
  for (const std::string &p : parts) {
    unsigned char d[16];
    md5_ctx pc;
    md5_init(&pc);
    md5_update(&pc, p.data(), p.size());
    md5_final(&pc, d);
    md5_update(&c, d, 16);
  }
  unsigned char d[16];
  md5_final(&c, d);
  char hex[33];
  hex_encode(d, 16, hex);
  hex[32] = 0;
  return std::string(hex) + "-" + std::to_string(parts.size());
}

std::string xml_value(const std::string &doc, const std::string &tag) {
  size_t a = doc.find("<" + tag + ">");
  size_t b = doc.find("</" + tag + ">");
  if (a == std::string::npos || b == std::string::npos) return "";
  a += tag.size() + 2;
  return b > a ? doc.substr(a, b - a) : "";
}

std::string unquote(std::string e) {
  if (e.size() >= 2 && e.front() == '"' && e.back() == '"') e = e.substr(1, e.size() - 2);
  return e;
}

// The host program on one root; started again after each kill on the same root and port.
struct Daemon {
  std::string root;
  int port = 0;
  int pid = -1;

  bool start() {
    for (int attempt = 0; attempt < 5; attempt++) {
      if (port == 0) port = qt::free_port();
      pid = qt::spawn_process({QUILLMAR_BINARY_DIR "/quillmar-s3d", "--root", root, "--port",
                               std::to_string(port)});
      if (pid < 0) return false;
      // Ready once it answers; a child that ended lost its port to someone else.
      bool answered = false;
      qt::wait_until([&] {
        answered = qt::request(port, "GET", "/").status == 200;
        return answered || qt::process_ended(pid);
      });
      if (answered) return true;
      qt::kill_process(pid);
      pid = -1;
      port = 0;
    }
    return false;
  }
  void kill() {
    qt::kill_process(pid);
    pid = -1;
  }
};

// One key as its single writer sees it: the version last acknowledged, and the one whose
// request was under way when the server died (it may or may not have landed).
struct KeyModel {
  std::string key;
  std::string acked;
  std::string inflight;
  bool has_inflight = false;
};

// Everything the test knows about contents: which are multipart objects, and their ETags.
struct Contents {
  std::mutex mu;
  std::map<std::string, std::string> multipart;  // MD5 of the content -> recorded ETag
  void note_multipart(const std::string &content, const std::string &etag) {
    std::lock_guard<std::mutex> g(mu);
    multipart[qt::md5_hex(content)] = etag;
  }
  // An ETag a reader may be given for this content: its MD5, or its multipart ETag.
  bool etag_matches(const std::string &content, const std::string &etag) {
    std::string md5 = qt::md5_hex(content);
    if (etag == md5) return true;
    std::lock_guard<std::mutex> g(mu);
    auto it = multipart.find(md5);
    return it != multipart.end() && it->second == etag;
  }
};

// A multipart upload as its writer knows it, kept across a kill.
struct Upload {
  std::string id;
  std::vector<std::string> parts;  // acknowledged, in part-number order
  std::vector<std::string> etags;  // as UploadPart answered them
  bool complete_sent = false;      // a Complete was sent (it may have landed)
};

struct Stats {
  std::atomic<int> acked{0};
  std::atomic<int> cut{0};      // writes under way at a kill
  std::atomic<int> landed{0};   // of those, found in place afterwards
  std::atomic<int> resumed{0};  // uploads completed after a kill from parts acknowledged before
};

class KillTest : public ::testing::Test {
 protected:
  Daemon d;
  Contents contents;
  Stats stats;
  std::atomic<uint32_t> seed_counter{1};
  std::vector<std::string> copy_sources;  // keys of the copy sources, contents alike indexed
  std::vector<std::string> copy_contents;

  std::string target(const std::string &key, const std::string &query = "") {
    return "/" + std::string(kBucket) + "/" + key + (query.empty() ? "" : "?" + query);
  }
  std::string fresh_payload(size_t max) {
    uint32_t seed = seed_counter.fetch_add(1);
    return qt::random_bytes(1 + (seed * 2654435761u) % max, seed);
  }
  int put(const std::string &key, const std::string &body) {
    return qt::request(d.port, "PUT", target(key), {}, body).status;
  }
  // The steps of a multipart upload; each answers the request's status (0: no answer).
  int initiate(const std::string &key, Upload *u) {
    *u = Upload();
    qt::Response r = qt::request(d.port, "POST", target(key, "uploads"), {}, "");
    u->id = xml_value(r.body, "UploadId");
    return r.status;
  }
  int upload_part(const std::string &key, Upload *u, const std::string &data) {
    std::string n = std::to_string(u->parts.size() + 1);
    qt::Response r = qt::request(d.port, "PUT", target(key, "partNumber=" + n + "&uploadId=" + u->id),
                                 {}, data);
    if (r.status == 200) {
      u->parts.push_back(data);
      u->etags.push_back(r.header("ETag"));
    }
    return r.status;
  }
  int complete(const std::string &key, Upload *u) {
    std::string doc = "<CompleteMultipartUpload>";
    for (size_t i = 0; i < u->parts.size(); i++)
      doc += "<Part><PartNumber>" + std::to_string(i + 1) + "</PartNumber><ETag>" + u->etags[i] +
             "</ETag></Part>";
    doc += "</CompleteMultipartUpload>";
    u->complete_sent = true;
    return qt::request(d.port, "POST", target(key, "uploadId=" + u->id), {}, doc).status;
  }
  // A whole multipart upload; 200 with the object stored, else the failing status.
  int multipart(const std::string &key, const std::vector<std::string> &parts,
                std::string *etag) {
    Upload u;
    int status = initiate(key, &u);
    for (size_t i = 0; i < parts.size() && status == 200; i++) status = upload_part(key, &u, parts[i]);
    *etag = multipart_etag(parts);
    return status == 200 ? complete(key, &u) : status;
  }

  void SetUp() override {
    d.root = qt::make_temp_dir();
    ASSERT_TRUE(d.start());
    ASSERT_EQ(qt::request(d.port, "PUT", "/" + std::string(kBucket)).status, 200);
    for (int i = 0; i < 3; i++) {
      copy_sources.push_back("src/s" + std::to_string(i));
      copy_contents.push_back(fresh_payload(200000));
      ASSERT_EQ(put(copy_sources.back(), copy_contents.back()), 200);
    }
    // A multipart source: its copies carry the recorded multipart ETag.
    std::vector<std::string> parts = {fresh_payload(150000), fresh_payload(80000)};
    std::string etag;
    ASSERT_EQ(multipart("src/mp", parts, &etag), 200);
    copy_sources.push_back("src/mp");
    copy_contents.push_back(parts[0] + parts[1]);
    contents.note_multipart(copy_contents.back(), etag);
  }
  void TearDown() override {
    if (d.pid > 0) qt::stop_process(d.pid);
    qt::remove_tree(d.root);
  }

  // Writers: each owns its key and writes until the server goes away under it.
  void put_writer(KeyModel *m) {
    for (;;) {
      std::string body = fresh_payload(400000);
      m->inflight = body;
      m->has_inflight = true;
      int status = put(m->key, body);
      if (status != 200) {
        EXPECT_EQ(status, 0) << "PUT " << m->key << " failed while the server ran";
        return;
      }
      m->acked = body;
      m->has_inflight = false;
      stats.acked++;
    }
  }
  void copy_writer(KeyModel *m, size_t first) {
    for (size_t i = first;; i++) {
      size_t src = i % copy_sources.size();
      m->inflight = copy_contents[src];
      m->has_inflight = true;
      int status = qt::request(d.port, "PUT", target(m->key),
                               {"x-amz-copy-source: /" + std::string(kBucket) + "/" + copy_sources[src]},
                               "").status;
      if (status != 200) {
        EXPECT_EQ(status, 0) << "copy to " << m->key << " failed while the server ran";
        return;
      }
      m->acked = m->inflight;
      m->has_inflight = false;
      stats.acked++;
    }
  }
  // Stores and removes a key below m's own, again and again, so that m's object moves into
  // its directory and back out, until the server goes away; m's bytes never change.
  void mover(KeyModel *m) {
    for (;;) {
      int status = put(m->key + "/below", "b");
      if (status == 200) status = qt::request(d.port, "DELETE", target(m->key + "/below")).status;
      if (status != 200 && status != 204) {
        EXPECT_EQ(status, 0) << "a move of " << m->key << " failed while the server ran";
        return;
      }
      stats.acked++;
    }
  }
  // Completes u's acknowledged parts into m's key. 1 stored, 0 the server went away.
  int finish_upload(KeyModel *m, Upload *u) {
    std::string whole;
    for (const std::string &p : u->parts) whole += p;
    contents.note_multipart(whole, multipart_etag(u->parts));
    m->inflight = whole;
    m->has_inflight = true;
    int status = complete(m->key, u);
    if (status != 200) {
      EXPECT_EQ(status, 0) << "Complete of " << m->key << " (" << u->parts.size()
                           << " acknowledged parts) failed while the server ran";
      return 0;
    }
    m->acked = whole;
    m->has_inflight = false;
    stats.acked++;
    return 1;
  }
  // Uploads in two parts; an upload cut by a kill before its Complete is completed after the
  // restart from the parts acknowledged before the kill, which must all still be there.
  void multipart_writer(KeyModel *m, Upload *u) {
    if (!u->id.empty() && !u->complete_sent && !u->parts.empty()) {
      if (!finish_upload(m, u)) return;
      stats.resumed++;
    }
    for (;;) {
      if (initiate(m->key, u) != 200) return;
      if (upload_part(m->key, u, fresh_payload(300000)) != 200) return;
      if (upload_part(m->key, u, fresh_payload(100000)) != 200) return;
      if (!finish_upload(m, u)) return;
    }
  }

  // After a restart: every key holds its acknowledged version or the one under way, whole,
  // with an ETag that belongs to it.
  void verify(std::vector<KeyModel> &models, int round) {
    for (KeyModel &m : models) {
      qt::Response r = qt::request(d.port, "GET", target(m.key));
      ASSERT_EQ(r.status, 200) << "round " << round << " key " << m.key;
      bool is_acked = r.body == m.acked;
      bool is_new = m.has_inflight && r.body == m.inflight;
      EXPECT_TRUE(is_acked || is_new)
          << "round " << round << " key " << m.key << ": " << r.body.size()
          << " bytes, neither the acknowledged version (" << m.acked.size()
          << " bytes) nor the one under way";
      EXPECT_TRUE(contents.etag_matches(r.body, unquote(r.header("ETag"))))
          << "round " << round << " key " << m.key << " ETag " << r.header("ETag");
      qt::Response h = qt::request(d.port, "HEAD", target(m.key));
      EXPECT_EQ(h.header("ETag"), r.header("ETag")) << "round " << round << " key " << m.key;
      if (m.has_inflight) {
        stats.cut++;
        if (is_new && !is_acked) stats.landed++;
      }
      m.acked = r.body;
      m.has_inflight = false;
    }
    // The listing shows exactly the keys written: no temporary file, nothing missing.
    qt::Response list = qt::request(d.port, "GET", "/" + std::string(kBucket) + "?list-type=2");
    ASSERT_EQ(list.status, 200);
    std::set<std::string> listed;
    for (size_t at = 0; (at = list.body.find("<Key>", at)) != std::string::npos; at++)
      listed.insert(xml_value(list.body.substr(at), "Key"));
    listed.erase(kMovedKey + "/below");  // stored or removed when the kill came
    std::set<std::string> expected(copy_sources.begin(), copy_sources.end());
    for (const KeyModel &m : models) expected.insert(m.key);
    EXPECT_EQ(listed, expected) << "round " << round;
  }
};

TEST_F(KillTest, EveryKeyHoldsOneWholeVersionAfterSigkill) {
  std::vector<KeyModel> models(6);
  Upload upload;
  models[0].key = "p0/obj";
  models[1].key = "p1/deep/obj";
  models[2].key = "c/dst";
  models[3].key = "c/deep/dst";
  models[4].key = "m/obj";
  models[5].key = kMovedKey;
  // A first acknowledged version of every key.
  for (size_t i = 0; i < 2; i++) {
    models[i].acked = fresh_payload(100000);
    ASSERT_EQ(put(models[i].key, models[i].acked), 200);
  }
  for (size_t i = 2; i < 4; i++) {
    models[i].acked = copy_contents[i];
    ASSERT_EQ(qt::request(d.port, "PUT", target(models[i].key),
                          {"x-amz-copy-source: /killb/" + copy_sources[i]}, "").status, 200);
  }
  models[4].acked = copy_contents[0];
  ASSERT_EQ(put(models[4].key, models[4].acked), 200);
  models[5].acked = fresh_payload(50000);
  ASSERT_EQ(put(models[5].key, models[5].acked), 200);

  std::random_device rd;
  const uint32_t seed = rd();
  std::mt19937 rng(seed);
  SCOPED_TRACE("random seed " + std::to_string(seed));
  int rounds = 0;
  for (int round = 0; round < kRounds; round++, rounds++) {
    std::vector<std::thread> writers;
    writers.emplace_back([&] { put_writer(&models[0]); });
    writers.emplace_back([&] { put_writer(&models[1]); });
    writers.emplace_back([&, round] { copy_writer(&models[2], (size_t)round); });
    writers.emplace_back([&, round] { copy_writer(&models[3], (size_t)round + 2); });
    writers.emplace_back([&] { multipart_writer(&models[4], &upload); });
    writers.emplace_back([&] { mover(&models[5]); });
    plat_sleep_ms((int)(rng() % 60));  // the moment of the crash, at random: not a wait
    d.kill();
    for (std::thread &t : writers) t.join();
    ASSERT_TRUE(d.start()) << "restart failed in round " << round;
    verify(models, round);
    if (HasFailure()) break;
  }
  std::printf("kill rounds %d: %d writes acknowledged, %d cut by a kill, %d of those landed, "
              "%d uploads completed after a kill\n",
              rounds, stats.acked.load(), stats.cut.load(), stats.landed.load(),
              stats.resumed.load());
}


// ---------------------------------------------------------------- a versioned bucket

// One key of the versioned bucket as its writer knows it: the versions acknowledged and not
// removed (id -> bytes), and the request under way when the server died.
struct VersionedKey {
  std::string key;
  std::map<std::string, std::string> live;
  std::vector<std::string> order;  // ids of live data versions, oldest first
  std::string inflight_removal;    // the id a cut delete-version named ("" for none)
};

class VersionedKillTest : public KillTest {
 protected:
  const std::string vb = "killv";
  std::string vt(const std::string &key, const std::string &q = "") {
    return "/" + vb + "/" + key + (q.empty() ? "" : "?" + q);
  }
  // put, put, delete (a marker), delete the oldest data version by id, and again, until the
  // server goes away.
  void versioned_writer(VersionedKey *k) {
    for (int step = 0;; step++) {
      qt::Response r;
      switch (step % 4) {
        case 0:
        case 1: {
          std::string body = fresh_payload(200000);
          r = qt::request(d.port, "PUT", vt(k->key), {}, body);
          if (r.status == 200) {
            k->live[r.header("x-amz-version-id")] = body;
            k->order.push_back(r.header("x-amz-version-id"));
          }
          break;
        }
        case 2:
          r = qt::request(d.port, "DELETE", vt(k->key));
          break;
        default: {
          if (k->order.empty()) continue;
          std::string id = k->order.front();
          k->inflight_removal = id;
          r = qt::request(d.port, "DELETE", vt(k->key, "versionId=" + id));
          if (r.status == 204) {
            k->live.erase(id);
            k->order.erase(k->order.begin());
            k->inflight_removal.clear();
          }
        }
      }
      if (r.status != 200 && r.status != 204) {
        EXPECT_EQ(r.status, 0) << "write to " << k->key << " failed while the server ran";
        return;
      }
      stats.acked++;
    }
  }
  // After a restart: every listed version is whole, the acknowledged ones are all there, and
  // the current version is the latest listed.
  void verify_versions(VersionedKey *k, int round) {
    qt::Response list = qt::request(d.port, "GET", "/" + vb + "?versions&prefix=" + k->key);
    ASSERT_EQ(list.status, 200);
    std::vector<std::pair<std::string, bool>> listed;  // id, is a marker
    std::string latest;
    std::regex re("<(Version|DeleteMarker)>\\s*<Key>([^<]*)</Key>\\s*<VersionId>([^<]*)</VersionId>"
                  "\\s*<IsLatest>(true|false)</IsLatest>");
    for (std::sregex_iterator it(list.body.begin(), list.body.end(), re), end; it != end; ++it) {
      if ((*it)[2] != k->key) continue;
      listed.push_back({(*it)[3], (*it)[1] == "DeleteMarker"});
      if ((*it)[4] == "true") latest = (*it)[3];
    }
    std::map<std::string, std::string> now;
    std::vector<std::string> order;
    for (auto it = listed.rbegin(); it != listed.rend(); ++it) {
      if (it->second) continue;
      qt::Response g = qt::request(d.port, "GET", vt(k->key, "versionId=" + it->first));
      ASSERT_EQ(g.status, 200) << "round " << round << " " << k->key << " version " << it->first;
      EXPECT_EQ(unquote(g.header("ETag")), qt::md5_hex(g.body))
          << "round " << round << " " << k->key << " version " << it->first << " is not whole";
      now[it->first] = g.body;
      order.push_back(it->first);
    }
    for (const auto &v : k->live) {
      if (v.first == k->inflight_removal) continue;
      auto found = now.find(v.first);
      ASSERT_TRUE(found != now.end()) << "round " << round << " " << k->key
                                      << ": acknowledged version " << v.first << " lost";
      EXPECT_TRUE(found->second == v.second) << "round " << round << " version " << v.first;
    }
    qt::Response cur = qt::request(d.port, "GET", vt(k->key));
    if (cur.status == 200) {
      EXPECT_EQ(cur.header("x-amz-version-id"), latest) << "round " << round << " " << k->key;
      EXPECT_EQ(now[latest], cur.body) << "round " << round << " " << k->key;
    } else {
      EXPECT_EQ(cur.status, 404);
      bool marker_on_top = !listed.empty() && listed[0].second;
      EXPECT_TRUE(listed.empty() || marker_on_top) << "round " << round << " " << k->key;
    }
    k->live = now;
    k->order = order;
    k->inflight_removal.clear();
  }
};

TEST_F(VersionedKillTest, EveryVersionWholeAfterSigkill) {
  ASSERT_EQ(qt::request(d.port, "PUT", "/" + vb).status, 200);
  ASSERT_EQ(qt::request(d.port, "PUT", "/" + vb + "?versioning", {},
                        "<VersioningConfiguration><Status>Enabled</Status>"
                        "</VersioningConfiguration>").status,
            200);
  std::vector<VersionedKey> keys(3);
  keys[0].key = "v0";
  keys[1].key = "deep/v1";
  keys[2].key = "deep/v2";
  std::random_device rd;
  const uint32_t seed = rd();
  std::mt19937 rng(seed);
  SCOPED_TRACE("random seed " + std::to_string(seed));
  const int rounds = kRounds / 4;
  for (int round = 0; round < rounds; round++) {
    std::vector<std::thread> writers;
    for (VersionedKey &k : keys) writers.emplace_back([&] { versioned_writer(&k); });
    plat_sleep_ms((int)(rng() % 60));  // the moment of the crash, at random: not a wait
    d.kill();
    for (std::thread &t : writers) t.join();
    ASSERT_TRUE(d.start()) << "restart failed in round " << round;
    for (VersionedKey &k : keys) verify_versions(&k, round);
    if (HasFailure()) break;
  }
  std::printf("versioned kill rounds %d: %d writes acknowledged\n", rounds, stats.acked.load());
}

// DeleteObjects cut by a kill: each key it lists is afterwards either whole or gone, all of
// them are gone once the request was answered, and what the removals moved aside is gone
// after the restart.
TEST_F(KillTest, DeleteObjectsLeavesEachKeyWholeOrGone) {
  constexpr int kKeys = 150;
  constexpr int kDeleteRounds = 25;
  std::vector<std::string> keys, bodies;
  std::string doc = "<Delete><Quiet>true</Quiet>";
  for (int i = 0; i < kKeys; i++) {
    keys.push_back((i % 3 ? "del/flat" : "del/sub" + std::to_string(i % 5) + "/k") +
                   std::to_string(i));
    bodies.push_back(fresh_payload(6000));
    doc += "<Object><Key>" + keys.back() + "</Key></Object>";
  }
  doc += "</Delete>";
  std::random_device rd;
  const uint32_t seed = rd();
  std::mt19937 rng(seed);
  SCOPED_TRACE("random seed " + std::to_string(seed));
  int answered = 0, cut = 0;
  std::vector<bool> present(kKeys, false);
  for (int round = 0; round < kDeleteRounds; round++) {
    for (int i = 0; i < kKeys; i++)
      if (!present[i]) {
        ASSERT_EQ(put(keys[i], bodies[i]), 200) << keys[i];
        present[i] = true;
      }
    std::atomic<int> status{-1};
    std::thread deleter([&] {
      status = qt::request(d.port, "POST", "/" + std::string(kBucket) + "?delete", {}, doc).status;
    });
    plat_sleep_ms((int)(rng() % 25));  // the moment of the crash, at random: not a wait
    d.kill();
    deleter.join();
    ASSERT_TRUE(d.start()) << "restart failed in round " << round;
    if (status == 200) answered++;
    int gone = 0;
    for (int i = 0; i < kKeys; i++) {
      qt::Response r = qt::request(d.port, "GET", target(keys[i]));
      if (r.status == 404) {
        // (A kill between the two moves may leave the record behind, which names a version
        // that is gone: it is never trusted for another.)
        present[i] = false;
        gone++;
        EXPECT_EQ(qt::request(d.port, "HEAD", target(keys[i])).status, 404) << keys[i];
        continue;
      }
      ASSERT_EQ(r.status, 200) << "round " << round << " key " << keys[i];
      EXPECT_TRUE(status != 200) << "round " << round << ": " << keys[i] << " answered deleted";
      EXPECT_EQ(r.body, bodies[i]) << "round " << round << " key " << keys[i];
      EXPECT_EQ(unquote(r.header("ETag")), qt::md5_hex(bodies[i])) << "round " << round;
    }
    if (gone > 0 && gone < kKeys) cut++;
    for (const std::string &f : qt::files_below(d.root + "/.s3tmp"))
      EXPECT_TRUE(f.size() < 4 || f.compare(f.size() - 4, 4, ".del") != 0)
          << "round " << round << ": left behind after the restart: " << f;
    if (HasFailure()) break;
  }
  std::printf("DeleteObjects kill rounds %d: %d answered, %d cut with some keys deleted\n",
              kDeleteRounds, answered, cut);
}

}  // namespace
