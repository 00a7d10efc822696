// Sub-resources over raw HTTP: bucket configurations answered with S3's defaults and never
// reaching the bucket's own operations, ListObjectVersions, object ACLs and refused object
// sub-resources, preflights without an Origin, version-1 URL encoding, and keys that are not
// UTF-8.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "answers.h"
#include "harness.h"

namespace {

using qa::expect_error;
using qt::Response;

const char kNotImplemented[] = "A header you provided implies functionality that is not implemented";

class Subresources : public qa::SharedServer {
 protected:
  void fill(const std::string &bucket, const std::vector<std::string> &keys) {
    ASSERT_EQ(req("PUT", "/" + bucket).status, 200);
    for (const std::string &k : keys) {
      std::string target = "/" + bucket + "/" + std::regex_replace(k, std::regex(" "), "%20");
      ASSERT_EQ(req("PUT", target, {}, k).status, 200) << k;
    }
  }
  // The Key or Prefix texts of a listing's entries, in order, each marked V: (a version) or
  // P: (a common prefix).
  static std::vector<std::string> entries(const std::string &body) {
    std::vector<std::string> out;
    std::regex re("<Version>\\s*<Key>([^<]*)</Key>|<CommonPrefixes>\\s*<Prefix>([^<]*)</Prefix>");
    for (std::sregex_iterator it(body.begin(), body.end(), re), end; it != end; ++it)
      out.push_back((*it)[1].matched ? "V:" + (*it)[1].str() : "P:" + (*it)[2].str());
    return out;
  }
  static std::string element(const std::string &body, const std::string &name) {
    std::smatch m;
    if (!std::regex_search(body, m, std::regex("<" + name + ">([^<]*)</" + name + ">"))) return "-";
    return m[1].str();
  }
};

// ---------------------------------------------------------------- bucket configurations

TEST_F(Subresources, BucketConfigurationsAnswerDefaultsAndNeverTouchTheBucket) {
  fill("cfg-b", {"keep"});
  struct row {
    const char *query;
    int status;
    const char *expect;  // a piece of the document, or the error code
  } rows[] = {
      {"encryption", 200,
       "<ServerSideEncryptionConfiguration xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\"><Rule>"
       "<ApplyServerSideEncryptionByDefault><SSEAlgorithm>AES256</SSEAlgorithm>"
       "</ApplyServerSideEncryptionByDefault><BucketKeyEnabled>false</BucketKeyEnabled></Rule>"
       "</ServerSideEncryptionConfiguration>"},
      {"publicAccessBlock", 404, "NoSuchPublicAccessBlockConfiguration"},
      {"ownershipControls", 404, "OwnershipControlsNotFoundError"},
      {"policy", 404, "NoSuchBucketPolicy"},
      {"lifecycle", 404, "NoSuchLifecycleConfiguration"},
      {"website", 404, "NoSuchWebsiteConfiguration"},
      {"replication", 404, "ReplicationConfigurationNotFoundError"},
      {"object-lock", 404, "ObjectLockConfigurationNotFoundError"},
      {"metadataTable", 404, "NoSuchConfiguration"},
      {"analytics&id=a1", 404, "NoSuchConfiguration"},
      {"analytics", 200, "<IsTruncated>false</IsTruncated></ListBucketAnalyticsConfigurationResult>"},
      {"inventory", 200, "<ListInventoryConfigurationsResult"},
      {"metrics", 200, "<ListMetricsConfigurationsResult"},
      {"intelligent-tiering", 200, "<ListBucketIntelligentTieringConfigurationsOutput"},
      {"notification", 200, "<NotificationConfiguration xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\"/>"},
      {"logging", 200, "<BucketLoggingStatus xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\"/>"},
      {"acl", 200,
       "<Owner><ID>quillmarlocal</ID><DisplayName>local</DisplayName></Owner><AccessControlList>"
       "<Grant><Grantee xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
       "xsi:type=\"CanonicalUser\"><ID>quillmarlocal</ID><DisplayName>local</DisplayName>"
       "</Grantee><Permission>FULL_CONTROL</Permission></Grant></AccessControlList>"},
      {"policyStatus", 200, "<PolicyStatus xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\"><IsPublic>false</IsPublic></PolicyStatus>"},
      {"requestPayment", 200, "<Payer>BucketOwner</Payer>"},
      {"accelerate", 200, "<AccelerateConfiguration xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\"/>"},
      {"versioning", 200, "<VersioningConfiguration xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\"/>"},
      // After other parameters, and with a value.
      {"x=1&encryption=", 200, "<SSEAlgorithm>AES256</SSEAlgorithm>"},
  };
  for (const row &r : rows) {
    const std::string target = std::string("/cfg-b?") + r.query;
    SCOPED_TRACE(target);
    Response get = req("GET", target);
    EXPECT_EQ(get.status, r.status) << get.raw;
    if (r.status == 200) {
      EXPECT_EQ(get.header("Content-Type"), "application/xml");
      EXPECT_EQ(get.body.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n", 0), 0u) << get.body;
      EXPECT_NE(get.body.find(r.expect), std::string::npos) << get.body;
    } else {
      EXPECT_NE(get.body.find(std::string("<Code>") + r.expect + "</Code>"), std::string::npos)
          << get.body;
    }
    // A configuration kept here takes only its own document; the others none at all.
    const std::string name = std::string(r.query).substr(std::string(r.query).rfind('&') + 1);
    const std::string bare = name.substr(0, name.find('='));
    static const std::set<std::string> kept = {
        "encryption", "publicAccessBlock", "ownershipControls", "policy", "lifecycle",
        "notification", "website", "logging", "requestPayment", "versioning"};
    if (kept.count(bare))
      EXPECT_EQ(req("PUT", target, {}, "<Configuration/>").status, 400);
    else
      expect_error(req("PUT", target, {}, "<Configuration/>"), 501, "HTTP/1.1 501 Not Implemented",
                   "NotImplemented", kNotImplemented, "/cfg-b");
    Response del = req("DELETE", target);
    EXPECT_EQ(del.status, 204) << del.raw;
    EXPECT_EQ(del.body, "");
    EXPECT_EQ(req("POST", target).status, 405);
    EXPECT_EQ(req("HEAD", target).status, 200);
  }
  // The bucket and its object outlived every call; the same DELETE without the sub-resource
  // would have removed an empty bucket.
  EXPECT_EQ(qt::read_file(root() + "/cfg-b/keep"), "keep");
  EXPECT_EQ(req("GET", "/cfg-b/keep").body, "keep");
}

TEST_F(Subresources, ConfigurationsOfAMissingBucket) {
  for (const char *method : {"GET", "PUT", "DELETE"}) {
    SCOPED_TRACE(method);
    expect_error(req(method, "/cfg-none?encryption"), 404, "HTTP/1.1 404 Not Found", "NoSuchBucket",
                 "The specified bucket does not exist", "/cfg-none");
  }
  EXPECT_FALSE(qt::dir_exists(root() + "/cfg-none"));
}

TEST_F(Subresources, EmptyBucketSurvivesEveryConfigurationDelete) {
  ASSERT_EQ(req("PUT", "/cfg-empty").status, 200);
  for (const char *q : {"encryption", "publicAccessBlock", "ownershipControls", "notification",
                        "policyStatus", "intelligent-tiering", "metadataTable", "acl"})
    EXPECT_EQ(req("DELETE", std::string("/cfg-empty?") + q).status, 204) << q;
  // The served sub-resources take only their own method.
  for (const char *q : {"location", "uploads", "versions", "delete"}) {
    for (const char *method : {"DELETE", "PUT"}) {
      Response r = req(method, std::string("/cfg-empty?") + q);
      expect_error(r, 405, "HTTP/1.1 405 Method Not Allowed", "MethodNotAllowed",
                   "Method not supported for buckets", "/cfg-empty");
    }
  }
  EXPECT_EQ(req("GET", "/cfg-empty?delete").status, 405);
  EXPECT_TRUE(qt::dir_exists(root() + "/cfg-empty"));
  // A parameter that is no sub-resource leaves the plain operation, as S3 does.
  for (const char *q : {"aclx", "encryptionx", "foo=1"}) {
    Response r = req("GET", std::string("/cfg-empty?") + q);
    EXPECT_NE(r.body.find("<ListBucketResult"), std::string::npos) << q << r.raw;
  }
  EXPECT_EQ(req("DELETE", "/cfg-empty?foo=1").status, 204);
  EXPECT_FALSE(qt::dir_exists(root() + "/cfg-empty"));
}

// ---------------------------------------------------------------- ListObjectVersions

TEST_F(Subresources, VersionsListEveryObjectAsItsNullVersion) {
  fill("ver-b", {"a/1", "a/2", "b", "c d"});
  Response r = req("GET", "/ver-b?versions");
  ASSERT_EQ(r.status, 200) << r.raw;
  EXPECT_EQ(entries(r.body), (std::vector<std::string>{"V:a/1", "V:a/2", "V:b", "V:c d"}));
  EXPECT_NE(r.body.find("<ListVersionsResult xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">\n"
                        "  <Name>ver-b</Name>\n  <Prefix></Prefix>\n  <KeyMarker></KeyMarker>\n"
                        "  <VersionIdMarker></VersionIdMarker>\n  <MaxKeys>1000</MaxKeys>\n"
                        "  <IsTruncated>false</IsTruncated>\n  <Version>\n    <Key>a/1</Key>\n"
                        "    <VersionId>null</VersionId>\n    <IsLatest>true</IsLatest>\n"),
            std::string::npos)
      << r.body;
  EXPECT_NE(r.body.find("<ETag>\"" + qt::md5_hex("b") + "\"</ETag>\n    <Size>1</Size>"),
            std::string::npos)
      << r.body;
  EXPECT_EQ(r.body.find("DeleteMarker"), std::string::npos);

  struct row {
    const char *name;
    std::string query;
    std::vector<std::string> entries;
    std::string truncated, next_key, next_version;  // "-" when the element is absent
  } rows[] = {
      {"first page", "max-keys=2", {"V:a/1", "V:a/2"}, "true", "a/2", "null"},
      {"resumed at a key and its null version", "key-marker=a%2F2&version-id-marker=null&max-keys=2",
       {"V:b", "V:c d"}, "false", "-", "-"},
      {"resumed at a key alone", "key-marker=a%2F1", {"V:a/2", "V:b", "V:c d"}, "false", "-", "-"},
      {"delimiter", "delimiter=%2F", {"P:a/", "V:b", "V:c d"}, "false", "-", "-"},
      {"cut after a common prefix", "delimiter=%2F&max-keys=1", {"P:a/"}, "true", "a/", "-"},
      {"resumed after that prefix", "delimiter=%2F&key-marker=a%2F", {"V:b", "V:c d"}, "false", "-", "-"},
      {"prefix", "prefix=a%2F", {"V:a/1", "V:a/2"}, "false", "-", "-"},
      {"url encoding", "encoding-type=url&prefix=c%20", {"V:c%20d"}, "false", "-", "-"},
  };
  for (const row &w : rows) {
    SCOPED_TRACE(w.name);
    Response p = req("GET", "/ver-b?versions&" + w.query);
    ASSERT_EQ(p.status, 200) << p.raw;
    EXPECT_EQ(entries(p.body), w.entries) << p.body;
    EXPECT_EQ(element(p.body, "IsTruncated"), w.truncated);
    EXPECT_EQ(element(p.body, "NextKeyMarker"), w.next_key);
    EXPECT_EQ(element(p.body, "NextVersionIdMarker"), w.next_version);
  }
  Response enc = req("GET", "/ver-b?versions&encoding-type=url&prefix=c%20");
  EXPECT_NE(enc.body.find("  <Prefix>c%20</Prefix>\n"), std::string::npos) << enc.body;
  EXPECT_NE(enc.body.find("  <EncodingType>url</EncodingType>\n"), std::string::npos);

  expect_error(req("GET", "/ver-b?versions&version-id-marker=null"), 400,
               "HTTP/1.1 400 Bad Request", "InvalidArgument",
               "A version-id marker cannot be specified without a key marker.", "/ver-b");
  expect_error(req("GET", "/ver-b?versions&key-marker=b&version-id-marker=3HL4kqtJlcpXroDTDmJ"),
               400, "HTTP/1.1 400 Bad Request", "InvalidArgument", "Invalid version id specified",
               "/ver-b");
  expect_error(req("GET", "/ver-none?versions"), 404, "HTTP/1.1 404 Not Found", "NoSuchBucket",
               "The specified bucket does not exist", "/ver-none");
}

// ---------------------------------------------------------------- object sub-resources

TEST_F(Subresources, ObjectAclAndRefusedSubresources) {
  fill("oacl-b", {"k"});
  Response acl = req("GET", "/oacl-b/k?acl");
  ASSERT_EQ(acl.status, 200) << acl.raw;
  EXPECT_NE(acl.body.find("<AccessControlPolicy xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">"
                          "<Owner><ID>quillmarlocal</ID>"),
            std::string::npos)
      << acl.body;
  EXPECT_NE(acl.body.find("<Permission>FULL_CONTROL</Permission>"), std::string::npos);

  struct row {
    const char *name;
    std::vector<std::string> headers;
    std::string body;
    int status;
  } puts[] = {
      {"canned private", {"x-amz-acl: private"}, "", 200},
      {"canned public-read", {"x-amz-acl: public-read"}, "", 501},
      {"a grant header", {"x-amz-grant-read: id=\"someone\""}, "", 501},
      {"private beside a grant", {"x-amz-acl: private", "x-amz-grant-read: uri=\"x\""}, "", 501},
      {"an ACL document",
       {},
       "<AccessControlPolicy><AccessControlList></AccessControlList></AccessControlPolicy>",
       501},
  };
  for (const row &p : puts) {
    Response r = req("PUT", "/oacl-b/k?acl", p.headers, p.body);
    EXPECT_EQ(r.status, p.status) << p.name << "\n" << r.raw;
  }
  EXPECT_EQ(req("GET", "/oacl-b/none?acl").status, 404);
  EXPECT_EQ(req("PUT", "/oacl-b/none?acl", {"x-amz-acl: private"}).status, 404);
  EXPECT_FALSE(qt::file_exists(root() + "/oacl-b/none"));
  // An empty directory in the key's place stays: a sub-resource stores no object.
  qt::write_file(root() + "/oacl-b/dir/x", "");
  qt::remove_tree(root() + "/oacl-b/dir/x");
  EXPECT_EQ(req("PUT", "/oacl-b/dir?acl", {"x-amz-acl: private"}).status, 404);
  EXPECT_TRUE(qt::dir_exists(root() + "/oacl-b/dir"));

  for (const char *n : {"retention", "legal-hold", "torrent", "restore", "select", "attributes"}) {
    for (const char *method : {"GET", "PUT", "POST", "DELETE"}) {
      if (std::string(n) == "attributes" && std::string(method) == "GET") continue;  // answered
      SCOPED_TRACE(std::string(method) + " ?" + n);
      Response r = req(method, std::string("/oacl-b/k?") + n, {}, "<Retention/>");
      expect_error(r, 501, "HTTP/1.1 501 Not Implemented", "NotImplemented", kNotImplemented,
                   "/oacl-b/k");
    }
  }
  for (const char *method : {"DELETE", "POST", "HEAD"})
    EXPECT_EQ(req(method, "/oacl-b/k?acl").status, 501) << method;
  EXPECT_EQ(qt::read_file(root() + "/oacl-b/k"), "k");
  EXPECT_EQ(req("GET", "/oacl-b/k").body, "k");
}

// ---------------------------------------------------------------- OPTIONS without an Origin

TEST(SubresourcesPreflight, OptionsWithoutOriginIsRefusedWhateverTheCredentials) {
  qt::Server srv("AKIDEXAMPLE", "wJalrXUtnFEMI/K7MDENG/bPxRfiCYEXAMPLEKEY");
  for (const char *target : {"/pre-b", "/pre-b/k", "/", "/pre-b/k?acl"}) {
    SCOPED_TRACE(target);
    Response r = qt::request(srv.port, "OPTIONS", target, {"Access-Control-Request-Method: GET"});
    std::string resource = std::string(target).substr(0, std::string(target).find('?'));
    expect_error(r, 400, "HTTP/1.1 400 Bad Request", "BadRequest",
                 "Insufficient information. Origin request header needed.", resource);
  }
  // With an Origin and no credentials the answer comes from the (absent) rules, never a 403
  // for the signature.
  Response r = qt::request(srv.port, "OPTIONS", "/",
                           {"Origin: http://app.test", "Access-Control-Request-Method: GET"});
  EXPECT_EQ(r.status, 403) << r.raw;
  EXPECT_NE(r.body.find("<Code>CORSResponse</Code>"), std::string::npos) << r.body;
}

// ---------------------------------------------------------------- version-1 URL encoding

TEST_F(Subresources, Version1UrlEncodingLeavesThePrefixAsSent) {
  fill("v1enc-b", {"a%20b/c%20d", "a%20b/e+f/g", "a%20b/h"});
  const std::string q = "encoding-type=url&prefix=a%20b%2F&delimiter=%2F&marker=a%20b%2Fc%20d&max-keys=1";
  Response v1 = req("GET", "/v1enc-b?" + q);
  ASSERT_EQ(v1.status, 200) << v1.raw;
  for (const char *line : {"  <Prefix>a b/</Prefix>\n", "  <Delimiter>/</Delimiter>\n",
                           "  <Marker>a%20b/c%20d</Marker>\n",
                           "  <NextMarker>a%20b/e%2Bf/</NextMarker>\n",
                           "    <Prefix>a%20b/e%2Bf/</Prefix>\n"})
    EXPECT_NE(v1.body.find(line), std::string::npos) << line << v1.body;
  Response all = req("GET", "/v1enc-b?encoding-type=url&prefix=a%20b%2F");
  EXPECT_NE(all.body.find("    <Key>a%20b/c%20d</Key>\n"), std::string::npos) << all.body;
  Response v2 = req("GET", "/v1enc-b?list-type=2&" + q);
  EXPECT_NE(v2.body.find("  <Prefix>a%20b/</Prefix>\n"), std::string::npos) << v2.body;
  EXPECT_NE(v2.body.find("    <Prefix>a%20b/e%2Bf/</Prefix>\n"), std::string::npos) << v2.body;
}

// ---------------------------------------------------------------- keys that are not UTF-8

TEST_F(Subresources, KeysAndPrefixesThatAreNotUtf8) {
  fill("utf-b", {"ok"});
  qt::write_file(root() + "/utf-b/\xff", "on disk");
  struct row {
    const char *method;
    std::string target;
    std::vector<std::string> headers;
    std::string resource;
  } rows[] = {
      {"GET", "/utf-b/%FF", {}, "/utf-b/%FF"},
      {"DELETE", "/utf-b/%FF", {}, "/utf-b/%FF"},
      {"PUT", "/utf-b/%C0%AF", {}, "/utf-b/%C0%AF"},           // overlong "/"
      {"PUT", "/utf-b/x%ED%A0%80", {}, "/utf-b/x%ED%A0%80"},   // a surrogate
      {"PUT", "/utf-b/x%F4%90%80%80", {}, "/utf-b/x%F4%90%80%80"},  // above U+10FFFF
      {"PUT", "/utf-b/cut%E2%82", {}, "/utf-b/cut%E2%82"},     // a cut sequence
      {"POST", "/utf-b/big%FE?uploads", {}, "/utf-b/big%FE"},
      {"GET", "/utf-b?prefix=%FF", {}, "/utf-b"},
      {"GET", "/utf-b?list-type=2&start-after=%C3", {}, "/utf-b"},
      {"GET", "/utf-b?versions&key-marker=%FF", {}, "/utf-b"},
      {"GET", "/utf-b?uploads&prefix=%80", {}, "/utf-b"},
      {"GET", "/?prefix=%FF", {}, "/"},
  };
  for (const row &w : rows) {
    SCOPED_TRACE(w.method + std::string(" ") + w.target);
    expect_error(req(w.method, w.target, w.headers), 400, "HTTP/1.1 400 Bad Request", "InvalidURI",
                 "Couldn't parse the specified URI.", w.resource);
  }
  EXPECT_EQ(req("HEAD", "/utf-b/%FF").status, 400);
  EXPECT_EQ(qt::read_file(root() + "/utf-b/\xff"), "on disk");
  expect_error(req("PUT", "/utf-b/copy", {"x-amz-copy-source: /utf-b/%FF"}), 400,
               "HTTP/1.1 400 Bad Request", "InvalidArgument", "Invalid copy source", "/utf-b/copy");
  EXPECT_FALSE(qt::file_exists(root() + "/utf-b/copy"));
  Response multi = req("POST", "/utf-b?delete", {},
                       "<Delete><Object><Key>ok</Key></Object><Object><Key>\xff</Key></Object></Delete>");
  EXPECT_EQ(multi.status, 400) << multi.raw;
  EXPECT_NE(multi.body.find("<Code>MalformedXML</Code>"), std::string::npos);
  EXPECT_TRUE(qt::file_exists(root() + "/utf-b/ok"));
  // UTF-8 beyond ASCII is a key like any other.
  EXPECT_EQ(req("PUT", "/utf-b/%C3%BC%F0%9F%98%80", {}, "x").status, 200);
  EXPECT_EQ(req("GET", "/utf-b?prefix=%C3%BC").status, 200);
  EXPECT_EQ(qt::read_file(root() + "/utf-b/\xc3\xbc\xf0\x9f\x98\x80"), "x");
}

}  // namespace
