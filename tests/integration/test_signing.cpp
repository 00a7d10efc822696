// Signatures over raw HTTP as clients really make them: query characters sent raw or escaped,
// credential scopes for any region (header, presigned, streamed chunks and trailers, form
// policies), a signature that leaves host out, and a signed trailer whose checksum differs.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "harness.h"
#include "signer.h"

namespace {

using qt::Response;

constexpr char kAccess[] = "AKIDSIGNINGTEST00001";
constexpr char kSecret[] = "signingTestSecret/abcdefghijklmnopqrstuv";

class Signing : public ::testing::Test {
 protected:
  static qt::Server *server;
  static void SetUpTestSuite() {
    server = new qt::Server(kAccess, kSecret);
    ASSERT_EQ(send(signed_req("PUT", "/sigb")).status, 200);
    for (const char *k : {"dir/a.txt", "dir/sub/b.txt", "top.txt"}) {
      qt::SignedRequest put = signed_req("PUT", std::string("/sigb/") + k, "data");
      ASSERT_EQ(send(put).status, 200);
    }
  }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
  }
  static std::string host() { return "127.0.0.1:" + std::to_string(server->port); }
  static qt::SignedRequest signed_req(const std::string &method, const std::string &target,
                                      const std::string &body = "", const std::string &region = "us-east-1") {
    qt::SignedRequest q = qt::client_signed(host(), kAccess, kSecret, method, target, body);
    q.region = region;
    return q;
  }
  static Response send(const qt::SignedRequest &q) { return qt::send_raw(server->port, qt::sign_request(q)); }
  static qt::PresignedRequest presigned(const std::string &method, const std::string &path,
                                        const std::string &query = "", const std::string &region = "us-east-1") {
    qt::PresignedRequest p;
    p.method = method;
    p.path = path;
    p.query = query;
    p.host = host();
    p.access = kAccess;
    p.secret = kSecret;
    p.region = region;
    p.sign_time = qt::amz_date_now();
    return p;
  }
  static std::string code_of(const Response &r) {
    size_t a = r.body.find("<Code>"), b = r.body.find("</Code>");
    return a == std::string::npos || b == std::string::npos ? "" : r.body.substr(a + 6, b - a - 6);
  }
};
qt::Server *Signing::server = nullptr;

std::string replace(std::string s, const std::string &from, const std::string &to) {
  size_t at = s.find(from);
  if (at != std::string::npos) s.replace(at, from.size(), to);
  return s;
}

