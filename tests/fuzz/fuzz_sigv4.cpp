// Fuzz target: the Authorization header and the canonical request of a whole request head,
// verified against the fixed secret (the signing time is not compared with any clock).
#include "auth/sigv4.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fz::setup_once();
  fz::socket_feed feed(data, size);
  S3Request r;
  if (read_request_head(feed.sock(), &r) == 0) {
    char key[128], date[64], region[SIGV4_REGION_MAX + 1], signed_headers[512], sig[129];
    if (parse_sigv4_authz(r.authorization, key, date, region, signed_headers, sig) == 0) {
      FUZZ_CHECK(strlen(key) < sizeof key && strlen(date) < sizeof date && strlen(region) < sizeof region);
      FUZZ_CHECK(strlen(signed_headers) < sizeof signed_headers && strlen(sig) < sizeof sig);
      sigv4_unsigned_amz_header(signed_headers, r.head, r.head_len);
    }
    int rc = verify_sigv4(r.method, r.path, r.query, r.authorization, r.host, r.amz_date,
                          r.content_sha256, r.head, r.head_len);
    FUZZ_CHECK(rc >= -1 && rc <= 1);
    // The same request with one signature digit changed never verifies.
    char *s = strstr(r.authorization, "Signature=");
    if (rc == 1 && s && parse_sigv4_authz(r.authorization, key, date, region, signed_headers, sig) == 0 &&
        strcmp(s + 10, sig) == 0 && sig[0]) {
      s[10] = s[10] == '0' ? '1' : '0';
      FUZZ_CHECK(verify_sigv4(r.method, r.path, r.query, r.authorization, r.host, r.amz_date,
                              r.content_sha256, r.head, r.head_len) != 1);
    }
  }
  request_free(&r);
  return 0;
}
