#include "child_process.h"

#include "LoopProgress.h"
#include "RoleNotice.h"

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

const char* const kReadyNoticeVariable = "KORB_NOTIFY_SUPERVISOR";

namespace {

sigset_t SupervisorSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGCHLD);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGUSR1);
  sigaddset(&set, LoopProgressSignal());
  sigaddset(&set, RoleNoticeSignal());
  return set;
}

// The manager's variables name this process; a child that inherited them
// could speak for the service.
bool IsManagerVariable(const char* entry) {
  for (const char* name : {"NOTIFY_SOCKET=", "WATCHDOG_USEC=", "WATCHDOG_PID="}) {
    if (std::strncmp(entry, name, std::strlen(name)) == 0) return true;
  }
  return false;
}

std::vector<std::string> ChildEnvironment() {
  const std::string notice = std::string(kReadyNoticeVariable) + "=";
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (IsManagerVariable(*entry) ||
        std::strncmp(*entry, notice.c_str(), notice.size()) == 0)
      continue;
    env.emplace_back(*entry);
  }
  env.push_back(notice + "1");
  return env;
}

std::vector<char*> Pointers(const std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (const std::string& text : texts)
    pointers.push_back(const_cast<char*>(text.c_str()));
  pointers.push_back(nullptr);
  return pointers;
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

int WaitForSignal(long timeout_ms, pid_t* sender, int* value) {
  sigset_t set = SupervisorSignals();
  for (;;) {
    int signo;
    siginfo_t info{};
    if (timeout_ms < 0) {
      signo = sigwaitinfo(&set, &info);
    } else {
      timespec timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
      signo = sigtimedwait(&set, &info, &timeout);
    }
    if (signo > 0) {
      if (sender != nullptr) *sender = info.si_pid;
      if (value != nullptr) *value = info.si_value.sival_int;
      return signo;
    }
    if (errno == EAGAIN) return 0;
    // EINTR: a signal outside the set (say SIGSTOP/SIGCONT) interrupted
    // the wait. The caller recomputes its deadline on return, so report a
    // time-out rather than waiting the full period again.
    if (errno == EINTR) return 0;
  }
}

pid_t StartChild(const std::string& path, const std::vector<std::string>& args,
                 std::string* error) {
  std::vector<char*> argv = Pointers(args);
  const std::vector<std::string> env_texts = ChildEnvironment();
  std::vector<char*> env = Pointers(env_texts);

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
  int rc = posix_spawn(&pid, path.c_str(), nullptr, &attr, argv.data(), env.data());
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
