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

// Signs requests with botocore's S3 signer. Each argument is "method target shift secret"; the time
// is the current one plus shift seconds. Prints each request's header lines (Host, X-Amz-Date,
// X-Amz-Content-SHA256, Authorization) followed by a line "--".
const char kSignerScript[] = R"PY(
import sys, datetime, time
from botocore.auth import S3SigV4Auth
from botocore.awsrequest import AWSRequest
from botocore.credentials import Credentials
port, ak = sys.argv[1:3]
# Sign at the start of a second, so that the requests reach the server's clock check within the
# second they were signed in even on a loaded machine (the skew tests count exact seconds).
frac = time.time() % 1
if frac > 0.02:
    time.sleep(1.01 - frac)
host = '127.0.0.1:%s' % port
for job in sys.argv[3:]:
    method, target, shift, sk = job.split(' ', 3)
    req = AWSRequest(method=method, url='http://%s%s' % (host, target), headers={'Host': host})
    auth = S3SigV4Auth(Credentials(ak, sk), 's3', 'us-east-1')
    when = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(seconds=int(shift))
    req.context['timestamp'] = when.strftime('%Y%m%dT%H%M%SZ')
    auth._modify_request_before_signing(req)
    signature = auth.signature(auth.string_to_sign(req, auth.canonical_request(req)), req)
    auth._inject_signature_to_request(req, signature)
    for name, value in req.headers.items():
        print('%s: %s' % (name, value))
    print('--')
)PY";

struct SignJob {
  std::string method, target;
  long shift = 0;
  std::string secret = kSecret;
};

class Auth : public ::testing::Test {
 protected:
  static qt::Server *server;
  static std::string python;   // an interpreter that has botocore
  static std::string script_dir, script;

  static void SetUpTestSuite() {
    server = new qt::Server(kAccess, kSecret);
    script_dir = qt::make_temp_dir();
    script = script_dir + "/sign.py";
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
    qt::remove_tree(script_dir);
  }

  int port() const { return server->port; }

  // Complete requests signed by botocore in one run of the signer (empty texts on failure).
  std::vector<std::string> signed_requests(const std::vector<SignJob> &jobs) {
    std::vector<std::string> reqs(jobs.size());
    if (python.empty()) {
      ADD_FAILURE() << "no python3 with botocore";
      return reqs;
    }
    std::string cmd = python + " " + script + " " + std::to_string(port()) + " " + kAccess;
    for (const SignJob &s : jobs)
      cmd += " '" + s.method + " " + s.target + " " + std::to_string(s.shift) + " " + s.secret + "'";
    std::string out;
    if (qt::run_command(cmd, &out) != 0) {
      ADD_FAILURE() << "signer failed: " << out;
      return reqs;
    }
    size_t i = 0, pos = 0;
    std::string head;
    while (pos < out.size() && i < jobs.size()) {
      size_t nl = out.find('\n', pos);
      if (nl == std::string::npos) nl = out.size();
      std::string line = out.substr(pos, nl - pos);
      pos = nl + 1;
      if (line == "--") {
        reqs[i] = jobs[i].method + " " + jobs[i].target + " HTTP/1.1\r\n" + head + "\r\n";
        head.clear();
        i++;
      } else if (!line.empty()) {
        head += line + "\r\n";
      }
    }
    EXPECT_EQ(i, jobs.size()) << out;
    return reqs;
  }
  std::string signed_request(const SignJob &job) { return signed_requests({job})[0]; }

  // Sends a request signed `shift` seconds off. When the answer shows that a second boundary
  // passed between signing and checking (a skew one more than intended), signs and sends again.
  Response send_shifted(long shift, std::string req, std::string *last_error) {
    Response r;
    std::string want = "RequestTimeTooSkewed (" + std::to_string(shift < 0 ? -shift : shift) + "s)";
    for (int attempt = 0; attempt < 3; attempt++) {
      r = qt::send_raw(port(), req);
      *last_error = s3_last_error();
      bool ticked = r.status == 403 && *last_error != want &&
                    last_error->rfind("RequestTimeTooSkewed", 0) == 0;
      if (!ticked) break;
      req = signed_request({"GET", "/", shift});
    }
    return r;
  }
};
qt::Server *Auth::server = nullptr;
std::string Auth::python;
std::string Auth::script_dir;
std::string Auth::script;

