// Integration-test support: starts the library on a free loopback port with a temporary
// root, speaks raw HTTP over sockets and offers small file and text helpers.
#include "harness.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "digest/hash.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "record_text.h"

namespace qt {

static uint32_t loopback() {
  uint32_t a = 0;
  plat_ipv4_parse("127.0.0.1", &a);
  return a;
}

// ---------------------------------------------------------------- server

Server::Server(const std::string &access_key, const std::string &secret_key) {
  root = make_temp_dir();
  // A free port can be taken by another process between probing and binding: try a few.
  for (int attempt = 0; attempt < 5; attempt++) {
    int p = free_port();
    if (s3_server_start_ex(p, "127.0.0.1", root.c_str(), access_key.c_str(), secret_key.c_str()) == 0) {
      port = p;
      return;
    }
    if (std::strncmp(s3_last_error(), "bind failed", 11) != 0) break;
  }
  ADD_FAILURE() << "server start failed: " << s3_last_error();
}

Server::~Server() {
  s3_server_stop();
  remove_tree(root);
}

bool wait_until(const std::function<bool()> &happened, int bound_ms) {
  const uint32_t start = plat_tick_ms();
  for (;;) {
    if (happened()) return true;
    if (plat_tick_ms() - start >= (uint32_t)bound_ms) return false;
    plat_sleep_ms(10);  // the polling step, not a wait for something to have happened
  }
}

int free_port() {
  plat_sock s = plat_tcp_socket();
  if (s == PLAT_BAD_SOCK) return 0;
  int port = 0;
  if (plat_sock_bind(s, loopback(), 0) == 0) port = plat_sock_local_port(s);
  plat_sock_close(s);
  return port < 0 ? 0 : port;
}

std::string make_temp_dir() {
  for (int attempt = 0; attempt < 100; attempt++) {
    unsigned char r[8];
    if (plat_random_bytes(r, sizeof r) != 0) break;
    char hex[17];
    for (int i = 0; i < 8; i++) std::snprintf(hex + 2 * i, 3, "%02x", r[i]);
    std::string dir = std::string("/tmp/quillmar-test-") + hex;
    if (plat_mkdir(dir.c_str()) == 0) return dir;
  }
  ADD_FAILURE() << "cannot create a temporary directory";
  return "/tmp/quillmar-test-unusable";
}

std::vector<std::pair<std::string, int>> dir_entries(const std::string &dir) {
  std::vector<std::pair<std::string, int>> entries;
  plat_dir *d = plat_dir_open(dir.c_str());
  if (!d) return entries;
  char name[4096];
  int is_dir = 0;
  while (plat_dir_next(d, name, sizeof name, &is_dir) == 1) entries.emplace_back(name, is_dir);
  plat_dir_close(d);
  return entries;
}

// Symbolic links are removed, never followed (the directory listing reports them as files).
void remove_tree(const std::string &path) {
  if (path.empty() || path == "/") return;
  plat_dir *d = plat_dir_open(path.c_str());
  if (!d) {
    plat_unlink(path.c_str(), nullptr);
    return;
  }
  plat_dir_close(d);
  std::vector<std::pair<std::string, int>> entries = dir_entries(path);
  for (auto &e : entries) {
    std::string child = path + "/" + e.first;
    if (e.second) remove_tree(child);
    else plat_unlink(child.c_str(), nullptr);
  }
  plat_rmdir(path.c_str());
}

// ---------------------------------------------------------------- responses

static bool ieq_str(const std::string &a, const std::string &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = (char)(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = (char)(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string Response::header(const std::string &name) const {
  for (auto &h : headers)
    if (ieq_str(h.first, name)) return h.second;
  return "";
}

bool Response::has_header(const std::string &name) const {
  for (auto &h : headers)
    if (ieq_str(h.first, name)) return true;
  return false;
}

// Parses the final answer in raw; interim 1xx answers (100 Continue) ahead of it are skipped.
Response parse_response(const std::string &raw) {
  Response r;
  r.raw = raw;
  size_t pos = 0;
  for (;;) {
    size_t end = raw.find("\r\n\r\n", pos);
    if (end == std::string::npos || raw.compare(pos, 5, "HTTP/") != 0) {
      r.body = raw.substr(pos);
      return r;
    }
    std::string head = raw.substr(pos, end - pos);
    size_t eol = head.find("\r\n");
    std::string status_line = head.substr(0, eol);
    int status = 0;
    size_t sp = status_line.find(' ');
    if (sp != std::string::npos && sp + 4 <= status_line.size()) {
      for (size_t i = sp + 1; i < sp + 4; i++) {
        char c = status_line[i];
        if (c < '0' || c > '9') {
          status = 0;
          break;
        }
        status = status * 10 + (c - '0');
      }
    }
    if (status >= 100 && status < 200 && end + 4 < raw.size()) {
      pos = end + 4;
      continue;
    }
    r.status = status;
    r.status_line = status_line;
    r.head = head;
    r.headers.clear();
    size_t line = eol == std::string::npos ? head.size() : eol + 2;
    while (line < head.size()) {
      size_t next = head.find("\r\n", line);
      if (next == std::string::npos) next = head.size();
      std::string h = head.substr(line, next - line);
      size_t colon = h.find(':');
      if (colon != std::string::npos) {
        size_t v = colon + 1;
        while (v < h.size() && (h[v] == ' ' || h[v] == '\t')) v++;
        r.headers.emplace_back(h.substr(0, colon), h.substr(v));
      }
      line = next + 2;
    }
    r.body = raw.substr(end + 4);
    return r;
  }
}

// ---------------------------------------------------------------- connections

Conn::Conn(int port) {
  plat_sock s = plat_tcp_connect(loopback(), port);
  fd = s == PLAT_BAD_SOCK ? -1 : (int)s;
}

Conn::~Conn() {
  if (fd >= 0) plat_sock_close((plat_sock)fd);
}

bool Conn::send(const std::string &bytes) {
  if (fd < 0) return false;
  if (bytes.size() > 5 && bytes.compare(0, 5, "HEAD ") == 0) head_request = true;
  else if (bytes.size() > 4 && bytes[0] >= 'A' && bytes[0] <= 'Z' && bytes.find(' ') < 8 &&
           bytes.find(" HTTP/1.") != std::string::npos)
    head_request = false;
  size_t off = 0;
  while (off < bytes.size()) {
    long n = plat_sock_send((plat_sock)fd, bytes.data() + off, bytes.size() - off);
    if (n <= 0) return false;
    off += (size_t)n;
  }
  return true;
}

// 1 when raw holds a whole final answer: its head, and the body its Content-Length gives
// (none for an answer to HEAD, a 204 or a 304). An answer without a length ends at the close.
size_t answer_length(const std::string &raw, bool head_request) {
  size_t pos = 0;
  for (;;) {
    size_t end = raw.find("\r\n\r\n", pos);
    if (end == std::string::npos) return 0;
    std::string head = raw.substr(pos, end - pos);
    int status = head.size() > 12 ? std::atoi(head.substr(9, 3).c_str()) : 0;
    if (status >= 100 && status < 200) {
      pos = end + 4;
      continue;
    }
    if (head_request || status == 204 || status == 304) return end + 4;
    std::string lower = head;
    for (char &c : lower) c = (char)std::tolower((unsigned char)c);
    size_t cl = lower.find("\r\ncontent-length:");
    if (cl == std::string::npos) return 0;
    uint64_t len = std::strtoull(lower.c_str() + cl + 17, nullptr, 10);
    return raw.size() - (end + 4) >= len ? end + 4 + size_t(len) : 0;
  }
}

// Reads until the peer closes, the connection fails, timeout_ms pass or (stop_at_answer) a
// whole answer has come: the server keeps the connection open for the next request.
static std::string read_until(int fd, int timeout_ms, bool stop_at_first,
                              bool stop_at_answer = false, bool head_request = false) {
  std::string out;
  if (fd < 0) return out;
  uint32_t start = plat_tick_ms();
  char buf[65536];
  for (;;) {
    uint32_t spent = plat_tick_ms() - start;
    if (spent >= (uint32_t)timeout_ms) break;
    int r = plat_sock_wait_readable((plat_sock)fd, timeout_ms - (int)spent);
    if (r != 1) break;
    long n = plat_sock_recv((plat_sock)fd, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, (size_t)n);
    if (stop_at_first) break;
    if (stop_at_answer && answer_length(out, head_request)) break;
  }
  return out;
}

std::string Conn::recv_all(int timeout_ms) {
  return read_until(fd, timeout_ms, false, true, head_request);
}

std::string Conn::recv_until_close(int timeout_ms) { return read_until(fd, timeout_ms, false); }

std::string Conn::recv_some(int timeout_ms) {
  std::string out = read_until(fd, timeout_ms, true);
  // Take whatever else is already waiting, without blocking for more.
  while (fd >= 0 && plat_sock_wait_readable((plat_sock)fd, 0) == 1) {
    char buf[65536];
    long n = plat_sock_recv((plat_sock)fd, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, (size_t)n);
  }
  return out;
}

bool Conn::closed_without_data(int timeout_ms) {
  if (fd < 0) return false;
  if (plat_sock_wait_readable((plat_sock)fd, timeout_ms) != 1) return false;
  char c;
  // 0: orderly close; -1: reset (closing with unread request bytes resets). Both mean
  // the server went away without a byte.
  return plat_sock_recv((plat_sock)fd, &c, 1) <= 0;
}

void Conn::shutdown_send() {
  if (fd >= 0) plat_sock_shutdown_send((plat_sock)fd);
}

Response send_raw(int port, const std::string &bytes, int timeout_ms) {
  Conn c(port);
  if (c.fd < 0) return Response{};
  plat_sock_timeouts((plat_sock)c.fd, timeout_ms, timeout_ms);
  c.send(bytes);  // the server may answer and close before taking everything
  // A request that asked for the close is read to it: the server's work after its answer
  // (removing what a failed request left) is then over, as tests of it expect.
  size_t head_end = bytes.find("\r\n\r\n");
  size_t asked = bytes.find("\r\nConnection: close\r\n");
  if (asked != std::string::npos && asked < head_end)
    return parse_response(c.recv_until_close(timeout_ms));
  return parse_response(c.recv_all(timeout_ms));
}

static bool has_header_line(const std::vector<std::string> &headers, const char *name) {
  size_t n = std::strlen(name);
  for (auto &h : headers)
    if (h.size() > n && h[n] == ':' && ieq_str(h.substr(0, n), name)) return true;
  return false;
}

bool carries_length(const std::string &method, const std::string &body) {
  return !body.empty() || method == "PUT" || method == "POST";
}

Response request(int port, const std::string &method, const std::string &target,
                 const std::vector<std::string> &headers, const std::string &body) {
  std::string req = method + " " + target + " HTTP/1.1\r\n";
  if (!has_header_line(headers, "Host")) req += "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
  for (auto &h : headers) req += h + "\r\n";
  // One request per connection, as the tests' exact heads expect; the tests of persistent
  // connections write their own requests.
  if (!has_header_line(headers, "Connection")) req += "Connection: close\r\n";
  if (carries_length(method, body) && !has_header_line(headers, "Content-Length") &&
      !has_header_line(headers, "Transfer-Encoding"))
    req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  req += "\r\n";
  req += body;
  return send_raw(port, req);
}

// ---------------------------------------------------------------- files

std::string read_file(const std::string &path) {
  plat_file_guard f(plat_file_open(path.c_str(), PLAT_READ));
  std::string out;
  if (!f.f) return out;
  char buf[65536];
  long n;
  while ((n = plat_file_read(f.f, buf, sizeof buf)) > 0) out.append(buf, (size_t)n);
  return out;
}

std::string read_record(const std::string &path) {
  return qt_record::without_version_line(read_file(path));
}

bool file_exists(const std::string &path) {
  plat_stat_t st;
  return plat_stat(path.c_str(), &st) == 0 && !st.is_dir;
}

bool dir_exists(const std::string &path) {
  plat_stat_t st;
  return plat_stat(path.c_str(), &st) == 0 && st.is_dir;
}

static void make_parents(const std::string &path) {
  for (size_t i = 1; i < path.size(); i++)
    if (path[i] == '/') plat_mkdir(path.substr(0, i).c_str());
}

void write_file(const std::string &path, const std::string &data) {
  make_parents(path);
  plat_file_guard f(plat_file_open(path.c_str(), PLAT_WRITE_TRUNC));
  if (!f.f || plat_file_write(f.f, data.data(), data.size()) != (long)data.size())
    ADD_FAILURE() << "cannot write " << path;
}

void set_mtime(const std::string &path, int64_t seconds_since_1970) {
  if (plat_set_mtime(path.c_str(), seconds_since_1970) != 0) ADD_FAILURE() << "cannot set mtime of " << path;
}

std::vector<std::string> dot_entries(const std::string &dir) {
  std::vector<std::string> out;
  plat_dir *d = plat_dir_open(dir.c_str());
  if (!d) return out;
  char name[4096];
  int is_dir = 0;
  while (plat_dir_next(d, name, sizeof name, &is_dir) == 1)
    if (name[0] == '.') out.push_back(name);
  plat_dir_close(d);
  return out;
}

std::vector<std::string> files_below(const std::string &dir) {
  std::vector<std::string> out;
  plat_dir *d = plat_dir_open(dir.c_str());
  if (!d) return out;
  char name[4096];
  int is_dir = 0;
  std::vector<std::string> dirs;
  while (plat_dir_next(d, name, sizeof name, &is_dir) == 1) {
    if (is_dir)
      dirs.push_back(dir + "/" + name);
    else
      out.push_back(dir + "/" + name);
  }
  plat_dir_close(d);
  for (const std::string &sub : dirs)
    for (std::string &f : files_below(sub)) out.push_back(std::move(f));
  return out;
}

// ---------------------------------------------------------------- text

std::string md5_hex(const std::string &data) {
  md5_ctx c;
  md5_init(&c);
  md5_update(&c, data.data(), data.size());
  unsigned char d[16];
  md5_final(&c, d);
  char hex[33];
  hex_encode(d, 16, hex);
  return hex;
}

std::string sha256_hex(const std::string &data) {
  char hex[65];
  ::sha256_hex(data.data(), data.size(), hex);
  return hex;
}

// Deterministic bytes for fixtures (xorshift64*), the same for the same seed.
std::string random_bytes(size_t n, uint32_t seed) {
  uint64_t x = 0x9e3779b97f4a7c15ull ^ seed;
  if (x == 0) x = 1;
  std::string out(n, '\0');
  for (size_t i = 0; i < n; i++) {
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    out[i] = (char)((x * 0x2545f4914f6cdd1dull) >> 56);
  }
  return out;
}

// A command sent to the host's command runner (tests/wine/commands.py, reached at "PORT TOKEN"):
// its exit status, -1 when the runner cannot be reached; its output into *out or to stdout.
static int run_remote(const char *runner, const std::string &cmd, std::string *out) {
  int port = 0;
  char token[64];
  if (std::sscanf(runner, "%d %63s", &port, token) != 2) return -1;
  plat_sock s = plat_tcp_connect(loopback(), port);
  if (s == PLAT_BAD_SOCK) return -1;
  std::string req = std::string(token) + "\n" + cmd, answer;
  bool sent = true;
  for (size_t done = 0; sent && done < req.size();) {
    long n = plat_sock_send(s, req.data() + done, req.size() - done);
    sent = n > 0;
    if (sent) done += (size_t)n;
  }
  plat_sock_shutdown_send(s);
  char buf[4096];
  long n;
  while (sent && (n = plat_sock_recv(s, buf, sizeof buf)) > 0) answer.append(buf, (size_t)n);
  plat_sock_close(s);
  size_t nl = answer.find('\n');
  if (!sent || nl == std::string::npos) return -1;
  std::string text = answer.substr(nl + 1);
  if (out)
    *out = text;
  else
    std::fwrite(text.data(), 1, text.size(), stdout);
  return (int)std::strtol(answer.c_str(), nullptr, 10);
}

int run_command(const std::string &cmd, std::string *out) {
  std::fflush(nullptr);
  // Under Wine the commands run on the Linux host, where their shell and helpers are.
  const char *runner = std::getenv("QUILLMAR_TEST_COMMANDS");
  if (runner && *runner) return run_remote(runner, cmd, out);
  if (!out) {
    int st = std::system(cmd.c_str());
    if (st == -1) return -1;
    return (st & 0x7f) == 0 ? (st >> 8) & 0xff : 128 + (st & 0x7f);
  }
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return -1;
  char buf[4096];
  size_t n;
  out->clear();
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
  int st = pclose(p);
  if (st == -1) return -1;
  // The wait status as the C library reports it: exit code in bits 8-15, signal in 0-6.
  return (st & 0x7f) == 0 ? (st >> 8) & 0xff : 128 + (st & 0x7f);
}

std::string data_dir() { return QUILLMAR_DATA_DIR; }

std::string stored_key(const std::string &key) {
  std::string out;
  size_t start = 0;
  for (;;) {
    size_t slash = key.find('/', start);
    std::string seg = key.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    bool plain = true;
    if (plat_windows_names()) {
      for (unsigned char c : seg)
        if (c < 0x20 || strchr("<>:\"\\|?*", c)) plain = false;
      if (!seg.empty() && (seg.back() == '.' || seg.back() == ' ')) plain = false;
    }
    if (plain) {
      out += seg;
    } else {
      out += ".quillmar-k-";
      for (size_t i = 0; i < seg.size(); i++) {
        unsigned char c = (unsigned char)seg[i];
        bool kept = c >= 0x80 || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                    c == '_' || c == '~' || (c == '.' && i + 1 < seg.size());
        char hex[4];
        snprintf(hex, sizeof hex, "%%%02X", c);
        out += kept ? std::string(1, char(c)) : std::string(hex);
      }
    }
    if (slash == std::string::npos) return out;
    out += '/';
    start = slash + 1;
  }
}

}  // namespace qt
