// Two real scheduler processes against one database, each with its own
// install folder and lock folder as if on two hosts: exactly one is active,
// the other stands by, and the standby takes over when the active dies,
// ends in order or freezes past its lease.
#include <signal.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "DBI.h"
#include "DaemonProcess.h"
#include "SchedulerInstance.h"
#include "TestDatabase.h"
#include "utilLib.h"

namespace {

using namespace std::chrono_literals;
using korbtest::DaemonOptions;
using korbtest::DaemonProcess;

constexpr auto kStartTimeout = 60s;
constexpr const char* kHolds = "now holds the scheduler lease";
constexpr const char* kStandingBy = "Standing by: the scheduler lease is held by";
constexpr const char* kLoopRunning = "PostAutomationScheduleJobs:: -- Started --";
constexpr const char* kRecovery = "running restart recovery";
constexpr const char* kNoRecovery = "restart recovery is not needed";
constexpr const char* kLost = "lost the scheduler lease";


int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

using Instance = korbtest::SchedulerInstance;

class TwoInstancesTest : public korbtest::DbTest {
 protected:
  static constexpr int kLeaseSeconds = 3;

  void SetUp() override {
    DbTest::SetUp();
    Exec("insert into jobhandlermaster (HostName, PortNumber) values ('127.0.0.1', 7301)");
    AddOptions("orb", Format("korb-lease-duration=%d\nkorb-metrics-port=0\n", kLeaseSeconds));
  }

  Instance Start(const std::string& name) {
    Instance instance;
    korbtest::StartSchedulerInstance(instance, InstallDir(), name, DaemonOptions());
    return instance;
  }

  void ExpectActive(const Instance& instance) {
    ASSERT_TRUE(instance.WaitForLog(kLoopRunning, kStartTimeout)) << instance.Log();
    EXPECT_TRUE(instance.LogHas(kHolds)) << instance.Log();
  }

