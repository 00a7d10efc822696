// Header authentication over raw HTTP: the 403 refusals with their documents and last-error texts,
// the clock-skew window, requests signed by an independent signer (botocore), and servers whose
// key pair is incomplete and so check nothing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "answers.h"
#include "harness.h"

namespace {

using qt::Response;

constexpr char kAccess[] = "AKIDAUTHTEST0000001";
constexpr char kSecret[] = "authTestSecret/abcdefghijklmnopqrstuvwxyz0123";

const char kSkewMessage[] = "The difference between the request time and the server's time is too large";
const char kMismatchMessage[] =
    "The request signature we calculated does not match the signature you provided";

// Signs with botocore's S3 signer at the current time plus `shift` seconds and prints the header
// lines to send (Host, X-Amz-Date, X-Amz-Content-SHA256, Authorization).
const char kSignerScript[] = R"PY(
import sys, datetime
from botocore.auth import S3SigV4Auth
from botocore.awsrequest import AWSRequest
from botocore.credentials import Credentials
method, target, port, ak, sk, shift = sys.argv[1:7]
host = '127.0.0.1:%s' % port
req = AWSRequest(method=method, url='http://%s%s' % (host, target), headers={'Host': host})
auth = S3SigV4Auth(Credentials(ak, sk), 's3', 'us-east-1')
when = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(seconds=int(shift))
req.context['timestamp'] = when.strftime('%Y%m%dT%H%M%SZ')
auth._modify_request_before_signing(req)
signature = auth.signature(auth.string_to_sign(req, auth.canonical_request(req)), req)
auth._inject_signature_to_request(req, signature)
for name, value in req.headers.items():
    print('%s: %s' % (name, value))
)PY";

class Auth : public ::testing::Test {
 protected:
  static qt::Server *server;
  static std::string python;   // an interpreter that has botocore
  static std::string script;

  static void SetUpTestSuite() {
    server = new qt::Server(kAccess, kSecret);
    std::string dir = qt::make_temp_dir();
    script = dir + "/sign.py";
    qt::write_file(script, kSignerScript);
    for (const char *py : {"python3", "/usr/bin/python3"}) {
      if (qt::run_command(std::string(py) + " -c 'import botocore' >/dev/null 2>&1") == 0) {
        python = py;
        break;
      }
    }
  }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
  }

  int port() const { return server->port; }

  // A complete request signed by botocore (empty text when signing failed).
  std::string signed_request(const std::string &method, const std::string &target, long shift = 0,
                             const std::string &secret = kSecret) {
    if (python.empty()) {
      ADD_FAILURE() << "no python3 with botocore";
      return "";
    }
    std::string out;
    std::string cmd = python + " " + script + " " + method + " '" + target + "' " +
                      std::to_string(port()) + " " + kAccess + " '" + secret + "' " + std::to_string(shift);
    if (qt::run_command(cmd, &out) != 0) {
      ADD_FAILURE() << "signer failed: " << out;
      return "";
    }
    std::string head = method + " " + target + " HTTP/1.1\r\n";
    size_t pos = 0;
    while (pos < out.size()) {
      size_t nl = out.find('\n', pos);
      if (nl == std::string::npos) nl = out.size();
      if (nl > pos) head += out.substr(pos, nl - pos) + "\r\n";
      pos = nl + 1;
    }
    return head + "\r\n";
  }

  // Sends a botocore-signed request `shift` seconds off; retried while the answer shows that a
  // second boundary passed between signing and checking (skew one more than intended).
  Response send_shifted(long shift, std::string *last_error) {
    Response r;
    std::string want = "RequestTimeTooSkewed (" + std::to_string(shift < 0 ? -shift : shift) + "s)";
    for (int attempt = 0; attempt < 3; attempt++) {
      r = qt::send_raw(port(), signed_request("GET", "/", shift));
      *last_error = s3_last_error();
      bool ticked = r.status == 403 && *last_error != want && last_error->rfind("RequestTimeTooSkewed", 0) == 0;
      if (!ticked) break;
    }
    return r;
  }
};
qt::Server *Auth::server = nullptr;
std::string Auth::python;
std::string Auth::script;

