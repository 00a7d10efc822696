// Fuzz target: the XML bodies the server reads: the keys of a DeleteObjects body and the part
// list of a CompleteMultipartUpload body, and the element reader beneath them (children and
// named elements).
#include <vector>

#include "base/text.h"
#include "fuzz_common.h"
#include "http/response.h"
#include "digest/checksum.h"
#include "ops/ops.h"
#include "store/mpu.h"

namespace {

// A key written into a DeleteObjects body the way clients write it (XML-escaped) comes back
// out as the same key, so the object deleted is the object named.
void check_key_round_trip(const uint8_t *data, size_t size) {
  std::string key = fz::text_of(data, strnlen(reinterpret_cast<const char *>(data), size));
  if (key.empty() || key.size() > S3_KEY_MAX) return;
  dynbuf_guard doc;
  dynbuf_printf(&doc.b, "<Delete><Object><Key>");
  dynbuf_append_escaped(&doc.b, key.c_str());
  dynbuf_printf(&doc.b, "</Key></Object></Delete>");
  if (doc.b.failed) return;
  size_t pos = 0;
  char out[4096];
  // An escaped key may be longer than a key can be; then it is refused, never cut.
  if (delete_body_next_key(doc.b.data, doc.b.len, &pos, out) == 1) FUZZ_CHECK(key == out);
}

// The element reader's children and named elements lie inside the text, and every step moves
// forward.
void check_elements(const char *b, size_t size) {
  auto inside = [&](const xml_element &e) {
    FUZZ_CHECK(e.name >= b && e.name + e.name_len <= b + size);
    FUZZ_CHECK(e.text >= b && e.text + e.text_len <= b + size);
  };
  size_t pos = 0, last = 0;
  xml_element e;
  while (xml_next_child(b, size, &pos, &e) == 1) {
    FUZZ_CHECK(pos > last && pos <= size);
    inside(e);
    last = pos;
  }
  for (unsigned flags : {0u, unsigned(XML_CLOSE_NEXT_TAG)}) {
    pos = last = 0;
    while (xml_find_element(b, size, &pos, "Key", flags, &e) == 1) {
      FUZZ_CHECK(pos > last && pos <= size);
      inside(e);
      last = pos;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The body is handed over exactly as received, without a terminator after it.
  std::vector<char> body(data, data + size);
  const char *b = body.data();

  size_t pos = 0;
  char key[4096];
  size_t keys = 0;
  for (size_t from = 0; delete_body_next_key(b, size, &pos, key) == 1; from = pos) {
    FUZZ_CHECK(pos <= size && strlen(key) <= S3_KEY_MAX);
    FUZZ_CHECK(++keys <= size / 11);  // "<Key></Key>" per key at least
    // A version id read is one this store gives: "null" or 32 hexadecimal digits.
    char vid[40];
    int v = delete_body_version_id(b, size, from, pos, vid);
    FUZZ_CHECK(v == -1 || v == 0 || v == 1);
    FUZZ_CHECK(v != 1 || strcmp(vid, "null") == 0 || strlen(vid) == 32);
  }

  static completion_entry list[S3_PARTS_MAX];
  long n = parse_completion_list(b, size, list);
  FUZZ_CHECK(n >= -3 && n <= long(S3_PARTS_MAX));  // -1..-3: the refusals
  for (long i = 0; i < n; i++) {
    FUZZ_CHECK(list[i].part >= 1 && list[i].part <= S3_MPU_MAX_PART);
    FUZZ_CHECK(strlen(list[i].etag) < sizeof list[i].etag);
    FUZZ_CHECK(list[i].ck_algo >= CK_NONE && list[i].ck_algo < CK_COUNT);
    FUZZ_CHECK(strlen(list[i].ck_value) < sizeof list[i].ck_value);
    if (list[i].ck_algo == CK_NONE) FUZZ_CHECK(!list[i].ck_value[0]);
  }

  owned_str quiet(xml_get_tag(b, size, "Quiet"));
  if (quiet.get()) FUZZ_CHECK(strlen(quiet.get()) < size);

  check_elements(b, size);
  check_key_round_trip(data, size);
  return 0;
}
