// Child processes for the kill tests: start the host program, kill it without warning, reap it.
// Plain POSIX, kept to this file.
#include "process.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qt {

int spawn_process(const std::vector<std::string> &argv) {
  if (argv.empty()) return -1;
  // Everything the child needs is prepared before the fork: between fork and exec a child of a
  // threaded process may only make async-signal-safe calls.
  std::vector<char *> args;
  for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
      dup2(null_fd, 1);
      dup2(null_fd, 2);
    }
    execv(args[0], args.data());
    _exit(127);
  }
  return (int)pid;
}

int process_ended(int pid) {
  int status = 0;
  pid_t r;
  do {
    r = waitpid((pid_t)pid, &status, WNOHANG);
  } while (r < 0 && errno == EINTR);
  return r == 0 ? 0 : 1;
}

void kill_process(int pid) {
  if (pid <= 0) return;
  kill((pid_t)pid, SIGKILL);
  int status = 0;
  while (waitpid((pid_t)pid, &status, 0) < 0 && errno == EINTR) {
  }
}

int stop_process(int pid) {
  if (pid <= 0) return -1;
  kill((pid_t)pid, SIGTERM);
  int status = 0;
  pid_t r;
  do {
    r = waitpid((pid_t)pid, &status, 0);
  } while (r < 0 && errno == EINTR);
  return r == (pid_t)pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace qt
