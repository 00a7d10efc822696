// Fuzz target: the x-amz-copy-source value, parsed by the request-path rules, with its
// "?versionId=" cut off first.
#include <cctype>

#include "fuzz_common.h"
#include "ops/ops.h"
#include "ops/versions_ops.h"
#include "store/layout.h"
#include "store/names.h"
#include "store/versions.h"

namespace {

// The value a client sends for bucket and key: every byte of the key percent-encoded but
// letters, digits, "-._~" and "/".
std::string encode(const char *bucket, const char *key) {
  std::string out = std::string("/") + bucket + "/";
  for (const char *p = key; *p; p++) {
    unsigned char c = (unsigned char)*p;
    if (isalnum(c) || strchr("-._~/", c)) {
      out += char(c);
    } else {
      char esc[4] = {'%', "0123456789ABCDEF"[c >> 4], "0123456789ABCDEF"[c & 15], 0};
      out += esc;
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fz::setup_once();
  std::string value = fz::text_of(data, size);
  char vid[S3_VID_CAP];
  std::string cut = value;
  if (copy_source_version(&cut[0], vid) == 0) {
    FUZZ_CHECK(!vid[0] || version_id_valid(vid));
    FUZZ_CHECK(!vid[0] || value.substr(strlen(cut.c_str())) == std::string("?versionId=") + vid);
  }
  char bucket[64], key[4096];
  if (parse_copy_source(value.c_str(), bucket, key) == 0) {
    // The key's area of older versions lies inside the bucket's, as its file lies inside the
    // bucket's directory.
    char area[S3_FS_PATH];
    if (versions_dir(bucket, key, area) == 0) {
      std::string top = std::string(s_storage_root) + "/.s3meta/.versions/" + bucket + "/";
      FUZZ_CHECK(strncmp(area, top.c_str(), top.size()) == 0);
      for (const char *p = area + top.size() - 1; *p == '/';) {
        size_t n = strcspn(p + 1, "/");
        FUZZ_CHECK(n > 0 && !(n == 1 && p[1] == '.') && !(n == 2 && p[1] == '.' && p[2] == '.'));
        p += 1 + n;
      }
    }
    FUZZ_CHECK(valid_bucket_name(bucket, strlen(bucket)));
    FUZZ_CHECK(key[0] && strlen(key) <= S3_KEY_MAX);
    char path[S3_FS_PATH];
    // The source never names a file outside its bucket's directory: no level of its stored
    // path is empty, "." or "..".
    if (object_path(bucket, key, path) == 0) {
      std::string dir = std::string(s_storage_root) + "/" + bucket + "/";
      FUZZ_CHECK(strncmp(path, dir.c_str(), dir.size()) == 0);
      for (const char *p = path + dir.size() - 1; *p == '/';) {
        size_t n = strcspn(p + 1, "/");
        FUZZ_CHECK(n > 0 && !(n == 1 && p[1] == '.') && !(n == 2 && p[1] == '.' && p[2] == '.'));
        p += 1 + n;
      }
    }
    // What was read names the same object when sent again, encoded.
    char bucket2[64], key2[4096];
    FUZZ_CHECK(parse_copy_source(encode(bucket, key).c_str(), bucket2, key2) == 0);
    FUZZ_CHECK(strcmp(bucket, bucket2) == 0 && strcmp(key, key2) == 0);
  } else {
    FUZZ_CHECK(bucket[0] == 0 && key[0] == 0);
  }
  return 0;
}