TEST_F(Auth, MissingAuthorizationRefused) {
  long long before = qa::requests_count();
  Response r = qt::request(port(), "GET", "/");
  qa::expect_error(r, 403, "HTTP/1.1 403 Forbidden", "AccessDenied", "Access Denied", "/");
  EXPECT_STREQ(s3_last_error(), "Access Denied: missing Authorization header");
  if (before >= 0) {
    EXPECT_EQ(qa::requests_count(), before + 1) << "refusal counted once";
  }

  // Also on the bucket and object shapes, with the raw path as the resource.
  r = qt::request(port(), "PUT", "/newbucket/a%20b", {}, "data");
  qa::expect_error(r, 403, "HTTP/1.1 403 Forbidden", "AccessDenied", "Access Denied", "/newbucket/a%20b");
  EXPECT_FALSE(qt::dir_exists(server->path("newbucket")));
}

TEST_F(Auth, IndependentSignaturesServed) {
  std::vector<std::string> reqs =
      signed_requests({{"GET", "/"}, {"PUT", "/signedbucket"}, {"GET", "/signedbucket?location"}});
  Response r = qt::send_raw(port(), reqs[0]);
  EXPECT_EQ(r.status, 200) << r.raw;
  EXPECT_NE(r.body.find("<ListAllMyBucketsResult"), std::string::npos);

  r = qt::send_raw(port(), reqs[1]);
  EXPECT_EQ(r.status, 200) << r.raw;
  EXPECT_TRUE(qt::dir_exists(server->path("signedbucket")));
  // A value-less query parameter, signed as "location=".
  r = qt::send_raw(port(), reqs[2]);
  EXPECT_EQ(r.status, 200) << r.raw;
  EXPECT_NE(r.body.find("LocationConstraint"), std::string::npos);
}

TEST_F(Auth, WrongSignaturesRefused) {
  std::vector<std::string> reqs = signed_requests({{"GET", "/", 0, "not-the-secret"}, {"GET", "/"}});
  Response r = qt::send_raw(port(), reqs[0]);
  qa::expect_error(r, 403, "HTTP/1.1 403 Forbidden", "SignatureDoesNotMatch", kMismatchMessage, "/");
  EXPECT_STREQ(s3_last_error(), "SigV4 verification failed (signature mismatch)");

  // A signature made for one request does not carry over to another path.
  std::string req = reqs[1];
  req.replace(0, 5, "GET /xyz");
  r = qt::send_raw(port(), req);
  qa::expect_error(r, 403, "HTTP/1.1 403 Forbidden", "SignatureDoesNotMatch", kMismatchMessage, "/xyz");

  r = qt::request(port(), "GET", "/", {"Authorization: AWS4-HMAC-SHA256 Credential=x"});
  qa::expect_error(r, 403, "HTTP/1.1 403 Forbidden", "SignatureDoesNotMatch", kMismatchMessage, "/");
  EXPECT_STREQ(s3_last_error(), "SigV4 verification failed (bad authorization)");
}

TEST_F(Auth, ClockSkewWindow) {
  std::vector<std::string> reqs =
      signed_requests({{"GET", "/", -901}, {"GET", "/", 901}, {"GET", "/", -900}, {"GET", "/", 900}});
  std::string err;
  Response r = send_shifted(-901, reqs[0], &err);
  qa::expect_error(r, 403, "HTTP/1.1 403 Forbidden", "RequestTimeTooSkewed", kSkewMessage, "/");
  EXPECT_EQ(err, "RequestTimeTooSkewed (901s)");
  r = send_shifted(901, reqs[1], &err);
  EXPECT_EQ(r.status, 403);
  EXPECT_EQ(err, "RequestTimeTooSkewed (901s)");

  // 900 seconds either way passes the skew check, and the signature then serves the request.
  r = send_shifted(-900, reqs[2], &err);
  EXPECT_EQ(r.status, 200) << r.raw << err;
  r = send_shifted(900, reqs[3], &err);
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
