// Temporary names: the hidden files an upload or a part is written into before it replaces
// its object; names.cpp recognises exactly these patterns as the server's own.
#include "store/temp_names.h"

#include <atomic>
#include <cstdio>

#include "platform/platform.h"

static constexpr size_t PATH_MAX_CHARS = S3_FS_PATH - 1;

// ---------------------------------------------------------------- temporary names

// Process-wide counter behind every temporary name; it keeps two names made in the same second
// apart even when the platform reuses a thread id.
static std::atomic<uint32_t> s_seq{0};

uint32_t next_seq() { return s_seq.fetch_add(1) + 1; }

int make_upload_temp(const char *dir, char out[S3_FS_PATH]) {
  int n = snprintf(out, S3_FS_PATH, "%s/.upload-%lld-%lu-%lu.tmp", dir,
                   static_cast<long long>(plat_time_now()),
                   static_cast<unsigned long>(plat_thread_id()),
                   static_cast<unsigned long>(next_seq()));
  if (n < 0 || size_t(n) > PATH_MAX_CHARS) {
    out[0] = 0;
    return -1;
  }
  return 0;
}

int make_mpu_temp(const char *dir, size_t dir_len, char out[S3_FS_PATH]) {
  if (dir_len > PATH_MAX_CHARS) {
    out[0] = 0;
    return -1;
  }
  int n = snprintf(out, S3_FS_PATH, "%.*s/.mpu-%lu-%lu.tmp", static_cast<int>(dir_len), dir,
                   static_cast<unsigned long>(plat_thread_id()),
                   static_cast<unsigned long>(next_seq()));
  if (n < 0 || size_t(n) > PATH_MAX_CHARS) {
    out[0] = 0;
    return -1;
  }
  return 0;
}
