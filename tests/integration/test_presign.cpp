// Presigned URLs (query authentication) and bucket.localhost addressing over raw HTTP: round trips,
// the refusal table with nothing changed on disk, and both switched off or left alone where they
// do not apply.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "harness.h"
#include "signer.h"

namespace {

constexpr char kAccess[] = "AKIDPRESIGNTEST00001";
constexpr char kSecret[] = "presignSecret/abcdefghijklmnopqrstuvwxyz01";

class Presign : public ::testing::Test {
 protected:
  static qt::Server *server;
  static void SetUpTestSuite() {
    server = new qt::Server(kAccess, kSecret);
    qt::Response r = qt::send_raw(server->port, qt::sign_request(header_signed("PUT", "/pbkt")));
    ASSERT_EQ(r.status, 200) << r.raw;
  }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
  }
  static std::string host() { return "127.0.0.1:" + std::to_string(server->port); }
  static qt::SignedRequest header_signed(const std::string &method, const std::string &target) {
    return qt::client_signed(host(), kAccess, kSecret, method, target);
  }
  static qt::PresignedRequest presigned(const std::string &method, const std::string &path) {
    qt::PresignedRequest p;
    p.method = method;
    p.path = path;
    p.host = host();
    p.access = kAccess;
    p.secret = kSecret;
    p.sign_time = qt::amz_date_now();
    return p;
  }
};
qt::Server *Presign::server = nullptr;

TEST_F(Presign, PutThenGetRoundTrip) {
  qt::PresignedRequest put = presigned("PUT", "/pbkt/dir/a%20b.txt");
  put.body = "presigned body";
  qt::Response r = qt::send_raw(server->port, qt::presign_request(put));
  ASSERT_EQ(r.status, 200) << r.raw;
  EXPECT_EQ(qt::read_file(server->path("pbkt/dir/a b.txt")), "presigned body");

  r = qt::send_raw(server->port, qt::presign_request(presigned("GET", "/pbkt/dir/a%20b.txt")));
  ASSERT_EQ(r.status, 200) << r.raw;
  EXPECT_EQ(r.body, "presigned body");

  // A listing with its own parameters, which stay signed beside the X-Amz-* ones.
  qt::PresignedRequest list = presigned("GET", "/pbkt");
  list.query = "list-type=2&prefix=dir%2F";
  r = qt::send_raw(server->port, qt::presign_request(list));
  ASSERT_EQ(r.status, 200) << r.raw;
  EXPECT_NE(r.body.find("<Key>dir/a b.txt</Key>"), std::string::npos) << r.body;
}

TEST_F(Presign, SignedPayloadDigestIsBoundToTheBody) {
  qt::PresignedRequest put = presigned("PUT", "/pbkt/digest");
  put.body = "digest-bound";
  put.headers = {{"x-amz-content-sha256", qt::sha256_hex("digest-bound")}};
  qt::Response r = qt::send_raw(server->port, qt::presign_request(put));
  ASSERT_EQ(r.status, 200) << r.raw;
  EXPECT_EQ(qt::read_file(server->path("pbkt/digest")), "digest-bound");

  put.headers = {{"x-amz-content-sha256", qt::sha256_hex("something else")}};
  put.path = "/pbkt/digest2";
  r = qt::send_raw(server->port, qt::presign_request(put));
  EXPECT_NE(r.status, 200) << r.raw;
  EXPECT_FALSE(qt::file_exists(server->path("pbkt/digest2")));
}

// Replaces the first occurrence of from in s.
std::string replace(std::string s, const std::string &from, const std::string &to) {
  size_t at = s.find(from);
  if (at != std::string::npos) s.replace(at, from.size(), to);
  return s;
}

