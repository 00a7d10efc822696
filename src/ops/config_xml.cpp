// The shapes of the XML bucket configurations this server keeps, as tables of elements, and
// the one reader that checks a document against its table and writes its stored form. Every
// level is read with the bounded element reader; the tables are a few levels deep, so the
// reading depth is bounded by them and never by the document.
#include "ops/config_xml.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/text.h"
#include "ops/ops.h"

namespace {

enum value_kind : uint8_t {
  K_NODE,   // elements only
  K_TEXT,   // any text
  K_BOOL,   // true or false
  K_ENUM,   // one of the listed words
  K_COUNT,  // a whole number, 0 or more
  K_DAYS,   // a whole number, 1 or more
  K_EVENT,  // an event name, "s3:..."
};

struct xml_rule {
  const char *name;  // null ends a table
  value_kind kind;
  uint16_t min, max;         // how often it stands in its parent
  const xml_rule *children;  // K_NODE: its own table (null: an empty element)
  const char *const *words;  // K_ENUM: the words, null-terminated
  const char *fallback;      // written when absent
};

constexpr uint16_t MANY = 1000;
constexpr size_t RULES_MAX = 16;  // elements in one table

// ---------------------------------------------------------------- encryption
const char *const kAlgorithms[] = {"AES256", "aws:kms", "aws:kms:dsse", nullptr};
const xml_rule kSseDefault[] = {{"SSEAlgorithm", K_ENUM, 1, 1, nullptr, kAlgorithms, nullptr},
                                {"KMSMasterKeyID", K_TEXT, 0, 1, nullptr, nullptr, nullptr},
                                {}};
const xml_rule kSseRule[] = {
    {"ApplyServerSideEncryptionByDefault", K_NODE, 0, 1, kSseDefault, nullptr, nullptr},
    {"BucketKeyEnabled", K_BOOL, 0, 1, nullptr, nullptr, nullptr},
    {}};
const xml_rule kSseRoot[] = {{"Rule", K_NODE, 1, 10, kSseRule, nullptr, nullptr}, {}};

// ---------------------------------------------------------------- public access block
const xml_rule kPabRoot[] = {{"BlockPublicAcls", K_BOOL, 0, 1, nullptr, nullptr, "false"},
                             {"IgnorePublicAcls", K_BOOL, 0, 1, nullptr, nullptr, "false"},
                             {"BlockPublicPolicy", K_BOOL, 0, 1, nullptr, nullptr, "false"},
                             {"RestrictPublicBuckets", K_BOOL, 0, 1, nullptr, nullptr, "false"},
                             {}};

// ---------------------------------------------------------------- ownership controls
const char *const kOwnerships[] = {"BucketOwnerPreferred", "ObjectWriter", "BucketOwnerEnforced",
                                   nullptr};
const xml_rule kOwnRule[] = {{"ObjectOwnership", K_ENUM, 1, 1, nullptr, kOwnerships, nullptr}, {}};
const xml_rule kOwnRoot[] = {{"Rule", K_NODE, 1, 1, kOwnRule, nullptr, nullptr}, {}};

// ---------------------------------------------------------------- request payment
const char *const kPayers[] = {"Requester", "BucketOwner", nullptr};
const xml_rule kPayRoot[] = {{"Payer", K_ENUM, 1, 1, nullptr, kPayers, nullptr}, {}};

// ---------------------------------------------------------------- versioning
const char *const kVersioningStates[] = {"Enabled", "Suspended", nullptr};
const char *const kMfaStates[] = {"Enabled", "Disabled", nullptr};
const xml_rule kVersioningRoot[] = {
    {"Status", K_ENUM, 0, 1, nullptr, kVersioningStates, nullptr},
    {"MfaDelete", K_ENUM, 0, 1, nullptr, kMfaStates, nullptr},
    {}};

// ---------------------------------------------------------------- logging
const char *const kPermissions[] = {"FULL_CONTROL", "READ", "WRITE", nullptr};
const char *const kDateSources[] = {"EventTime", "DeliveryTime", nullptr};
const xml_rule kGrantee[] = {{"ID", K_TEXT, 0, 1, nullptr, nullptr, nullptr},
                             {"DisplayName", K_TEXT, 0, 1, nullptr, nullptr, nullptr},
                             {"EmailAddress", K_TEXT, 0, 1, nullptr, nullptr, nullptr},
                             {"URI", K_TEXT, 0, 1, nullptr, nullptr, nullptr},
                             {}};
const xml_rule kGrant[] = {{"Grantee", K_NODE, 0, 1, kGrantee, nullptr, nullptr},
                           {"Permission", K_ENUM, 0, 1, nullptr, kPermissions, nullptr},
                           {}};
const xml_rule kGrants[] = {{"Grant", K_NODE, 0, 100, kGrant, nullptr, nullptr}, {}};
const xml_rule kPartitioned[] = {
    {"PartitionDateSource", K_ENUM, 0, 1, nullptr, kDateSources, nullptr}, {}};
const xml_rule kKeyFormat[] = {{"SimplePrefix", K_NODE, 0, 1, nullptr, nullptr, nullptr},
                               {"PartitionedPrefix", K_NODE, 0, 1, kPartitioned, nullptr, nullptr},
                               {}};
const xml_rule kLoggingEnabled[] = {
    {"TargetBucket", K_TEXT, 1, 1, nullptr, nullptr, nullptr},
    {"TargetGrants", K_NODE, 0, 1, kGrants, nullptr, nullptr},
    {"TargetPrefix", K_TEXT, 1, 1, nullptr, nullptr, nullptr},
    {"TargetObjectKeyFormat", K_NODE, 0, 1, kKeyFormat, nullptr, nullptr},
    {}};
const xml_rule kLogRoot[] = {{"LoggingEnabled", K_NODE, 0, 1, kLoggingEnabled, nullptr, nullptr},
                             {}};

// ---------------------------------------------------------------- notification
const char *const kFilterNames[] = {"prefix", "suffix", "Prefix", "Suffix", nullptr};
const xml_rule kFilterRule[] = {{"Name", K_ENUM, 1, 1, nullptr, kFilterNames, nullptr},
                                {"Value", K_TEXT, 1, 1, nullptr, nullptr, nullptr},
                                {}};
const xml_rule kS3Key[] = {{"FilterRule", K_NODE, 0, 10, kFilterRule, nullptr, nullptr}, {}};
const xml_rule kEventFilter[] = {{"S3Key", K_NODE, 0, 1, kS3Key, nullptr, nullptr}, {}};
const xml_rule kTopic[] = {{"Id", K_TEXT, 0, 1, nullptr, nullptr, nullptr},
                           {"Topic", K_TEXT, 1, 1, nullptr, nullptr, nullptr},
                           {"Event", K_EVENT, 1, 100, nullptr, nullptr, nullptr},
                           {"Filter", K_NODE, 0, 1, kEventFilter, nullptr, nullptr},
                           {}};
const xml_rule kQueue[] = {{"Id", K_TEXT, 0, 1, nullptr, nullptr, nullptr},
                           {"Queue", K_TEXT, 1, 1, nullptr, nullptr, nullptr},
                           {"Event", K_EVENT, 1, 100, nullptr, nullptr, nullptr},
                           {"Filter", K_NODE, 0, 1, kEventFilter, nullptr, nullptr},
                           {}};
const xml_rule kFunction[] = {{"Id", K_TEXT, 0, 1, nullptr, nullptr, nullptr},
                              {"CloudFunction", K_TEXT, 1, 1, nullptr, nullptr, nullptr},
                              {"InvocationRole", K_TEXT, 0, 1, nullptr, nullptr, nullptr},
                              {"Event", K_EVENT, 1, 100, nullptr, nullptr, nullptr},
                              {"Filter", K_NODE, 0, 1, kEventFilter, nullptr, nullptr},
                              {}};
const xml_rule kNotifyRoot[] = {
    {"TopicConfiguration", K_NODE, 0, MANY, kTopic, nullptr, nullptr},
    {"QueueConfiguration", K_NODE, 0, MANY, kQueue, nullptr, nullptr},
    {"CloudFunctionConfiguration", K_NODE, 0, MANY, kFunction, nullptr, nullptr},
    {"EventBridgeConfiguration", K_NODE, 0, 1, nullptr, nullptr, nullptr},
    {}};

// ---------------------------------------------------------------- website
const char *const kProtocols[] = {"http", "https", nullptr};
const xml_rule kErrorDoc[] = {{"Key", K_TEXT, 1, 1, nullptr, nullptr, nullptr}, {}};
const xml_rule kIndexDoc[] = {{"Suffix", K_TEXT, 1, 1, nullptr, nullptr, nullptr}, {}};
const xml_rule kRedirectAll[] = {{"HostName", K_TEXT, 1, 1, nullptr, nullptr, nullptr},
                                 {"Protocol", K_ENUM, 0, 1, nullptr, kProtocols, nullptr},
                                 {}};
const xml_rule kCondition[] = {
    {"HttpErrorCodeReturnedEquals", K_COUNT, 0, 1, nullptr, nullptr, nullptr},
    {"KeyPrefixEquals", K_TEXT, 0, 1, nullptr, nullptr, nullptr},
    {}};
const xml_rule kRedirect[] = {{"HostName", K_TEXT, 0, 1, nullptr, nullptr, nullptr},
                              {"HttpRedirectCode", K_COUNT, 0, 1, nullptr, nullptr, nullptr},
                              {"Protocol", K_ENUM, 0, 1, nullptr, kProtocols, nullptr},
                              {"ReplaceKeyPrefixWith", K_TEXT, 0, 1, nullptr, nullptr, nullptr},
                              {"ReplaceKeyWith", K_TEXT, 0, 1, nullptr, nullptr, nullptr},
                              {}};
const xml_rule kRoutingRule[] = {{"Condition", K_NODE, 0, 1, kCondition, nullptr, nullptr},
                                 {"Redirect", K_NODE, 1, 1, kRedirect, nullptr, nullptr},
                                 {}};
const xml_rule kRoutingRules[] = {{"RoutingRule", K_NODE, 1, 50, kRoutingRule, nullptr, nullptr},
                                  {}};
const xml_rule kWebRoot[] = {
    {"RedirectAllRequestsTo", K_NODE, 0, 1, kRedirectAll, nullptr, nullptr},
    {"IndexDocument", K_NODE, 0, 1, kIndexDoc, nullptr, nullptr},
    {"ErrorDocument", K_NODE, 0, 1, kErrorDoc, nullptr, nullptr},
    {"RoutingRules", K_NODE, 0, 1, kRoutingRules, nullptr, nullptr},
    {}};

// ---------------------------------------------------------------- lifecycle
const char *const kStatuses[] = {"Enabled", "Disabled", nullptr};
const char *const kClasses[] = {"GLACIER",      "STANDARD_IA", "ONEZONE_IA", "INTELLIGENT_TIERING",
                                "DEEP_ARCHIVE", "GLACIER_IR",  nullptr};
const xml_rule kTag[] = {{"Key", K_TEXT, 1, 1, nullptr, nullptr, nullptr},
                         {"Value", K_TEXT, 1, 1, nullptr, nullptr, nullptr},
                         {}};
const xml_rule kAnd[] = {{"Prefix", K_TEXT, 0, 1, nullptr, nullptr, nullptr},
                         {"Tag", K_NODE, 0, 10, kTag, nullptr, nullptr},
                         {"ObjectSizeGreaterThan", K_COUNT, 0, 1, nullptr, nullptr, nullptr},
                         {"ObjectSizeLessThan", K_COUNT, 0, 1, nullptr, nullptr, nullptr},
                         {}};
const xml_rule kLcFilter[] = {{"Prefix", K_TEXT, 0, 1, nullptr, nullptr, nullptr},
                              {"Tag", K_NODE, 0, 1, kTag, nullptr, nullptr},
                              {"ObjectSizeGreaterThan", K_COUNT, 0, 1, nullptr, nullptr, nullptr},
                              {"ObjectSizeLessThan", K_COUNT, 0, 1, nullptr, nullptr, nullptr},
                              {"And", K_NODE, 0, 1, kAnd, nullptr, nullptr},
                              {}};
const xml_rule kExpiration[] = {
    {"Date", K_TEXT, 0, 1, nullptr, nullptr, nullptr},
    {"Days", K_DAYS, 0, 1, nullptr, nullptr, nullptr},
    {"ExpiredObjectDeleteMarker", K_BOOL, 0, 1, nullptr, nullptr, nullptr},
    {}};
const xml_rule kTransition[] = {{"Date", K_TEXT, 0, 1, nullptr, nullptr, nullptr},
                                {"Days", K_COUNT, 0, 1, nullptr, nullptr, nullptr},
                                {"StorageClass", K_ENUM, 1, 1, nullptr, kClasses, nullptr},
                                {}};
const xml_rule kNcTransition[] = {
    {"NoncurrentDays", K_COUNT, 0, 1, nullptr, nullptr, nullptr},
    {"StorageClass", K_ENUM, 1, 1, nullptr, kClasses, nullptr},
    {"NewerNoncurrentVersions", K_DAYS, 0, 1, nullptr, nullptr, nullptr},
    {}};
const xml_rule kNcExpiration[] = {
    {"NoncurrentDays", K_DAYS, 0, 1, nullptr, nullptr, nullptr},
    {"NewerNoncurrentVersions", K_DAYS, 0, 1, nullptr, nullptr, nullptr},
    {}};
const xml_rule kAbort[] = {{"DaysAfterInitiation", K_DAYS, 1, 1, nullptr, nullptr, nullptr}, {}};
const xml_rule kLcRule[] = {
    {"ID", K_TEXT, 0, 1, nullptr, nullptr, nullptr},
    {"Filter", K_NODE, 0, 1, kLcFilter, nullptr, nullptr},
    {"Prefix", K_TEXT, 0, 1, nullptr, nullptr, nullptr},
    {"Status", K_ENUM, 1, 1, nullptr, kStatuses, nullptr},
    {"Transition", K_NODE, 0, 10, kTransition, nullptr, nullptr},
    {"Expiration", K_NODE, 0, 1, kExpiration, nullptr, nullptr},
    {"NoncurrentVersionTransition", K_NODE, 0, 10, kNcTransition, nullptr, nullptr},
    {"NoncurrentVersionExpiration", K_NODE, 0, 1, kNcExpiration, nullptr, nullptr},
    {"AbortIncompleteMultipartUpload", K_NODE, 0, 1, kAbort, nullptr, nullptr},
    {}};
const xml_rule kLcRoot[] = {{"Rule", K_NODE, 1, MANY, kLcRule, nullptr, nullptr}, {}};

// The configurations by query name, with their root element.
struct xml_config {
  const char *query;
  const char *root;
  const xml_rule *rules;
};
const xml_config kXmlConfigs[] = {
    {"encryption", "ServerSideEncryptionConfiguration", kSseRoot},
    {"publicAccessBlock", "PublicAccessBlockConfiguration", kPabRoot},
    {"ownershipControls", "OwnershipControls", kOwnRoot},
    {"requestPayment", "RequestPaymentConfiguration", kPayRoot},
    {"logging", "BucketLoggingStatus", kLogRoot},
    {"notification", "NotificationConfiguration", kNotifyRoot},
    {"website", "WebsiteConfiguration", kWebRoot},
    {"lifecycle", "LifecycleConfiguration", kLcRoot},
    {"versioning", "VersioningConfiguration", kVersioningRoot},
};

const xml_config *find_xml_config(const char *query) {
  for (const xml_config &c : kXmlConfigs)
    if (strcmp(c.query, query) == 0) return &c;
  return nullptr;
}

int word_in(const char *v, const char *const *words) {
  for (; *words; words++)
    if (strcmp(v, *words) == 0) return 1;
  return 0;
}

int value_fits(const xml_rule *rule, const char *v) {
  uint64_t n;
  switch (rule->kind) {
    case K_BOOL: return strcmp(v, "true") == 0 || strcmp(v, "false") == 0;
    case K_ENUM: return word_in(v, rule->words);
    case K_COUNT: return v[0] && parse_decimal(v, strlen(v), 2147483647u, 0, &n) == 0;
    case K_DAYS: return v[0] && parse_decimal(v, strlen(v), 2147483647u, 0, &n) == 0 && n > 0;
    case K_EVENT: return strncmp(v, "s3:", 3) == 0 && v[3];
    default: return 1;
  }
}

size_t rule_index(const xml_rule *rules, const xml_element *e) {
  size_t i = 0;
  for (; rules[i].name; i++)
    if (xml_name_is(e, rules[i].name)) break;
  return i;
}

int write_level(const char *s, size_t len, const xml_rule *rules, dynbuf *out);

// One element of the table, checked and written.
int write_element(const xml_element *e, const xml_rule *rule, dynbuf *out) {
  if (rule->kind == K_NODE) {
    dynbuf_printf(out, "<%s>", rule->name);
    if (rule->children) {
      if (write_level(e->text, e->text_len, rule->children, out) != 0) return -1;
    } else {
      // An element without children may hold nothing but blanks.
      size_t pos = 0;
      xml_element child;
      if (xml_next_child(e->text, e->text_len, &pos, &child) != 0) return -1;
    }
    dynbuf_printf(out, "</%s>", rule->name);
    return 0;
  }
  char v[CONFIG_VALUE_MAX + 1];
  if (xml_element_text(e, v, sizeof v, XML_TRIM | XML_TEXT_ONLY | XML_STRICT) < 0 ||
      !value_fits(rule, v))
    return -1;
  dynbuf_printf(out, "<%s>", rule->name);
  dynbuf_append_escaped(out, v);
  dynbuf_printf(out, "</%s>", rule->name);
  return 0;
}

// The children of one level: each known and within its count, then written in the table's
// order. 0, or -1 malformed.
int write_level(const char *s, size_t len, const xml_rule *rules, dynbuf *out) {
  unsigned counts[RULES_MAX] = {};
  size_t pos = 0;
  xml_element e;
  int rc;
  while ((rc = xml_next_child(s, len, &pos, &e)) == 1) {
    size_t k = rule_index(rules, &e);
    if (!rules[k].name || k >= RULES_MAX || ++counts[k] > rules[k].max) return -1;
  }
  if (rc < 0) return -1;
  for (size_t k = 0; rules[k].name; k++) {
    if (counts[k] < rules[k].min) return -1;
    if (counts[k] == 0) {
      if (rules[k].fallback)
        dynbuf_printf(out, "<%s>%s</%s>", rules[k].name, rules[k].fallback, rules[k].name);
      continue;
    }
    pos = 0;
    while (xml_next_child(s, len, &pos, &e) == 1)
      if (xml_name_is(&e, rules[k].name) && write_element(&e, &rules[k], out) != 0) return -1;
  }
  return 0;
}

config_verdict kept() { return {0, nullptr, nullptr}; }
config_verdict malformed() { return {400, "MalformedXML", MALFORMED_XML}; }

// The text of the first element called name inside s[0..len), at any depth below it, into v.
int first_value(const char *s, size_t len, const char *name, char *v, size_t cap) {
  size_t pos = 0;
  xml_element e;
  if (xml_find_element(s, len, &pos, name, XML_CLOSE_NEXT_TAG, &e) != 1) return 0;
  return xml_element_text(&e, v, cap, XML_STRICT) >= 0;
}

// What S3 checks of an encryption beyond its shape.
config_verdict check_encryption(const char *doc, size_t len) {
  size_t pos = 0;
  xml_element root, rule;
  if (xml_next_child(doc, len, &pos, &root) != 1) return malformed();
  size_t at = 0;
  while (xml_next_child(root.text, root.text_len, &at, &rule) == 1) {
    char alg[64] = "", key[CONFIG_VALUE_MAX + 1];
    first_value(rule.text, rule.text_len, "SSEAlgorithm", alg, sizeof alg);
    // Keys kept by a key service are a promise this server cannot keep.
    if (alg[0] && strcmp(alg, "AES256") != 0)
      return {501, "NotImplemented",
              "A header you provided implies functionality that is not implemented"};
    if (first_value(rule.text, rule.text_len, "KMSMasterKeyID", key, sizeof key))
      return {400, "InvalidArgument",
              "a KMSMasterKeyID is not applicable if the default sse algorithm is not aws:kms or "
              "aws:kms:dsse"};
  }
  return kept();
}

// What S3 checks of lifecycle rules beyond their shape: an action in every rule, IDs unique
// and at most 255 characters. The stored form escapes every ID one way, so equal IDs have
// equal text.
config_verdict check_lifecycle(const char *doc, size_t len) {
  static const char *const kActions[] = {"Expiration", "Transition", "NoncurrentVersionTransition",
                                         "NoncurrentVersionExpiration",
                                         "AbortIncompleteMultipartUpload"};
  size_t pos = 0;
  xml_element root, rule;
  if (xml_next_child(doc, len, &pos, &root) != 1) return malformed();
  struct span {
    const char *p;
    size_t n;
  };
  span *ids = static_cast<span *>(malloc(MANY * sizeof(span)));
  if (!ids) return {500, "InternalError", "We encountered an internal error. Please try again."};
  size_t nids = 0, at = 0;
  config_verdict v = kept();
  while (v.status == 0 && xml_next_child(root.text, root.text_len, &at, &rule) == 1) {
    int actions = 0;
    size_t p = 0;
    xml_element e;
    while (xml_next_child(rule.text, rule.text_len, &p, &e) == 1) {
      for (const char *a : kActions) actions += xml_name_is(&e, a);
      if (!xml_name_is(&e, "ID")) continue;
      char id[CONFIG_VALUE_MAX + 1];
      if (xml_element_text(&e, id, sizeof id, XML_STRICT) > 255)
        v = {400, "InvalidArgument", "ID length should not exceed allowed limit of 255"};
      for (size_t i = 0; i < nids; i++)
        if (ids[i].n == e.text_len && memcmp(ids[i].p, e.text, e.text_len) == 0)
          v = {400, "InvalidArgument",
               "Rule ID must be unique. Found same ID for more than one rule"};
      if (nids < MANY) ids[nids++] = {e.text, e.text_len};
    }
    if (v.status == 0 && !actions)
      v = {400, "InvalidRequest", "At least one action needs to be specified in a rule"};
  }
  free(ids);
  return v;
}

config_verdict check_website(const char *doc, size_t len) {
  if (!find_bytes(doc, len, "<IndexDocument>") && !find_bytes(doc, len, "<RedirectAllRequestsTo>"))
    return {400, "InvalidArgument",
            "A value for IndexDocument Suffix must be provided if RedirectAllRequestsTo is empty"};
  return kept();
}

}  // namespace

