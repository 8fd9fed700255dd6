#include "child_process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

extern char** environ;

namespace supervisor {

namespace {

sigset_t SupervisorSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGCHLD);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

std::string ExecutablePath() {
  std::string path(PATH_MAX, '\0');
  ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
  if (length <= 0) return "";
  path.resize(static_cast<size_t>(length));
  const std::string deleted = " (deleted)";
  if (path.size() > deleted.size() &&
      path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
    path.resize(path.size() - deleted.size());
  return path;
}

}  // namespace

void BlockSupervisorSignals() {
  sigset_t set = SupervisorSignals();
  sigprocmask(SIG_BLOCK, &set, nullptr);
}

int WaitForSignal(long timeout_ms) {
  sigset_t set = SupervisorSignals();
  for (;;) {
    int signo;
    if (timeout_ms < 0) {
      signo = sigwaitinfo(&set, nullptr);
    } else {
      timespec timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
      signo = sigtimedwait(&set, nullptr, &timeout);
    }
    if (signo > 0) return signo;
    if (errno == EAGAIN) return 0;
    // EINTR: a signal outside the set (say SIGSTOP/SIGCONT) interrupted
    // the wait. The caller recomputes its deadline on return, so report a
    // time-out rather than waiting the full period again.
    if (errno == EINTR) return 0;
  }
}

pid_t StartChild(const std::string& path, const std::vector<std::string>& args,
                 std::string* error) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t empty;
  sigemptyset(&empty);
  sigset_t defaults = SupervisorSignals();
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attr, &empty);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, path.c_str(), nullptr, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    *error = path + ": " + std::strerror(rc);
    return -1;
  }
  return pid;
}

bool ReapChild(pid_t pid, std::string* how, int* code) {
  int status = 0;
  pid_t got;
  do {
    got = waitpid(pid, &status, WNOHANG);
  } while (got < 0 && errno == EINTR);
  if (got != pid) return false;
  if (WIFEXITED(status)) {
    *code = WEXITSTATUS(status);
    *how = "exit code " + std::to_string(*code);
  } else {
    *code = 128 + WTERMSIG(status);
    *how = "signal " + std::to_string(WTERMSIG(status));
  }
  return true;
}

void SignalChild(pid_t pid, int sig) {
  if (pid > 0) kill(pid, sig);
}

std::string OwnExecutableName() {
  std::string path = ExecutablePath();
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string OwnExecutableDirectory() {
  std::string path = ExecutablePath();
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace supervisor
