// Bucket CORS over raw HTTP: the configuration's life (stored, returned, refused, deleted, gone
// with its bucket), preflight answers decided by the rules, and the headers of actual requests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "answers.h"
#include "harness.h"
#include "signer.h"

namespace {

using qa::expect_error;
using qt::Response;

const char kNotEnabled[] = "CORS is not enabled for this bucket.";
const char kNotAllowed[] =
    "This CORS request is not allowed. This is usually because the evalution of Origin, request "
    "method / Access-Control-Request-Method or Access-Control-Request-Headers are not whitelisted "
    "by the bucket's CORS rules.";
const char kMalformed[] =
    "The XML you provided was not well-formed or did not validate against our published schema.";

// Two rules: an exact origin that may upload with two named headers, and any subdomain of
// example.com that may only read.
const char kConfig[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<CORSConfiguration xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">\n"
    "  <CORSRule>\n"
    "    <AllowedOrigin>http://app.test:8080</AllowedOrigin>\n"
    "    <AllowedMethod>PUT</AllowedMethod>\n"
    "    <AllowedMethod>GET</AllowedMethod>\n"
    "    <AllowedHeader>Content-Type</AllowedHeader>\n"
    "    <AllowedHeader>x-amz-meta-*</AllowedHeader>\n"
    "    <ExposeHeader>ETag</ExposeHeader>\n"
    "    <ExposeHeader>x-amz-request-id</ExposeHeader>\n"
    "    <MaxAgeSeconds>600</MaxAgeSeconds>\n"
    "    <ID>upload &amp; read</ID>\n"
    "  </CORSRule>\n"
    "  <CORSRule><AllowedOrigin>https://*.example.com</AllowedOrigin>"
    "<AllowedMethod>GET</AllowedMethod><AllowedMethod>HEAD</AllowedMethod></CORSRule>\n"
    "</CORSConfiguration>\n";

// The stored form GetBucketCors returns: elements in schema order, values escaped.
const char kStored[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<CORSConfiguration xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\"><CORSRule>"
    "<ID>upload &amp; read</ID><AllowedHeader>Content-Type</AllowedHeader>"
    "<AllowedHeader>x-amz-meta-*</AllowedHeader><AllowedMethod>PUT</AllowedMethod>"
    "<AllowedMethod>GET</AllowedMethod><AllowedOrigin>http://app.test:8080</AllowedOrigin>"
    "<ExposeHeader>ETag</ExposeHeader><ExposeHeader>x-amz-request-id</ExposeHeader>"
    "<MaxAgeSeconds>600</MaxAgeSeconds></CORSRule><CORSRule><AllowedMethod>GET</AllowedMethod>"
    "<AllowedMethod>HEAD</AllowedMethod><AllowedOrigin>https://*.example.com</AllowedOrigin>"
    "</CORSRule></CORSConfiguration>";

class Cors : public qa::SharedServer {
 protected:
  void bucket_with_rules(const std::string &b) {
    ASSERT_EQ(req("PUT", "/" + b).status, 200);
    Response r = req("PUT", "/" + b + "?cors", {}, kConfig);
    ASSERT_EQ(r.status, 200) << r.raw;
  }
  Response preflight(const std::string &target, const std::string &origin,
                     const std::string &method, const std::string &headers = "") {
    std::vector<std::string> h;
    if (!origin.empty()) h.push_back("Origin: " + origin);
    if (!method.empty()) h.push_back("Access-Control-Request-Method: " + method);
    if (!headers.empty()) h.push_back("Access-Control-Request-Headers: " + headers);
    return req("OPTIONS", target, h);
  }
  std::string cors_file(const std::string &b) { return root() + "/.s3meta/.cors/" + b; }
};

TEST_F(Cors, ConfigurationStoredReturnedAndDeleted) {
  ASSERT_EQ(req("PUT", "/cfg-b").status, 200);
  expect_error(req("GET", "/cfg-b?cors"), 404, "HTTP/1.1 404 Not Found",
               "NoSuchCORSConfiguration", "The CORS configuration does not exist", "/cfg-b");
  ASSERT_EQ(req("PUT", "/cfg-b?cors", {}, kConfig).status, 200);
  Response got = req("GET", "/cfg-b?cors");
  EXPECT_EQ(got.status, 200);
  EXPECT_EQ(got.header("Content-Type"), "application/xml");
  EXPECT_EQ(got.body, kStored);
  // Beside the buckets, never in the bucket's own namespace.
  EXPECT_EQ(qt::read_file(cors_file("cfg-b")), kStored);
  EXPECT_EQ(req("GET", "/cfg-b").body.find("<Key>"), std::string::npos);

  Response del = req("DELETE", "/cfg-b?cors");
  EXPECT_EQ(del.status, 204) << del.raw;
  EXPECT_FALSE(qt::file_exists(cors_file("cfg-b")));
  EXPECT_EQ(req("GET", "/cfg-b?cors").status, 404);
  EXPECT_EQ(req("DELETE", "/cfg-b?cors").status, 204);  // deleting none is no error
  // The bucket is still there and empty.
  EXPECT_EQ(req("HEAD", "/cfg-b").status, 200);
}

TEST_F(Cors, MissingBucketAndOtherMethods) {
  for (const char *m : {"GET", "PUT", "DELETE"}) {
    SCOPED_TRACE(m);
    Response r = req(m, "/no-such-b?cors", {}, std::string(m) == "PUT" ? kConfig : "");
    expect_error(r, 404, "HTTP/1.1 404 Not Found", "NoSuchBucket",
                 "The specified bucket does not exist", "/no-such-b");
  }
  EXPECT_FALSE(qt::dir_exists(root() + "/no-such-b"));
  EXPECT_FALSE(qt::file_exists(cors_file("no-such-b")));
  EXPECT_EQ(req("POST", "/no-such-b?cors").status, 405);
}

TEST_F(Cors, MalformedConfigurationsRefusedAndEarlierOneKept) {
  bucket_with_rules("bad-b");
  auto rule = [](const std::string &inner) {
    return "<CORSConfiguration><CORSRule>" + inner + "</CORSRule></CORSConfiguration>";
  };
  const std::string ok = "<AllowedOrigin>*</AllowedOrigin><AllowedMethod>GET</AllowedMethod>";
  struct Case {
    const char *name;
    std::string body;
  } cases[] = {
      {"empty body", ""},
      {"no rule", "<CORSConfiguration></CORSConfiguration>"},
      {"not xml", "hello"},
      {"other root", "<Configuration><CORSRule>" + ok + "</CORSRule></Configuration>"},
      {"unclosed", "<CORSConfiguration><CORSRule>" + ok + "</CORSConfiguration>"},
      {"no origin", rule("<AllowedMethod>GET</AllowedMethod>")},
      {"no method", rule("<AllowedOrigin>*</AllowedOrigin>")},
      {"method PATCH", rule("<AllowedOrigin>*</AllowedOrigin><AllowedMethod>PATCH</AllowedMethod>")},
      {"method lower case", rule("<AllowedOrigin>*</AllowedOrigin><AllowedMethod>get</AllowedMethod>")},
      {"two stars in origin",
       rule("<AllowedOrigin>http://*.*.test</AllowedOrigin><AllowedMethod>GET</AllowedMethod>")},
      {"two stars in header", rule(ok + "<AllowedHeader>*-*</AllowedHeader>")},
      {"unknown element", rule(ok + "<AllowedColour>red</AllowedColour>")},
      {"max age not a number", rule(ok + "<MaxAgeSeconds>ten</MaxAgeSeconds>")},
      {"two max ages", rule(ok + "<MaxAgeSeconds>1</MaxAgeSeconds><MaxAgeSeconds>2</MaxAgeSeconds>")},
      {"unknown entity", rule("<AllowedOrigin>&nbsp;</AllowedOrigin><AllowedMethod>GET</AllowedMethod>")},
      {"text after root", rule(ok) + "<CORSRule/>"},
      {"101 rules", [&] {
         std::string b = "<CORSConfiguration>";
         for (int i = 0; i < 101; i++) b += "<CORSRule>" + ok + "</CORSRule>";
         return b + "</CORSConfiguration>";
       }()},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Response r = req("PUT", "/bad-b?cors", {}, c.body);
    expect_error(r, 400, "HTTP/1.1 400 Bad Request", "MalformedXML", kMalformed, "/bad-b");
  }
  EXPECT_EQ(qt::read_file(cors_file("bad-b")), kStored);
  // A body beyond the cap is refused without being stored either.
  Response big = req("PUT", "/bad-b?cors", {}, rule(ok + "<ID>" + std::string(70000, 'i') + "</ID>"));
  EXPECT_EQ(big.status, 400) << big.head;
  EXPECT_EQ(qt::read_file(cors_file("bad-b")), kStored);
}

TEST_F(Cors, PreflightDecidedByTheRules) {
  bucket_with_rules("pre-b");
  ASSERT_EQ(req("PUT", "/plain-b").status, 200);
  struct Case {
    const char *name;
    std::string target, origin, method, headers;
    int status;
    std::string allow_origin;  // expected Access-Control-Allow-Origin on 200
  } cases[] = {
      {"exact origin, object path", "/pre-b/a/b.txt", "http://app.test:8080", "PUT",
       "content-type, X-Amz-Meta-Owner", 200, "http://app.test:8080"},
      {"bucket path", "/pre-b", "http://app.test:8080", "GET", "", 200, "http://app.test:8080"},
      {"wildcard origin", "/pre-b/k", "https://cdn.example.com", "HEAD", "", 200,
       "https://cdn.example.com"},
      {"wildcard needs its suffix", "/pre-b/k", "https://cdn.example.org", "GET", "", 403, ""},
      {"origin is case-sensitive", "/pre-b/k", "http://APP.test:8080", "GET", "", 403, ""},
      {"other port", "/pre-b/k", "http://app.test:8081", "GET", "", 403, ""},
      {"method not in rule", "/pre-b/k", "http://app.test:8080", "DELETE", "", 403, ""},
      {"second rule read only", "/pre-b/k", "https://a.example.com", "PUT", "", 403, ""},
      {"header not allowed", "/pre-b/k", "http://app.test:8080", "PUT", "content-type, x-secret",
       403, ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Response r = preflight(c.target, c.origin, c.method, c.headers);
    if (c.status == 200) {
      EXPECT_EQ(r.status, 200) << r.raw;
      EXPECT_EQ(r.header("Access-Control-Allow-Origin"), c.allow_origin);
      EXPECT_EQ(r.header("Content-Length"), "0");
    } else {
      expect_error(r, 403, "HTTP/1.1 403 Forbidden", "CORSResponse", kNotAllowed, c.target);
      EXPECT_FALSE(r.has_header("Access-Control-Allow-Origin"));
    }
  }
  // The full answer of the first rule.
  Response r = preflight("/pre-b/k", "http://app.test:8080", "PUT", "content-type,x-amz-meta-a");
  EXPECT_EQ(r.header("Access-Control-Allow-Methods"), "PUT, GET");
  EXPECT_EQ(r.header("Access-Control-Allow-Headers"), "content-type,x-amz-meta-a");
  EXPECT_EQ(r.header("Access-Control-Expose-Headers"), "ETag, x-amz-request-id");
  EXPECT_EQ(r.header("Access-Control-Max-Age"), "600");
  EXPECT_EQ(r.header("Access-Control-Allow-Credentials"), "true");
  EXPECT_EQ(r.header("Vary"), "Origin, Access-Control-Request-Headers, Access-Control-Request-Method");
  // No configuration, no bucket, and a preflight that lacks what it must carry.
  expect_error(preflight("/plain-b/k", "http://app.test:8080", "GET"), 403,
               "HTTP/1.1 403 Forbidden", "CORSResponse", kNotEnabled, "/plain-b/k");
  EXPECT_EQ(preflight("/gone-b/k", "http://app.test:8080", "GET").status, 404);
  // Without Origin an OPTIONS is refused as S3 refuses it.
  EXPECT_EQ(preflight("/pre-b/k", "", "GET").status, 400);
  EXPECT_EQ(preflight("/pre-b/k", "http://app.test:8080", "").status, 400);
}

TEST_F(Cors, ActualRequestsCarryHeadersOnlyForAllowedOrigins) {
  bucket_with_rules("act-b");
  ASSERT_EQ(req("PUT", "/act-b/f.txt", {"Origin: http://app.test:8080"}, "data").status, 200);
  ASSERT_EQ(req("PUT", "/plain2-b").status, 200);
  ASSERT_EQ(req("PUT", "/plain2-b/f.txt", {}, "data").status, 200);

  Response get = req("GET", "/act-b/f.txt", {"Origin: http://app.test:8080"});
  EXPECT_EQ(get.status, 200);
  EXPECT_EQ(get.body, "data");
  EXPECT_EQ(get.header("Access-Control-Allow-Origin"), "http://app.test:8080");
  EXPECT_EQ(get.header("Access-Control-Expose-Headers"), "ETag, x-amz-request-id");
  EXPECT_EQ(get.header("Vary"), "Origin");
  EXPECT_TRUE(get.has_header("ETag"));
  // Refusals carry them too, so the page can read why.
  Response missing = req("GET", "/act-b/none", {"Origin: http://app.test:8080"});
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(missing.header("Access-Control-Allow-Origin"), "http://app.test:8080");

  struct Case {
    const char *name;
    std::string target;
    std::vector<std::string> headers;
    bool vary;
  } none[] = {
      {"no Origin", "/act-b/f.txt", {}, false},
      {"origin not allowed", "/act-b/f.txt", {"Origin: http://evil.test"}, true},
      {"method not allowed", "/act-b/f.txt", {"Origin: https://x.example.com"}, true},
      {"bucket without rules", "/plain2-b/f.txt", {"Origin: http://app.test:8080"}, false},
  };
  for (const auto &c : none) {
    SCOPED_TRACE(c.name);
    std::string method = std::string(c.name) == "method not allowed" ? "DELETE" : "GET";
    Response r = req(method, c.target, c.headers);
    EXPECT_FALSE(r.has_header("Access-Control-Allow-Origin")) << r.head;
    EXPECT_EQ(r.has_header("Vary"), c.vary) << r.head;
  }
  // A line break inside Origin never reaches the answer's head as a line of its own.
  Response split = req("GET", "/act-b/f.txt", {"Origin: http://app.test:8080\rX-Evil: 1"});
  EXPECT_FALSE(split.has_header("X-Evil")) << split.head;
}

TEST_F(Cors, ConfigurationGoesWithItsBucket) {
  bucket_with_rules("del-b");
  ASSERT_TRUE(qt::file_exists(cors_file("del-b")));
  ASSERT_EQ(req("DELETE", "/del-b").status, 204);
  EXPECT_FALSE(qt::file_exists(cors_file("del-b")));
  ASSERT_EQ(req("PUT", "/del-b").status, 200);
  EXPECT_EQ(req("GET", "/del-b?cors").status, 404);
  EXPECT_EQ(preflight("/del-b/k", "http://app.test:8080", "GET").status, 403);
}

// With authentication on, a preflight needs no credentials, the configuration does, and an
// unauthenticated request from an allowed origin is refused with the CORS headers on.
TEST(CorsAuth, PreflightWithoutCredentials) {
  qt::Server srv("AKIDCORS", "secret-cors");
  auto signed_req = [&](const std::string &method, const std::string &target,
                        const std::string &body) {
    return qt::send_raw(srv.port, qt::sign_request(qt::client_signed("127.0.0.1", "AKIDCORS", "secret-cors",
                                                                    method, target, body)));
  };
  ASSERT_EQ(signed_req("PUT", "/auth-b", "").status, 200);
  EXPECT_EQ(qt::request(srv.port, "PUT", "/auth-b?cors", {}, kConfig).status, 403);
  ASSERT_EQ(signed_req("PUT", "/auth-b?cors", kConfig).status, 200);

  Response pre = qt::request(srv.port, "OPTIONS", "/auth-b/k",
                             {"Origin: http://app.test:8080", "Access-Control-Request-Method: PUT"});
  EXPECT_EQ(pre.status, 200) << pre.raw;
  Response denied = qt::request(srv.port, "GET", "/auth-b/k", {"Origin: http://app.test:8080"});
  EXPECT_EQ(denied.status, 403);
  EXPECT_EQ(denied.header("Access-Control-Allow-Origin"), "http://app.test:8080");
}

}  // namespace
