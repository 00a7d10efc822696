// Fuzz target: query-string lookups, percent-decoding and the canonical query the signature
// covers. Input: a parameter name, a newline, then the raw query text.
#include "auth/sigv4.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > S3_QUERY_MAX) return 0;  // a query is never longer than a request target
  std::string in = fz::text_of(data, size);
  size_t nl = in.find('\n');
  std::string name = nl == std::string::npos ? "uploadId" : in.substr(0, nl);
  std::string query = nl == std::string::npos ? in : in.substr(nl + 1);

  owned_str v(qparam(query.c_str(), name.c_str()));
  int has = qhas(query.c_str(), name.c_str());
  // A parameter with a value is a parameter that is present.
  if (v.get() && name.find_first_of("&=") == std::string::npos) FUZZ_CHECK(has);
  if (v.get()) {
    size_t before = strlen(v.get());
    pct_decode(v.p);
    FUZZ_CHECK(strlen(v.get()) <= before);
  }
  std::string whole = query;
  pct_decode(whole.data());
  FUZZ_CHECK(strlen(whole.c_str()) <= query.size());

  static char canon[SIGV4_CANON_QUERY_MAX + 1];
  long n = sigv4_canonical_query(query.c_str(), canon, sizeof canon);
  // Every query a request target can carry has a canonical form that fits.
  FUZZ_CHECK(n >= 0);
  FUZZ_CHECK(size_t(n) < sizeof canon && strlen(canon) == size_t(n));
  return 0;
}
