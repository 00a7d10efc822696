// Fuzz target: the XML bodies the server reads: the keys of a DeleteObjects body and the part
// list of a CompleteMultipartUpload body, and the element reader beneath them.
#include <vector>

#include "fuzz_common.h"
#include "ops/ops.h"
#include "store/mpu.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The body is handed over exactly as received, without a terminator after it.
  std::vector<char> body(data, data + size);
  const char *b = body.data();

  size_t pos = 0;
  char key[4096];
  size_t keys = 0;
  while (delete_body_next_key(b, size, &pos, key) == 1) {
    FUZZ_CHECK(pos <= size && strlen(key) <= S3_KEY_MAX);
    FUZZ_CHECK(++keys <= size / 11);  // "<Key></Key>" per key at least
  }

  static completion_entry list[COMPLETE_MAX_ENTRIES];
  long n = parse_completion_list(b, size, list);
  FUZZ_CHECK(n >= -1 && n <= long(COMPLETE_MAX_ENTRIES));
  for (long i = 0; i < n; i++) {
    FUZZ_CHECK(list[i].part >= 1 && list[i].part <= S3_MPU_MAX_PART);
    FUZZ_CHECK(strlen(list[i].etag) < sizeof list[i].etag);
  }

  owned_str quiet(xml_get_tag(b, size, "Quiet"));
  if (quiet.get()) FUZZ_CHECK(strlen(quiet.get()) < size);
  return 0;
}
