// Runs a fuzz target's entry point once on each file under the directories and files named on
// the command line, so the ordinary test build replays the seeds and every saved crash input
// without the fuzzing engine. Exits non-zero when a named path cannot be read.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

int read_whole(const std::string &path, std::vector<uint8_t> *out) {
  plat_file *f = plat_file_open(path.c_str(), PLAT_READ);
  if (!f) return -1;
  plat_file_guard guard(f);
  out->clear();
  uint8_t buf[65536];
  long n;
  while ((n = plat_file_read(f, buf, sizeof buf)) > 0) out->insert(out->end(), buf, buf + n);
  return n < 0 ? -1 : 0;
}

// Replays path (a file, or a directory walked in full). The count of inputs, or -1.
long replay(const std::string &path) {
  plat_stat_t st;
  if (plat_stat(path.c_str(), &st) != 0) return -1;
  if (!st.is_dir) {
    std::vector<uint8_t> data;
    if (read_whole(path, &data) != 0) return -1;
    LLVMFuzzerTestOneInput(data.data(), data.size());
    return 1;
  }
  plat_dir *d = plat_dir_open(path.c_str());
  if (!d) return -1;
  std::vector<std::string> names;
  char name[1024];
  int is_dir = 0;
  while (plat_dir_next(d, name, sizeof name, &is_dir) == 1) names.push_back(name);
  plat_dir_close(d);
  long total = 0;
  for (const std::string &n : names) {
    if (n[0] == '.') continue;  // README-like dot files and editor leftovers are no inputs
    long k = replay(path + "/" + n);
    if (k < 0) return -1;
    total += k;
  }
  return total;
}

}  // namespace

int main(int argc, char **argv) {
  long total = 0;
  for (int i = 1; i < argc; i++) {
    long k = replay(argv[i]);
    if (k < 0) {
      fprintf(stderr, "cannot read %s\n", argv[i]);
      return 1;
    }
    total += k;
  }
  printf("replayed %ld inputs\n", total);
  return 0;
}
