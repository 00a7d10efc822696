// Bucket configurations kept per bucket over raw HTTP: each document stored, answered back in
// its stored form, removed, and gone with its bucket; the refusals of documents S3 refuses; and
// the public read a bucket policy opens to requests without credentials, with keys on.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "answers.h"
#include "harness.h"
#include "signer.h"

namespace {

using qa::expect_error;
using qt::Response;

const char kNs[] = " xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\"";
const char kMalformed[] = "The XML you provided was not well-formed or did not validate against our published schema.";

class BucketConfigs : public qa::SharedServer {
 protected:
  void make(const std::string &b) { ASSERT_EQ(req("PUT", "/" + b).status, 200); }
};

// Each configuration as a client sends it (blanks, a prolog, elements out of order) and the
// stored form GET answers with.
struct round_trip {
  const char *query;
  const char *sent;
  const char *stored;  // after "<?xml ...?>\n"
};

const round_trip kRoundTrips[] = {
    {"encryption",
     "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ServerSideEncryptionConfiguration>\n"
     "  <Rule><BucketKeyEnabled>true</BucketKeyEnabled>\n"
     "    <ApplyServerSideEncryptionByDefault><SSEAlgorithm>AES256</SSEAlgorithm>"
     "</ApplyServerSideEncryptionByDefault></Rule>\n</ServerSideEncryptionConfiguration>",
     "<ServerSideEncryptionConfiguration%s><Rule><ApplyServerSideEncryptionByDefault>"
     "<SSEAlgorithm>AES256</SSEAlgorithm></ApplyServerSideEncryptionByDefault>"
     "<BucketKeyEnabled>true</BucketKeyEnabled></Rule></ServerSideEncryptionConfiguration>"},
    // The switches left out are answered false, as S3 answers them.
    {"publicAccessBlock",
     "<PublicAccessBlockConfiguration xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">"
     "<RestrictPublicBuckets>true</RestrictPublicBuckets><BlockPublicAcls>true</BlockPublicAcls>"
     "</PublicAccessBlockConfiguration>",
     "<PublicAccessBlockConfiguration%s><BlockPublicAcls>true</BlockPublicAcls>"
     "<IgnorePublicAcls>false</IgnorePublicAcls><BlockPublicPolicy>false</BlockPublicPolicy>"
     "<RestrictPublicBuckets>true</RestrictPublicBuckets></PublicAccessBlockConfiguration>"},
    {"ownershipControls",
     "<OwnershipControls><Rule><ObjectOwnership>BucketOwnerEnforced</ObjectOwnership></Rule>"
     "</OwnershipControls>",
     "<OwnershipControls%s><Rule><ObjectOwnership>BucketOwnerEnforced</ObjectOwnership></Rule>"
     "</OwnershipControls>"},
    {"lifecycle",
     "<LifecycleConfiguration><Rule><Expiration><Days>30</Days></Expiration>"
     "<Filter><And><Prefix>logs &amp; more/</Prefix><Tag><Key>k</Key><Value>v</Value></Tag>"
     "</And></Filter><ID>r1</ID><Status>Enabled</Status></Rule>"
     "<Rule><ID>r2</ID><Prefix></Prefix><Status>Disabled</Status><AbortIncompleteMultipartUpload>"
     "<DaysAfterInitiation>7</DaysAfterInitiation></AbortIncompleteMultipartUpload></Rule>"
     "</LifecycleConfiguration>",
     "<LifecycleConfiguration%s><Rule><ID>r1</ID><Filter><And><Prefix>logs &amp; more/</Prefix>"
     "<Tag><Key>k</Key><Value>v</Value></Tag></And></Filter><Status>Enabled</Status>"
     "<Expiration><Days>30</Days></Expiration></Rule><Rule><ID>r2</ID><Prefix></Prefix>"
     "<Status>Disabled</Status><AbortIncompleteMultipartUpload><DaysAfterInitiation>7"
     "</DaysAfterInitiation></AbortIncompleteMultipartUpload></Rule></LifecycleConfiguration>"},
    {"notification",
     "<NotificationConfiguration><QueueConfiguration><Id>q</Id>"
     "<Queue>arn:aws:sqs:us-east-1:123456789012:q</Queue><Event>s3:ObjectCreated:*</Event>"
     "<Filter><S3Key><FilterRule><Name>suffix</Name><Value>.jpg</Value></FilterRule></S3Key>"
     "</Filter></QueueConfiguration><EventBridgeConfiguration/></NotificationConfiguration>",
     "<NotificationConfiguration%s><QueueConfiguration><Id>q</Id>"
     "<Queue>arn:aws:sqs:us-east-1:123456789012:q</Queue><Event>s3:ObjectCreated:*</Event>"
     "<Filter><S3Key><FilterRule><Name>suffix</Name><Value>.jpg</Value></FilterRule></S3Key>"
     "</Filter></QueueConfiguration><EventBridgeConfiguration></EventBridgeConfiguration>"
     "</NotificationConfiguration>"},
    {"website",
     "<WebsiteConfiguration><ErrorDocument><Key>404.html</Key></ErrorDocument>"
     "<IndexDocument><Suffix>index.html</Suffix></IndexDocument></WebsiteConfiguration>",
     "<WebsiteConfiguration%s><IndexDocument><Suffix>index.html</Suffix></IndexDocument>"
     "<ErrorDocument><Key>404.html</Key></ErrorDocument></WebsiteConfiguration>"},
    {"logging",
     "<BucketLoggingStatus><LoggingEnabled><TargetBucket>cfg-logs</TargetBucket>"
     "<TargetPrefix>access/</TargetPrefix></LoggingEnabled></BucketLoggingStatus>",
     "<BucketLoggingStatus%s><LoggingEnabled><TargetBucket>cfg-logs</TargetBucket>"
     "<TargetPrefix>access/</TargetPrefix></LoggingEnabled></BucketLoggingStatus>"},
    {"requestPayment", "<RequestPaymentConfiguration><Payer>Requester</Payer></RequestPaymentConfiguration>",
     "<RequestPaymentConfiguration%s><Payer>Requester</Payer></RequestPaymentConfiguration>"},
};

std::string stored_form(const char *pattern) {
  std::string s = pattern;
  s.replace(s.find("%s"), 2, kNs);
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + s;
}

TEST_F(BucketConfigs, EachIsStoredAnsweredRemovedAndGoesWithItsBucket) {
  make("cfg-keep");
  make("cfg-logs");
  for (const round_trip &t : kRoundTrips) {
    const std::string target = std::string("/cfg-keep?") + t.query;
    SCOPED_TRACE(target);
    Response before = req("GET", target);
    Response put = req("PUT", target, {}, t.sent);
    ASSERT_EQ(put.status, 200) << put.raw;
    EXPECT_EQ(put.body, "");
    Response got = req("GET", target);
    EXPECT_EQ(got.status, 200) << got.raw;
    EXPECT_EQ(got.header("Content-Type"), "application/xml");
    EXPECT_EQ(got.body, stored_form(t.stored));
    // A second PUT replaces the first; DELETE brings back the answer of a bucket without one.
    ASSERT_EQ(req("PUT", target, {}, t.sent).status, 200);
    EXPECT_EQ(req("DELETE", target).status, 204);
    Response after = req("GET", target);
    EXPECT_EQ(after.status, before.status);
    EXPECT_EQ(qa::mask(after.body), qa::mask(before.body));
    ASSERT_EQ(req("PUT", target, {}, t.sent).status, 200);
  }
  // A DeleteBucket that is refused keeps them; one that succeeds takes every configuration
  // with it, so a new bucket of the name has none.
  ASSERT_EQ(req("PUT", "/cfg-keep/obj", {}, "x").status, 200);
  EXPECT_EQ(req("DELETE", "/cfg-keep").status, 409);
  EXPECT_EQ(req("GET", "/cfg-keep?lifecycle").status, 200);
  ASSERT_EQ(req("DELETE", "/cfg-keep/obj").status, 204);
  ASSERT_EQ(req("DELETE", "/cfg-keep").status, 204);
  EXPECT_FALSE(qt::dir_exists(root() + "/.s3meta/.config/cfg-keep"));
  make("cfg-keep");
  EXPECT_EQ(req("GET", "/cfg-keep?lifecycle").status, 404);
  EXPECT_NE(req("GET", "/cfg-keep?encryption").body.find("<BucketKeyEnabled>false"), std::string::npos);
  // The bucket's objects and listing never saw any of it.
  Response list = req("GET", "/cfg-keep");
  EXPECT_EQ(list.body.find("<Contents>"), std::string::npos) << list.body;
}

TEST_F(BucketConfigs, DocumentsS3RefusesAreRefusedAndNothingIsStored) {
  make("cfg-bad");
  struct row {
    const char *query;
    const char *body;
    int status;
    const char *code;
    const char *message;  // null: S3's MalformedXML message
  } rows[] = {
      {"encryption", "", 400, "MalformedXML", nullptr},
      {"encryption", "<ServerSideEncryptionConfiguration/>", 400, "MalformedXML", nullptr},
      {"encryption",
       "<ServerSideEncryptionConfiguration><Rule><ApplyServerSideEncryptionByDefault>"
       "<SSEAlgorithm>DES</SSEAlgorithm></ApplyServerSideEncryptionByDefault></Rule>"
       "</ServerSideEncryptionConfiguration>",
       400, "MalformedXML", nullptr},
      {"encryption",
       "<ServerSideEncryptionConfiguration><Rule><ApplyServerSideEncryptionByDefault>"
       "<SSEAlgorithm>aws:kms</SSEAlgorithm><KMSMasterKeyID>k1</KMSMasterKeyID>"
       "</ApplyServerSideEncryptionByDefault></Rule></ServerSideEncryptionConfiguration>",
       501, "NotImplemented", "A header you provided implies functionality that is not implemented"},
      {"encryption",
       "<ServerSideEncryptionConfiguration><Rule><ApplyServerSideEncryptionByDefault>"
       "<SSEAlgorithm>AES256</SSEAlgorithm><KMSMasterKeyID>k1</KMSMasterKeyID>"
       "</ApplyServerSideEncryptionByDefault></Rule></ServerSideEncryptionConfiguration>",
       400, "InvalidArgument",
       "a KMSMasterKeyID is not applicable if the default sse algorithm is not aws:kms or "
       "aws:kms:dsse"},
      {"publicAccessBlock",
       "<PublicAccessBlockConfiguration><BlockPublicAcls>yes</BlockPublicAcls>"
       "</PublicAccessBlockConfiguration>",
       400, "MalformedXML", nullptr},
      // An element S3 does not know, one given twice, a wrong root, text beside elements.
      {"publicAccessBlock",
       "<PublicAccessBlockConfiguration><BlockEverything>true</BlockEverything>"
       "</PublicAccessBlockConfiguration>",
       400, "MalformedXML", nullptr},
      {"publicAccessBlock",
       "<PublicAccessBlockConfiguration><BlockPublicAcls>true</BlockPublicAcls>"
       "<BlockPublicAcls>true</BlockPublicAcls></PublicAccessBlockConfiguration>",
       400, "MalformedXML", nullptr},
      {"ownershipControls",
       "<OwnershipControl><Rule><ObjectOwnership>ObjectWriter</ObjectOwnership>"
       "</Rule></OwnershipControl>",
       400, "MalformedXML", nullptr},
      {"requestPayment", "<RequestPaymentConfiguration>payer<Payer>Requester</Payer></RequestPaymentConfiguration>",
       400, "MalformedXML", nullptr},
      {"requestPayment", "<RequestPaymentConfiguration><Payer>Requester\x01</Payer></RequestPaymentConfiguration>", 400,
       "MalformedXML", nullptr},
      {"lifecycle",
       "<LifecycleConfiguration><Rule><ID>a</ID><Status>Enabled</Status></Rule>"
       "</LifecycleConfiguration>",
       400, "InvalidRequest", "At least one action needs to be specified in a rule"},
      {"lifecycle",
       "<LifecycleConfiguration><Rule><ID>a</ID><Status>Enabled</Status><Expiration><Days>1</Days>"
       "</Expiration></Rule><Rule><ID>a</ID><Status>Enabled</Status><Expiration><Days>2</Days>"
       "</Expiration></Rule></LifecycleConfiguration>",
       400, "InvalidArgument", "Rule ID must be unique. Found same ID for more than one rule"},
      {"lifecycle",
       "<LifecycleConfiguration><Rule><Status>Enabled</Status><Expiration><Days>0</Days>"
       "</Expiration></Rule></LifecycleConfiguration>",
       400, "MalformedXML", nullptr},
      {"lifecycle",
       "<LifecycleConfiguration><Rule><Status>On</Status><Expiration><Days>3</Days>"
       "</Expiration></Rule></LifecycleConfiguration>",
       400, "MalformedXML", nullptr},
      {"website",
       "<WebsiteConfiguration><ErrorDocument><Key>e.html</Key></ErrorDocument>"
       "</WebsiteConfiguration>",
       400, "InvalidArgument", "A value for IndexDocument Suffix must be provided if RedirectAllRequestsTo is empty"},
      {"logging",
       "<BucketLoggingStatus><LoggingEnabled><TargetBucket>cfg-nowhere</TargetBucket>"
       "<TargetPrefix>p/</TargetPrefix></LoggingEnabled></BucketLoggingStatus>",
       400, "InvalidTargetBucketForLogging", "The target bucket for logging does not exist"},
      {"logging",
       "<BucketLoggingStatus><LoggingEnabled><TargetBucket>cfg-logs-and-a-name-longer-than-any-bucket-"
       "name-can-be-0123456789</TargetBucket><TargetPrefix>p/</TargetPrefix></LoggingEnabled>"
       "</BucketLoggingStatus>",
       400, "InvalidTargetBucketForLogging", "The target bucket for logging does not exist"},
      {"notification",
       "<NotificationConfiguration><TopicConfiguration><Topic>t</Topic><Event>ObjectCreated</Event>"
       "</TopicConfiguration></NotificationConfiguration>",
       400, "MalformedXML", nullptr},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(std::string(r.query) + ": " + r.body);
    const std::string target = std::string("/cfg-bad?") + r.query;
    Response before = req("GET", target);
    Response put = req("PUT", target, {}, r.body);
    std::string line = r.status == 501 ? "HTTP/1.1 501 Not Implemented" : "HTTP/1.1 400 Bad Request";
    expect_error(put, r.status, line, r.code, r.message ? r.message : kMalformed, "/cfg-bad");
    Response after = req("GET", target);
    EXPECT_EQ(qa::mask(after.body), qa::mask(before.body));
  }
  // A refused document leaves the one stored before it in place.
  const std::string good = "<RequestPaymentConfiguration><Payer>Requester</Payer></RequestPaymentConfiguration>";
  ASSERT_EQ(req("PUT", "/cfg-bad?requestPayment", {}, good).status, 200);
  EXPECT_EQ(req("PUT", "/cfg-bad?requestPayment", {}, "<RequestPaymentConfiguration/>").status, 400);
  EXPECT_NE(req("GET", "/cfg-bad?requestPayment").body.find("<Payer>Requester</Payer>"), std::string::npos);
  // A bucket that is not there keeps nothing and is never created.
  expect_error(req("PUT", "/cfg-none?requestPayment", {}, good), 404, "HTTP/1.1 404 Not Found", "NoSuchBucket",
               "The specified bucket does not exist", "/cfg-none");
  EXPECT_FALSE(qt::dir_exists(root() + "/cfg-none"));
}

// ---------------------------------------------------------------- policies

const char kPublicRead[] =
    "{\"Version\":\"2012-10-17\",\"Statement\":[{\"Sid\":\"PublicRead\",\"Effect\":\"Allow\","
    "\"Principal\":\"*\",\"Action\":\"s3:GetObject\",\"Resource\":\"arn:aws:s3:::%b/*\"}]}";

std::string with_bucket(std::string policy, const std::string &bucket) {
  for (size_t at; (at = policy.find("%b")) != std::string::npos;) policy.replace(at, 2, bucket);
  return policy;
}

TEST_F(BucketConfigs, PolicyIsCheckedStoredAndAnsweredAsSent) {
  make("pol-a");
  const std::string policy =
      "{\n  \"Version\": \"2012-10-17\",\n  \"Statement\": {\"Effect\": "
      "\"Deny\", \"Principal\": {\"AWS\": [\"123456789012\"]}, \"Action\": "
      "[\"s3:Delete*\"], \"Resource\": \"arn:aws:s3:::pol-a/*\", "
      "\"Condition\": {\"Bool\": {\"aws:SecureTransport\": false}}}\n}";
  Response put = req("PUT", "/pol-a?policy", {}, policy);
  EXPECT_EQ(put.status, 204) << put.raw;
  Response got = req("GET", "/pol-a?policy");
  EXPECT_EQ(got.status, 200);
  EXPECT_EQ(got.header("Content-Type"), "application/json");
  EXPECT_EQ(got.body, policy);
  EXPECT_NE(req("GET", "/pol-a?policyStatus").body.find("<IsPublic>false</IsPublic>"), std::string::npos);
  ASSERT_EQ(req("PUT", "/pol-a?policy", {}, with_bucket(kPublicRead, "pol-a")).status, 204);
  EXPECT_NE(req("GET", "/pol-a?policyStatus").body.find("<IsPublic>true</IsPublic>"), std::string::npos);
  EXPECT_EQ(req("DELETE", "/pol-a?policy").status, 204);
  expect_error(req("GET", "/pol-a?policy"), 404, "HTTP/1.1 404 Not Found", "NoSuchBucketPolicy",
               "The bucket policy does not exist", "/pol-a");

  struct row {
    std::string policy;
    const char *message;
  } rows[] = {
      {"", "Policies must be valid JSON and the first byte must be '{'"},
      {"[{}]", "Policies must be valid JSON and the first byte must be '{'"},
      {"{\"Version\":\"2012-10-17\",\"Statement\":[}", "This policy contains invalid Json"},
      {"{\"Version\":\"2012-10-17\"} x", "This policy contains invalid Json"},
      {"{\"Version\":\"2012-10-17\"}", "Missing required field Statement"},
      {"{\"Statement\":[]}", "Could not parse the policy: Statement is empty!"},
      {"{\"Version\":\"2012-10-17\",\"Statment\":[]}", "Unknown field Statment"},
      {"{\"Version\":\"2001-01-01\",\"Statement\":[]}", "Invalid policy version"},
      {"{\"Statement\":[{\"Principal\":\"*\",\"Action\":\"s3:GetObject\",\"Resource\":\"*\"}]}",
       "Missing required field Effect"},
      {"{\"Statement\":[{\"Effect\":\"Permit\",\"Principal\":\"*\",\"Action\":\"s3:GetObject\","
       "\"Resource\":\"*\"}]}",
       "Invalid effect: Permit"},
      {"{\"Statement\":[{\"Effect\":\"Allow\",\"Action\":\"s3:GetObject\",\"Resource\":\"*\"}]}",
       "Missing required field Principal"},
      {"{\"Statement\":[{\"Effect\":\"Allow\",\"Principal\":\"*\",\"Resource\":\"*\"}]}",
       "Missing required field Action"},
      {"{\"Statement\":[{\"Effect\":\"Allow\",\"Principal\":\"*\",\"Action\":\"s3:GetObject\"}]}",
       "Missing required field Resource"},
      {"{\"Statement\":[{\"Effect\":\"Allow\",\"Principal\":\"someone\",\"Action\":\"s3:GetObject\","
       "\"Resource\":\"*\"}]}",
       "Invalid principal in policy"},
      {"{\"Statement\":[{\"Effect\":\"Allow\",\"Principal\":{\"AWS\":\"bob\"},\"Action\":"
       "\"s3:GetObject\",\"Resource\":\"*\"}]}",
       "Invalid principal in policy"},
      {"{\"Statement\":[{\"Effect\":\"Allow\",\"Principal\":\"*\",\"Action\":\"ec2:RunInstances\","
       "\"Resource\":\"*\"}]}",
       "Policy has invalid action"},
      {"{\"Statement\":[{\"Effect\":\"Allow\",\"Principal\":\"*\",\"Action\":\"s3:GetObject\","
       "\"Resource\":\"arn:aws:s3:::other-bucket/*\"}]}",
       "Policy has invalid resource"},
      {"{\"Statement\":[{\"Effect\":\"Allow\",\"Principal\":\"*\",\"Action\":\"s3:GetObject\","
       "\"Resource\":\"arn:aws:s3:::pol-a\"}]}",
       "Action does not apply to any resource(s) in statement"},
      {"{\"Statement\":[{\"Effect\":\"Allow\",\"Principal\":\"*\",\"Action\":\"s3:ListBucket\","
       "\"Resource\":\"arn:aws:s3:::pol-a/*\"}]}",
       "Action does not apply to any resource(s) in statement"},
      // A field name that is not plain text is named by its plain characters only.
      {"{\"Statement\":[{\"<b>\":1}]}", "Unknown field b"},
      // A NUL ends no document early: what follows it is still read.
      {std::string("{\"Statement\":{\"Effect\":\"Allow\",\"Principal\":\"*\",\"Action\":"
                   "\"s3:GetObject\",\"Resource\":\"*\"}}\0junk",
                   92),
       "This policy contains invalid Json"},
      {"{\"Statement\":[]," + std::string(20480, ' ') + "}", "Policy exceeds the maximum allowed document size."},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.policy.substr(0, 200));
    expect_error(req("PUT", "/pol-a?policy", {}, r.policy), 400, "HTTP/1.1 400 Bad Request", "MalformedPolicy",
                 r.message, "/pol-a");
  }
  EXPECT_EQ(req("GET", "/pol-a?policy").status, 404);
}

