// The private server of one test binary, all in one mkdtemp folder. A
// guardian shell reads the server's pid from a pipe only this process can
// write; however the test process dies (crash, time-out, SIGKILL) the pipe
// closes and the guardian stops the server and removes the folder.
#include <fcntl.h>
#include <signal.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "HarnessInternal.h"

namespace korbtest {

namespace {

using internal::RunOrThrow;
using internal::Spawn;

int g_guardian_fd = -1;
int g_owner_pid = -1;

const char kGuardianScript[] =
    "pid=\n"
    "while IFS= read -r line; do pid=$line; done\n"
    "if [ -n \"$pid\" ]; then\n"
    "  kill -TERM \"$pid\" 2>/dev/null\n"
    "  n=0\n"
    "  while [ -e \"$1\" ] && kill -0 \"$pid\" 2>/dev/null && [ $n -lt 600 ]; do\n"
    "    sleep 0.1; n=$((n+1))\n"
    "  done\n"
    "fi\n"
    "rm -rf \"$2\"\n";

void TellGuardian(const std::string& line) {
  if (g_guardian_fd < 0) return;
  const std::string text = line + "\n";
  // Best effort: a guardian that died cannot clean up anyway.
  [[maybe_unused]] ssize_t ignored = write(g_guardian_fd, text.data(), text.size());
}

void StartGuardian(const std::string& socket, const std::string& dir) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;  // tests still run; only clean-up is lost
  // Never reaped on purpose: it matters only once we are gone.
  Spawn({"sh", "-c", kGuardianScript, "korb-test-guardian", socket, dir}, "",
        dir + "/guardian.log", true, fds[0]);
  close(fds[0]);
  g_guardian_fd = fds[1];
  signal(SIGPIPE, SIG_IGN);
}

// Data on a RAM disk when there is room: every CREATE and TRUNCATE of a
// table syncs files, which on a real disk makes a test's set-up ten times
// slower.
std::string BaseFolder() {
  struct statvfs info {};
  if (statvfs("/dev/shm", &info) == 0 && access("/dev/shm", W_OK) == 0 &&
      static_cast<unsigned long long>(info.f_bavail) * info.f_frsize > (512ull << 20))
    return "/dev/shm";
  return "/tmp";
}

}  // namespace

MariaDbServer& MariaDbServer::Instance() {
  static MariaDbServer server;
  return server;
}

MariaDbServer::MariaDbServer() {
  std::string templ = BaseFolder() + "/korb-test-db.XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = templ;
  socket_ = dir_ + "/mariadbd.sock";
  g_owner_pid = getpid();
  try {
    // Servers of test binaries that run at the same time must not meet in /tmp.
    std::filesystem::create_directories(dir_ + "/tmp");
    RunOrThrow({"mariadb-install-db", "--no-defaults", "--user=root",
                "--datadir=" + dir_ + "/data", "--tmpdir=" + dir_ + "/tmp",
                "--auth-root-authentication-method=normal", "--skip-test-db",
                "--lower-case-table-names=1", "--innodb-log-file-size=8M",
                "--innodb-buffer-pool-size=16M"},
               "", dir_ + "/install.log");
    StartGuardian(socket_, dir_);
    Start();
  } catch (...) {
    if (running_) Stop();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    throw;
  }
}

MariaDbServer::~MariaDbServer() {
  // A forked child that calls exit() must not take the parent's server down.
  if (getpid() != g_owner_pid) return;
  if (running_) Stop();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
  if (g_guardian_fd >= 0) close(g_guardian_fd);
}

void MariaDbServer::Start() {
  if (running_) return;
  const std::string log = dir_ + "/mariadbd.log";
  pid_ = Spawn({"mariadbd", "--no-defaults", "--user=root", "--datadir=" + dir_ + "/data",
                "--tmpdir=" + dir_ + "/tmp", "--socket=" + socket_, "--skip-networking",
                "--lower-case-table-names=1", "--innodb-buffer-pool-size=16M",
                "--performance-schema=OFF", "--innodb-log-file-size=8M",
                "--skip-log-bin", "--max-connections=500", "--pid-file=" + dir_ + "/mariadbd.pid"},
               "", log, true);
  running_ = true;
  TellGuardian(std::to_string(pid_));
  bool exited = false;
  const bool up = WaitFor([&] {
    int status = 0;
    exited = waitpid(pid_, &status, WNOHANG) == pid_;
    return exited || internal::RunSql(socket_, "SELECT 1", "").ok;
  }, std::chrono::seconds(60));
  if (up && !exited) return;
  if (exited) {
    running_ = false;
    TellGuardian("");
  } else {
    Stop();
  }
  throw std::runtime_error("mariadbd did not come up:\n" + internal::Tail(log));
}

void MariaDbServer::Stop() {
  if (!running_) return;
  kill(pid_, SIGTERM);
  int status = 0;
  if (!WaitFor([&] { return waitpid(pid_, &status, WNOHANG) != 0; }, std::chrono::seconds(60))) {
    kill(pid_, SIGKILL);
    internal::WaitChild(pid_);
  }
  running_ = false;
  TellGuardian("");
}

}  // namespace korbtest
