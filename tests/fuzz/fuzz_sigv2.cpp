// Fuzz target: the Version 2 Authorization header, the presigned query and the string to sign of
// a whole request head, and check_auth's verdict on it under the fixed keys.
#include "auth/sigv2.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fz::setup_once();
  fz::socket_feed feed(data, size);
  S3Request r;
  if (read_request_head(feed.sock(), &r) == 0) {
    char key[128], sig[129];
    if (parse_sigv2_authz(r.authorization, key, sig) == 0)
      FUZZ_CHECK(key[0] && sig[0] && strlen(key) < sizeof key && strlen(sig) < sizeof sig);
    for (int from_query = 0; from_query <= 1; from_query++) {
      sigv2_request in = {r.method, r.path, r.query, r.amz_date, r.head, r.head_len, from_query};
      size_t n = 0;
      char *sts = sigv2_string_to_sign(&in, &n);
      // Bounded by what the request holds: the head, the path and twice the query. (A decoded
      // "%00" is a byte of it like any other: the text is used by its length.)
      FUZZ_CHECK(!sts || (sts[n] == 0 &&
                          n <= strlen(r.method) + strlen(r.amz_date) + r.head_len + strlen(r.path) +
                                   2 * strlen(r.query) + 16));
      free(sts);
    }
    auth_verdict v = check_auth(&r);
    FUZZ_CHECK(v.status == 0 || v.status == 400 || v.status == 403);
    FUZZ_CHECK(strlen(v.elements) < sizeof v.elements);
    // Signed by the fuzzer's own key, a request that passed fails with one signature byte changed.
    char *colon = sigv2_is_header(r.authorization) ? strrchr(r.authorization, ':') : nullptr;
    if (v.status == 0 && colon && colon[1]) {
      colon[1] = colon[1] == 'A' ? 'B' : 'A';
      FUZZ_CHECK(check_auth(&r).status != 0);
    }
  }
  request_free(&r);
  return 0;
}
