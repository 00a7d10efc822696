// Shared pieces of the fuzz targets: the fixed credentials and scratch storage root they run
// under, an invariant check that stops the run, and a request fed through a real socket pair.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "base/state.h"
#include "base/text.h"
#include "http/request.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "store/files.h"

// A broken invariant is a finding like a sanitizer report: print it and abort, so the input is
// saved as a crash.
#define FUZZ_CHECK(cond)                                                           \
  do {                                                                             \
    if (!(cond)) {                                                                 \
      fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #cond); \
      abort();                                                                     \
    }                                                                              \
  } while (0)

namespace fz {

// The credential pair the recorded client requests were signed with, so that their
// signatures verify and the fuzzer starts from requests that pass authentication.
constexpr const char *ACCESS_KEY = "AKIDWIRECAPTURE00001";
constexpr const char *SECRET_KEY = "wireCaptureSecretKey/0123456789abcdefghij";

inline std::string &scratch_root() {
  static std::string root;
  return root;
}

inline void remove_scratch() {
  if (!scratch_root().empty()) delete_dir_recursive(scratch_root().c_str());
}

// Sets the credentials and, once per process, a fresh storage root under /tmp.
inline void setup_once() {
  static bool done = false;
  if (done) return;
  done = true;
  copy_text(s_access_key, sizeof s_access_key, ACCESS_KEY);
  copy_text(s_secret_key, sizeof s_secret_key, SECRET_KEY);
  char tmpl[] = "/tmp/quillmar-fuzz-XXXXXX";
  if (!mkdtemp(tmpl)) abort();
  scratch_root() = tmpl;
  copy_text(s_storage_root, sizeof s_storage_root, tmpl);
  atexit(remove_scratch);
}

// Reads a request head the way a connection does: the bytes go in at one end of a socket
// pair from a writer thread, which then closes its end; read_request_head reads the other.
// 0 with *r filled (call request_free either way), -1 when the head was refused.
struct socket_feed {
  plat_sock pair[2] = {PLAT_BAD_SOCK, PLAT_BAD_SOCK};
  std::thread writer;
  socket_feed(const uint8_t *data, size_t size) {
    if (plat_sock_pair(pair) != 0) abort();
    plat_sock w = pair[1];
    pair[1] = PLAT_BAD_SOCK;
    writer = std::thread([w, data, size] {
      size_t off = 0;
      while (off < size) {
        long n = plat_sock_send(w, data + off, size - off);
        if (n <= 0) break;
        off += size_t(n);
      }
      plat_sock_shutdown_send(w);
      // Whatever the reader answers (an interim 100 Continue) is drained, so it never blocks.
      char sink[256];
      while (plat_sock_recv(w, sink, sizeof sink) > 0) {
      }
      plat_sock_close(w);
    });
    plat_sock_timeouts(pair[0], 10000, 10000);
  }
  plat_sock sock() const { return pair[0]; }
  // Ends the reader's side, so the writer's drain sees the close, and waits for the writer.
  ~socket_feed() {
    plat_sock_shutdown_both(pair[0]);
    writer.join();
    plat_sock_close(pair[0]);
  }
  socket_feed(const socket_feed &) = delete;
  socket_feed &operator=(const socket_feed &) = delete;
};

// A NUL-terminated copy of the input (fuzz data has no terminator of its own).
inline std::string text_of(const uint8_t *data, size_t size) {
  return std::string(reinterpret_cast<const char *>(data), size);
}

}  // namespace fz
