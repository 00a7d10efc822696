// Header authentication over raw HTTP: the 403 refusals with their documents and last-error texts,
// the clock-skew window, requests signed by an independent signer (botocore), signed requests
// replayed with changes, and servers whose key pair is incomplete and so check nothing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "answers.h"
#include "harness.h"
#include "signer.h"

namespace {

using qt::Response;

constexpr char kAccess[] = "AKIDAUTHTEST0000001";
constexpr char kSecret[] = "authTestSecret/abcdefghijklmnopqrstuvwxyz0123";

const char kSkewMessage[] = "The difference between the request time and the server's time is too large";
const char kMismatchMessage[] =
    "The request signature we calculated does not match the signature you provided";

// Signs requests with botocore's S3 signer. Each argument is "method target shift secret mode"; the
// time is the current one plus shift seconds. Mode "amz" signs with X-Amz-Date; "date" hands
// botocore a Date header, with which it signs by Date alone and sends no X-Amz-Date; "both" adds
// a Date header after X-Amz-Date, so that both are signed. Prints each request's header lines
// followed by a line "--".
const char kSignerScript[] = R"PY(
import sys, datetime, time, calendar
from email.utils import formatdate
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
    method, target, shift, sk, mode = job.split(' ', 4)
    headers = {'Host': host}
    if mode == 'date':
        headers['Date'] = 'replaced by the signer'
    req = AWSRequest(method=method, url='http://%s%s' % (host, target), headers=headers)
    auth = S3SigV4Auth(Credentials(ak, sk), 's3', 'us-east-1')
    when = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(seconds=int(shift))
    req.context['timestamp'] = when.strftime('%Y%m%dT%H%M%SZ')
    auth._modify_request_before_signing(req)
    if mode == 'both':
        req.headers['Date'] = formatdate(calendar.timegm(when.timetuple()), usegmt=True)
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
  std::string mode = "amz";
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
      cmd += " '" + s.method + " " + s.target + " " + std::to_string(s.shift) + " " + s.secret + " " +
             s.mode + "'";
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

