// Fuzz target: the metadata file reader, on a file of arbitrary bytes and on files the writer
// made from arbitrary x-amz-meta-* header lines. What it loads goes back out in response
// heads, so it must stay within its buffers and keep its header lines well-formed; its
// checksums, the object's and each part's, come back as the writer wrote them.
#include "fuzz_common.h"
#include "store/files.h"
#include "store/layout.h"
#include "store/meta.h"

#include <cctype>
#include <cstdio>

#include "digest/hash.h"

namespace {

void check_loaded(const char *bucket, const char *key) {
  char ctype[256] = "", etag[80] = "", user[1024] = "";
  if (meta_load(bucket, key, ctype, etag, sizeof etag, user) != 1) return;
  FUZZ_CHECK(strlen(ctype) < sizeof ctype && strlen(etag) < sizeof etag);
  FUZZ_CHECK(strlen(user) < sizeof user);
  FUZZ_CHECK(!strpbrk(ctype, "\r\n") && !strpbrk(etag, "\r\n"));
  // The user block is "name:value\r\n" lines. Only at its 1023-character limit may a line end
  // be cut to a bare CR, with at most one more character after it; the head builder of GET
  // drops such a cut tail.
  for (const char *p = user; *p; p++) {
    if (*p == '\r' && p[1] != '\n') FUZZ_CHECK(p - user >= 1021);
    if (*p == '\n') FUZZ_CHECK(p > user && p[-1] == '\r');
  }
}

// A Base64 text as the record's checksum fields may hold it.
bool b64_text(const char *v, bool count) {
  for (; *v; v++)
    if (!(isalnum((unsigned char)*v) || *v == '+' || *v == '/' || *v == '=' || (count && *v == '-')))
      return false;
  return true;
}

// The checksum lines of an arbitrary file: values within their buffers and of the Base64
// alphabet, a page only where it was asked for.
void check_sums(const char *bucket, const char *key) {
  char ctype[256] = "", etag[80] = "", user[1024] = "";
  uint64_t sizes[4] = {7, 7, 7, 7};
  char values[4][CK_B64_CAP];
  memset(values, 'x', sizeof values);
  record_sums sums;
  record_sums_clear(&sums, 3);
  sums.after = 1;
  sums.cap = 3;
  sums.sizes = sizes + 1;
  sums.values = values + 1;
  part_lookup parts;
  part_lookup_clear(&parts, 3);
  if (meta_load(bucket, key, ctype, etag, sizeof etag, user, nullptr, &parts, &sums) != 1) return;
  FUZZ_CHECK(sums.whole.algo >= CK_NONE && sums.whole.algo < CK_COUNT);
  FUZZ_CHECK(strlen(sums.whole.value) < sizeof sums.whole.value && b64_text(sums.whole.value, true));
  FUZZ_CHECK(strlen(sums.want_value) < sizeof sums.want_value && b64_text(sums.want_value, false));
  FUZZ_CHECK(sizes[0] == 7 && values[0][0] == 'x');  // nothing before the page
  for (int i = 1; i < 4; i++)
    if (values[i][0] != 'x') FUZZ_CHECK(strlen(values[i]) < CK_B64_CAP && b64_text(values[i], false));
}

// Checksums made from the input written and read back: the same values, in part order.
void check_sums_round_trip(const char *bucket, const char *key, const uint8_t *data, size_t size) {
  const size_t n = size / 4 > 40 ? 40 : size / 4;
  char values[40][CK_B64_CAP];
  for (size_t i = 0; i < n; i++) base64_encode(data + 4 * i, 4, values[i], CK_B64_CAP);
  record_checksum whole = {CK_CRC32C, CK_TYPE_COMPOSITE, ""};
  if (n) snprintf(whole.value, sizeof whole.value, "%s-%zu", values[0], n);
  const part_checksums part_sums = {CK_CRC32C, n, values};
  meta_draft d;
  if (meta_draft_write(&d, bucket, key, "etag", "", nullptr, 0, nullptr, &whole, &part_sums) != 0 ||
      meta_draft_sync(&d) != 0 || meta_draft_publish(&d, plat_time_now_ns()) != 0)
    return;
  for (size_t want = 1; want <= n; want += 7) {
    char ctype[256] = "", etag[80] = "", user[1024] = "";
    record_sums sums;
    record_sums_clear(&sums, (uint32_t)want);
    FUZZ_CHECK(meta_load(bucket, key, ctype, etag, sizeof etag, user, nullptr, nullptr, &sums) == 1);
    FUZZ_CHECK(sums.sums_seen == n && strcmp(sums.want_value, values[want - 1]) == 0);
    FUZZ_CHECK(!n || strcmp(sums.whole.value, whole.value) == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fz::setup_once();
  const char *bucket = "fuzz-bucket";
  const char *key = "dir/obj";
  char path[S3_FS_PATH];
  if (meta_path(bucket, key, path) != 0) abort();

  // The input as a metadata file found on disk. The old file goes first: rewriting a file
  // in place makes the file system flush it on close, which would slow every run to a crawl.
  plat_err e;
  plat_unlink(path, &e);
  mkdir_parent(path);
  plat_file *f = plat_file_open(path, PLAT_WRITE_TRUNC);
  if (!f) abort();
  if (size) plat_file_write(f, data, size);
  plat_file_close(f);
  check_loaded(bucket, key);
  check_sums(bucket, key);

  // The input as a request head whose x-amz-meta-* lines the writer records.
  std::string head = fz::text_of(data, size);
  plat_unlink(path, &e);
  meta_save(bucket, key, "0123456789abcdef0123456789abcdef", "text/plain", head.c_str(),
            head.size());
  check_loaded(bucket, key);

  plat_unlink(path, &e);
  check_sums_round_trip(bucket, key, data, size);
  return 0;
}