// With keys on: what a policy opens to requests that carry no credentials.
constexpr char kAccess[] = "AKIDPUBLICREAD000001";
constexpr char kSecret[] = "publicReadSecret/abcdefghijklmnopqrstuvw";

class PublicBuckets : public ::testing::Test {
 protected:
  static qt::Server *server;
  static void SetUpTestSuite() { server = new qt::Server(kAccess, kSecret); }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
  }
  static std::string host() { return "127.0.0.1:" + std::to_string(server->port); }
  static Response signed_req(const std::string &method, const std::string &target, const std::string &body = "") {
    return qt::send_raw(server->port,
                        qt::sign_request(qt::client_signed(host(), kAccess, kSecret, method, target, body)));
  }
  static Response anon(const std::string &method, const std::string &target,
                       const std::vector<std::string> &headers = {}) {
    return qt::request(server->port, method, target, headers);
  }
  static void bucket_with(const std::string &b, const std::vector<std::string> &keys) {
    ASSERT_EQ(signed_req("PUT", "/" + b).status, 200);
    for (const std::string &k : keys) ASSERT_EQ(signed_req("PUT", "/" + b + "/" + k, k).status, 200);
  }
  static void set_policy(const std::string &b, const std::string &policy) {
    Response r = signed_req("PUT", "/" + b + "?policy", with_bucket(policy, b));
    ASSERT_EQ(r.status, 204) << r.raw;
  }
};
qt::Server *PublicBuckets::server = nullptr;

