// Fuzz target: a whole upload request, head and body, read from a socket as a connection
// reads it: the body mode chosen from the head, then the body received under its framing
// (Content-Length, HTTP chunked or aws-chunked, signed or not) with every payload check.
#include "auth/stream.h"
#include "body/body.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fz::setup_once();
  static const std::string path = fz::scratch_root() + "/body.tmp";
  fz::socket_feed feed(data, size);
  S3Request r;
  if (read_request_head(feed.sock(), &r) == 0) {
    stream_state st;
    memset(&st, 0, sizeof st);
    stream_select(&st, &r);
    char etag[33];
    uint64_t len = 0;
    upload_error err = {0, nullptr, nullptr};
    int rc = receive_upload(feed.sock(), &r, &st, path.c_str(), "internal", etag, &len, &err);
    plat_stat_t sb;
    if (rc == 0) {
      // What was acknowledged is on disk, whole, with a well-formed ETag.
      FUZZ_CHECK(plat_stat(path.c_str(), &sb) == 0 && sb.size == len);
      FUZZ_CHECK(strlen(etag) == 32);
      FUZZ_CHECK(len <= size);
    } else {
      // A refused upload leaves no file behind and names its answer.
      FUZZ_CHECK(plat_stat(path.c_str(), &sb) != 0);
      FUZZ_CHECK(err.status >= 400 && err.status < 600 && err.code && err.message);
    }
    plat_err e;
    plat_unlink(path.c_str(), &e);
  }
  request_free(&r);
  return 0;
}
