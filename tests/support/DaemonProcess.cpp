#include "DaemonProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "HarnessInternal.h"
#include "utilLib.h"

extern char** environ;

namespace korbtest {

namespace {

using internal::ReadFile;

std::vector<std::string> ChildEnvironment(const EnvChanges& changes) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    if (changes.count(text.substr(0, text.find('='))) == 0) env.push_back(text);
  }
  for (const auto& [name, value] : changes)
    if (value) env.push_back(name + "=" + *value);
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

std::string InstallDir() {
  const char* dir = std::getenv("KORB_INSTALL_DIR");
  return dir == nullptr ? "" : dir;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const EnvChanges& env) {
  char pattern[] = "/tmp/korb-child-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
    return;
  }
  dir_ = pattern;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, (dir_ + "/stdout").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, (dir_ + "/stderr").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  // The test may block signals in its own threads; the child starts clean.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t empty;
  sigemptyset(&empty);
  posix_spawnattr_setsigmask(&attr, &empty);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);

  std::vector<std::string> args = argv;
  std::vector<std::string> envs = ChildEnvironment(env);
  std::vector<char*> arg_pointers = Pointers(args);
  std::vector<char*> env_pointers = Pointers(envs);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, args[0].c_str(), &actions, &attr,
                       arg_pointers.data(), env_pointers.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    ADD_FAILURE() << "cannot start " << args[0] << ": " << std::strerror(rc);
    return;
  }
  pid_ = pid;
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !Exited()) {
    kill(pid_, SIGKILL);
    internal::WaitChild(pid_);
  }
  // A sanitizer build of the child reports on stderr; the child may end
  // without changing its exit code for it, so look for the reports here.
  const std::string errors = Stderr();
  for (const char* report : {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer",
                             "ERROR: LeakSanitizer", "runtime error:"}) {
    if (errors.find(report) != std::string::npos) {
      ADD_FAILURE() << "sanitizer report from child " << pid_ << ":\n" << errors;
      break;
    }
  }
  if (!dir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
}

bool ChildProcess::Exited() {
  if (pid_ <= 0 || exit_code_ >= 0) return true;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
  exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return true;
}

bool ChildProcess::WaitExit(std::chrono::milliseconds timeout, int* code) {
  const bool ended = WaitFor([this] { return Exited(); }, timeout);
  if (ended && code != nullptr) *code = exit_code_;
  return ended;
}

void ChildProcess::SendSignal(int signo) {
  if (pid_ > 0 && exit_code_ < 0) kill(pid_, signo);
}

std::string ChildProcess::Stdout() const { return ReadFile(dir_ + "/stdout"); }
std::string ChildProcess::Stderr() const { return ReadFile(dir_ + "/stderr"); }

bool ChildProcess::WaitForStdout(const std::string& text,
                                 std::chrono::milliseconds timeout) const {
  return WaitFor([&] { return Stdout().find(text) != std::string::npos; }, timeout);
}

DaemonProcess::DaemonProcess(const DaemonOptions& options)
    : DaemonProcess(options, options.identifier != 0 ? options.identifier
                                                      : FreeUdpPort()) {}

DaemonProcess::DaemonProcess(const DaemonOptions& options, int identifier)
    : ChildProcess(Argv(options, identifier), Env(options)),
      identifier_(identifier) {}

std::vector<std::string> DaemonProcess::Argv(const DaemonOptions& options,
                                             int identifier) {
  std::vector<std::string> argv = {DaemonPath()};
  const std::vector<std::string> args = options.args.value_or(std::vector<std::string>{
      options.supervisor_pid.value_or(std::to_string(getpid())), std::to_string(identifier),
      options.supervisor_exe.value_or(OwnExecutableName())});
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

EnvChanges DaemonProcess::Env(const DaemonOptions& options) {
  EnvChanges env;
  const std::string lock_dir = InstallDir() + "/lock";
  std::filesystem::create_directories(lock_dir);
  env["KORB_LOCK_DIR"] = lock_dir;
  if (options.time_scale > 0) env["KORB_TIME_SCALE"] = Format("%g", options.time_scale);
  for (const auto& [name, value] : options.env) env[name] = value;
  return env;
}

void DaemonProcess::Send(int type, int id, int source, int sub_type) const {
  CSignalInfo info;
  info.SetSignalType(type);
  info.SetSignalID(id);
  info.SetSourceID(source);
  info.SetSubType(sub_type);
  CUDPClient client(identifier_, "127.0.0.1");
  EXPECT_EQ(client.SendUDPSignal(info), KORB_SUCCESS) << client.LastError();
}

void DaemonProcess::SendRaw(const std::string& bytes) const {
  SendDatagram(identifier_, bytes);
}

std::string DaemonLogPath() {
  return InstallDir() + "/ConsoleManagement/log/KORB_ProbeScheduler.log";
}

std::string DaemonLog() {
  // The rolled-over part first: a busy daemon may have rolled the file.
  return ReadFile(DaemonLogPath() + ".1") + ReadFile(DaemonLogPath());
}

int CountInLog(const std::string& text) {
  const std::string log = DaemonLog();
  int count = 0;
  for (size_t at = log.find(text); at != std::string::npos;
       at = log.find(text, at + text.size()))
    ++count;
  return count;
}

bool WaitForLog(const std::string& text, std::chrono::milliseconds timeout,
                int times) {
  return WaitFor([&] { return CountInLog(text) >= times; }, timeout);
}

std::string OwnExecutableName() {
  std::error_code error;
  return std::filesystem::read_symlink("/proc/self/exe", error).filename().string();
}

std::string DaemonPath() { return BinaryDir() + "/src/KORB_ProbeScheduler"; }
std::string SupervisorPath() { return BinaryDir() + "/tools/supervisor/korb-supervisor"; }
std::string SignalToolPath() { return BinaryDir() + "/tools/signal_tool/korb-signal"; }

}  // namespace korbtest