TEST_F(PublicBuckets, PublicReadOpensGetAndHeadOfObjectsOnly) {
  bucket_with("pub-a", {"img/cat.png", "notes.txt"});
  expect_error(anon("GET", "/pub-a/img/cat.png"), 403, "HTTP/1.1 403 Forbidden", "AccessDenied", "Access Denied",
               "/pub-a/img/cat.png");
  set_policy("pub-a", kPublicRead);
  Response get = anon("GET", "/pub-a/img/cat.png");
  EXPECT_EQ(get.status, 200) << get.raw;
  EXPECT_EQ(get.body, "img/cat.png");
  EXPECT_EQ(anon("HEAD", "/pub-a/notes.txt").status, 200);
  EXPECT_EQ(anon("GET", "/pub-a/notes.txt", {"Range: bytes=0-2"}).body, "not");
  // Everything else stays closed: writes, deletes, sub-resources, the listing, the bucket's
  // configurations, other buckets, and the service.
  struct row {
    const char *method;
    const char *target;
  } closed[] = {
      {"PUT", "/pub-a/new.txt"},
      {"DELETE", "/pub-a/notes.txt"},
      {"GET", "/pub-a/notes.txt?acl"},
      {"GET", "/pub-a/notes.txt?tagging"},
      {"GET", "/pub-a"},
      {"HEAD", "/pub-a"},
      {"GET", "/pub-a?policy"},
      {"DELETE", "/pub-a?policy"},
      {"GET", "/pub-a?list-type=2"},
      {"GET", "/pub-a?uploads"},
      {"POST", "/pub-a/notes.txt?uploads"},
      {"GET", "/pub-a/notes.txt?versionId=null"},
      {"GET", "/"},
      {"DELETE", "/pub-a"},
  };
  for (const row &c : closed) {
    SCOPED_TRACE(std::string(c.method) + " " + c.target);
    EXPECT_EQ(anon(c.method, c.target).status, 403);
  }
  EXPECT_EQ(signed_req("GET", "/pub-a/notes.txt").body, "notes.txt");
  // A signature that does not check is refused even where everyone may read.
  qt::SignedRequest wrong = qt::client_signed(host(), kAccess, "not-the-secret", "GET", "/pub-a/notes.txt");
  EXPECT_EQ(qt::send_raw(server->port, qt::sign_request(wrong)).status, 403);
  // Without s3:ListBucket a missing key is refused, so nobody learns which keys are absent.
  EXPECT_EQ(anon("GET", "/pub-a/absent").status, 403);
  EXPECT_EQ(signed_req("GET", "/pub-a/absent").status, 404);
}

