// The integration-test fixture base: a test class with its server (one per test program, or one
// per test where a test needs an empty root) and the request steps every test sends through.
#pragma once

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "harness.h"

namespace qt {

// The steps of a test against its server; Fixture gives port() and root().
template <class Fixture>
class ServerSteps : public ::testing::Test {
 protected:
  // A request through the one helper (Host and the Content-Length rule of qt::request).
  Response req(const std::string &method, const std::string &target,
               const std::vector<std::string> &headers = {}, const std::string &body = "") const {
    return request(self().port(), method, target, headers, body);
  }
  Response put(const std::string &target, const std::string &body,
               const std::vector<std::string> &headers = {}) const {
    return req("PUT", target, headers, body);
  }
  // Starts a multipart upload of bucket_key ("bucket/key"); its id, "" when refused.
  std::string initiate(const std::string &bucket_key, const std::vector<std::string> &headers = {},
                       const std::string &method = "POST") const {
    Response r = req(method, "/" + bucket_key + "?uploads", headers);
    std::smatch m;
    if (r.status != 200 || !std::regex_search(r.body, m, std::regex("<UploadId>([^<]+)</UploadId>")))
      return "";
    return m[1];
  }
  // A path under the storage root.
  std::string at(const std::string &rel) const { return self().root() + "/" + rel; }

 private:
  const Fixture &self() const { return static_cast<const Fixture &>(*this); }
};

// One server for the whole test program: a start and stop per test would cost a second each.
// Tests share it, so each works in buckets of its own.
class SharedServer : public ServerSteps<SharedServer> {
 protected:
  static Server *server;
  static void SetUpTestSuite() {
    if (!server) server = new Server();
  }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
  }
  int port() const { return server->port; }
  const std::string &root() const { return server->root; }
  friend class ServerSteps<SharedServer>;
};
inline Server *SharedServer::server = nullptr;

// A fresh server and empty root for each test, for tests that see the whole root.
class FreshServer : public ServerSteps<FreshServer> {
 protected:
  Server server;
  int port() const { return server.port; }
  const std::string &root() const { return server.root; }
  friend class ServerSteps<FreshServer>;
};

}  // namespace qt
