// Fuzz target: the Range header against an object size. Input: 8 bytes of size (little
// endian), then the header value.
#include "fuzz_common.h"
#include "ops/ops.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 8) return 0;
  uint64_t obj = 0;
  for (int i = 7; i >= 0; i--) obj = (obj << 8) | data[i];
  // Small sizes are where the edge cases are; keep most inputs there.
  if (data[7] & 0x80) obj &= 0xFFFF;
  std::string value = fz::text_of(data + 8, size - 8);
  uint64_t first = 0, last = 0;
  if (parse_range(value.c_str(), obj, &first, &last) == 1) {
    // A satisfiable range lies inside the object.
    FUZZ_CHECK(obj > 0 && first <= last && last < obj);
  }
  return 0;
}
