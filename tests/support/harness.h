// Integration-test support: the real library started through its C API on a free loopback port
// with a temporary root, raw HTTP over sockets, and small file and text helpers.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
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

// How long a test waits for an event (a port that opens, an answer, a file that appears or goes)
// before it gives up: long enough for a sanitizer build on a loaded two-core machine. Tests wait
// for events, never for a time.
constexpr int kEventBoundMs = 60000;
// The bound for an answer that must come without the server waiting for more of the request:
// half the server's 60 s I/O time-out, so that a server that waited is caught, and still far
// beyond what a loaded machine needs.
constexpr int kPromptMs = 30000;
// Polls until happened() holds or bound_ms pass; whether it held.
bool wait_until(const std::function<bool()> &happened, int bound_ms = kEventBoundMs);

// A free TCP port on 127.0.0.1 (bound and released).
int free_port();
// A fresh empty directory under the system temp directory; removed by remove_tree.
std::string make_temp_dir();
void remove_tree(const std::string &path);
// The names in dir with whether each is a directory (links count as files), in listing
// order; empty when dir cannot be opened.
std::vector<std::pair<std::string, int>> dir_entries(const std::string &dir);
// A fresh temporary directory for the life of the guard.
struct TempDir {
  std::string path;
  TempDir() : path(make_temp_dir()) {}
  ~TempDir() { remove_tree(path); }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  std::string operator/(const std::string &rel) const { return path + "/" + rel; }
};

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

// The length of the first whole answer at the start of raw (interim 1xx answers and its body
// included; no body for an answer to HEAD, a 204 or a 304), 0 while it is incomplete or has
// no Content-Length.
size_t answer_length(const std::string &raw, bool head_request);
// Parses the final answer in raw (interim 1xx answers skipped).
Response parse_response(const std::string &raw);
// Sends raw bytes to 127.0.0.1:port, then reads one whole answer, or until the server
// closes (timeout in ms).
Response send_raw(int port, const std::string &bytes, int timeout_ms = kEventBoundMs);
// The one rule for a request's Content-Length in the helpers below: sent when there is a body
// or the method is PUT or POST (whose requests carry one, if empty), never otherwise. A test
// that means to send a request without it, or with a wrong one, writes the bytes itself.
bool carries_length(const std::string &method, const std::string &body);
// A request built from parts: method, target, extra header lines ("Name: value", no CRLF) and
// a body. Host and "Connection: close" are added unless given; Content-Length by the rule above unless the headers
// already frame the body (Content-Length or Transfer-Encoding).
Response request(int port, const std::string &method, const std::string &target,
                 const std::vector<std::string> &headers = {}, const std::string &body = "");

// A raw client connection for tests that send in steps.
struct Conn {
  int fd = -1;
  explicit Conn(int port);
  ~Conn();
  bool head_request = false;              // the last request sent was a HEAD
  bool send(const std::string &bytes);   // false when the send failed
  // Until one whole answer came (the connection may stay open for the next), the close, or
  // the time-out.
  std::string recv_all(int timeout_ms = kEventBoundMs);
  std::string recv_until_close(int timeout_ms = kEventBoundMs);  // until close or time-out
  std::string recv_some(int timeout_ms);  // whatever arrives within the time-out
  bool closed_without_data(int timeout_ms);  // peer closed and sent nothing
  void shutdown_send();
};

// Files on disk.
std::string read_file(const std::string &path);   // "" when missing
// A metadata record's text without its "+Version" line, which names the data version the record
// was written for (a file number and a time that differ from run to run).
std::string read_record(const std::string &path);
bool file_exists(const std::string &path);
bool dir_exists(const std::string &path);
void write_file(const std::string &path, const std::string &data);  // creates parent dirs
void set_mtime(const std::string &path, int64_t seconds_since_1970);
// Names in a directory that begin with "." (the store's temporary files), in listing order.
std::vector<std::string> dot_entries(const std::string &dir);
// Every file below dir, at any depth, as dir + "/" + its path; none when dir is missing.
std::vector<std::string> files_below(const std::string &dir);

// Text helpers.
std::string md5_hex(const std::string &data);
std::string sha256_hex(const std::string &data);
std::string random_bytes(size_t n, uint32_t seed);

// Runs a shell command, returns its exit status; output captured into *out when given.
// With QUILLMAR_TEST_COMMANDS set, the command runs on the host through tests/wine/commands.py.
int run_command(const std::string &cmd, std::string *out = nullptr);

// tests/data in the source tree: the captured client requests.
std::string data_dir();
// The path below its bucket at which the store keeps key, as the README's storage layout
// describes it, for keys whose segments are short (at most 60 bytes), not empty, no "." or
// "..", no device names and no names of the server's own: each segment as it is, or under
// Windows names encoded where Windows cannot hold it. Tests plant such keys with it.
std::string stored_key(const std::string &key);

}  // namespace qt
