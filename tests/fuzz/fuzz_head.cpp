// Fuzz target: one request head read from a socket, then the path rules and header lookups
// every later stage relies on.
#include "fuzz_common.h"
#include "store/layout.h"
#include "store/names.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fz::setup_once();
  fz::socket_feed feed(data, size);
  S3Request r;
  if (read_request_head(feed.sock(), &r) == 0) {
    FUZZ_CHECK(r.head_len <= r.received && r.received < r.head_cap);
    FUZZ_CHECK(r.body_prefix == r.head + r.head_len);
    FUZZ_CHECK(r.head_len + r.body_prefix_len == r.received);
    FUZZ_CHECK(strlen(r.method) <= S3_METHOD_MAX && strlen(r.target) <= S3_TARGET_MAX);
    FUZZ_CHECK(strlen(r.query) <= S3_QUERY_MAX && strlen(r.path) <= S3_PATH_MAX);
    if (names_check_request(&r, parse_bucket_key(&r)) == NAME_OK) {
      size_t blen = strlen(r.bucket);
      // A bucket named by the path is a valid name, and no key climbs out of its bucket.
      FUZZ_CHECK(blen == 0 || valid_bucket_name(r.bucket, blen));
      FUZZ_CHECK(strlen(r.key) <= S3_KEY_MAX);
      char path[S3_FS_PATH];
      if (blen && r.key[0] && object_path(r.bucket, r.key, path) == 0) {
        size_t rl = strlen(s_storage_root);
        FUZZ_CHECK(strncmp(path, s_storage_root, rl) == 0);
        // Whatever the key, its stored path has no empty, "." or ".." level to leave by.
        for (const char *p = path + rl; *p == '/';) {
          size_t n = strcspn(p + 1, "/");
          FUZZ_CHECK(n > 0 && !(n == 1 && p[1] == '.') && !(n == 2 && p[1] == '.' && p[2] == '.'));
          p += 1 + n;
        }
      }
    }
    uint64_t n = 0;
    int overflow = 0;
    hdr_u64(r.head, r.head_len, "content-length", &n, &overflow);
    owned_str te(hdr_value(r.head, r.head_len, "transfer-encoding"));
    owned_str authz(hdr_value(r.head, r.received, "authorization"));
    if (authz.get()) FUZZ_CHECK(strlen(authz.get()) < r.received);
  }
  request_free(&r);
  return 0;
}
