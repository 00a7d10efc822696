// The bucket and object configurations this server keeps none of, answered as S3 answers for a
// bucket that never had them: a default document or the "no such configuration" error on GET,
// 204 on DELETE, 501 on PUT. The ACLs are the one owner's FULL_CONTROL.
#include <cstring>

#include "base/state.h"
#include "http/response.h"
#include "ops/ops.h"
#include "store/files.h"
#include "store/layout.h"

namespace {

constexpr char kXmlHead[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

// How one configuration answers a GET. With doc set, 200 with that document; otherwise the
// error. list_doc, when set, is the answer without an "id" parameter (the List operation of a
// configuration kept per id); with an id the configuration named is missing.
struct config_answer {
  const char *name;
  const char *doc;
  const char *list_doc;
  const char *code;
  const char *message;
};

constexpr char kNoSuchConfiguration[] = "NoSuchConfiguration";
constexpr char kNoSuchConfigurationText[] = "The specified configuration does not exist.";

// The store has one owner, the one the bucket listing names.
constexpr char kAcl[] =
    "<AccessControlPolicy xmlns=\"" S3_XMLNS "\"><Owner><ID>quillmarlocal</ID>"
    "<DisplayName>local</DisplayName></Owner><AccessControlList><Grant>"
    "<Grantee xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xsi:type=\"CanonicalUser\">"
    "<ID>quillmarlocal</ID><DisplayName>local</DisplayName></Grantee>"
    "<Permission>FULL_CONTROL</Permission></Grant></AccessControlList></AccessControlPolicy>\n";

const config_answer kConfigs[] = {
    {"accelerate", "<AccelerateConfiguration xmlns=\"" S3_XMLNS "\"/>\n", nullptr, nullptr, nullptr},
    {"acl", kAcl, nullptr, nullptr, nullptr},
    {"analytics", nullptr,
     "<ListBucketAnalyticsConfigurationResult xmlns=\"" S3_XMLNS
     "\"><IsTruncated>false</IsTruncated></ListBucketAnalyticsConfigurationResult>\n",
     kNoSuchConfiguration, kNoSuchConfigurationText},
    {"encryption",
     "<ServerSideEncryptionConfiguration xmlns=\"" S3_XMLNS
     "\"><Rule><ApplyServerSideEncryptionByDefault><SSEAlgorithm>AES256</SSEAlgorithm>"
     "</ApplyServerSideEncryptionByDefault><BucketKeyEnabled>false</BucketKeyEnabled></Rule>"
     "</ServerSideEncryptionConfiguration>\n",
     nullptr, nullptr, nullptr},
    {"intelligent-tiering", nullptr,
     "<ListBucketIntelligentTieringConfigurationsOutput xmlns=\"" S3_XMLNS
     "\"><IsTruncated>false</IsTruncated></ListBucketIntelligentTieringConfigurationsOutput>\n",
     kNoSuchConfiguration, kNoSuchConfigurationText},
    {"inventory", nullptr,
     "<ListInventoryConfigurationsResult xmlns=\"" S3_XMLNS
     "\"><IsTruncated>false</IsTruncated></ListInventoryConfigurationsResult>\n",
     kNoSuchConfiguration, kNoSuchConfigurationText},
    {"lifecycle", nullptr, nullptr, "NoSuchLifecycleConfiguration",
     "The lifecycle configuration does not exist"},
    {"logging", "<BucketLoggingStatus xmlns=\"" S3_XMLNS "\"/>\n", nullptr, nullptr, nullptr},
    {"metadataConfiguration", nullptr, nullptr, kNoSuchConfiguration, kNoSuchConfigurationText},
    {"metadataTable", nullptr, nullptr, kNoSuchConfiguration, kNoSuchConfigurationText},
    {"metrics", nullptr,
     "<ListMetricsConfigurationsResult xmlns=\"" S3_XMLNS
     "\"><IsTruncated>false</IsTruncated></ListMetricsConfigurationsResult>\n",
     kNoSuchConfiguration, kNoSuchConfigurationText},
    {"notification", "<NotificationConfiguration xmlns=\"" S3_XMLNS "\"/>\n", nullptr, nullptr,
     nullptr},
    {"object-lock", nullptr, nullptr, "ObjectLockConfigurationNotFoundError",
     "Object Lock configuration does not exist for this bucket"},
    {"ownershipControls", nullptr, nullptr, "OwnershipControlsNotFoundError",
     "The bucket ownership controls were not found"},
    {"policy", nullptr, nullptr, "NoSuchBucketPolicy", "The bucket policy does not exist"},
    {"policyStatus",
     "<PolicyStatus xmlns=\"" S3_XMLNS "\"><IsPublic>false</IsPublic></PolicyStatus>\n", nullptr,
     nullptr, nullptr},
    {"publicAccessBlock", nullptr, nullptr, "NoSuchPublicAccessBlockConfiguration",
     "The public access block configuration was not found"},
    {"replication", nullptr, nullptr, "ReplicationConfigurationNotFoundError",
     "The replication configuration was not found"},
    {"requestPayment",
     "<RequestPaymentConfiguration xmlns=\"" S3_XMLNS
     "\"><Payer>BucketOwner</Payer></RequestPaymentConfiguration>\n",
     nullptr, nullptr, nullptr},
    // A bucket that never had versioning has a configuration without a Status.
    {"versioning", "<VersioningConfiguration xmlns=\"" S3_XMLNS "\"/>\n", nullptr, nullptr,
     nullptr},
    {"website", nullptr, nullptr, "NoSuchWebsiteConfiguration",
     "The specified bucket does not have a website configuration"},
};

const config_answer *find_config(const char *name) {
  for (const config_answer &c : kConfigs)
    if (strcmp(c.name, name) == 0) return &c;
  return nullptr;
}

void send_doc(plat_sock s, S3Request *r, const char *body) {
  dynbuf_guard doc;
  dynbuf_append(&doc.b, kXmlHead, sizeof kXmlHead - 1);
  dynbuf_append(&doc.b, body, strlen(body));
  if (doc.b.failed) {
    answer_error(s, r, 500, "InternalError", "We encountered an internal error. Please try again.");
    return;
  }
  answer_xml(s, r, &doc.b, doc.b.len, 0);
}

// 1 when the object exists (a regular file under the key); otherwise answered 404 (or 400 for
// a key that names no file) and 0.
int object_exists_or_answer(plat_sock s, S3Request *r) {
  char path[S3_FS_PATH];
  if (object_path(r->bucket, r->key, path) != 0) {
    answer_key_too_long(s, r);
    return 0;
  }
  uint64_t size = 0;
  int64_t mtime = 0;
  int is_dir = 0;
  if (file_info(path, &size, &mtime, &is_dir) != 0 || is_dir) {
    answer_error(s, r, 404, "NoSuchKey", "The specified key does not exist");
    return 0;
  }
  return 1;
}

}  // namespace

const char *bucket_config_subresource(const char *query) {
  for (const config_answer &c : kConfigs)
    if (qhas(query, c.name)) return c.name;
  return nullptr;
}

void op_get_bucket_config(plat_sock s, S3Request *r, const char *name) {
  const config_answer *c = find_config(name);
  if (!c) {
    answer_not_implemented(s, r);
    return;
  }
  if (c->list_doc && !qhas(r->query, "id")) {
    send_doc(s, r, c->list_doc);
    return;
  }
  if (c->doc) {
    send_doc(s, r, c->doc);
    return;
  }
  answer_error(s, r, 404, c->code, c->message);
}

void op_delete_bucket_config(plat_sock s, S3Request *r) {
  // Nothing is kept, so nothing is removed; the bucket itself is never touched.
  count_request(0, 0);
  http_send_headers(s, &r->answer, 204, "", 0, 0);
}

void op_get_object_acl(plat_sock s, S3Request *r) {
  if (object_exists_or_answer(s, r)) send_doc(s, r, kAcl);
}

void op_put_object_acl(plat_sock s, S3Request *r) {
  // The one ACL every object has is "private": setting it again changes nothing. Any grant to
  // someone else would promise access this server does not give.
  owned_str canned(hdr_value(r->head, r->head_len, "x-amz-acl"));
  static const char *const grants[] = {"x-amz-grant-read", "x-amz-grant-write",
                                       "x-amz-grant-read-acp", "x-amz-grant-write-acp",
                                       "x-amz-grant-full-control"};
  int granted = 0;
  for (const char *g : grants) {
    owned_str v(hdr_value(r->head, r->head_len, g));
    if (v.p) granted = 1;
  }
  uint64_t body_len = 0;
  request_length(r, &body_len, nullptr);
  owned_str te(hdr_value(r->head, r->head_len, "Transfer-Encoding"));
  if (!canned.p || strcmp(canned.p, "private") != 0 || granted || body_len || te.p) {
    answer_not_implemented(s, r);
    return;
  }
  if (!object_exists_or_answer(s, r)) return;
  count_request(0, 0);
  http_send_headers(s, &r->answer, 200, "", 0, 1);
}
