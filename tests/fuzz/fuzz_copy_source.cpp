// Fuzz target: the x-amz-copy-source value, parsed by the request-path rules.
#include "fuzz_common.h"
#include "ops/ops.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fz::setup_once();
  std::string value = fz::text_of(data, size);
  char bucket[64], key[4096];
  if (parse_copy_source(value.c_str(), bucket, key) == 0) {
    FUZZ_CHECK(valid_bucket_name(bucket, strlen(bucket)));
    FUZZ_CHECK(key[0] && strlen(key) <= S3_KEY_MAX);
    FUZZ_CHECK(!has_dotdot_segment(key));
    char path[S3_FS_PATH];
    // The source never names a file outside its bucket's directory.
    if (object_path(bucket, key, path) == 0) {
      std::string dir = std::string(s_storage_root) + "/" + bucket + "/";
      FUZZ_CHECK(strncmp(path, dir.c_str(), dir.size()) == 0);
    }
  } else {
    FUZZ_CHECK(bucket[0] == 0 && key[0] == 0);
  }
  return 0;
}