int config_xml_known(const char *name) { return find_xml_config(name) != nullptr; }

config_verdict config_xml_normalize(const char *name, const char *body, size_t len, dynbuf *out) {
  const xml_config *c = find_xml_config(name);
  if (!c) return malformed();
  size_t pos = 0;
  xml_element root, extra;
  if (xml_next_child(body, len, &pos, &root) != 1 || !xml_name_is(&root, c->root) ||
      xml_next_child(body, len, &pos, &extra) != 0)
    return malformed();
  dynbuf_printf(out, "<%s xmlns=\"%s\">", c->root, S3_XMLNS);
  if (write_level(root.text, root.text_len, c->rules, out) != 0) return malformed();
  dynbuf_printf(out, "</%s>", c->root);
  if (out->failed)
    return {500, "InternalError", "We encountered an internal error. Please try again."};
  if (strcmp(name, "encryption") == 0) return check_encryption(out->data, out->len);
  if (strcmp(name, "lifecycle") == 0) return check_lifecycle(out->data, out->len);
  if (strcmp(name, "website") == 0) return check_website(out->data, out->len);
  return kept();
}

int config_value(const char *doc, size_t len, const char *name, char *out, size_t cap) {
  return first_value(doc, len, name, out, cap);
}

int config_flag_set(const char *doc, size_t len, const char *flag) {
  char v[16];
  return first_value(doc, len, flag, v, sizeof v) && strcmp(v, "true") == 0;
}
