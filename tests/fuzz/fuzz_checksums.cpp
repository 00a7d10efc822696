// Fuzz target: the checksum texts clients send and the store keeps: the
// x-amz-object-attributes list, a part record's checksum line, the object checksum of a
// multipart upload from arbitrary part values, and CRC combination, which must give the CRC of
// the joined bytes wherever the input is split.
#include <string>

#include "digest/checksum.h"
#include "digest/hash.h"
#include "fuzz_common.h"
#include "ops/checksums.h"
#include "store/mpu.h"

namespace {

void check_attributes(const std::string &text) {
  unsigned bits = 0;
  int rc = parse_object_attributes(text.c_str(), &bits);
  FUZZ_CHECK(rc == 0 || rc == -1);
  FUZZ_CHECK(rc != 0 || (bits && bits < 32));
}

// A part record of arbitrary bytes: its checksum, when one is taken, is a known algorithm with
// a Base64 value within its buffer.
void check_part_record(const uint8_t *data, size_t size) {
  const std::string dir = fz::scratch_root() + "/upload";
  plat_mkdir(dir.c_str());
  const std::string path = dir + "/1.etag";
  plat_err e;
  plat_unlink(path.c_str(), &e);
  plat_file *f = plat_file_open(path.c_str(), PLAT_WRITE_TRUNC);
  if (!f) abort();
  if (size) plat_file_write(f, data, size);
  plat_file_close(f);
  mpu_part_sum sum;
  if (mpu_part_checksum(dir.c_str(), 1, &sum) != 0) return;
  FUZZ_CHECK(sum.algo >= CK_NONE && sum.algo < CK_COUNT);
  FUZZ_CHECK(strlen(sum.value) < sizeof sum.value);
  if (sum.algo == CK_NONE) FUZZ_CHECK(!sum.value[0]);
}

// The combined CRC of two pieces is the CRC of the whole, for every split and algorithm.
void check_combine(const uint8_t *data, size_t size) {
  const size_t cut = size ? data[0] % (size + 1) : 0;
  const uint64_t whole[] = {crc32_update(0, data, size), crc32c_update(0, data, size),
                            crc64nvme_update(0, data, size)};
  const uint64_t a[] = {crc32_update(0, data, cut), crc32c_update(0, data, cut),
                        crc64nvme_update(0, data, cut)};
  const uint64_t b[] = {crc32_update(0, data + cut, size - cut),
                        crc32c_update(0, data + cut, size - cut),
                        crc64nvme_update(0, data + cut, size - cut)};
  const int algos[] = {CK_CRC32, CK_CRC32C, CK_CRC64NVME};
  for (int i = 0; i < 3; i++) FUZZ_CHECK(ck_crc_combine(algos[i], a[i], b[i], size - cut) == whole[i]);
}

// Arbitrary part values: a composite or full-object value within its buffer, or a refusal.
void check_multipart(const std::string &text) {
  ck_value parts[3];
  uint64_t sizes[3] = {text.size(), 0, 1};
  for (int i = 0; i < 3; i++) {
    parts[i].algo = CK_CRC32 + (i + (int)text.size()) % 5;
    copy_text(parts[i].b64, sizeof parts[i].b64, text.c_str() + (text.size() * i) / 3);
  }
  for (int algo = CK_CRC32; algo < CK_COUNT; algo++) {
    for (int type : {CK_TYPE_FULL_OBJECT, CK_TYPE_COMPOSITE}) {
      for (auto &p : parts) p.algo = algo;
      record_checksum out;
      if (multipart_checksum(algo, type, parts, sizes, 3, &out) != 0) continue;
      FUZZ_CHECK(out.algo == algo && strlen(out.value) < sizeof out.value);
      FUZZ_CHECK(type == CK_TYPE_COMPOSITE || ck_is_crc(algo));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fz::setup_once();
  const std::string text = fz::text_of(data, size);
  check_attributes(text);
  check_part_record(data, size);
  check_combine(data, size);
  check_multipart(text);
  return 0;
}
