// Fuzz target: the bucket policy reader and its wildcard matcher. The input is a policy
// document, optionally followed by a NUL and an object key to decide a read of.
#include <cstring>
#include <string>

#include "fuzz_common.h"
#include "ops/bucket_policy.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *b = reinterpret_cast<const char *>(data);
  const char *nul = static_cast<const char *>(memchr(b, 0, size));
  size_t doc_len = nul ? (size_t)(nul - b) : size;
  // The document is handed over exactly as received, without a terminator after it.
  std::string doc(b, doc_len);
  std::string key = nul ? std::string(nul + 1, size - doc_len - 1) : "k";
  key = key.substr(0, strnlen(key.c_str(), key.size()));

  int is_public = 0;
  policy_verdict v = policy_check("fuzz-b", doc.data(), doc.size(), &is_public);
  FUZZ_CHECK(v.status == 0 || v.status == 400);
  FUZZ_CHECK(strlen(v.message) < sizeof v.message);
  // The message goes into an XML document as it stands.
  FUZZ_CHECK(!strchr(v.message, '<') && !strchr(v.message, '&'));
  if (v.status) FUZZ_CHECK(!is_public);

  const std::string object = "arn:aws:s3:::fuzz-b/" + key;
  int get = policy_allows_anonymous("fuzz-b", doc.data(), doc.size(), "s3:GetObject", object.c_str());
  int list = policy_allows_anonymous("fuzz-b", doc.data(), doc.size(), "s3:ListBucket", "arn:aws:s3:::fuzz-b");
  // Only a valid policy with a public statement opens anything.
  if (get || list) FUZZ_CHECK(v.status == 0 && is_public);

  // The matcher: a text without wildcards matches itself, "*" matches everything, and a pattern
  // never matches a text shorter than its plain characters.
  if (!strchr(key.c_str(), '*') && !strchr(key.c_str(), '?'))
    FUZZ_CHECK(policy_wildcard_match(key.c_str(), key.c_str(), 0));
  FUZZ_CHECK(policy_wildcard_match("*", key.c_str(), 0));
  std::string pattern = doc.substr(0, strnlen(doc.c_str(), doc.size()) > 64 ? 64 : strnlen(doc.c_str(), doc.size()));
  if (policy_wildcard_match(pattern.c_str(), key.c_str(), 1)) {
    size_t plain = 0;
    for (char c : pattern) plain += c != '*';
    FUZZ_CHECK(key.size() >= plain);
  }
  return 0;
}
