// Fuzz target: the checks of the XML bucket configurations kept per bucket. The first byte picks
// the configuration, the rest is its document. A document taken is stored in a form that is
// itself taken and gives the same form again, so what GET answers can always be sent back.
#include <cstring>
#include <vector>

#include "fuzz_common.h"
#include "http/response.h"
#include "ops/config_xml.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const char *const kNames[] = {"encryption", "publicAccessBlock", "ownershipControls", "requestPayment",
                                       "logging",    "notification",      "website",           "lifecycle",
                                       "versioning"};
  if (size < 1) return 0;
  const char *name = kNames[data[0] % (sizeof kNames / sizeof kNames[0])];
  FUZZ_CHECK(config_xml_known(name));
  // The body is handed over exactly as received, without a terminator after it.
  std::vector<char> body(data + 1, data + size);
  dynbuf_guard out;
  config_verdict v = config_xml_normalize(name, body.data(), body.size(), &out.b);
  FUZZ_CHECK(v.status == 0 || v.status == 400 || v.status == 501 || v.status == 500);
  if (v.status != 0 || out.b.failed) return 0;
  FUZZ_CHECK(out.b.len <= 16 * (body.size() + 64) + 1024);
  dynbuf_guard again;
  config_verdict w = config_xml_normalize(name, out.b.data, out.b.len, &again.b);
  FUZZ_CHECK(w.status == 0);
  FUZZ_CHECK(again.b.len == out.b.len && memcmp(again.b.data, out.b.data, out.b.len) == 0);
  return 0;
}
