// Loopback fixture for the body-reception tests: a connected socket pair on 127.0.0.1, a client
// thread that sends the wire bytes and closes, a scratch directory, and request builders.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "auth/sigv4.h"
#include "auth/stream.h"
#include "base/state.h"
#include "body/aws_chunked.h"
#include "body/body.h"
#include "http/request.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "quillmar-s3.h"

namespace bt {

inline uint32_t loopback() {
  uint32_t a = 0;
  plat_ipv4_parse("127.0.0.1", &a);
  return a;
}

// A connected pair: server is the accepted end the reader uses.
struct Pair {
  plat_sock server = PLAT_BAD_SOCK;
  plat_sock client = PLAT_BAD_SOCK;
  Pair() {
    plat_sock l = plat_tcp_socket();
    EXPECT_EQ(0, plat_sock_bind(l, loopback(), 0));
    EXPECT_EQ(0, plat_sock_listen(l, 4));
    client = plat_tcp_connect(loopback(), plat_sock_local_port(l));
    server = plat_sock_accept(l);
    plat_sock_close(l);
    plat_sock_timeouts(server, 10000, 10000);
  }
  ~Pair() {
    if (server != PLAT_BAD_SOCK) plat_sock_close(server);
    if (client != PLAT_BAD_SOCK) plat_sock_close(client);
  }
};

// Sends bytes from the client end on its own thread, then closes that end, so that a reader
// sees the end of the connection after the last byte.
struct Sender {
  std::thread t;
  Sender(Pair &p, std::string bytes) {
    plat_sock c = p.client;
    p.client = PLAT_BAD_SOCK;
    t = std::thread([c, bytes = std::move(bytes)] {
      size_t off = 0;
      while (off < bytes.size()) {
        long n = plat_sock_send(c, bytes.data() + off, bytes.size() - off);
        if (n <= 0) break;
        off += (size_t)n;
      }
      plat_sock_shutdown_send(c);
      plat_sock_close(c);
    });
  }
  ~Sender() { t.join(); }
};

// Removes the scratch directory and the files the tests leave in it when the program ends.
struct ScratchCleanup {
  std::string dir;
  ~ScratchCleanup() {
    if (dir.empty()) return;
    plat_dir *d = plat_dir_open(dir.c_str());
    char name[256];
    int is_dir;
    plat_err e;
    while (d && plat_dir_next(d, name, sizeof name, &is_dir) == 1)
      if (!is_dir) plat_unlink((dir + "/" + name).c_str(), &e);
    if (d) plat_dir_close(d);
    plat_rmdir(dir.c_str());
  }
};

inline std::string scratch_dir() {
  static ScratchCleanup cleanup;
  std::string &dir = cleanup.dir;
  if (dir.empty()) {
    unsigned char r[6];
    plat_random_bytes(r, sizeof r);
    char name[64];
    snprintf(name, sizeof name, "/tmp/quillmar-body-%02x%02x%02x%02x%02x%02x", r[0], r[1], r[2], r[3],
             r[4], r[5]);
    plat_mkdir(name);
    dir = name;
  }
  return dir;
}

inline std::string read_file(const std::string &path) {
  std::string out;
  plat_file_guard f(plat_file_open(path.c_str(), PLAT_READ));
  if (!f.f) return out;
  char buf[65536];
  long n;
  while ((n = plat_file_read(f.f, buf, sizeof buf)) > 0) out.append(buf, (size_t)n);
  return out;
}

inline bool file_exists(const std::string &path) {
  plat_stat_t st;
  return plat_stat(path.c_str(), &st) == 0;
}

inline std::string last_error() {
  return s3_last_error();
}

// "PUT /bkt/key HTTP/1.1" with the given header lines and the empty line.
inline std::string head(const std::vector<std::string> &lines) {
  std::string h = "PUT /bkt/key HTTP/1.1\r\n";
  for (const auto &l : lines) h += l + "\r\n";
  return h + "\r\n";
}

// A parsed request over head + prefix, with the captured header fields the body code reads.
struct Req {
  std::string buf;
  std::unique_ptr<S3Request> r{new S3Request()};
  Req(const std::string &h, const std::string &prefix = "") : buf(h + prefix) {
    memset(r.get(), 0, sizeof *r);
    r->head = buf.data();
    r->head_len = h.size();
    r->received = buf.size();
    r->body_prefix = buf.data() + h.size();
    r->body_prefix_len = prefix.size();
    capture("authorization", r->authorization, sizeof r->authorization);
    capture("x-amz-date", r->amz_date, sizeof r->amz_date);
    capture("x-amz-content-sha256", r->content_sha256, sizeof r->content_sha256);
    read_head_fields(r->head, r->head_len, &r->fields);
  }
  void capture(const char *name, char *dst, size_t cap) {
    owned_str v(hdr_value(r->head, r->head_len, name));
    copy_text(dst, cap, v.get() ? v.get() : "");
  }
};

// What one reception gave.
struct Result {
  int rc = 0;
  std::string data;    // the file's content
  std::string etag;
  uint64_t len = 0;
  std::string error;   // last-error text
  int sigfail = 0;
  stream_state stream{};  // the request's stream after the body was read
  upload_error up{};   // receive_upload only
  bool file_left = false;
};

inline std::string out_path() { return scratch_dir() + "/body.out"; }
// The store hands a body reader a new, empty file; each run starts from none.
inline void fresh_out() {
  plat_err err = PLAT_OK;
  plat_unlink(out_path().c_str(), &err);
}

// read_body_to_file over head, prefix (bytes that came with the head) and rest (the socket),
// with the request's stream st (all zero: a body that is not streamed).
inline Result run_body(const std::string &h, const std::string &prefix, const std::string &rest,
                       const stream_state &st = stream_state{}, body_digests *dg = nullptr) {
  Result res;
  Pair p;
  clear_error();
  res.stream = st;
  {
    Sender s(p, rest);
    char etag[33];
    fresh_out();
    res.rc = read_body_to_file(p.server, h.data(), h.size(), prefix.data(), prefix.size(),
                               out_path().c_str(), etag, &res.len, dg, &res.stream);
    res.etag = etag;
  }
  res.data = read_file(out_path());
  res.error = last_error();
  res.sigfail = res.stream.sigfail;
  return res;
}

// The stream of a body framed as aws-chunked, without signature checks.
inline stream_state aws_stream() {
  stream_state st{};
  st.aws_chunked = 1;
  return st;
}

// stream_select + receive_upload over a request, with rest arriving on the socket.
inline Result run_upload(Req &q, const std::string &rest) {
  Result res;
  Pair p;
  clear_error();
  stream_select(&res.stream, q.r.get());
  {
    Sender s(p, rest);
    char etag[33];
    fresh_out();
    res.rc = receive_upload(p.server, q.r.get(), &res.stream, out_path().c_str(),
                            "Failed to store object body", etag, &res.len, &res.up);
    res.etag = etag;
  }
  res.file_left = file_exists(out_path());
  res.data = read_file(out_path());
  res.error = last_error();
  res.sigfail = res.stream.sigfail;
  return res;
}

// What read_whole_body gave.
struct Whole {
  int rc = 0;
  std::string body;
  upload_error err{};
  std::string error;  // last-error text
};

// read_whole_body over a request with rest arriving on the socket, at most max bytes, with the
// request's stream st (all zero: a body that is not streamed).
inline Whole run_whole(Req &q, const std::string &rest, size_t max, stream_state st = stream_state{}) {
  Whole w;
  Pair p;
  clear_error();
  {
    Sender s(p, rest);
    char *out = nullptr;
    size_t len = 0;
    w.rc = read_whole_body(p.server, q.r.get(), &st, max, &out, &len, &w.err);
    if (out) {
      w.body.assign(out, len);
      free(out);
    }
  }
  w.error = last_error();
  return w;
}

}  // namespace bt
