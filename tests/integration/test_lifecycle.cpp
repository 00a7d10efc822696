// Starting and stopping the library through its C API, the connection limit, the graceful
// close after an early answer, and the host program.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "platform/platform.h"

namespace {

// Stops whatever a test started, also when an assertion ends it early.
struct StopOnExit {
  std::string root;
  ~StopOnExit() {
    s3_server_stop();
    if (!root.empty()) qt::remove_tree(root);
  }
};

// The "requests_count" of the statistics, or -1 while the statistics do not carry it.
long long requests_count() {
  std::string j = s3_get_stats_json();
  size_t p = j.find("\"requests_count\":");
  if (p == std::string::npos) return -1;
  return std::strtoll(j.c_str() + p + 17, nullptr, 10);
}

bool answered(int port) { return qt::request(port, "GET", "/").status != 0; }

}  // namespace

TEST(Lifecycle, StartRefusesBadArgumentsInOrder) {
  std::string root = qt::make_temp_dir();
  StopOnExit guard{root};
  int port = qt::free_port();
  std::string long_root = "/" + std::string(4095, 'r');  // 4096 characters
  struct Case {
    const char *name;
    int port;
    const char *bind;
    const char *root;
    std::string want;
  };
  const Case cases[] = {
      {"port 0", 0, "127.0.0.1", root.c_str(), "invalid port 0"},
      {"port 65536", 65536, "127.0.0.1", root.c_str(), "invalid port 65536"},
      {"negative port", -5, "127.0.0.1", root.c_str(), "invalid port -5"},
      {"host name", port, "localhost", root.c_str(), "invalid bind address localhost"},
      {"five parts", port, "1.2.3.4.5", root.c_str(), "invalid bind address 1.2.3.4.5"},
      {"junk after the address", port, "127.0.0.1 x\"", root.c_str(),
       "invalid bind address 127.0.0.1 x\""},
      {"null root", port, "127.0.0.1", nullptr, "storage_root required"},
      {"empty root", port, nullptr, "", "storage_root required"},
      {"4096-character root", port, "127.0.0.1", long_root.c_str(), "storage_root too long"},
      {"port before address", 0, "localhost", nullptr, "invalid port 0"},
      {"address before root", port, "nowhere", nullptr, "invalid bind address nowhere"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(s3_server_start_ex(c.port, c.bind, c.root, "", ""), -1) << c.name;
    EXPECT_EQ(std::string(s3_last_error()), c.want) << c.name;
    EXPECT_EQ(s3_server_status(), 0) << c.name;
  }
  // Edge values that pass the checks; whether the bind then succeeds depends on the host.
  struct Passing {
    int port;
    const char *bind;
  };
  const Passing passing[] = {{65535, "127.0.0.1"}, {port, "255.255.255.255"}};
  for (const Passing &c : passing) {
    if (s3_server_start_ex(c.port, c.bind, root.c_str(), "", "") != 0) {
      EXPECT_EQ(std::string(s3_last_error()).rfind("bind failed on " + std::string(c.bind) + ":", 0), 0u)
          << s3_last_error();
    }
    s3_server_stop();
  }
}

// A root that cannot be made (a file stands where one of its folders would go) fails the start
// instead of a server that answers every write with an error.
TEST(Lifecycle, RootThatCannotBeMadeFailsTheStart) {
  std::string base = qt::make_temp_dir();
  StopOnExit guard{base};
  qt::write_file(base + "/file", "x");
  std::string root = base + "/file/store";
  EXPECT_EQ(s3_server_start_ex(qt::free_port(), "127.0.0.1", root.c_str(), "", ""), -1);
  EXPECT_EQ(std::string(s3_last_error()), "cannot create storage root " + root);
  EXPECT_EQ(s3_server_status(), 0);
}

TEST(Lifecycle, RootOfExactly4095CharactersStarts) {
  std::string base = qt::make_temp_dir();
  StopOnExit guard{base};
  std::string root = base;
  while (root.size() < 4095) {
    size_t seg = std::min<size_t>(200, 4095 - root.size() - 1);
    if (seg == 0) {  // one character left: no room for "/x", so widen the last segment
      root += "x";
      break;
    }
    root += "/" + std::string(seg, 'd');
  }
  ASSERT_EQ(root.size(), 4095u);
  int port = qt::free_port();
  ASSERT_EQ(s3_server_start_ex(port, "127.0.0.1", root.c_str(), "", ""), 0) << s3_last_error();
  EXPECT_TRUE(qt::dir_exists(root));
  EXPECT_EQ(s3_server_status(), 1);
}

TEST(Lifecycle, NullAndEmptyBindServeLoopbackAndClearTheError) {
  std::string root = qt::make_temp_dir();
  StopOnExit guard{root};
  const char *binds[] = {nullptr, ""};
  for (const char *bind : binds) {
    int port = qt::free_port();
    ASSERT_EQ(s3_server_start_ex(0, bind, root.c_str(), "", ""), -1);
    EXPECT_STRNE(s3_last_error(), "");
    // A null access key with a secret key leaves authentication off.
    ASSERT_EQ(s3_server_start_ex(port, bind, root.c_str(), nullptr, "secret"), 0) << s3_last_error();
    EXPECT_STREQ(s3_last_error(), "");
    EXPECT_EQ(s3_server_status(), 1);
    EXPECT_EQ(qt::request(port, "GET", "/").status, 200);
    EXPECT_EQ(s3_server_stop(), 0);
    EXPECT_EQ(s3_server_status(), 0);
  }
}

TEST(Lifecycle, SecondStartFailsAndLeavesTheServerRunning) {
  qt::Server server;
  std::string other = qt::make_temp_dir();
  EXPECT_EQ(s3_server_start_ex(qt::free_port(), "127.0.0.1", other.c_str(), "", ""), -1);
  EXPECT_STREQ(s3_last_error(), "server already running");
  EXPECT_EQ(s3_server_status(), 1);
  EXPECT_TRUE(answered(server.port));
  EXPECT_FALSE(qt::dir_exists(other + "/.mpu"));
  qt::remove_tree(other);
}

TEST(Lifecycle, StopIsQuietWhenIdleAndARestartKeepsPortAndCounters) {
  EXPECT_EQ(s3_server_stop(), 0);  // never started in this state
  EXPECT_EQ(s3_server_status(), 0);

  std::string root = qt::make_temp_dir();
  StopOnExit guard{root};
  int port = qt::free_port();
  ASSERT_EQ(s3_server_start(port, root.c_str(), "", ""), 0) << s3_last_error();
  EXPECT_TRUE(answered(port));
  long long before = requests_count();

  uint32_t t0 = plat_tick_ms();
  EXPECT_EQ(s3_server_stop(), 0);
  uint32_t took = plat_tick_ms() - t0;
  EXPECT_LT(took, 3000u) << "an idle stop waits only for the accept thread's one-second wait";
  EXPECT_EQ(s3_server_status(), 0);
  EXPECT_EQ(qt::Conn(port).fd, -1) << "nothing listens after a stop";
  EXPECT_EQ(s3_server_stop(), 0);

  ASSERT_EQ(s3_server_start(port, root.c_str(), "", ""), 0) << s3_last_error();
  EXPECT_TRUE(answered(port));
  long long after = requests_count();
  if (before >= 0) {
    EXPECT_GE(after, before + 1);
  }
}

TEST(Lifecycle, ConcurrentStartsAndStopsAreSerialised) {
  std::string root = qt::make_temp_dir();
  StopOnExit guard{root};
  int port = qt::free_port();
  for (int round = 0; round < 3; round++) {
    std::atomic<int> ok{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; i++)
      threads.emplace_back([&] {
        if (s3_server_start_ex(port, "127.0.0.1", root.c_str(), "", "") == 0) ok++;
      });
    for (auto &t : threads) t.join();
    EXPECT_EQ(ok.load(), 1);
    EXPECT_EQ(s3_server_status(), 1);
    EXPECT_TRUE(answered(port));
    threads.clear();
    for (int i = 0; i < 3; i++) threads.emplace_back([] { EXPECT_EQ(s3_server_stop(), 0); });
    for (auto &t : threads) t.join();
    EXPECT_EQ(s3_server_status(), 0);
  }
}

// 32 clients hold their requests open; the 33rd waits in the listen queue, unanswered but not
// closed, and is served as soon as one of the 32 is answered and gone.
TEST(Connections, ThirtyThirdConnectionWaitsForAFreeThread) {
  qt::Server server;
  std::vector<std::unique_ptr<qt::Conn>> held;
  for (int i = 0; i < 32; i++) {
    held.push_back(std::make_unique<qt::Conn>(server.port));
    ASSERT_GE(held.back()->fd, 0);
    ASSERT_TRUE(held.back()->send("GET / HTTP/1.1\r\n"));
  }
  qt::Conn extra(server.port);
  ASSERT_GE(extra.fd, 0);
  ASSERT_TRUE(extra.send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
  ASSERT_TRUE(held[0]->send("Host: 127.0.0.1\r\n\r\n"));
  std::string answer = held[0]->recv_all();
  EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
  held[0].reset();
  std::string waited = extra.recv_all();
  EXPECT_EQ(waited.rfind("HTTP/1.1 200", 0), 0u) << waited;
  held.clear();
}

// SDKs open up to 50 connections at once: every one of 48 concurrent requests is answered.
TEST(Connections, FortyEightConcurrentRequestsAllAnswered) {
  qt::Server server;
  ASSERT_EQ(qt::request(server.port, "PUT", "/conc").status, 200);
  ASSERT_EQ(qt::request(server.port, "PUT", "/conc/k", {}, "payload").status, 200);
  for (int round = 0; round < 3; round++) {
    std::vector<std::thread> threads;
    std::atomic<int> ok{0};
    for (int i = 0; i < 48; i++)
      threads.emplace_back([&] {
        qt::Response r = qt::request(server.port, "GET", "/conc/k");
        if (r.status == 200 && r.body == "payload") ok++;
      });
    for (auto &t : threads) t.join();
    EXPECT_EQ(ok.load(), 48) << "round " << round;
  }
}

// A client that sends no Expect header keeps sending its body after an early refusal; it
// must still be able to send it all and read the whole answer.
TEST(Connections, EarlyAnswerSurvivesABodyStillBeingSent) {
  qt::Server server;
  const std::string chunk(65536, 'b');
  for (int run = 0; run < 5; run++) {
    qt::Conn c(server.port);
    ASSERT_GE(c.fd, 0);
    ASSERT_TRUE(c.send("PUT /AB/key HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 3145728\r\n\r\n"));
    bool sent = true;
    for (int i = 0; i < 48 && sent; i++) sent = c.send(chunk);
    EXPECT_TRUE(sent) << "run " << run << ": the server reset the connection mid-body";
    std::string raw = c.recv_all();
    ASSERT_EQ(raw.rfind("HTTP/1.1 400", 0), 0u) << "run " << run << ": " << raw;
    size_t head_end = raw.find("\r\n\r\n");
    ASSERT_NE(head_end, std::string::npos);
    std::string body = raw.substr(head_end + 4);
    EXPECT_NE(raw.find("Content-Length: " + std::to_string(body.size()) + "\r\n"), std::string::npos)
        << raw;
    EXPECT_NE(body.find("</Error>"), std::string::npos) << body;
  }
}

// ---------------------------------------------------------------- the host program

namespace {

// Runs quillmar-s3d with args until its banner appears (or the shell test ready holds; up to 60 s,
// which a sanitizer build on a loaded machine meets), stops it with SIGTERM and gives its exit
// status after "rc=" followed by everything it printed.
std::string run_host(const std::string &env, const std::string &args,
                     const std::string &ready = "grep -q serving $out") {
  std::string bin = std::string(QUILLMAR_BINARY_DIR) + "/quillmar-s3d";
  std::string out_file = qt::make_temp_dir();
  std::string script =
      "out=" + out_file + "/out; " + env + " '" + bin + "' " + args + " >$out 2>&1 & pid=$!; " +
      "i=0; while [ $i -lt 1200 ] && ! " + ready + " && kill -0 $pid 2>/dev/null; do "
      "sleep 0.05; i=$((i+1)); done; kill -TERM $pid 2>/dev/null; wait $pid; echo \"rc=$?\"; cat $out";
  std::string out;
  qt::run_command("sh -c \"" + [&] {
    std::string esc;
    for (char ch : script) {
      if (ch == '"' || ch == '$' || ch == '\\' || ch == '`') esc += '\\';
      esc += ch;
    }
    return esc;
  }() + "\"", &out);
  qt::remove_tree(out_file);
  return out;
}

}  // namespace

TEST(HostProgram, ServesUntilSignalledAndReportsFailedStarts) {
  ASSERT_TRUE(qt::file_exists(std::string(QUILLMAR_BINARY_DIR) + "/quillmar-s3d")) << "build quillmar-s3d first";
  std::string root = qt::make_temp_dir();
  std::string port = std::to_string(qt::free_port());
  std::string out = run_host("", "--root " + root + " --port " + port + " --stats");
  EXPECT_EQ(out.rfind("rc=0\n", 0), 0u) << out;
  EXPECT_NE(out.find("quillmar-s3d 1.2.3 serving http://127.0.0.1:" + port + " root " + root +
                     " authentication off\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("{"), std::string::npos) << "statistics printed on exit: " << out;

  out = run_host("QUILLMAR_S3_ACCESS_KEY=ak QUILLMAR_S3_SECRET_KEY=sk",
                 "--root=" + root + " --port=" + port + " --bind 127.0.0.1");
  EXPECT_NE(out.find("authentication on"), std::string::npos) << out;
  EXPECT_EQ(out.rfind("rc=0\n", 0), 0u) << out;

  // Exit status 1 for arguments it cannot use, 2 for a start the library refused.
  struct {
    const char *args, *rc, *says;
  } const cases[] = {
      {"--version", "rc=0\n", "quillmar-s3d 1.2.3\n"},
      {"--bogus", "rc=1\n", "unknown option --bogus"},
      {"--root", "rc=1\n", "--root needs a value"},
      {"--port 9x", "rc=1\n", "invalid port 9x"},
      {"--port 0", "rc=2\n", "invalid port 0"},
      {"--port 1 --bind localhost", "rc=2\n", "invalid bind address localhost"},
  };
  for (const auto &c : cases) {
    out = run_host("", std::string("--root ") + root + " " + c.args);
    EXPECT_EQ(out.rfind(c.rc, 0), 0u) << c.args << ": " << out;
    EXPECT_NE(out.find(c.says), std::string::npos) << c.args << ": " << out;
  }

  // --quiet: no banner, but a clean stop and the statistics asked for. The start creates the
  // new root after the signal handlers are in place, so its folder tells when to signal.
  std::string quiet_root = root + "/quiet";
  out = run_host("", "--quiet --stats --root " + quiet_root + " --port " + port,
                 "[ -d " + quiet_root + " ]");
  EXPECT_EQ(out.rfind("rc=0\n{\"running\":0", 0), 0u) << out;
  EXPECT_EQ(out.find("serving"), std::string::npos) << out;
  qt::remove_tree(root);
}
