// Child processes for tests that drive the real scheduler and its tools.
//
// A DaemonProcess starts build/src/KORB_ProbeScheduler with the test
// process as its supervisor (the test's own pid and executable base name)
// and a free UDP port as its signal identifier, in the environment that
// DbTest::SetUp prepared (option file, DSN, install folder). Unless told
// otherwise it also gets KORB_LOCK_DIR=<install>/lock, so concurrent test
// binaries never meet at the single-instance lock.
//
//   korbtest::DaemonOptions options;
//   options.time_scale = 1000;
//   korbtest::DaemonProcess daemon(options);
//   ASSERT_TRUE(daemon.WaitForLog("Initializing the module...", 10s));
//   daemon.Send(1);                         // end signal
//   int code = -1;
//   ASSERT_TRUE(daemon.WaitExit(10s, &code));
//
// Not thread-safe; use from the test's thread.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korbtest {

// Environment changes for a child: a value replaces or adds the variable,
// nullopt removes it. Everything else is inherited from the test process.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

class ChildProcess {
 public:
  // Starts argv[0] (a path) with argv. stdout and stderr go to two files in
  // a fresh temporary folder. Fails the test (ADD_FAILURE) and leaves
  // Pid() at -1 when the program cannot be started.
  explicit ChildProcess(const std::vector<std::string>& argv,
                        const EnvChanges& env = {});
  // Kills (SIGKILL) and reaps the child if it still runs; fails the test
  // when the child's stderr holds a sanitizer report.
  virtual ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  int Pid() const { return pid_; }
  // True once the child has ended (it is reaped then).
  bool Exited();
  // Waits until the child ends. True with *code set to its exit status
  // (0..255; 128 + signal number when a signal ended it).
  bool WaitExit(std::chrono::milliseconds timeout, int* code = nullptr);
  // Exit status after Exited() / WaitExit(); -1 before.
  int ExitCode() const { return exit_code_; }
  void SendSignal(int signo);

  // Everything written so far to stdout / stderr.
  std::string Stdout() const;
  std::string Stderr() const;
  // Waits until stdout contains text.
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

  int Identifier() const { return identifier_; }

  // Sends a signal datagram to 127.0.0.1:Identifier().
  void Send(int type, int id = 0, int source = 0, int sub_type = 0) const;
  // Sends bytes as one datagram to 127.0.0.1:Identifier().
  void SendRaw(const std::string& bytes) const;

 private:
  DaemonProcess(const DaemonOptions& options, int identifier);
  static std::vector<std::string> Argv(const DaemonOptions& options,
                                       int identifier);
  static EnvChanges Env(const DaemonOptions& options);
  int identifier_;
};

// The scheduler's log of the current test's install folder. DaemonLog()
// includes the one rolled-over file (<log>.1); tests that run at a high
// time scale should raise LOG_SIZE so that nothing older is lost.
std::string DaemonLogPath();
std::string DaemonLog();
// Occurrences of text in the log.
int CountInLog(const std::string& text);
// Waits until text occurs at least `times` times in the log.
bool WaitForLog(const std::string& text, std::chrono::milliseconds timeout,
                int times = 1);

// Sends bytes as one datagram to 127.0.0.1:port.
void SendDatagram(int port, const std::string& bytes);

// A UDP port that was free a moment ago.
int FreeUdpPort();
// Base name of the test process's executable, as GetProcessID sees it.
std::string OwnExecutableName();
// Paths of the built programs.
std::string DaemonPath();
std::string SupervisorPath();
std::string SignalToolPath();

}  // namespace korbtest