TEST_F(PublicBuckets, ListBucketOpensTheListingAndHeadBucket) {
  bucket_with("pub-l", {"a.txt"});
  set_policy("pub-l",
             "{\"Statement\":[{\"Effect\":\"Allow\",\"Principal\":{\"AWS\":[\"*\"]},\"Action\":"
             "[\"s3:GetObject\",\"s3:ListBucket\"],\"Resource\":[\"arn:aws:s3:::%b\","
             "\"arn:aws:s3:::%b/*\"]}]}");
  Response list = anon("GET", "/pub-l?list-type=2");
  EXPECT_EQ(list.status, 200) << list.raw;
  EXPECT_NE(list.body.find("<Key>a.txt</Key>"), std::string::npos);
  EXPECT_EQ(anon("HEAD", "/pub-l").status, 200);
  // Whoever may list may learn that a key is missing.
  EXPECT_EQ(anon("GET", "/pub-l/absent").status, 404);
  EXPECT_EQ(anon("GET", "/pub-l?versions").status, 403);
  EXPECT_EQ(anon("GET", "/pub-l?cors").status, 403);
}

// Which statements open which keys: wildcards on resources and actions, the forms that are kept
// but not applied, and Deny.
TEST_F(PublicBuckets, StatementsAndResourcePatterns) {
  bucket_with("pub-m", {"img/a.png", "img/sub/b.png", "img.png", "doc/c.txt", "Img/d.png"});
  auto statement = [](const std::string &fields) {
    return "{\"Version\":\"2012-10-17\",\"Statement\":[{\"Effect\":\"Allow\",\"Principal\":\"*\"," + fields + "}]}";
  };
  const std::string get_on = "\"Action\":\"s3:GetObject\",\"Resource\":";
  struct row {
    std::string policy;
    const char *key;
    int status;
  } rows[] = {
      {statement(get_on + "\"arn:aws:s3:::%b/img/*\""), "img/a.png", 200},
      {statement(get_on + "\"arn:aws:s3:::%b/img/*\""), "img/sub/b.png", 200},
      {statement(get_on + "\"arn:aws:s3:::%b/img/*\""), "img.png", 403},
      {statement(get_on + "\"arn:aws:s3:::%b/img/*\""), "Img/d.png", 403},  // case counts
      {statement(get_on + "\"arn:aws:s3:::%b/img?png\""), "img.png", 200},
      {statement(get_on + "\"arn:aws:s3:::%b/*.png\""), "img/sub/b.png", 200},
      {statement(get_on + "\"arn:aws:s3:::%b/*.png\""), "doc/c.txt", 403},
      {statement(get_on + "[\"arn:aws:s3:::%b/doc/c.txt\",\"arn:aws:s3:::%b/img.png\"]"), "img.png", 200},
      {statement(get_on + "\"arn:aws:s3:::pub-*/*\""), "doc/c.txt", 200},
      {statement(get_on + "\"*\""), "doc/c.txt", 200},
      {statement("\"Action\":\"s3:get*\",\"Resource\":\"arn:aws:s3:::%b/*\""), "doc/c.txt", 200},
      {statement("\"Action\":\"s3:*\",\"Resource\":\"arn:aws:s3:::%b/*\""), "doc/c.txt", 200},
      {statement("\"Action\":\"s3:PutObject\",\"Resource\":\"arn:aws:s3:::%b/*\""), "doc/c.txt", 403},
      // Kept, not applied: conditions, the Not- forms, principals other than everyone.
      {statement(get_on + "\"arn:aws:s3:::%b/*\",\"Condition\":{\"IpAddress\":{\"aws:SourceIp\":"
                          "\"127.0.0.0/8\"}}"),
       "doc/c.txt", 403},
      {statement("\"NotAction\":\"s3:PutObject\",\"Resource\":\"arn:aws:s3:::%b/*\""), "doc/c.txt", 403},
      {statement("\"Action\":\"s3:GetObject\",\"NotResource\":\"arn:aws:s3:::%b/img/*\""), "doc/c.txt", 403},
      {"{\"Statement\":[{\"Effect\":\"Allow\",\"Principal\":{\"AWS\":\"arn:aws:iam::123456789012:root\"},"
       "\"Action\":\"s3:GetObject\",\"Resource\":\"arn:aws:s3:::%b/*\"}]}",
       "doc/c.txt", 403},
      // A Deny to everyone wins over the Allow, even with a condition this server does not read.
      {"{\"Statement\":[{\"Effect\":\"Allow\",\"Principal\":\"*\",\"Action\":\"s3:GetObject\","
       "\"Resource\":\"arn:aws:s3:::%b/*\"},{\"Effect\":\"Deny\",\"Principal\":\"*\",\"Action\":"
       "\"s3:GetObject\",\"Resource\":\"arn:aws:s3:::%b/doc/*\",\"Condition\":{\"Bool\":"
       "{\"aws:SecureTransport\":\"false\"}}}]}",
       "doc/c.txt", 403},
      {"{\"Statement\":[{\"Effect\":\"Allow\",\"Principal\":\"*\",\"Action\":\"s3:GetObject\","
       "\"Resource\":\"arn:aws:s3:::%b/*\"},{\"Effect\":\"Deny\",\"Principal\":\"*\",\"Action\":"
       "\"s3:GetObject\",\"Resource\":\"arn:aws:s3:::%b/doc/*\"}]}",
       "img.png", 200},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.policy + " " + r.key);
    set_policy("pub-m", r.policy);
    EXPECT_EQ(anon("GET", std::string("/pub-m/") + r.key).status, r.status);
  }
}

