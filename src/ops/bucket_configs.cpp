// The bucket configurations kept per bucket (encryption, public access block, ownership
// controls, policy, lifecycle, notification, website, logging, request payment): PUT checks and
// stores the document, GET answers it back (or the answer of a bucket without it), DELETE
// removes it. Of them only the policy's public read and the public access block that closes it
// change what a request may do; the others are kept and answered, not applied.
#include <cstdio>
#include <cstring>

#include "base/state.h"
#include "base/text.h"
#include "body/body.h"
#include "ops/bucket_policy.h"
#include "ops/config_xml.h"
#include "ops/ops.h"
#include "store/config_store.h"
#include "store/files.h"
#include "store/layout.h"
#include "store/names.h"

namespace {

const char *const kKept[] = {"encryption", "publicAccessBlock", "ownershipControls",
                             "policy",     "lifecycle",         "notification",
                             "website",    "logging",           "requestPayment",
                             "versioning"};

constexpr char kXmlHead[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

int bucket_dir_exists(const S3Request *r) {
  char dir[S3_FS_PATH];
  return object_path(r->bucket, nullptr, dir) == 0 && is_directory(dir);
}

// The stored document of name: 1 with it in *doc (owned by the guard), 0 none, -1 unreadable.
int load(const char *bucket, const char *name, owned_str *doc, size_t *len) {
  char *p = nullptr;
  int rc = bucket_config_load(bucket, name, &p, len);
  doc->p = p;
  return rc;
}

void answer_stored(plat_sock s, S3Request *r, const char *type, const char *head, const char *doc,
                   size_t len) {
  size_t head_len = strlen(head);
  count_request(head_len + len, 0);
  http_send_obj_headers(s, &r->answer, 200, type, head_len + len, nullptr);
  if (head_len) http_write_all(s, &r->answer, head, head_len);
  http_write_all(s, &r->answer, doc, len);
}

void answer_saved(plat_sock s, S3Request *r, size_t uploaded, int status) {
  clear_error();
  count_request(0, uploaded);
  http_send_headers(s, &r->answer, status, "", 0, status != 204);
}

// The public access block's switch of the bucket, 0 when it has none.
int block_set(const char *bucket, const char *flag) {
  owned_str doc;
  size_t len = 0;
  return load(bucket, "publicAccessBlock", &doc, &len) == 1 && config_flag_set(doc.p, len, flag);
}

// PutBucketPolicy: 204 once stored; a public policy under BlockPublicPolicy is refused.
void put_policy(plat_sock s, S3Request *r, const char *body, size_t len) {
  int is_public = 0;
  policy_verdict v = policy_check(r->bucket, body, len, &is_public);
  if (v.status) {
    set_error("malformed bucket policy: %s", v.message);
    answer_upload_error(s, r, len, v.status, v.code, v.message);
    return;
  }
  if (is_public && block_set(r->bucket, "BlockPublicPolicy")) {
    set_error("Access Denied: a public policy under BlockPublicPolicy");
    answer_upload_error(s, r, len, 403, "AccessDenied", "Access Denied");
    return;
  }
  if (bucket_config_save(r->bucket, "policy", body, len) != 0) {
    answer_upload_error(s, r, len, 500, "InternalError", "Failed to store the bucket policy");
    return;
  }
  answer_saved(s, r, len, 204);
}

// The XML configurations: 200 once stored in their checked form.
void put_xml(plat_sock s, S3Request *r, const char *name, const char *body, size_t len) {
  dynbuf_guard doc;
  config_verdict v = config_xml_normalize(name, body, len, &doc.b);
  if (v.status == 0 && doc.b.len > BUCKET_CONFIG_MAX) v = {400, "MalformedXML", MALFORMED_XML};
  char target[CONFIG_VALUE_MAX + 1];
  if (v.status == 0 && strcmp(name, "logging") == 0 &&
      config_value(doc.b.data, doc.b.len, "TargetBucket", target, sizeof target)) {
    char dir[S3_FS_PATH];
    if (!plain_bucket_name(target) || object_path(target, nullptr, dir) != 0 || !is_directory(dir))
      v = {400, "InvalidTargetBucketForLogging", "The target bucket for logging does not exist"};
  }
  int versioning = strcmp(name, "versioning") == 0;
  char word[16] = "";
  if (v.status == 0 && versioning &&
      config_value(doc.b.data, doc.b.len, "MfaDelete", word, sizeof word) &&
      strcmp(word, "Enabled") == 0)
    v = {501, "NotImplemented", "MFA Delete is not implemented"};
  if (v.status) {
    set_error("refused %s configuration: %s", name, v.code);
    answer_upload_error(s, r, len, v.status, v.code, v.message);
    return;
  }
  // A versioning document without a Status changes nothing: a bucket once versioned stays so.
  if (versioning && !config_value(doc.b.data, doc.b.len, "Status", word, sizeof word)) {
    answer_saved(s, r, len, 200);
    return;
  }
  if (bucket_config_save(r->bucket, name, doc.b.data, doc.b.len) != 0) {
    answer_upload_error(s, r, len, 500, "InternalError", "Failed to store the configuration");
    return;
  }
  answer_saved(s, r, len, 200);
}

}  // namespace

int bucket_config_kept(const char *name) {
  for (const char *k : kKept)
    if (strcmp(k, name) == 0) return 1;
  return 0;
}

void op_put_kept_config(plat_sock s, S3Request *r, stream_state *st, const char *name) {
  if (!bucket_dir_exists(r)) {
    answer_error(s, r, 404, "NoSuchBucket", "The specified bucket does not exist");
    return;
  }
  char *body = nullptr;
  size_t len = 0;
  upload_error err;
  if (read_whole_body(s, r, st, CONFIG_BODY_MAX, &body, &len, &err) != 0) {
    answer_upload_error(s, r, 0, err.status, err.code, err.message);
    return;
  }
  owned_str held(body);
  if (strcmp(name, "policy") == 0)
    put_policy(s, r, body, len);
  else
    put_xml(s, r, name, body, len);
}

void op_get_kept_config(plat_sock s, S3Request *r, const char *name) {
  owned_str doc;
  size_t len = 0;
  int rc = load(r->bucket, name, &doc, &len);
  if (rc == 0) {
    op_get_bucket_config(s, r, name);
  } else if (rc < 0) {
    set_error("cannot read the %s configuration of %s", name, r->bucket);
    answer_error(s, r, 500, "InternalError", "Failed to read the configuration");
  } else if (strcmp(name, "policy") == 0) {
    answer_stored(s, r, "application/json", "", doc.p, len);
  } else {
    answer_stored(s, r, "application/xml", kXmlHead, doc.p, len);
  }
}

void op_delete_kept_config(plat_sock s, S3Request *r, const char *name) {
  // Versioning is never removed, only suspended; a DELETE of it changes nothing.
  if (strcmp(name, "versioning") == 0) {
    count_request(0, 0);
    http_send_headers(s, &r->answer, 204, "", 0, 0);
    return;
  }
  if (bucket_config_remove(r->bucket, name) != 0) {
    set_error("cannot remove the %s configuration of %s", name, r->bucket);
    answer_error(s, r, 500, "InternalError", "Failed to remove the configuration");
    return;
  }
  count_request(0, 0);
  http_send_headers(s, &r->answer, 204, "", 0, 0);
}

void op_get_policy_status(plat_sock s, S3Request *r) {
  owned_str doc;
  size_t len = 0;
  int is_public = 0;
  if (load(r->bucket, "policy", &doc, &len) == 1) policy_check(r->bucket, doc.p, len, &is_public);
  char body[256];
  int n = snprintf(body, sizeof body,
                   "%s<PolicyStatus xmlns=\"%s\"><IsPublic>%s</IsPublic></PolicyStatus>\n",
                   kXmlHead, S3_XMLNS, is_public ? "true" : "false");
  answer_stored(s, r, "application/xml", "", body, (size_t)n);
}

int policy_opens(const char *bucket, const char *key) {
  if (!plain_bucket_name(bucket)) return 0;
  // RestrictPublicBuckets keeps everyone without credentials out, whatever the policy says.
  if (block_set(bucket, "RestrictPublicBuckets")) return 0;
  owned_str doc;
  size_t len = 0;
  if (load(bucket, "policy", &doc, &len) != 1) return 0;
  char resource[S3_KEY_FIELD + 96];
  int n = key ? snprintf(resource, sizeof resource, "arn:aws:s3:::%s/%s", bucket, key)
              : snprintf(resource, sizeof resource, "arn:aws:s3:::%s", bucket);
  if (n < 0 || (size_t)n >= sizeof resource) return 0;
  return policy_allows_anonymous(bucket, doc.p, len, key ? "s3:GetObject" : "s3:ListBucket",
                                 resource);
}
