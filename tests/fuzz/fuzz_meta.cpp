// Fuzz target: the metadata file reader, on a file of arbitrary bytes and on files the writer
// made from arbitrary x-amz-meta-* header lines. What it loads goes back out in response
// heads, so it must stay within its buffers and keep its header lines well-formed.
#include "fuzz_common.h"
#include "store/files.h"
#include "store/layout.h"
#include "store/meta.h"

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

  // The input as a request head whose x-amz-meta-* lines the writer records.
  std::string head = fz::text_of(data, size);
  plat_unlink(path, &e);
  meta_save(bucket, key, "0123456789abcdef0123456789abcdef", "text/plain", head.c_str(),
            head.size());
  check_loaded(bucket, key);
  return 0;
}