  static int EndInOrder(Instance& instance) {
    instance.process->Send(1);
    int code = -1;
    EXPECT_TRUE(instance.process->WaitExit(30s, &code)) << instance.Log();
    return code;
  }
};

TEST_F(TwoInstancesTest, TheStandbyIsQuietAndTakesOverWhenTheActiveIsKilled) {
  Instance a = Start("a");
  ExpectActive(a);
  Instance b = Start("b");
  ASSERT_TRUE(b.WaitForLog(kStandingBy, kStartTimeout)) << b.Log();
  std::this_thread::sleep_for(std::chrono::seconds(kLeaseSeconds));
  // Stood by: no recovery, no worker thread, nothing of the main loop.
  EXPECT_FALSE(b.LogHas(kRecovery)) << b.Log();
  EXPECT_FALSE(b.LogHas(kLoopRunning)) << b.Log();
  EXPECT_EQ(Scalar("select epoch from korb_scheduler_lease"), "1");

  const int64_t killed_at = NowMs();
  a.process->SendSignal(SIGKILL);
  ASSERT_TRUE(b.WaitForLog(kLoopRunning, 20s)) << b.Log();
  const int64_t took_ms = NowMs() - killed_at;
  EXPECT_LT(took_ms, 10000) << "takeover took " << took_ms << " ms";
  // The killed instance left its work unrepaired: the new active repairs it.
  EXPECT_TRUE(b.LogHas(kRecovery)) << b.Log();
  EXPECT_EQ(Scalar("select epoch from korb_scheduler_lease"), "2");

  // An orderly end is recorded in the lease for whoever comes next.
  EXPECT_EQ(EndInOrder(b), 0);
  EXPECT_EQ(Scalar("select clean_end from korb_scheduler_lease"), "1");
  Instance c = Start("c");
  ExpectActive(c);
  EXPECT_TRUE(c.LogHas(kNoRecovery)) << c.Log();
  EXPECT_EQ(EndInOrder(c), 0);
}

TEST_F(TwoInstancesTest, AnOrderlyEndHandsTheLeaseOverAtOnce) {
  Instance a = Start("a");
  ExpectActive(a);
  Instance b = Start("b");
  ASSERT_TRUE(b.WaitForLog(kStandingBy, kStartTimeout)) << b.Log();
  EXPECT_EQ(EndInOrder(a), 0);
  const int64_t ended_at = NowMs();
  ASSERT_TRUE(b.WaitForLog(kHolds, 10s)) << b.Log();
  const int64_t took_ms = NowMs() - ended_at;
  EXPECT_LT(took_ms, 2000) << "takeover took " << took_ms << " ms";
  ASSERT_TRUE(b.WaitForLog(kLoopRunning, kStartTimeout)) << b.Log();
  EXPECT_TRUE(b.LogHas(kNoRecovery)) << b.Log();
  // A standby ends on the end signal too, without taking anything.
  Instance c = Start("c");
  ASSERT_TRUE(c.WaitForLog(kStandingBy, kStartTimeout)) << c.Log();
  EXPECT_EQ(EndInOrder(c), 0);
  EXPECT_EQ(Scalar("select holder like '%/b/lock/%' from korb_scheduler_lease"), "1");
  EXPECT_EQ(EndInOrder(b), 0);
}

TEST_F(TwoInstancesTest, AFrozenActiveEndsWhenItResumesAndAShortFreezeChangesNothing) {
  Instance a = Start("a");
  ExpectActive(a);
  Instance b = Start("b");
  ASSERT_TRUE(b.WaitForLog(kStandingBy, kStartTimeout)) << b.Log();

  // Shorter than the margin (a third of the lease): nothing happens.
  a.process->SendSignal(SIGSTOP);
  std::this_thread::sleep_for(500ms);
  a.process->SendSignal(SIGCONT);
  std::this_thread::sleep_for(std::chrono::seconds(kLeaseSeconds));
  EXPECT_FALSE(a.LogHas(kLost)) << a.Log();
  EXPECT_FALSE(b.LogHas(kHolds)) << b.Log();
  EXPECT_EQ(Scalar("select epoch from korb_scheduler_lease"), "1");

  // Longer than the lease: the standby takes over, and the old active
  // ends as soon as it runs again, writing nothing.
  a.process->SendSignal(SIGSTOP);
  ASSERT_TRUE(b.WaitForLog(kLoopRunning, 20s)) << b.Log();
  const std::string jobs_before = Scalar("select count(*) from jobdetails");
  const int64_t resumed_at = NowMs();
  a.process->SendSignal(SIGCONT);
  int code = -1;
  ASSERT_TRUE(a.process->WaitExit(10s, &code)) << a.Log();
  EXPECT_LT(NowMs() - resumed_at, 2000);
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(a.LogHas(kLost)) << a.Log();
  EXPECT_EQ(Scalar("select epoch from korb_scheduler_lease"), "2");
  EXPECT_EQ(EndInOrder(b), 0);
  (void)jobs_before;
}

// Resumed past its lease while its renewal cannot get through (a lock on
// the lease row here; on Galera the new holder's fences conflict with it):
// the old active reads that the lease was taken over and ends at once,
// not only once it counts itself out of touch.
TEST_F(TwoInstancesTest, AFrozenActiveWhoseRenewalFailsOnResumeStillEndsAtOnce) {
  Instance a = Start("a");
  ExpectActive(a);
  a.process->SendSignal(SIGSTOP);
  std::this_thread::sleep_for(std::chrono::seconds(kLeaseSeconds));
  Exec("update korb_scheduler_lease set holder = 'elsewhere', epoch = epoch + 1, "
       "expires_at = utc_timestamp(6) + interval 1 minute");
  std::thread locker([this] {
    Exec("begin; select epoch from korb_scheduler_lease for update; do sleep(2); rollback");
  });
  korbtest::WaitFor([&] { return Count("select count(*) from information_schema.processlist "
                                       "where info like 'do sleep%'") == 1; },
                    5s);
  const int64_t resumed_at = NowMs();
  a.process->SendSignal(SIGCONT);
  int code = -1;
  const bool ended = a.process->WaitExit(10s, &code);
  const int64_t took_ms = NowMs() - resumed_at;
  locker.join();
  ASSERT_TRUE(ended) << a.Log();
  // Without that read it would take the renewal's lock wait plus the
  // grace of a silent loss: 6 s.
  EXPECT_LT(took_ms, 3000) << a.Log();
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(a.LogHas("another instance holds it now")) << a.Log();
}

}  // namespace
