// quillmar-s3d: a stand-alone host for the library; serves one storage root until SIGINT or SIGTERM.
// Exit status: 0 after a clean stop (and for --help, --version), 1 for bad arguments, 2 when the
// server could not start.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "quillmar-s3.h"

enum { EXIT_CLEAN = 0, EXIT_BAD_ARGS = 1, EXIT_START_FAILED = 2 };

static volatile std::sig_atomic_t g_stop = 0;

static void on_signal(int) { g_stop = 1; }

static void usage(FILE *out) {
  fprintf(out,
          "usage: quillmar-s3d [options]\n"
          "  --root DIR         storage root (default ./data)\n"
          "  --port N           TCP port (default 9000)\n"
          "  --bind ADDR        IPv4 address to listen on (default 127.0.0.1)\n"
          "  --access-key K     access key id (or QUILLMAR_S3_ACCESS_KEY)\n"
          "  --secret-key S     secret key (or QUILLMAR_S3_SECRET_KEY)\n"
          "  --stats            print the statistics document on exit\n"
          "  --quiet            print no banner once serving\n"
          "  --version          print the version and exit\n"
          "  --help             show this text\n"
          "Authentication is on when both keys are non-empty.\n"
          "Exit status: 0 clean stop, 1 bad arguments, 2 the server could not start.\n");
}

// Decimal port text of at most 6 digits; range checks are the library's.
static bool parse_port(const char *text, int *out) {
  size_t len = strlen(text);
  if (len == 0 || len > 6) return false;
  int v = 0;
  for (size_t i = 0; i < len; i++) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
  }
  *out = v;
  return true;
}

int main(int argc, char **argv) {
  const char *root = "./data";
  const char *bind = "127.0.0.1";
  const char *access_key = std::getenv("QUILLMAR_S3_ACCESS_KEY");
  const char *secret_key = std::getenv("QUILLMAR_S3_SECRET_KEY");
  int port = 9000;
  bool stats = false;
  bool quiet = false;

  for (int i = 1; i < argc; i++) {
    const char *arg = argv[i];
    if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
      usage(stdout);
      return EXIT_CLEAN;
    }
    if (strcmp(arg, "--version") == 0) {
      printf("quillmar-s3d %s\n", s3_version());
      return EXIT_CLEAN;
    }
    if (strcmp(arg, "--stats") == 0) {
      stats = true;
      continue;
    }
    if (strcmp(arg, "--quiet") == 0) {
      quiet = true;
      continue;
    }
    static const char *const with_value[] = {"--root", "--port", "--bind", "--access-key",
                                             "--secret-key"};
    const char *value = nullptr;
    int which = -1;
    for (int k = 0; k < 5 && which < 0; k++) {
      size_t n = strlen(with_value[k]);
      if (strncmp(arg, with_value[k], n) != 0) continue;
      if (arg[n] == '=') {
        value = arg + n + 1;
        which = k;
      } else if (arg[n] == 0) {
        if (i + 1 >= argc) {
          fprintf(stderr, "quillmar-s3d: %s needs a value\n", arg);
          return EXIT_BAD_ARGS;
        }
        value = argv[++i];
        which = k;
      }
    }
    switch (which) {
      case 0: root = value; break;
      case 1:
        if (!parse_port(value, &port)) {
          fprintf(stderr, "quillmar-s3d: invalid port %s\n", value);
          return EXIT_BAD_ARGS;
        }
        break;
      case 2: bind = value; break;
      case 3: access_key = value; break;
      case 4: secret_key = value; break;
      default:
        fprintf(stderr, "quillmar-s3d: unknown option %s\n", arg);
        usage(stderr);
        return EXIT_BAD_ARGS;
    }
  }
  if (!access_key) access_key = "";
  if (!secret_key) secret_key = "";

  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);

  if (s3_server_start_ex(port, bind, root, access_key, secret_key) != 0) {
    fprintf(stderr, "quillmar-s3d: %s\n", s3_last_error());
    return EXIT_START_FAILED;
  }
  if (!quiet) {
    bool auth = access_key[0] && secret_key[0];
    printf("quillmar-s3d %s serving http://%s:%d root %s authentication %s\n", s3_version(),
           bind[0] ? bind : "127.0.0.1", port, root, auth ? "on" : "off");
    fflush(stdout);
  }

  while (!g_stop) std::this_thread::sleep_for(std::chrono::milliseconds(100));

  s3_server_stop();
  if (stats) {
    printf("%s\n", s3_get_stats_json());
    fflush(stdout);
  }
  return EXIT_CLEAN;
}