TEST_F(PublicBuckets, PublicAccessBlockClosesAndRefuses) {
  bucket_with("pub-b", {"a.txt"});
  set_policy("pub-b", kPublicRead);
  ASSERT_EQ(anon("GET", "/pub-b/a.txt").status, 200);
  auto block = [](const char *flag) {
    return std::string("<PublicAccessBlockConfiguration><") + flag + ">true</" + flag +
           "></PublicAccessBlockConfiguration>";
  };
  // RestrictPublicBuckets closes the bucket while it is set.
  ASSERT_EQ(signed_req("PUT", "/pub-b?publicAccessBlock", block("RestrictPublicBuckets")).status, 200);
  EXPECT_EQ(anon("GET", "/pub-b/a.txt").status, 403);
  ASSERT_EQ(signed_req("DELETE", "/pub-b?publicAccessBlock").status, 204);
  EXPECT_EQ(anon("GET", "/pub-b/a.txt").status, 200);
  // BlockPublicPolicy refuses a new public policy; one that opens nothing is still taken.
  ASSERT_EQ(signed_req("DELETE", "/pub-b?policy").status, 204);
  ASSERT_EQ(signed_req("PUT", "/pub-b?publicAccessBlock", block("BlockPublicPolicy")).status, 200);
  Response refused = signed_req("PUT", "/pub-b?policy", with_bucket(kPublicRead, "pub-b"));
  expect_error(refused, 403, "HTTP/1.1 403 Forbidden", "AccessDenied", "Access Denied", "/pub-b");
  EXPECT_EQ(anon("GET", "/pub-b/a.txt").status, 403);
  set_policy("pub-b",
             "{\"Statement\":{\"Effect\":\"Deny\",\"Principal\":\"*\",\"Action\":\"s3:DeleteObject\","
             "\"Resource\":\"arn:aws:s3:::%b/*\"}}");
}

TEST_F(PublicBuckets, CorsAppliesToPublicReads) {
  bucket_with("pub-c", {"pic.png"});
  set_policy("pub-c", kPublicRead);
  Response cors = signed_req("PUT", "/pub-c?cors",
                             "<CORSConfiguration><CORSRule><AllowedOrigin>http://page.test</AllowedOrigin>"
                             "<AllowedMethod>GET</AllowedMethod></CORSRule></CORSConfiguration>");
  ASSERT_EQ(cors.status, 200) << cors.raw;
  Response got = anon("GET", "/pub-c/pic.png", {"Origin: http://page.test"});
  EXPECT_EQ(got.status, 200);
  EXPECT_EQ(got.header("Access-Control-Allow-Origin"), "http://page.test");
  Response other = anon("GET", "/pub-c/pic.png", {"Origin: http://elsewhere.test"});
  EXPECT_EQ(other.status, 200);
  EXPECT_EQ(other.header("Access-Control-Allow-Origin"), "");
}

}  // namespace