TEST_F(Presign, RefusalsLeaveNothingOnDisk) {
  const std::string kParams = "AuthorizationQueryParametersError";
  struct Case {
    const char *name;
    int status;
    std::string code, message;  // message: a part of the answer's Message
    std::function<std::string(qt::PresignedRequest &)> build;
  };
  std::vector<Case> cases = {
      {"expired", 403, "AccessDenied", "Request has expired",
       [](qt::PresignedRequest &p) {
         p.sign_time = qt::amz_date_now(-7200);
         return qt::presign_request(p);
       }},
      {"expires over a week", 403, kParams,
       "X-Amz-Expires must be less than a week (in seconds) that is; 604800",
       [](qt::PresignedRequest &p) {
         p.expires = "604801";
         return qt::presign_request(p);
       }},
      {"expires negative", 403, kParams, "X-Amz-Expires must be non-negative",
       [](qt::PresignedRequest &p) {
         p.expires = "-1";
         return qt::presign_request(p);
       }},
      {"expires zero", 403, kParams, "X-Amz-Expires",
       [](qt::PresignedRequest &p) {
         p.expires = "0";
         return qt::presign_request(p);
       }},
      {"expires not a number", 403, kParams, "X-Amz-Expires should be a number",
       [](qt::PresignedRequest &p) {
         p.expires = "12x";
         return qt::presign_request(p);
       }},
      {"date missing", 403, kParams, "requires the X-Amz-Algorithm",
       [](qt::PresignedRequest &p) {
         std::string t = qt::presign_target(p);
         return qt::presign_bytes(p, replace(t, "X-Amz-Date=" + p.sign_time + "&", ""));
       }},
      {"date unreadable", 403, kParams, "ISO8601",
       [](qt::PresignedRequest &p) {
         p.sign_time = "2026-12-10T00:00:00Z";
         p.scope_date = "20261210";
         return qt::presign_request(p);
       }},
      // The expected form names "<YOUR-AKID>", written as text inside the document.
      {"credential mal-formed", 403, kParams,
       "expecting \"&lt;YOUR-AKID&gt;/YYYYMMDD/REGION/SERVICE/aws4_request\".</Message>",
       [](qt::PresignedRequest &p) {
         std::string t = qt::presign_target(p);
         size_t at = t.find("X-Amz-Credential=") + 17;
         return qt::presign_bytes(p, t.substr(0, at) + "bogus" + t.substr(t.find('&', at)));
       }},
      {"other algorithm", 403, kParams, "X-Amz-Algorithm only supports",
       [](qt::PresignedRequest &p) {
         p.algorithm = "AWS4-HMAC-SHA1";
         return qt::presign_request(p);
       }},
      {"credential for another day", 403, kParams, "incorrect date",
       [](qt::PresignedRequest &p) {
         p.scope_date = "20200101";
         return qt::presign_request(p);
       }},
      {"date in the future", 403, "RequestTimeTooSkewed", "too large",
       [](qt::PresignedRequest &p) {
         p.sign_time = qt::amz_date_now(3600);
         return qt::presign_request(p);
       }},
      {"signature tampered", 403, "SignatureDoesNotMatch", "does not match",
       [](qt::PresignedRequest &p) {
         std::string t = qt::presign_target(p);
         char &last = t.back();
         last = last == '0' ? '1' : '0';
         return qt::presign_bytes(p, t);
       }},
      {"signature in upper case", 403, "SignatureDoesNotMatch", "does not match",
       [](qt::PresignedRequest &p) {
         std::string t = qt::presign_target(p);
         size_t at = t.find("X-Amz-Signature=") + 16;
         for (size_t i = at; i < t.size(); i++)
           if (t[i] >= 'a' && t[i] <= 'f') t[i] = char(t[i] - 'a' + 'A');
         return qt::presign_bytes(p, t);
       }},
      {"other key signed", 403, "SignatureDoesNotMatch", "does not match",
       [](qt::PresignedRequest &p) {
         p.path = "/pbkt/other";
         std::string t = qt::presign_target(p);
         p.path = "/pbkt/refused";
         return qt::presign_bytes(p, replace(t, "/pbkt/other", "/pbkt/refused"));
       }},
      {"parameter added", 403, "SignatureDoesNotMatch", "does not match",
       [](qt::PresignedRequest &p) {
         return qt::presign_bytes(p, replace(qt::presign_target(p), "?", "?uploads&"));
       }},
      {"expiry lengthened", 403, "SignatureDoesNotMatch", "does not match",
       [](qt::PresignedRequest &p) {
         return qt::presign_bytes(p, replace(qt::presign_target(p), "X-Amz-Expires=3600",
                                             "X-Amz-Expires=604800"));
       }},
      {"wrong secret", 403, "SignatureDoesNotMatch", "does not match",
       [](qt::PresignedRequest &p) {
         p.secret = "not the secret";
         return qt::presign_request(p);
       }},
      {"wrong access key", 403, "SignatureDoesNotMatch", "does not match",
       [](qt::PresignedRequest &p) {
         p.access = "AKIDSOMEONEELSE00001";
         return qt::presign_request(p);
       }},
      {"unsigned x-amz header", 403, "AccessDenied", "were not signed",
       [](qt::PresignedRequest &p) {
         std::string t = qt::presign_target(p);
         p.headers.push_back({"x-amz-meta-added", "1"});
         return qt::presign_bytes(p, t);
       }},
      {"both mechanisms", 400, "InvalidArgument", "Only one auth mechanism allowed",
       [](qt::PresignedRequest &p) {
         std::string t = qt::presign_target(p);
         p.headers.push_back({"Authorization", "AWS4-HMAC-SHA256 Credential=" +
                                                   std::string(kAccess) + "/20261210/us-east-1/"
                                                   "s3/aws4_request,SignedHeaders=host,"
                                                   "Signature=0000000000"});
         return qt::presign_bytes(p, t);
       }},
  };
  for (Case &c : cases) {
    SCOPED_TRACE(c.name);
    qt::PresignedRequest p = presigned("PUT", "/pbkt/refused");
    p.body = "must not be stored";
    qt::Response r = qt::send_raw(server->port, c.build(p));
    EXPECT_EQ(r.status, c.status) << r.raw;
    EXPECT_NE(r.body.find("<Code>" + c.code + "</Code>"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find(c.message), std::string::npos) << r.body;
    EXPECT_FALSE(qt::file_exists(server->path("pbkt/refused")));
  }
}

TEST(PresignOff, ParametersAreIgnoredWithoutKeys) {
  qt::Server server;
  const std::string junk = "X-Amz-Algorithm=bogus&X-Amz-Expires=-5&X-Amz-Signature=zz";
  ASSERT_EQ(qt::request(server.port, "PUT", "/offb?" + junk).status, 200);
  qt::Response r = qt::request(server.port, "PUT", "/offb/k?" + junk, {}, "data");
  ASSERT_EQ(r.status, 200) << r.raw;
  EXPECT_EQ(qt::read_file(server.path("offb/k")), "data");
  r = qt::request(server.port, "GET", "/offb?" + junk);
  ASSERT_EQ(r.status, 200) << r.raw;
  EXPECT_NE(r.body.find("<ListBucketResult"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("<Key>k</Key>"), std::string::npos) << r.body;
}

// bucket.localhost[:port] addresses the bucket; the path is then the key.
TEST(VirtualHost, BucketFromHostHeader) {
  qt::Server server;
  std::string port = std::to_string(server.port);
  ASSERT_EQ(qt::request(server.port, "PUT", "/vbkt").status, 200);
  std::string vhost = "Host: vbkt.localhost:" + port;
  qt::Response r = qt::request(server.port, "PUT", "/dir/key.txt", {vhost}, "virtual");
  ASSERT_EQ(r.status, 200) << r.raw;
  EXPECT_EQ(qt::read_file(server.path("vbkt/dir/key.txt")), "virtual");
  r = qt::request(server.port, "GET", "/dir/key.txt", {"Host: VBKT.LocalHost"});
  EXPECT_EQ(r.status, 400) << r.raw;  // the label is the bucket name, which is lower case
  r = qt::request(server.port, "GET", "/dir/key.txt", {"Host: vbkt.localhost"});
  ASSERT_EQ(r.status, 200) << r.raw;
  EXPECT_EQ(r.body, "virtual");
  r = qt::request(server.port, "GET", "/?list-type=2", {vhost});
  ASSERT_EQ(r.status, 200) << r.raw;
  EXPECT_NE(r.body.find("<Name>vbkt</Name>"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("<Key>dir/key.txt</Key>"), std::string::npos) << r.body;

  // Other Host values leave the path style alone.
  for (const char *h : {"Host: localhost", "Host: vbkt.example.com", "Host: vbkt.localhost.example",
                        "Host: 127.0.0.1"}) {
    SCOPED_TRACE(h);
    r = qt::request(server.port, "GET", "/vbkt/dir/key.txt", {h});
    ASSERT_EQ(r.status, 200) << r.raw;
    EXPECT_EQ(r.body, "virtual");
  }
  // A label that is no bucket name never reaches the path.
  r = qt::request(server.port, "GET", "/xyz", {"Host: a%2Fb.localhost"});
  EXPECT_EQ(r.status, 404) << r.raw;  // path style: the bucket xyz
}

TEST_F(Presign, VirtualHostSignaturesCoverThePathAsSent) {
  ASSERT_EQ(qt::send_raw(server->port, qt::sign_request(header_signed("PUT", "/vhb"))).status, 200);
  std::string vhost = "vhb.localhost:" + std::to_string(server->port);
  qt::SignedRequest put = header_signed("PUT", "/obj");
  put.headers = {{"Host", vhost}, {"x-amz-date", put.sign_time}};
  put.headers.push_back({"Content-Length", "2"});
  put.body = "hi";
  qt::Response r = qt::send_raw(server->port, qt::sign_request(put));
  ASSERT_EQ(r.status, 200) << r.raw;
  EXPECT_EQ(qt::read_file(server->path("vhb/obj")), "hi");

  qt::PresignedRequest get = presigned("GET", "/obj");
  get.host = vhost;
  r = qt::send_raw(server->port, qt::presign_request(get));
  ASSERT_EQ(r.status, 200) << r.raw;
  EXPECT_EQ(r.body, "hi");

  // Signed as the rewritten path-style request, it does not match.
  get.path = "/vhb/obj";
  std::string t = qt::presign_target(get);
  get.path = "/obj";
  r = qt::send_raw(server->port, qt::presign_bytes(get, replace(t, "/vhb/obj", "/obj")));
  EXPECT_EQ(r.status, 403) << r.raw;
}

}  // namespace
