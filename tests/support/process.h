// Test support for tests that run the host program as a child process and kill it.
#pragma once

#include <string>
#include <vector>

namespace qt {

// Starts argv[0] with the given arguments, its output sent to /dev/null. The child's process
// id, or -1 when it could not be started.
int spawn_process(const std::vector<std::string> &argv);
// 1 when the child has ended (and is reaped), 0 while it runs.
int process_ended(int pid);
// Kills the child with SIGKILL, as a crash or a power cut would end it, and reaps it.
void kill_process(int pid);
// Asks the child to stop (SIGTERM) and waits for it; its exit status, or -1.
int stop_process(int pid);

}  // namespace qt
