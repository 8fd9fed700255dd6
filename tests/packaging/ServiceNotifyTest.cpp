// korb-supervisor under a service manager: the test stands in for the
// manager with a Unix datagram socket of its own in NOTIFY_SOCKET and a
// short WATCHDOG_USEC, runs the supervisor with the real scheduler, and
// reads what arrives: READY=1 once the scheduler is up, STATUS= lines,
// and WATCHDOG=1 as long as the supervisor itself runs, also while no
// scheduler is up (between two runs, through a database outage).
#include <signal.h>

#include "DaemonProcess.h"
#include "NotifySocket.h"
#include "TestDatabase.h"
#include "utilLib.h"

namespace {

using namespace std::chrono_literals;
using korbtest::ChildProcess;
using korbtest::CountContaining;
using korbtest::NotifySocket;

class ServiceNotifyTest : public korbtest::DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    Exec("insert into jobhandlermaster (HostName, PortNumber) values ('127.0.0.1', 7301)");
  }
};

TEST_F(ServiceNotifyTest, ReadyAndStatusFollowTheSchedulerAndTheWatchdogTheSupervisor) {
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
  EXPECT_NE(first_run.back().find("STATUS=scheduler pid "), std::string::npos) << first_run.back();
  EXPECT_NE(first_run.back().find(" running since "), std::string::npos) << first_run.back();
  EXPECT_NE(first_run.back().find("restarts 0"), std::string::npos) << first_run.back();
  // Two more pings prove the timer, not just the one sent with READY=1.
  std::vector<std::string> running;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(manager.WaitFor("WATCHDOG=1", &running));

  // The end signal ends the scheduler; until the next one is up the
  // supervisor waits out its back-off, and feeds the watchdog meanwhile.
  CSignalInfo end;
  end.SetSignalType(1);
  CUDPClient client(port, "127.0.0.1");
  ASSERT_EQ(client.SendUDPSignal(end), KORB_SUCCESS) << client.LastError();
  std::vector<std::string> gap;
  ASSERT_TRUE(manager.WaitFor("STATUS=scheduler ended with exit code 0", &gap)) << supervisor.Stdout();
  gap.clear();
  ASSERT_TRUE(manager.WaitFor(" running since ", &gap)) << supervisor.Stdout();
  EXPECT_GE(CountContaining(gap, "WATCHDOG=1"), 3);
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

TEST_F(ServiceNotifyTest, DatabaseOutageNeverMakesTheServiceReadyNorStarvesTheWatchdog) {
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
  EXPECT_GE(CountContaining(seen, "last end: exit code 255"), 2);
  // The supervisor's loop runs through the failed starts and back-offs,
  // so the manager never takes the service for hung.
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(manager.WaitFor("WATCHDOG=1", &seen, 10s)) << supervisor.Stdout();
  EXPECT_EQ(CountContaining(seen, "READY=1"), 0);
  supervisor.SendSignal(SIGTERM);
  int code = -1;
  ASSERT_TRUE(supervisor.WaitExit(60s, &code));
  EXPECT_EQ(code, 0);
}

}  // namespace
