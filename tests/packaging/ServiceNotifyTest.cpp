// korb-supervisor under a service manager: the test stands in for the
// manager with a Unix datagram socket of its own in NOTIFY_SOCKET and a
// short WATCHDOG_USEC, runs the supervisor with the real scheduler, and
// reads what arrives: READY=1 once the scheduler is up, STATUS= lines,
// WATCHDOG=1 while it runs and never while it is down between two runs.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <poll.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "DaemonProcess.h"
#include "TestDatabase.h"
#include "utilLib.h"

namespace {

using namespace std::chrono_literals;
using korbtest::ChildProcess;

class NotifySocket {
 public:
  NotifySocket() {
    dir_ = std::filesystem::temp_directory_path() / "korb-notify.XXXXXX";
    if (mkdtemp(dir_.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = dir_ + "/notify";
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof(address.sun_path) - 1);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
      throw std::runtime_error("cannot bind " + path_);
  }
  ~NotifySocket() {
    close(fd_);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  const std::string& Path() const { return path_; }

  // Next message, or "" when none arrives within timeout.
  std::string Next(std::chrono::milliseconds timeout) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return "";
    char buffer[4096];
    ssize_t got = recv(fd_, buffer, sizeof(buffer), 0);
    return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : "";
  }

  // Reads messages into *seen until one contains text.
  bool WaitFor(const std::string& text, std::vector<std::string>* seen,
               std::chrono::milliseconds timeout = 60s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      std::string message = Next(std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now()));
      if (message.empty()) continue;
      seen->push_back(message);
      if (message.find(text) != std::string::npos) return true;
    }
    return false;
  }

 private:
  std::string dir_;
  std::string path_;
  int fd_ = -1;
};

int CountContaining(const std::vector<std::string>& messages, const std::string& text) {
  int count = 0;
  for (const std::string& message : messages)
    if (message.find(text) != std::string::npos) ++count;
  return count;
}

class ServiceNotifyTest : public korbtest::DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    Exec("insert into jobhandlermaster (HostName, PortNumber) values ('127.0.0.1', 7301)");
  }
};

TEST_F(ServiceNotifyTest, ReadyStatusAndWatchdogFollowTheScheduler) {
  NotifySocket manager;
  const int port = korbtest::FreeUdpPort();
  // Pings every 200 ms; a run is never healthy, so the restart after the
  // end signal waits 1.5 s, several ping periods.
  ChildProcess supervisor(
      {korbtest::SupervisorPath(), "--scheduler", korbtest::DaemonPath(), "--identifier",
       std::to_string(port), "--min-backoff-ms", "1500", "--healthy-run-ms", "600000"},
      {{"NOTIFY_SOCKET", manager.Path()}, {"WATCHDOG_USEC", "400000"},
       {"WATCHDOG_PID", std::nullopt}, {"KORB_TIME_SCALE", "1000"}});

  std::vector<std::string> first_run;
  ASSERT_TRUE(manager.WaitFor("READY=1", &first_run)) << supervisor.Stdout();
  EXPECT_EQ(CountContaining(first_run, "WATCHDOG=1"), 0) << "pinged before the scheduler was up";
  EXPECT_NE(first_run.back().find("STATUS=scheduler pid "), std::string::npos) << first_run.back();
  EXPECT_NE(first_run.back().find(" running since "), std::string::npos) << first_run.back();
  EXPECT_NE(first_run.back().find("restarts 0"), std::string::npos) << first_run.back();
  // Two more pings prove the timer, not just the one sent with READY=1.
  std::vector<std::string> running;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(manager.WaitFor("WATCHDOG=1", &running));

  // The end signal ends the scheduler; until the next one is up, no pings.
  CSignalInfo end;
  end.SetSignalType(1);
  CUDPClient client(port, "127.0.0.1");
  ASSERT_EQ(client.SendUDPSignal(end), KORB_SUCCESS) << client.LastError();
  std::vector<std::string> gap;
  ASSERT_TRUE(manager.WaitFor("STATUS=scheduler ended with exit code 0", &gap)) << supervisor.Stdout();
  gap.clear();
  ASSERT_TRUE(manager.WaitFor(" running since ", &gap)) << supervisor.Stdout();
  EXPECT_EQ(CountContaining(gap, "WATCHDOG=1"), 0);
  EXPECT_EQ(CountContaining(gap, "READY=1"), 0) << "READY=1 is sent once";
  EXPECT_EQ(CountContaining(gap, "restarts 1, last end: exit code 0"), 2);
  std::vector<std::string> again;
  ASSERT_TRUE(manager.WaitFor("WATCHDOG=1", &again));

  supervisor.SendSignal(SIGTERM);
  std::vector<std::string> stopping;
  ASSERT_TRUE(manager.WaitFor("STOPPING=1", &stopping));
  int code = -1;
  ASSERT_TRUE(supervisor.WaitExit(60s, &code)) << supervisor.Stdout();
  EXPECT_EQ(code, 0);
}

TEST_F(ServiceNotifyTest, SchedulerThatCannotStartNeverMakesTheServiceReady) {
  NotifySocket manager;
  AddUnreachableDsn("nowhere");
  ChildProcess supervisor(
      {korbtest::SupervisorPath(), "--scheduler", korbtest::DaemonPath(), "--identifier",
       std::to_string(korbtest::FreeUdpPort()), "--min-backoff-ms", "100",
       "--max-backoff-ms", "200"},
      {{"NOTIFY_SOCKET", manager.Path()}, {"WATCHDOG_USEC", "200000"},
       {"WATCHDOG_PID", std::nullopt}, {"KORB_DSN", "nowhere"}});
  // Three failed runs, each reported with its exit code.
  std::vector<std::string> seen;
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(manager.WaitFor("ended with exit code 255", &seen)) << supervisor.Stdout();
  EXPECT_EQ(CountContaining(seen, "READY=1"), 0);
  EXPECT_EQ(CountContaining(seen, "WATCHDOG=1"), 0);
  EXPECT_GE(CountContaining(seen, "last end: exit code 255"), 2);
  supervisor.SendSignal(SIGTERM);
  int code = -1;
  ASSERT_TRUE(supervisor.WaitExit(60s, &code));
  EXPECT_EQ(code, 0);
}

}  // namespace
