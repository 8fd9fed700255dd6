// Two korb-supervisors, each under a service manager of its own (the
// test's notification sockets), each running a scheduler instance against
// one database: the STATUS= line of each says whether its scheduler is
// active or stands by, and follows a takeover as it happens.
#include <signal.h>
#include <sys/stat.h>

#include <memory>

#include "DaemonProcess.h"
#include "NotifySocket.h"
#include "TestDatabase.h"
#include "utilLib.h"

namespace {

using namespace std::chrono_literals;
using korbtest::ChildProcess;
using korbtest::CountContaining;
using korbtest::NotifySocket;

class SupervisorRoleTest : public korbtest::DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    Exec("insert into jobhandlermaster (HostName, PortNumber) values ('127.0.0.1', 7301)");
    AddOptions("orb", "korb-lease-duration=3\nkorb-metrics-port=0\n");
  }

  // A supervisor whose scheduler has an install and lock folder of its
  // own, as on a host of its own.
  std::unique_ptr<ChildProcess> Supervise(const std::string& name, NotifySocket& manager) {
    const std::string dir = InstallDir() + "/" + name;
    mkdir(dir.c_str(), 0755);
    mkdir((dir + "/lock").c_str(), 0755);
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{korbtest::SupervisorPath(), "--scheduler",
                                 korbtest::DaemonPath(), "--identifier",
                                 std::to_string(korbtest::FreeUdpPort())},
        korbtest::EnvChanges{{"NOTIFY_SOCKET", manager.Path()},
                             {"WATCHDOG_USEC", std::nullopt},
                             {"WATCHDOG_PID", std::nullopt},
                             {"KORB_INSTALL_DIR", dir},
                             {"KORB_LOCK_DIR", dir + "/lock"}});
  }
};

TEST_F(SupervisorRoleTest, StatusSaysActiveOrStandbyAndFollowsTheTakeover) {
  NotifySocket manager_a;
  std::unique_ptr<ChildProcess> a = Supervise("a", manager_a);
  std::vector<std::string> seen_a;
  ASSERT_TRUE(manager_a.WaitFor(" active since ", &seen_a)) << a->Stdout();
  EXPECT_NE(seen_a.back().find("STATUS=scheduler pid "), std::string::npos) << seen_a.back();
  // It stood by for the moment before its grant.
  EXPECT_EQ(CountContaining(seen_a, "READY=1"), 1) << a->Stdout();

  NotifySocket manager_b;
  std::unique_ptr<ChildProcess> b = Supervise("b", manager_b);
  std::vector<std::string> seen_b;
  ASSERT_TRUE(manager_b.WaitFor("READY=1", &seen_b)) << b->Stdout();
  // Whatever came first, the last word is "standby", and it stays so.
  std::vector<std::string> more_b;
  manager_b.WaitFor(" active since ", &more_b, 4s);
  seen_b.insert(seen_b.end(), more_b.begin(), more_b.end());
  EXPECT_EQ(CountContaining(seen_b, " active since "), 0) << b->Stdout();
  EXPECT_GE(CountContaining(seen_b, " standby since "), 1) << b->Stdout();
  EXPECT_NE(b->Stdout().find("is standing by"), std::string::npos) << b->Stdout();

  // a's service stops: its scheduler ends in order and releases the lease,
  // and b's manager hears that b is active.
  a->SendSignal(SIGTERM);
  int code = -1;
  ASSERT_TRUE(a->WaitExit(60s, &code)) << a->Stdout();
  EXPECT_EQ(code, 0);
  std::vector<std::string> takeover;
  ASSERT_TRUE(manager_b.WaitFor(" active since ", &takeover, 20s)) << b->Stdout();
  EXPECT_NE(b->Stdout().find("is active: it holds the scheduler lease"), std::string::npos)
      << b->Stdout();
  EXPECT_EQ(Scalar("select holder like '%/b/lock/%' from korb_scheduler_lease"), "1");

  b->SendSignal(SIGTERM);
  ASSERT_TRUE(b->WaitExit(60s, &code)) << b->Stdout();
  EXPECT_EQ(code, 0);
}

}  // namespace
