// Child processes for the harness. posix_spawn rather than fork, because
// the test process may already run daemon threads when a server restarts.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "HarnessInternal.h"

extern char** environ;

namespace korbtest::internal {

const char* const kSessionMode =
    "STRICT_TRANS_TABLES,ERROR_FOR_DIVISION_BY_ZERO,NO_BACKSLASH_ESCAPES,"
    "NO_ENGINE_SUBSTITUTION";

namespace {

std::string Joined(const std::vector<std::string>& argv) {
  std::string text;
  for (const std::string& arg : argv) text += (text.empty() ? "" : " ") + arg;
  return text;
}

}  // namespace

int Spawn(const std::vector<std::string>& argv, const std::string& stdin_path,
          const std::string& output_path, bool new_session, int stdin_fd) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  if (stdin_fd >= 0)
    posix_spawn_file_actions_adddup2(&actions, stdin_fd, 0);
  else
    posix_spawn_file_actions_addopen(&actions, 0, stdin_path.empty() ? "/dev/null"
                                                                      : stdin_path.c_str(),
                                     O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output_path.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  if (new_session) posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0)
    throw std::runtime_error("cannot start " + Joined(argv) + ": " + std::strerror(rc));
  return pid;
}

int WaitChild(int pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return status;
}

void RunOrThrow(const std::vector<std::string>& argv,
                const std::string& stdin_path, const std::string& output_path) {
  const int status = WaitChild(Spawn(argv, stdin_path, output_path, false));
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error(Joined(argv) + " failed (wait status " + std::to_string(status) +
                             "):\n" + Tail(output_path));
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::string Tail(const std::string& path) {
  const std::string text = ReadFile(path);
  return text.size() > 2000 ? "..." + text.substr(text.size() - 2000) : text;
}

}  // namespace korbtest::internal
