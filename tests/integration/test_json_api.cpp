// The host JSON functions against a started library: bucket and object listings, escaping,
// the listing caps, the statistics document and its counters across stop and start.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "harness.h"
#include "json_check.h"
#include "platform/platform.h"

namespace {

const int64_t MTIME = 1714564800;  // 2024-05-01T12:00:00Z
const char *MTIME_ISO = "2024-05-01T12:00:00.000Z";

// Unsigned number of a top-level member in a compact document ("" members not found -> -1).
long long num_field(const std::string &doc, const std::string &name) {
  std::string tag = "\"" + name + "\":";
  size_t at = doc.find(tag);
  if (at == std::string::npos) return -1;
  long long v = 0;
  for (size_t i = at + tag.size(); i < doc.size() && doc[i] >= '0' && doc[i] <= '9'; i++)
    v = v * 10 + (doc[i] - '0');
  return v;
}

void put_object_file(const qt::Server &s, const std::string &rel, const std::string &data) {
  qt::write_file(s.path(rel), data);
  qt::set_mtime(s.path(rel), MTIME);
}

std::string entry(const std::string &key_json, const std::string &data) {
  return "{\"key\":\"" + key_json + "\",\"size\":" + std::to_string(data.size()) + ",\"etag\":\"" +
         qt::md5_hex(data) + "\",\"last_modified\":\"" + MTIME_ISO + "\"}";
}

TEST(JsonApi, BucketListIsSortedAndSkipsHiddenEntries) {
  qt::Server s;
  std::string empty = s3_list_buckets_json();
  EXPECT_EQ(empty, "{\"buckets\":[],\"count\":0}");

  for (const char *d : {"beta", "alpha", "Zeta", ".s3meta", ".mpu", ".hidden"})
    plat_mkdir(s.path(d).c_str());  // the reserved ones may already exist
  qt::write_file(s.path("plain-file"), "x");  // every visible root entry is listed

  std::string text = s3_list_buckets_json();
  EXPECT_EQ(text, "{\"buckets\":[\"Zeta\",\"alpha\",\"beta\",\"plain-file\"],\"count\":4}");
  EXPECT_EQ(qt::json_eval(text, "d['count'] == len(d['buckets'])"), "True");

  // A root entry whose name is not UTF-8 cannot be written: the empty list stands in.
  ASSERT_EQ(plat_mkdir(s.path("bad\xff").c_str()), 0);
  EXPECT_STREQ(s3_list_buckets_json(), "{\"buckets\":[],\"count\":0}");
}

TEST(JsonApi, ObjectListHasEntriesInKeyOrderWithTotals) {
  qt::Server s;
  put_object_file(s, "bkt/a.txt", "abc");
  put_object_file(s, "bkt/d/b.bin", "12345");
  put_object_file(s, "bkt/d/.env", "no");             // dot-keys are objects too
  put_object_file(s, "bkt/.upload-1-2-3.tmp", "tmp");  // upload temporaries are not
  ASSERT_EQ(plat_mkdir(s.path("bkt/empty-dir").c_str()), 0);

  std::string text = s3_list_objects_json("bkt");
  EXPECT_EQ(text, "{\"objects\":[" + entry("a.txt", "abc") + "," + entry("d/.env", "no") + "," +
                      entry("d/b.bin", "12345") +
                      "],\"bucket\":\"bkt\",\"count\":3,\"total_bytes\":10}");
  EXPECT_EQ(qt::json_eval(text, "[o['key'] for o in d['objects']]"), "['a.txt', 'd/.env', 'd/b.bin']");
}

TEST(JsonApi, ObjectListRefusesUnusableNamesAndListsMissingBucketsEmpty) {
  qt::Server s;
  put_object_file(s, "bkt/a.txt", "abc");
  put_object_file(s, ".s3meta/bkt/a.txt", "meta");
  const char *no_bucket = "{\"bucket\":\"\",\"objects\":[],\"count\":0,\"error\":\"no bucket\"}";
  std::string long_name(5000, 'b');
  struct Case {
    const char *name;
    const char *bucket;
  } refused[] = {
      {"null", nullptr},
      {"empty", ""},
      {"parent directory", ".."},
      {"parent with a path", "../bkt"},
      {"separator", "bkt/a.txt"},
      {"reserved directory", ".s3meta"},
      {"too long for a path", long_name.c_str()},
  };
  for (const Case &c : refused) EXPECT_STREQ(s3_list_objects_json(c.bucket), no_bucket) << c.name;

  std::string text = s3_list_objects_json("missing");
  EXPECT_EQ(text, "{\"objects\":[],\"bucket\":\"missing\",\"count\":0,\"total_bytes\":0}");
  EXPECT_EQ(qt::json_eval(text), "ok");
}

TEST(JsonApi, KeysAreEscapedAndInvalidUtf8FailsTheWrite) {
  qt::Server s;
  put_object_file(s, "esc/q\"uote\\back", "1");
  put_object_file(s, "esc/tab\there", "22");
  put_object_file(s, "esc/caf\xc3\xa9", "333");

  std::string text = s3_list_objects_json("esc");
  EXPECT_NE(text.find("\"key\":\"q\\\"uote\\\\back\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"key\":\"tab\\there\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"key\":\"caf\xc3\xa9\""), std::string::npos) << text;
  EXPECT_EQ(qt::json_eval(text, "sorted(o['key'] for o in d['objects']) == "
                                "['caf\\u00e9', 'q\"uote\\\\back', 'tab\\there']"),
            "True");

  put_object_file(s, "esc/bad\xc3(", "4");
  EXPECT_STREQ(s3_list_objects_json("esc"), "{\"error\":\"write fail\"}");
}

TEST(JsonApi, ListingsStopAt256ObjectsPerBucket) {
  qt::Server s;
  for (int i = 0; i < 300; i++) put_object_file(s, "many/k" + std::to_string(i), "xy");
  put_object_file(s, "few/one", "abc");

  std::string text = s3_list_objects_json("many");
  EXPECT_EQ(qt::json_eval(text, "len(d['objects']), d['count'], d['total_bytes']"),
            "256 256 512");

  std::string stats = s3_get_stats_json();
  EXPECT_EQ(qt::json_eval(stats), "ok");
  EXPECT_EQ(num_field(stats, "total_buckets"), 2);
  EXPECT_EQ(num_field(stats, "total_objects"), 257);
  EXPECT_EQ(num_field(stats, "storage_used_bytes"), 256 * 2 + 3);
}

TEST(JsonApi, ObjectListThatWouldOutgrowTheResultStaysValid) {
  qt::Server s;
  // 256 keys of about 4000 bytes, half of them quotation marks that double when escaped:
  // the whole list would pass the 1 MiB result buffer.
  std::string dir = "long";
  for (int i = 0; i < 15; i++) dir += "/" + std::string(250, 'd');
  for (int i = 0; i < 256; i++) {
    char idx[8];
    std::snprintf(idx, sizeof idx, "%03d", i);
    put_object_file(s, dir + "/" + idx + std::string(247, '"'), "z");
  }
  std::string text = s3_list_objects_json("long");
  ASSERT_LT(text.size(), 1048576u);
  std::string check = qt::json_eval(
      text, "0 < len(d['objects']) < 256 and d['count'] == len(d['objects']) == d['total_bytes']");
  EXPECT_EQ(check, "True") << text.substr(0, 200);
}

TEST(JsonApi, StatisticsTrackRequestsAcrossStopAndStart) {
  std::string root_kept;
  long long requests = 0, uploaded = 0;
  {
    qt::Server s;
    root_kept = s.root;
    ASSERT_EQ(plat_mkdir(s.path("bkt").c_str()), 0);
    std::string before = s3_get_stats_json();
    EXPECT_EQ(before.rfind("{\"running\":1,\"port\":" + std::to_string(s.port) +
                               ",\"bind_addr\":\"127.0.0.1\",\"storage_root\":\"" + s.root +
                               "\",\"total_buckets\":1,\"total_objects\":0,"
                               "\"storage_used_bytes\":0,\"requests_count\":",
                           0),
              0u)
        << before;
    EXPECT_EQ(qt::json_eval(before), "ok");

    qt::Response r = qt::request(s.port, "PUT", "/bkt/ten.bin", {}, "0123456789");
    EXPECT_EQ(r.status, 200) << r.raw;
    std::string after = s3_get_stats_json();
    EXPECT_EQ(num_field(after, "requests_count"), num_field(before, "requests_count") + 1);
    EXPECT_EQ(num_field(after, "bytes_uploaded"), num_field(before, "bytes_uploaded") + 10);
    EXPECT_EQ(num_field(after, "bytes_served"), num_field(before, "bytes_served"));
    EXPECT_EQ(num_field(after, "total_objects"), 1);
    EXPECT_EQ(num_field(after, "storage_used_bytes"), 10);
    requests = num_field(after, "requests_count");
    uploaded = num_field(after, "bytes_uploaded");
  }
  // Stopped: the configuration of the last start stays, the counters too.
  std::string stopped = s3_get_stats_json();
  EXPECT_EQ(num_field(stopped, "running"), 0);
  EXPECT_NE(stopped.find("\"storage_root\":\"" + root_kept + "\""), std::string::npos) << stopped;
  EXPECT_EQ(num_field(stopped, "requests_count"), requests);

  qt::Server again;
  std::string restarted = s3_get_stats_json();
  EXPECT_EQ(num_field(restarted, "running"), 1);
  EXPECT_EQ(num_field(restarted, "requests_count"), requests);
  EXPECT_EQ(num_field(restarted, "bytes_uploaded"), uploaded);
}

TEST(JsonApi, StatisticsEscapeTheStorageRoot) {
  std::string base = qt::make_temp_dir();
  std::string root = base + "/odd \"root\\ name";
  int port = qt::free_port();
  ASSERT_EQ(s3_server_start(port, root.c_str(), nullptr, nullptr), 0) << s3_last_error();
  std::string stats = s3_get_stats_json();
  s3_server_stop();
  qt::remove_tree(base);
  EXPECT_EQ(qt::json_eval(stats, "d['storage_root'] == " + std::string("'") + base +
                                     "/odd \"root\\\\ name'"),
            "True")
      << stats;
}

TEST(JsonApi, ResultBufferIsSharedBetweenCalls) {
  qt::Server s;
  const char *first = s3_get_stats_json();
  std::string first_text = first;
  const char *second = s3_list_buckets_json();
  EXPECT_EQ(first, second);
  EXPECT_STREQ(second, "{\"buckets\":[],\"count\":0}");
  EXPECT_NE(first_text, second);
  EXPECT_EQ(s3_list_objects_json("none"), second);
}

TEST(JsonApi, CallsOverlappingStopAndStartStayUsable) {
  std::string root = qt::make_temp_dir();
  std::atomic<bool> done{false};
  std::atomic<int> calls{0};
  std::thread host([&] {
    while (!done.load()) {
      if (s3_get_stats_json()[0] != '{' || s3_list_buckets_json()[0] != '{') break;
      calls++;
    }
  });
  for (int i = 0; i < 5; i++) {
    int port = qt::free_port();
    EXPECT_EQ(s3_server_start(port, root.c_str(), nullptr, nullptr), 0) << s3_last_error();
    // The host's calls overlap this server's life: stop it only after one more has returned.
    const int seen = calls.load();
    EXPECT_TRUE(qt::wait_until([&] { return calls.load() > seen; }));
    s3_server_stop();
  }
  done = true;
  host.join();
  EXPECT_GT(calls.load(), 0);
  qt::remove_tree(root);
}

}  // namespace