// The query is signed in its canonical form whatever bytes the client sent: each name and value
// decoded and escaped again. `has` must appear in the listing, `lacks` must not.
TEST_F(Signing, QueryCharactersRawOrEscaped) {
  struct Case {
    const char *name;
    std::string query;
    const char *has, *lacks;
  } cases[] = {
      {"raw / in delimiter and prefix", "delimiter=/&prefix=dir/", "<Prefix>dir/sub/</Prefix>", "top.txt"},
      {"escaped %2F", "delimiter=%2F&prefix=dir%2F", "<Prefix>dir/sub/</Prefix>", "top.txt"},
      {"escapes in lower case", "delimiter=%2f&prefix=dir%2f", "<Prefix>dir/sub/</Prefix>", "top.txt"},
      {"raw : , @ ! * ' ( ) ; $", "list-type=2&start-after=dir/a:,@!*'();$", "<Key>dir/sub/b.txt</Key>",
       "<Key>dir/a.txt</Key>"},
      {"the same escaped", "list-type=2&start-after=dir%2Fa%3A%2C%40%21%2A%27%28%29%3B%24",
       "<Key>dir/sub/b.txt</Key>", "<Key>dir/a.txt</Key>"},
      {"raw ~", "prefix=~x", "<ListBucketResult", "<Key>"},
      {"%7E for ~", "prefix=%7Ex", "<ListBucketResult", "<Key>"},
      {"raw values beside an escaped one", "list-type=2&prefix=dir/&delimiter=%2F", "<Prefix>dir/sub/</Prefix>",
       "top.txt"},
      // Sorted by name, then value: "prefix" before "prefix-x", though "prefix-x=" sorts before
      // "prefix=" as whole text.
      {"a name that begins another", "prefix-x=1&prefix=dir/&delimiter=/", "<Prefix>dir/sub/</Prefix>", "top.txt"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Response r = send(signed_req("GET", "/sigb?" + c.query));
    ASSERT_EQ(r.status, 200) << r.raw;
    EXPECT_NE(r.body.find(c.has), std::string::npos) << r.body;
    EXPECT_EQ(r.body.find(c.lacks), std::string::npos) << r.body;

    // Presigned, the same query before the X-Amz-* parameters.
    Response p = qt::send_raw(server->port, qt::presign_request(presigned("GET", "/sigb", c.query)));
    ASSERT_EQ(p.status, 200) << p.raw;
    EXPECT_NE(p.body.find(c.has), std::string::npos) << p.body;
  }
  // A presigned URL whose credential carries its slashes raw is the same URL.
  qt::PresignedRequest p = presigned("GET", "/sigb/top.txt");
  std::string t = qt::presign_target(p);
  std::string raw_cred = t;
  for (size_t at; (at = raw_cred.find("%2F")) != std::string::npos;) raw_cred.replace(at, 3, "/");
  Response r = qt::send_raw(server->port, qt::presign_bytes(p, raw_cred));
  EXPECT_EQ(r.status, 200) << r.raw;
  EXPECT_EQ(r.body, "data");

  // The decoded value is what is signed: a changed character, raw or escaped, is a mismatch.
  std::string req = qt::sign_request(signed_req("GET", "/sigb?delimiter=/&prefix=dir/"));
  for (const char *changed : {"prefix=dis/", "prefix=dir%2E"}) {
    SCOPED_TRACE(changed);
    r = qt::send_raw(server->port, replace(req, "prefix=dir/", changed));
    EXPECT_EQ(r.status, 403) << r.raw;
    EXPECT_EQ(code_of(r), "SignatureDoesNotMatch");
  }
}

// Any region in the credential scope: the signature is checked under the region it names, and a
// signature made for another region than the one named does not pass.
TEST_F(Signing, AnyRegionInTheScope) {
  for (const char *region : {"eu-west-1", "auto", "127.0.0.1", "us-east-1"}) {
    SCOPED_TRACE(region);
    std::string key = std::string("/sigb/region-") + region;
    ASSERT_EQ(send(signed_req("PUT", key, region, region)).status, 200);
    EXPECT_EQ(qt::read_file(server->path("sigb/region-" + std::string(region))), region);
    Response g = send(signed_req("GET", key, "", region));
    EXPECT_EQ(g.status, 200) << g.raw;
    EXPECT_EQ(g.body, region);
    Response p = qt::send_raw(server->port, qt::presign_request(presigned("GET", key, "", region)));
    EXPECT_EQ(p.status, 200) << p.raw;
    EXPECT_EQ(p.body, region);
  }
  // The location is the one it always was.
  Response loc = send(signed_req("GET", "/sigb?location", "", "eu-west-1"));
  EXPECT_EQ(loc.status, 200) << loc.raw;
  EXPECT_NE(loc.body.find("></LocationConstraint>"), std::string::npos) << loc.body;

  // Signed for eu-west-1, then the scope's region changed: refused, nothing stored.
  std::string req = qt::sign_request(signed_req("PUT", "/sigb/moved", "x", "eu-west-1"));
  Response r = qt::send_raw(server->port, replace(req, "/eu-west-1/", "/us-east-1/"));
  EXPECT_EQ(r.status, 403) << r.raw;
  EXPECT_EQ(code_of(r), "SignatureDoesNotMatch");
  qt::PresignedRequest pp = presigned("PUT", "/sigb/moved", "", "eu-west-1");
  pp.body = "x";
  r = qt::send_raw(server->port, qt::presign_bytes(pp, replace(qt::presign_target(pp), "eu-west-1", "eu-west-2")));
  EXPECT_EQ(r.status, 403) << r.raw;
  EXPECT_FALSE(qt::file_exists(server->path("sigb/moved")));
}

// Streamed uploads whose chunks and trailer are signed under another region (an independent
// signer in Python), and a signed trailer whose CRC-32 differs from the payload: 400 BadDigest.
TEST_F(Signing, StreamedChunksUnderAnyRegionAndBadTrailerDigest) {
  const size_t size = 70000;
  qt::TempDir dir;
  std::string out = dir / "req";
  std::string cmd = std::string("python3 ") + QUILLMAR_SOURCE_DIR + "/tests/integration/stream_request.py " + out +
                    " " + std::to_string(server->port) + " " + kAccess + " '" + kSecret + "' /sigb/stream " +
                    std::to_string(size) + " 65536 signed,trailer,tamper,badcrc eu-west-1";
  ASSERT_EQ(qt::run_command(cmd), 0) << "the independent signer (python3) failed: " << cmd;
  std::string payload;
  while (payload.size() < size) payload += "abcdefghijklmnopqrstuvwxyz";
  payload.resize(size);
  struct Case {
    const char *mode;
    int status;
    const char *code;
  } cases[] = {{"signed", 200, ""},
               {"trailer", 200, ""},
               {"tamper", 403, "SignatureDoesNotMatch"},
               {"badcrc", 400, "BadDigest"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.mode);
    std::string req = qt::read_file(out + "." + c.mode);
    ASSERT_NE(req.find("/eu-west-1/s3/aws4_request"), std::string::npos);
    Response r = qt::send_raw(server->port, req);
    ASSERT_EQ(r.status, c.status) << r.raw.substr(0, 600);
    std::string stored = server->path(std::string("sigb/stream-") + c.mode);
    if (c.status == 200) {
      EXPECT_TRUE(qt::read_file(stored) == payload);
    } else {
      EXPECT_EQ(code_of(r), c.code) << r.body;
      EXPECT_FALSE(qt::file_exists(stored));
    }
    if (c.status == 400) {
      EXPECT_NE(r.body.find("The CRC32 you specified did not match the calculated checksum."), std::string::npos)
          << r.body;
    }
  }
}

// host must be signed: without it a signature made for one bucket.localhost name would serve
// every bucket. Header and presigned, and nothing is stored.
TEST_F(Signing, HostMustBeSigned) {
  qt::SignedRequest q = signed_req("PUT", "/sigb/nohost", "x");
  q.headers.erase(q.headers.begin());  // Host not signed, then sent anyway
  std::string req = qt::sign_request(q);
  req = replace(req, "\r\n", "\r\nHost: " + host() + "\r\n");
  Response r = qt::send_raw(server->port, req);
  EXPECT_EQ(r.status, 400) << r.raw;
  EXPECT_EQ(code_of(r), "AuthorizationHeaderMalformed");
  EXPECT_NE(r.body.find("the SignedHeaders must include host"), std::string::npos) << r.body;

  qt::PresignedRequest p = presigned("PUT", "/sigb/nohost");
  p.body = "x";
  p.sign_host = false;
  r = qt::send_raw(server->port, qt::presign_request(p));
  EXPECT_EQ(r.status, 400) << r.raw;
  EXPECT_EQ(code_of(r), "AuthorizationQueryParametersError");
  EXPECT_NE(r.body.find("X-Amz-SignedHeaders must include host"), std::string::npos) << r.body;
  EXPECT_FALSE(qt::file_exists(server->path("sigb/nohost")));
}

std::string base64(const std::string &in) {
  static const char k[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < in.size(); i += 3) {
    unsigned v = (unsigned char)in[i] << 16;
    if (i + 1 < in.size()) v |= (unsigned char)in[i + 1] << 8;
    if (i + 2 < in.size()) v |= (unsigned char)in[i + 2];
    out += k[v >> 18];
    out += k[(v >> 12) & 63];
    out += i + 1 < in.size() ? k[(v >> 6) & 63] : '=';
    out += i + 2 < in.size() ? k[v & 63] : '=';
  }
  return out;
}

// A browser form whose policy credential names another region is signed under that region.
TEST_F(Signing, FormPolicyUnderAnyRegion) {
  const char kBoundary[] = "----sigFormBoundary";
  auto post = [&](const std::string &region, const std::string &sign_region, const std::string &key) {
    std::string date = qt::amz_date_now();
    std::string cred = std::string(kAccess) + "/" + date.substr(0, 8) + "/" + region + "/s3/aws4_request";
    std::string t = qt::amz_date_now(600);
    std::string expiration = t.substr(0, 4) + "-" + t.substr(4, 2) + "-" + t.substr(6, 2) + "T" + t.substr(9, 2) +
                             ":" + t.substr(11, 2) + ":" + t.substr(13, 2) + ".000Z";
    std::string policy = base64("{\"expiration\": \"" + expiration + "\", \"conditions\": [{\"bucket\": \"sigb\"}, "
                                "[\"starts-with\", \"$key\", \"form/\"], {\"x-amz-algorithm\": \"AWS4-HMAC-SHA256\"}, "
                                "{\"x-amz-credential\": \"" + cred + "\"}, {\"x-amz-date\": \"" + date + "\"}]}");
    std::string skey = qt::signer_hmac("AWS4" + std::string(kSecret), date.substr(0, 8));
    skey = qt::signer_hmac(qt::signer_hmac(qt::signer_hmac(skey, sign_region), "s3"), "aws4_request");
    std::string mac = qt::signer_hmac(skey, policy);
    char sig[65];
    ::hex_encode((const unsigned char *)mac.data(), 32, sig);
    std::vector<std::pair<std::string, std::string>> fields = {
        {"key", key}, {"policy", policy}, {"x-amz-algorithm", "AWS4-HMAC-SHA256"},
        {"x-amz-credential", cred}, {"x-amz-date", date}, {"x-amz-signature", sig}};
    std::string body;
    for (const auto &f : fields)
      body += std::string("--") + kBoundary + "\r\nContent-Disposition: form-data; name=\"" + f.first + "\"\r\n\r\n" +
              f.second + "\r\n";
    body += std::string("--") + kBoundary +
            "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"f\"\r\n\r\nform data\r\n--" + kBoundary +
            "--\r\n";
    return qt::request(server->port, "POST", "/sigb",
                       {"Host: " + host(), std::string("Content-Type: multipart/form-data; boundary=") + kBoundary},
                       body);
  };
  Response r = post("eu-west-1", "eu-west-1", "form/eu");
  EXPECT_EQ(r.status, 204) << r.raw;
  EXPECT_EQ(qt::read_file(server->path("sigb/form/eu")), "form data");
  r = post("eu-west-1", "us-east-1", "form/wrong");
  EXPECT_EQ(r.status, 403) << r.raw;
  EXPECT_FALSE(qt::file_exists(server->path("sigb/form/wrong")));
}

}  // namespace
