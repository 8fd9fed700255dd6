// The stop path between korb-supervisor, the service manager and the
// scheduler: the end signal reaches the scheduler where it listens, the
// supervisor's stop wait and the manager's stop time-out follow the grace
// period, and a grace period the supervisor would cut is refused at start.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "DaemonProcess.h"
#include "TestDatabase.h"
#include "utilLib.h"

namespace {

using namespace std::chrono_literals;
using korbtest::ChildProcess;
using korbtest::CountInLog;
using korbtest::DaemonLog;

constexpr char kLoopRunning[] = "PostAutomationScheduleJobs:: -- Started --";

// Stands in for the service manager's notification socket.
class ManagerSocket {
 public:
  ManagerSocket() {
    dir_ = std::filesystem::temp_directory_path() / "korb-stop-notify.XXXXXX";
    if (mkdtemp(dir_.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = dir_ + "/notify";
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof(address.sun_path) - 1);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
      throw std::runtime_error("cannot bind " + path_);
  }
  ~ManagerSocket() {
    close(fd_);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  const std::string& Path() const { return path_; }
  // The first message that contains text, or "" when none comes in time.
  std::string WaitFor(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return "";
      char buffer[4096];
      const ssize_t got = recv(fd_, buffer, sizeof(buffer), 0);
      if (got <= 0) continue;
      const std::string message(buffer, static_cast<size_t>(got));
      if (message.find(text) != std::string::npos) return message;
    }
  }

 private:
  std::string dir_;
  std::string path_;
  int fd_ = -1;
};

class StopPathTest : public korbtest::DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    Exec("insert into jobhandlermaster (HostName, PortNumber) values ('127.0.0.1', 7301)");
  }
  static std::vector<std::string> Supervisor() {
    return {korbtest::SupervisorPath(), "--scheduler", korbtest::DaemonPath(), "--identifier",
            std::to_string(korbtest::FreeUdpPort())};
  }
  bool HasCleanEndRecord() const {
    return std::filesystem::exists(InstallDir() +
                                   "/ConsoleManagement/state/KORB_ProbeScheduler.clean-end");
  }
  static int Ended(ChildProcess& process) {
    int code = -1;
    EXPECT_TRUE(process.WaitExit(60s, &code)) << process.Stdout();
    return code;
  }
};

// 127.0.0.2 is not where an end signal to 127.0.0.1 arrives.
TEST_F(StopPathTest, TheEndSignalGoesWhereTheSchedulerListens) {
  for (const bool by_environment : {true, false}) {
    SCOPED_TRACE(by_environment ? "KORB_SIGNAL_BIND" : "korb-signal-address");
    std::filesystem::remove(korbtest::DaemonLogPath());
    korbtest::EnvChanges env;
    if (by_environment)
      env["KORB_SIGNAL_BIND"] = "127.0.0.2";
    else
      AddOptions("orb", "korb-signal-address=127.0.0.2\n");
    ChildProcess supervisor(Supervisor(), env);
    ASSERT_TRUE(korbtest::WaitForLog(kLoopRunning, 60s)) << supervisor.Stdout();
    supervisor.SendSignal(SIGTERM);
    EXPECT_EQ(Ended(supervisor), 0);
    const std::string out = supervisor.Stdout();
    EXPECT_NE(out.find("sending the end signal to 127.0.0.2:"), std::string::npos) << out;
    EXPECT_EQ(out.find("sending SIGTERM"), std::string::npos) << out;
    EXPECT_EQ(CountInLog("NETWORK SIGNAL RECEIVED. Type 1"), 1) << DaemonLog();
    EXPECT_TRUE(HasCleanEndRecord());
  }
}

// A grace period of 100 s is longer than the supervisor's 90 s minimum:
// its stop wait grows to 130 s, the manager is asked for that and the
// reaping after it, and the scheduler, told the wait, starts.
TEST_F(StopPathTest, TheStopWaitAndTheManagersTimeOutFollowTheGracePeriod) {
  AddOptions("orb", "korb-grace-period=100\n");
  ManagerSocket manager;
  ChildProcess supervisor(Supervisor(), {{"NOTIFY_SOCKET", manager.Path()},
                                         {"WATCHDOG_USEC", std::nullopt},
                                         {"WATCHDOG_PID", std::nullopt}});
  ASSERT_TRUE(korbtest::WaitForLog(kLoopRunning, 60s)) << supervisor.Stdout();
  supervisor.SendSignal(SIGTERM);
  const std::string stopping = manager.WaitFor("STOPPING=1", 30s);
  EXPECT_NE(stopping.find("EXTEND_TIMEOUT_USEC=145000000"), std::string::npos) << stopping;
  EXPECT_EQ(Ended(supervisor), 0);
  EXPECT_NE(supervisor.Stdout().find("waiting up to 130000 ms"), std::string::npos)
      << supervisor.Stdout();
  EXPECT_TRUE(HasCleanEndRecord());
}

// Told a stop wait of 20 s, the scheduler refuses the default 60 s grace
// period at start, before touching any job row; scaled down to 6 s it fits.
TEST_F(StopPathTest, AGracePeriodTheSupervisorWouldCutIsRefusedAtStart) {
  korbtest::DaemonOptions options;
  options.env["KORB_SUPERVISOR_STOP_WAIT_MS"] = "20000";
  {
    korbtest::DaemonProcess daemon(options);
    EXPECT_EQ(Ended(daemon), 255);
    const std::string line =
        "Option korb-grace-period=60 s (60000 ms at this time scale) does not fit in the "
        "supervisor's stop wait of 20000 ms";
    EXPECT_NE(daemon.Stdout().find(line), std::string::npos) << daemon.Stdout();
    EXPECT_NE(daemon.Stdout().find("Initialization of Probe Scheduler failed"),
              std::string::npos);
    EXPECT_EQ(CountInLog(line), 1);
    EXPECT_EQ(CountInLog("running restart recovery"), 0);
  }
  std::filesystem::remove(korbtest::DaemonLogPath());
  options.time_scale = 10;
  korbtest::DaemonProcess daemon(options);
  ASSERT_TRUE(korbtest::WaitForLog(kLoopRunning, 60s)) << daemon.Stdout();
  daemon.Send(1);
  EXPECT_EQ(Ended(daemon), 0);
}

}  // namespace
