// Integration-test support: the real library started through its C API on a free loopback port
// with a temporary root, raw HTTP over sockets, and small file and text helpers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quillmar-s3.h"

namespace qt {

// A started server: a fresh temporary storage root and a free port. Stops and removes on exit.
struct Server {
  int port = 0;
  std::string root;
  // Starts with the given keys (empty = authentication off). Fails the test on error.
  explicit Server(const std::string &access_key = "", const std::string &secret_key = "");
  ~Server();
  Server(const Server &) = delete;
  Server &operator=(const Server &) = delete;
  std::string path(const std::string &rel) const { return root + "/" + rel; }
};

// A free TCP port on 127.0.0.1 (bound and released).
int free_port();
// A fresh empty directory under the system temp directory; removed by remove_tree.
std::string make_temp_dir();
void remove_tree(const std::string &path);

// A parsed HTTP answer.
struct Response {
  int status = 0;          // 0 when no status line came
  std::string status_line;
  std::vector<std::pair<std::string, std::string>> headers;  // in order, names as sent
  std::string head;        // raw head text up to the empty line
  std::string body;        // bytes after the head (until the server closed)
  std::string raw;         // everything received
  // First header of that name (case-insensitive); "" if absent.
  std::string header(const std::string &name) const;
  bool has_header(const std::string &name) const;
};

// Sends raw bytes to 127.0.0.1:port, then reads until the server closes (timeout in ms).
Response send_raw(int port, const std::string &bytes, int timeout_ms = 10000);
// A request built from parts: method, target, extra header lines ("Name: value", no CRLF),
// and a body (Content-Length added when body is non-empty or add_length is set).
Response request(int port, const std::string &method, const std::string &target,
                 const std::vector<std::string> &headers = {}, const std::string &body = "",
                 bool add_length = false);

// A raw client connection for tests that send in steps.
struct Conn {
  int fd = -1;
  explicit Conn(int port);
  ~Conn();
  bool send(const std::string &bytes);   // false when the send failed
  std::string recv_all(int timeout_ms = 10000);  // until close or time-out
  std::string recv_some(int timeout_ms);  // whatever arrives within the time-out
  bool closed_without_data(int timeout_ms);  // peer closed and sent nothing
  void shutdown_send();
};

// Files on disk.
std::string read_file(const std::string &path);   // "" when missing
bool file_exists(const std::string &path);
bool dir_exists(const std::string &path);
void write_file(const std::string &path, const std::string &data);  // creates parent dirs
void set_mtime(const std::string &path, int64_t seconds_since_1970);

// Text helpers.
std::string md5_hex(const std::string &data);
std::string sha256_hex(const std::string &data);
std::string random_bytes(size_t n, uint32_t seed);

// Runs a shell command, returns its exit status; output captured into *out when given.
// With QUILLMAR_TEST_COMMANDS set, the command runs on the host through tests/wine/commands.py.
int run_command(const std::string &cmd, std::string *out = nullptr);

// tests/data in the source tree: the captured client requests.
std::string data_dir();

}  // namespace qt
