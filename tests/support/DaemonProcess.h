// Child processes for tests that drive the real scheduler and its tools.
// A DaemonProcess runs the built scheduler with the test process as its
// supervisor (own pid and executable name), a free UDP port as its signal
// identifier, the environment DbTest::SetUp prepared and, unless told
// otherwise, KORB_LOCK_DIR=<install>/lock so that concurrent test binaries
// never meet at the single-instance lock. Use from the test's thread only.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korbtest {

// Environment changes for a child: a value sets the variable, nullopt
// removes it; the rest is inherited.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

class ChildProcess {
 public:
  // Starts argv[0] (a path); stdout and stderr go to files in a fresh
  // temporary folder. Fails the test and leaves Pid() at -1 if it cannot.
  explicit ChildProcess(const std::vector<std::string>& argv,
                        const EnvChanges& env = {});
  // Kills and reaps a running child; fails the test when its stderr holds
  // a sanitizer report.
  virtual ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  int Pid() const { return pid_; }
  bool Exited();  // reaps it then
  // True with *code set to the exit status (128 + signal number when a
  // signal ended it).
  bool WaitExit(std::chrono::milliseconds timeout, int* code = nullptr);
  int ExitCode() const { return exit_code_; }  // -1 until it has exited
  void SendSignal(int signo);

  std::string Stdout() const;
  std::string Stderr() const;
  bool WaitForStdout(const std::string& text, std::chrono::milliseconds timeout) const;

 private:
  int pid_ = -1;
  int exit_code_ = -1;
  std::string dir_;
};

struct DaemonOptions {
  // Signal identifier (UDP port); 0 picks a free port.
  int identifier = 0;
  // Supervisor arguments; defaults are the test process's own.
  std::optional<std::string> supervisor_pid;
  std::optional<std::string> supervisor_exe;
  // KORB_TIME_SCALE; 0 leaves the variable as the test process has it.
  double time_scale = 0;
  EnvChanges env;
  // Replaces the three start arguments when set (argument-count tests).
  std::optional<std::vector<std::string>> args;
};

class DaemonProcess : public ChildProcess {
 public:
  explicit DaemonProcess(const DaemonOptions& options = {});
  // A signal datagram / raw bytes to the daemon's port on 127.0.0.1.
  void Send(int type, int id = 0, int source = 0, int sub_type = 0) const;
  void SendRaw(const std::string& bytes) const;
  int Port() const { return identifier_; }  // its signal port

 private:
  DaemonProcess(const DaemonOptions& options, int identifier);
  static std::vector<std::string> Argv(const DaemonOptions& options,
                                       int identifier);
  static EnvChanges Env(const DaemonOptions& options);
  int identifier_;
};

// The scheduler's log in the test's install folder. DaemonLog() includes
// the one rolled-over file; tests at a high time scale should raise
// LOG_SIZE so that nothing older is lost.
std::string DaemonLogPath();
std::string DaemonLog();
int CountInLog(const std::string& text);  // occurrences
bool WaitForLog(const std::string& text, std::chrono::milliseconds timeout,
                int times = 1);

void SendDatagram(int port, const std::string& bytes);  // to 127.0.0.1
int FreeUdpPort();  // free a moment ago
// Base name of the test process's executable, as GetProcessID sees it.
std::string OwnExecutableName();
std::string DaemonPath();
std::string SupervisorPath();
std::string SignalToolPath();

}  // namespace korbtest
