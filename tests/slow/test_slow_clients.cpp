// Clients without credentials cannot slow anyone down: with a thousand slow request heads and
// dozens of slow browser-form uploads open from several loopback addresses, a signed request on
// a new connection is answered at once; thousands of idle persistent connections cost the
// server little memory. Linux only: clients bind to 127.0.0.x source addresses.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "platform/platform.h"
#include "quillmar-s3.h"
#include "signer.h"

namespace {

constexpr char kAccess[] = "AKIDSLOWCLIENTS00001";
constexpr char kSecret[] = "slowClientsSecret/abcdefghijklmnopqrstuv";
constexpr int kAddresses = 4;  // clients come from 127.0.0.2 .. 127.0.0.5

// Enough descriptors for both ends of every connection of a test.
void raise_descriptor_limit(rlim_t want) {
  rlimit lim;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
  if (lim.rlim_cur >= want) return;
  lim.rlim_cur = want < lim.rlim_max ? want : lim.rlim_max;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
  if (lim.rlim_cur < want) GTEST_SKIP() << "descriptor limit " << lim.rlim_max << " below " << want;
}

// A connection to 127.0.0.1:port from 127.0.0.(2 + n % kAddresses); -1 on failure.
int connect_from(int n, int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in src{};
  src.sin_family = AF_INET;
  src.sin_addr.s_addr = htonl(0x7f000002u + uint32_t(n % kAddresses));
  sockaddr_in dst{};
  dst.sin_family = AF_INET;
  dst.sin_addr.s_addr = htonl(0x7f000001u);
  dst.sin_port = htons(uint16_t(port));
  if (bind(fd, (sockaddr *)&src, sizeof src) != 0 || connect(fd, (sockaddr *)&dst, sizeof dst) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool send_text(int fd, const std::string &t) {
  size_t off = 0;
  while (off < t.size()) {
    ssize_t n = send(fd, t.data() + off, t.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += size_t(n);
  }
  return true;
}

uint64_t stats_field(const char *name) {
  std::string stats = s3_get_stats_json();
  size_t at = stats.find(std::string("\"") + name + "\":");
  return at == std::string::npos ? 0 : std::stoull(stats.substr(at + strlen(name) + 3));
}

uint64_t rss_kib() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.compare(0, 6, "VmRSS:") == 0) return std::stoull(line.substr(6));
  return 0;
}

std::string signed_req(int port, const std::string &method, const std::string &path) {
  return qt::sign_request(
      qt::client_signed("127.0.0.1:" + std::to_string(port), kAccess, kSecret, method, path));
}

TEST(SlowClients, SlowHeadsAndFormsDoNotDelayASignedRequest) {
  constexpr int kHeads = 1000, kForms = 64;
  raise_descriptor_limit(4 * (kHeads + kForms) + 256);
  qt::Server server(kAccess, kSecret);
  ASSERT_EQ(qt::send_raw(server.port, signed_req(server.port, "PUT", "/slowforms")).status, 200);

  const uint64_t accepted_before = stats_field("connections_count");
  std::vector<int> heads, forms;
  for (int i = 0; i < kHeads; i++) {
    int fd = connect_from(i, server.port);
    ASSERT_GE(fd, 0) << i;
    heads.push_back(fd);
    send_text(fd, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Pad: ");
  }
  // Whole heads of form uploads whose bodies then come slowly: each holds a worker.
  const std::string boundary = "slowformboundary";
  for (int i = 0; i < kForms; i++) {
    int fd = connect_from(i, server.port);
    ASSERT_GE(fd, 0) << i;
    forms.push_back(fd);
    send_text(fd, "POST /slowforms HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: multipart/form-data; "
                  "boundary=" + boundary + "\r\nContent-Length: 1000000\r\n\r\n--" + boundary +
                  "\r\nContent-Disposition: form-data; name=\"key\"\r\n\r\n");
  }
  // Every slow client is in the server's hands before the signed request connects.
  ASSERT_TRUE(qt::wait_until(
      [&] { return stats_field("connections_count") - accepted_before >= kHeads + kForms; }));
  // They keep to the minimum rate, so the server holds them open all along.
  std::atomic<bool> stop{false};
  std::thread feeder([&] {
    const std::string pad(300, 'p');
    while (!stop) {
      for (int fd : heads) send_text(fd, pad);
      for (int fd : forms) send_text(fd, pad);
      for (int t = 0; t < 5 && !stop; t++) plat_sleep_ms(20);
    }
  });
  const uint32_t start = plat_tick_ms();
  qt::Response r = qt::send_raw(server.port, signed_req(server.port, "GET", "/"));
  const uint32_t took = plat_tick_ms() - start;
  stop = true;
  feeder.join();
  printf("signed GET answered in %u ms beside %d slow heads and %d slow forms\n", took, kHeads, kForms);
  EXPECT_EQ(r.status, 200) << r.raw;
  EXPECT_LT(took, 1000u);
  for (int fd : heads) close(fd);
  for (int fd : forms) close(fd);
}

// The bound the README names for 5,000 idle persistent connections.
constexpr uint64_t kIdleRssBoundKiB = 64 * 1024;

TEST(SlowClients, ThousandsOfIdleConnectionsCostLittleMemory) {
  constexpr int kIdle = 5000;
  raise_descriptor_limit(2 * kIdle + 256);
  qt::Server server;
  const uint64_t before = rss_kib();
  std::vector<int> idle;
  const std::string req = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  int answered = 0;
  for (int i = 0; i < kIdle; i++) {
    int fd = connect_from(i, server.port);
    ASSERT_GE(fd, 0) << i;
    idle.push_back(fd);
    ASSERT_TRUE(send_text(fd, req));
    // One answer each, the connection then kept open by the client and the server alike.
    std::string got;
    char buf[4096];
    while (qt::answer_length(got, false) == 0) {
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      got.append(buf, size_t(n));
    }
    if (qt::answer_length(got, false) && got.find("Connection: close") == std::string::npos) answered++;
  }
  const uint64_t during = rss_kib();
  printf("RSS %llu KiB before, %llu KiB with %d idle connections\n", (unsigned long long)before,
         (unsigned long long)during, kIdle);
  EXPECT_EQ(answered, kIdle);
  EXPECT_LT(during - before, kIdleRssBoundKiB);
  for (int fd : idle) close(fd);
}

}  // namespace
