// The deadline for a whole request head: clients that send their head a byte now and then are
// dropped when it passes, so they cannot hold every connection thread, while a head that arrives
// in pieces within it is served.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "platform/platform.h"
#include "signer.h"

namespace {

constexpr char kAccess[] = "AKIDHEADDEADLINE0001";
constexpr char kSecret[] = "headDeadlineSecret/abcdefghijklmnopqrstuvw";
constexpr int kThreads = 32;  // connections served at once

std::string signed_list_buckets(int port) {
  return qt::sign_request(qt::client_signed("127.0.0.1:" + std::to_string(port), kAccess, kSecret, "GET", "/"));
}

// 32 connections send a head one byte every 300 ms and would go on for the whole budget; under a
// per-receive time-out alone they would hold every thread all that time. The signed request is
// retried until served (a connection beyond those being served may be closed unanswered or wait
// in the listen queue) and must be served well before the budget ends, which is far beyond the
// head deadline plus one second, so that a loaded machine does not make the test fail. The slow
// connections were made and sent their first byte before the signed request connects, and the
// server takes connections in the order they came, so they hold their threads first.
TEST(HeadDeadline, SlowHeadsDoNotLockOutASignedRequest) {
  qt::Server server(kAccess, kSecret);
  std::vector<std::unique_ptr<qt::Conn>> slow;
  for (int i = 0; i < kThreads; i++) {
    slow.emplace_back(new qt::Conn(server.port));
    ASSERT_TRUE(slow.back()->send("G"));
  }
  const uint32_t budget_ms = qt::kEventBoundMs;
  const uint32_t start = plat_tick_ms();
  std::atomic<bool> stop{false};
  std::thread feeder([&] {
    const std::string rest = "ET / HTTP/1.1\r\nHost: slow\r\nX-Pad: " + std::string(1000, 'p');
    for (size_t i = 0; !stop && i < rest.size() && plat_tick_ms() - start < budget_ms; i++) {
      for (auto &c : slow) c->send(std::string(1, rest[i]));  // fails once the server dropped it
      for (int t = 0; t < 6 && !stop; t++) plat_sleep_ms(50);
    }
  });

  qt::Response r;
  uint32_t served_after = 0;
  while (plat_tick_ms() - start < budget_ms) {
    uint32_t left = budget_ms - (plat_tick_ms() - start);
    r = qt::send_raw(server.port, signed_list_buckets(server.port), (int)left);
    if (r.status != 0) {
      served_after = plat_tick_ms() - start;
      break;
    }
    plat_sleep_ms(100);
  }
  stop = true;
  feeder.join();
  printf("signed request served %u ms after the slow heads began\n", served_after);
  EXPECT_EQ(r.status, 200) << r.raw;
  EXPECT_NE(r.body.find("<ListAllMyBucketsResult"), std::string::npos) << r.body;
  // The slow heads were dropped without any answer.
  for (auto &c : slow) EXPECT_TRUE(c->closed_without_data(qt::kEventBoundMs));
}

// A head that arrives in pieces over two seconds is well within the deadline and is served.
TEST(HeadDeadline, HeadInPiecesWithinTheDeadlineServed) {
  qt::Server server;
  qt::Conn c(server.port);
  for (const char *piece : {"GET / HT", "TP/1.1\r\nHo", "st: x\r\n\r\n"}) {
    ASSERT_TRUE(c.send(piece));
    plat_sleep_ms(1000);
  }
  std::string raw = c.recv_all();
  EXPECT_EQ(raw.compare(0, 15, "HTTP/1.1 200 OK"), 0) << raw;
}

}  // namespace
