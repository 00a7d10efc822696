// Fuzz target: the aws-chunked decoder fed from memory, the fast way to its chunk headers,
// sizes, signatures and trailer lines. Input: one byte of mode flags, then the framed body.
#include <vector>

#include "auth/stream.h"
#include "body/aws_chunked.h"
#include "fuzz_common.h"

namespace {

struct mem_in {
  const uint8_t *p;
  size_t left;
  uint64_t stored;
};

int next_byte(void *ctx) {
  mem_in *m = static_cast<mem_in *>(ctx);
  if (!m->left) return -1;
  m->left--;
  return *m->p++;
}

size_t read_bytes(void *ctx, void *dst, size_t n) {
  mem_in *m = static_cast<mem_in *>(ctx);
  size_t k = n < m->left ? n : m->left;
  memcpy(dst, m->p, k);
  m->p += k;
  m->left -= k;
  return k;
}

int store(void *ctx, const void *, size_t n) {
  static_cast<mem_in *>(ctx)->stored += n;
  return 0;
}

// The Authorization value of a recorded streaming upload, which seeds the chunk signatures.
const char AUTHZ[] =
    "AWS4-HMAC-SHA256 Credential=AKIDWIRECAPTURE00001/20260101/us-east-1/s3/aws4_request, "
    "SignedHeaders=host;x-amz-content-sha256;x-amz-date, "
    "Signature=4f0c1c2d7b8e5a6f9d3b2a1c0e9f8d7c6b5a4f3e2d1c0b9a8f7e6d5c4b3a2f10";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fz::setup_once();
  if (size < 1) return 0;
  uint8_t mode = data[0];
  stream_state st;
  memset(&st, 0, sizeof st);
  st.aws_chunked = 1;
  if (mode & 1) {
    stream_arm(&st, AUTHZ, "20260101T000000Z",
                  (mode & 2) ? "STREAMING-AWS4-HMAC-SHA256-PAYLOAD-TRAILER"
                             : "STREAMING-AWS4-HMAC-SHA256-PAYLOAD");
  } else if (mode & 4) {
    st.unsigned_chunks = 1;
  }
  mem_in in = {data + 1, size - 1, 0};
  aws_chunked_io io = {&in, next_byte, read_bytes, store};
  uint64_t len = 0;
  if (aws_chunked_read(&io, &st, &len) == 0) FUZZ_CHECK(len == in.stored && len <= size);
  stream_clear(&st);
  return 0;
}
