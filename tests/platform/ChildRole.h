// Re-running this test binary as a helper child. A child started with
// KORB_TEST_CHILD_ROLE set performs that role from a static initialiser
// and ends before the tests would run.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace platformtest {

struct Child {
  int pid = -1;
  int out_fd = -1;  // read end of the child's stdout
};

// Starts this binary in `role` with extra "NAME=value" environment entries.
Child SpawnRole(const std::string& role, const std::vector<std::string>& env);
// One line (without the newline) of the child's stdout; "" on time-out or
// end of output.
std::string ReadLine(const Child& child, std::chrono::milliseconds timeout);
// Everything the child writes until it closes stdout.
std::string ReadAll(const Child& child);
// Reaps the child; its exit code, or 128 + signal.
int Reap(Child& child);

}  // namespace platformtest