TEST_F(Auth, MissingAuthorizationRefused) {
  long long before = qa::requests_count();
  Response r = qt::request(port(), "GET", "/");
  qa::expect_error(r, 403, "HTTP/1.1 403 Forbidden", "AccessDenied", "Access Denied", "/");
  EXPECT_STREQ(s3_last_error(), "Access Denied: missing Authorization header");
  if (before >= 0) EXPECT_EQ(qa::requests_count(), before + 1) << "refusal counted once";

  // Also on the bucket and object shapes, with the raw path as the resource.
  r = qt::request(port(), "PUT", "/newbucket/a%20b", {}, "data");
  qa::expect_error(r, 403, "HTTP/1.1 403 Forbidden", "AccessDenied", "Access Denied", "/newbucket/a%20b");
  EXPECT_FALSE(qt::dir_exists(server->path("newbucket")));
}

TEST_F(Auth, IndependentSignaturesServed) {
  Response r = qt::send_raw(port(), signed_request("GET", "/"));
  EXPECT_EQ(r.status, 200) << r.raw;
  EXPECT_NE(r.body.find("<ListAllMyBucketsResult"), std::string::npos);

  r = qt::send_raw(port(), signed_request("PUT", "/signedbucket"));
  EXPECT_EQ(r.status, 200) << r.raw;
  EXPECT_TRUE(qt::dir_exists(server->path("signedbucket")));
  // A value-less query parameter, signed as "location=".
  r = qt::send_raw(port(), signed_request("GET", "/signedbucket?location"));
  EXPECT_EQ(r.status, 200) << r.raw;
  EXPECT_NE(r.body.find("LocationConstraint"), std::string::npos);
}

TEST_F(Auth, WrongSignaturesRefused) {
  Response r = qt::send_raw(port(), signed_request("GET", "/", 0, "not-the-secret"));
  qa::expect_error(r, 403, "HTTP/1.1 403 Forbidden", "SignatureDoesNotMatch", kMismatchMessage, "/");
  EXPECT_STREQ(s3_last_error(), "SigV4 verification failed (signature mismatch)");

  // A signature made for one request does not carry over to another path.
  std::string req = signed_request("GET", "/");
  req.replace(0, 5, "GET /xyz");
  r = qt::send_raw(port(), req);
  qa::expect_error(r, 403, "HTTP/1.1 403 Forbidden", "SignatureDoesNotMatch", kMismatchMessage, "/xyz");

  r = qt::request(port(), "GET", "/", {"Authorization: AWS4-HMAC-SHA256 Credential=x"});
  qa::expect_error(r, 403, "HTTP/1.1 403 Forbidden", "SignatureDoesNotMatch", kMismatchMessage, "/");
  EXPECT_STREQ(s3_last_error(), "SigV4 verification failed (bad authorization)");
}

TEST_F(Auth, ClockSkewWindow) {
  std::string err;
  Response r = send_shifted(-901, &err);
  qa::expect_error(r, 403, "HTTP/1.1 403 Forbidden", "RequestTimeTooSkewed", kSkewMessage, "/");
  EXPECT_EQ(err, "RequestTimeTooSkewed (901s)");
  r = send_shifted(901, &err);
  EXPECT_EQ(r.status, 403);
  EXPECT_EQ(err, "RequestTimeTooSkewed (901s)");

  // 900 seconds either way passes the skew check, and the signature then serves the request.
  r = send_shifted(-900, &err);
  EXPECT_EQ(r.status, 200) << r.raw << err;
  r = send_shifted(900, &err);
  EXPECT_EQ(r.status, 200) << r.raw << err;

  // The skew check comes before the Authorization check.
  r = qt::request(port(), "GET", "/", {"x-amz-date: 20000101T000000Z"});
  EXPECT_EQ(r.status, 403);
  EXPECT_NE(r.body.find("<Code>RequestTimeTooSkewed</Code>"), std::string::npos) << r.body;
}

// With either key empty the server checks nothing: no header, a garbage header, an old date.
TEST(AuthOff, EitherKeyEmptyServesEverything) {
  for (auto keys : {std::pair<const char *, const char *>{kAccess, ""}, {"", kSecret}}) {
    qt::Server s(keys.first, keys.second);
    EXPECT_EQ(qt::request(s.port, "GET", "/").status, 200);
    EXPECT_EQ(qt::request(s.port, "PUT", "/openbucket").status, 200);
    EXPECT_EQ(qt::request(s.port, "GET", "/", {"Authorization: garbage", "x-amz-date: 20000101T000000Z"}).status,
              200);
  }
}

}  // namespace