  r = qt::request(port(), "GET", "/",
                  {"x-amz-date: " + qt::amz_date_now(), "Authorization: AWS4-HMAC-SHA256 Credential=x"});
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

// boto3 given a Date header signs with Date alone and sends no X-Amz-Date; the Date header then
// gives the signing time, in X-Amz-Date's form, and still expires. With both headers sent and
// signed, X-Amz-Date gives it.
TEST_F(Auth, DateHeaderSigning) {
  std::vector<std::string> reqs = signed_requests({{"GET", "/", 0, kSecret, "date"},
                                                   {"PUT", "/datebucket", 0, kSecret, "date"},
                                                   {"GET", "/", 0, kSecret, "both"},
                                                   {"GET", "/", -1000, kSecret, "date"}});
  EXPECT_EQ(reqs[0].find("X-Amz-Date"), std::string::npos) << reqs[0];
  EXPECT_NE(reqs[0].find("SignedHeaders=date;"), std::string::npos) << reqs[0];
  EXPECT_NE(reqs[2].find("SignedHeaders=date;host;x-amz-content-sha256;x-amz-date,"), std::string::npos)
      << reqs[2];
  Response r = qt::send_raw(port(), reqs[0]);
  EXPECT_EQ(r.status, 200) << r.raw;
  r = qt::send_raw(port(), reqs[1]);
  EXPECT_EQ(r.status, 200) << r.raw;
  EXPECT_TRUE(qt::dir_exists(server->path("datebucket")));
  r = qt::send_raw(port(), reqs[2]);
  EXPECT_EQ(r.status, 200) << r.raw;
  r = qt::send_raw(port(), reqs[3]);
  EXPECT_EQ(r.status, 403) << r.raw;
  EXPECT_NE(r.body.find("<Code>RequestTimeTooSkewed</Code>"), std::string::npos) << r.body;
}

// Signed requests replayed with one change each. Every refusal must leave the store as it was:
// each refused request would otherwise have written its own key.
TEST_F(Auth, ReplayedChangesRefused) {
  auto sign = [&](const std::string &method, const std::string &target, const std::string &body,
                  std::vector<std::pair<std::string, std::string>> extra, const std::string &when,
                  const std::string &scope_date) {
    qt::SignedRequest q;
    q.method = method;
    q.target = target;
    q.body = body;
    q.access = kAccess;
    q.secret = kSecret;
    q.sign_time = when;
    q.scope_date = scope_date;
    q.headers = {{"Host", "127.0.0.1:" + std::to_string(port())},
                 {"X-Amz-Date", when},
                 {"X-Amz-Content-SHA256", qt::sha256_hex(body)},
                 {"Content-Length", std::to_string(body.size())}};
    for (auto &h : extra) q.headers.push_back(h);
    return qt::sign_request(q);
  };
  auto put = [&](const std::string &target, const std::string &body,
                 std::vector<std::pair<std::string, std::string>> extra = {}) {
    std::string now = qt::amz_date_now();
    return sign("PUT", target, body, extra, now, "");
  };
  auto insert_line = [](std::string raw, const std::string &line) {
    return raw.insert(raw.find("\r\n") + 2, line + "\r\n");
  };
  auto change_after = [](std::string raw, const std::string &marker, size_t offset) {
    size_t at = raw.find(marker);
    EXPECT_NE(at, std::string::npos) << marker;
    if (at != std::string::npos) raw[at + marker.size() + offset] = 'X';
    return raw;
  };
  ASSERT_EQ(qt::send_raw(port(), put("/replay", "")).status, 200);
  ASSERT_EQ(qt::send_raw(port(), put("/replay/victim", "precious")).status, 200);

  const std::string note(1500, 'n');
  const std::string pad = "pad=" + std::string(2100, 'p');
  const std::string now = qt::amz_date_now();
  const std::string yesterday = qt::amz_date_now(-86400).substr(0, 8);
  const char kUnsigned[] = "There were headers present in the request which were not signed";
  const char kNoDate[] = "AWS authentication requires a valid Date or x-amz-date header";
  const char kScope[] = "The authorization header is malformed; Invalid credential date. Date is not the "
                        "same as X-Amz-Date.";
  // code "" = accepted and stored.
  struct { const char *name; std::string key; std::string raw; const char *code, *message; } cases[] = {
      {"signed with a long header value", "fresh", put("/replay/fresh", "new data", {{"x-amz-meta-note", note}}),
       "", ""},
      {"signed with a query of 2100 characters", "longq", put("/replay/longq?" + pad, "q data"), "", ""},
      {"unsigned x-amz-copy-source added", "copied",
       insert_line(put("/replay/copied", ""), "x-amz-copy-source: /replay/victim"), "AccessDenied", kUnsigned},
      {"header value changed after 1023", "longmeta",
       change_after(put("/replay/longmeta", "m", {{"x-amz-meta-note", note}}), "x-amz-meta-note: ", 1200),
       "SignatureDoesNotMatch", kMismatchMessage},
      {"query changed after 2047", "cutq", change_after(put("/replay/cutq?" + pad, "c"), "pad=", 2060),
       "SignatureDoesNotMatch", kMismatchMessage},
      {"unparsable x-amz-date", "undated", sign("PUT", "/replay/undated", "u", {}, "soon", now.substr(0, 8)),
       "AccessDenied", kNoDate},
      {"scope date a day before x-amz-date", "scoped", sign("PUT", "/replay/scoped", "s", {}, now, yesterday),
       "AuthorizationHeaderMalformed", kScope},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    Response r = qt::send_raw(port(), c.raw);
    if (!*c.code) {
      EXPECT_EQ(r.status, 200) << r.raw;
      EXPECT_TRUE(qt::file_exists(server->path("replay/" + c.key)));
      continue;
    }
    // A credential scope for another day is a malformed header to S3 (400), the rest are 403.
    bool malformed = std::string(c.code) == "AuthorizationHeaderMalformed";
    qa::expect_error(r, malformed ? 400 : 403, malformed ? "HTTP/1.1 400 Bad Request" : "HTTP/1.1 403 Forbidden",
                     c.code, c.message, "/replay/" + c.key);
    EXPECT_FALSE(qt::file_exists(server->path("replay/" + c.key)));
  }
  EXPECT_EQ(qt::read_file(server->path("replay/victim")), "precious");
  EXPECT_EQ(qt::read_file(server->path("replay/fresh")), "new data");

  // The operations read the same whole query the signature covers: a prefix past 2047 characters.
  Response list = qt::send_raw(port(), sign("GET", "/replay?" + pad + "&prefix=vic", "", {},
                                            qt::amz_date_now(), ""));
  EXPECT_EQ(list.status, 200) << list.raw;
  EXPECT_NE(list.body.find("<Key>victim</Key>"), std::string::npos) << list.body;
  EXPECT_EQ(list.body.find("<Key>fresh</Key>"), std::string::npos) << list.body;
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
