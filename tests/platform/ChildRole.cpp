#include "ChildRole.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "platform.h"

extern char** environ;

namespace platformtest {
namespace {

[[noreturn]] void HoldMutex() {
  const char* name = getenv("KORB_TEST_MUTEX_NAME");
  port::NamedMutex::Result result;
  std::string error;
  auto mutex = port::NamedMutex::Create(name ? name : "", &result, &error);
  const char* text = result == port::NamedMutex::Result::kCreated ? "created"
                     : result == port::NamedMutex::Result::kAlreadyExists
                         ? "exists"
                         : "failed";
  printf("%s\n", text);
  fflush(stdout);
  if (result == port::NamedMutex::Result::kCreated) {
    for (;;) pause();  // until the test kills us
  }
  _exit(0);
}

[[noreturn]] void ExitWithBufferedOutput() {
  // No newline and no flush: only ExitProcess's flush can get it out.
  printf("buffered text");
  port::ExitProcess(7);
}

[[maybe_unused]] const bool kRoleDone = [] {
  const char* role = getenv("KORB_TEST_CHILD_ROLE");
  if (role == nullptr) return false;
  if (strcmp(role, "hold-mutex") == 0) HoldMutex();
  if (strcmp(role, "exit-process") == 0) ExitWithBufferedOutput();
  _exit(99);
}();

}  // namespace

Child SpawnRole(const std::string& role, const std::vector<std::string>& env) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);

  std::vector<std::string> vars = env;
  vars.push_back("KORB_TEST_CHILD_ROLE=" + role);
  for (char** e = environ; *e != nullptr; ++e) vars.push_back(*e);
  std::vector<char*> envp;
  for (std::string& v : vars) envp.push_back(v.data());
  envp.push_back(nullptr);
  char self[] = "/proc/self/exe";
  char* argv[] = {self, nullptr};

  Child child;
  const int rc = posix_spawn(&child.pid, self, &actions, nullptr, argv,
                             envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    throw std::runtime_error("posix_spawn failed");
  }
  child.out_fd = fds[0];
  return child;
}

std::string ReadLine(const Child& child, std::chrono::milliseconds timeout) {
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return "";
    pollfd pfd = {child.out_fd, POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
    char c;
    if (read(child.out_fd, &c, 1) != 1) return "";
    if (c == '\n') return line;
    line += c;
  }
}

std::string ReadAll(const Child& child) {
  std::string out;
  char buf[256];
  ssize_t n;
  while ((n = read(child.out_fd, buf, sizeof(buf))) > 0)
    out.append(buf, static_cast<size_t>(n));
  return out;
}

int Reap(Child& child) {
  int status = 0;
  while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (child.out_fd >= 0) close(child.out_fd);
  child.out_fd = -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

}  // namespace platformtest
