// Unit-test support: a scratch directory under /tmp (optionally the storage root) and small
// file and digest helpers over the platform layer.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "digest/hash.h"
#include "base/state.h"
#include "http/request.h"
#include "platform/platform.h"
#include "store/files.h"
#include "../support/record_text.h"

namespace ut {

inline std::string md5_of(const std::string &data, unsigned char raw[16] = nullptr) {
  unsigned char d[16];
  md5_ctx c;
  md5_init(&c);
  md5_update(&c, data.data(), data.size());
  md5_final(&c, raw ? raw : d);
  char hex[33];
  hex_encode(raw ? raw : d, 16, hex);
  hex[32] = 0;
  return hex;
}

// Writes data to path, creating the directories on the way.
inline void write_file(const std::string &path, const std::string &data) {
  mkdir_parent(path.c_str());
  plat_file *f = plat_file_open(path.c_str(), PLAT_WRITE_TRUNC);
  ASSERT_NE(f, nullptr) << path;
  ASSERT_EQ(plat_file_write(f, data.data(), data.size()), long(data.size())) << path;
  plat_file_close(f);
}

// The whole file, or "<missing>" when it cannot be opened.
inline std::string read_file(const std::string &path) {
  plat_file *f = plat_file_open(path.c_str(), PLAT_READ);
  if (!f) return "<missing>";
  std::string out;
  char buf[4096];
  long n;
  while ((n = plat_file_read(f, buf, sizeof buf)) > 0) out.append(buf, size_t(n));
  plat_file_close(f);
  return out;
}

// A metadata record's text without its "+Version" line, which names the data version the record
// was written for (a file number and a time that differ from run to run).
inline std::string read_record(const std::string &path) {
  return qt_record::without_version_line(read_file(path));
}

inline bool exists(const std::string &path) {
  plat_stat_t st;
  return plat_stat(path.c_str(), &st) == 0;
}

// A fresh directory per test, removed afterwards. With as_storage_root it also becomes
// s_storage_root for the code under test.
class Scratch : public ::testing::Test {
 protected:
  std::string root;
  explicit Scratch(bool as_storage_root = true) : as_root_(as_storage_root) {}
  void SetUp() override {
    // A random name made through the platform layer, as mkdtemp exists on POSIX only.
    for (int attempt = 0; attempt < 100 && root.empty(); attempt++) {
      unsigned char r[8];
      ASSERT_EQ(plat_random_bytes(r, sizeof r), 0);
      char hex[17];
      hex_encode(r, sizeof r, hex);
      hex[16] = 0;
      std::string dir = std::string("/tmp/quillmar-unit-") + hex;
      if (plat_mkdir(dir.c_str()) == 0) root = dir;
    }
    ASSERT_FALSE(root.empty()) << "cannot create a temporary directory";
    if (as_root_) {
      ASSERT_TRUE(copy_text(s_storage_root, sizeof(s_storage_root), root.c_str()));
    }
  }
  void TearDown() override {
    delete_dir_recursive(root.c_str());
    if (as_root_) s_storage_root[0] = 0;
  }
  std::string p(const std::string &rel) const { return root + "/" + rel; }

 private:
  bool as_root_;
};

}  // namespace ut
