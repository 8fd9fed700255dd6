// The two ends of the main loop that skip the teardown: a supervisor that
// is gone and a database connection that cannot be re-established. Both
// are noticed at the supervision tick (event 5, every 900 scaled seconds).
#include <signal.h>

#include <algorithm>
#include <memory>

#include "SpineTest.h"

namespace spinetest {
namespace {

using korbtest::ChildProcess;
using korbtest::CountInLog;
using korbtest::DaemonLog;
using korbtest::DaemonOptions;
using korbtest::DaemonProcess;

constexpr char kSupervisorGone[] =
    "Seems service is not running .Exiting the application";
constexpr char kConnectionError[] = "Encountered the DB connection error!!!";

class LoopEndingsTest : public SpineTest {
 protected:
  void TearDown() override {
    // A test that stopped the server must not leave it down for the next.
    if (!korbtest::MariaDbServer::Instance().Running())
      korbtest::MariaDbServer::Instance().Start();
    SpineTest::TearDown();
  }

  // A stand-in supervisor that the test can kill.
  std::unique_ptr<ChildProcess> StartSupervisor() {
    auto supervisor = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/bin/sleep", "600"});
    EXPECT_TRUE(korbtest::WaitFor(
        [&] {
          std::vector<uint32_t> ids;
          GetProcessID("sleep", ids);
          return std::find(ids.begin(), ids.end(),
                           static_cast<uint32_t>(supervisor->Pid())) != ids.end();
        },
        kStartTimeout));
    return supervisor;
  }

  DaemonOptions Supervised(const ChildProcess& supervisor, double scale) {
    DaemonOptions options;
    options.supervisor_pid = std::to_string(supervisor.Pid());
    options.supervisor_exe = "sleep";
    options.time_scale = scale;
    return options;
  }

  static void ExpectEndWithoutTeardown(DaemonProcess& daemon,
                                       std::chrono::milliseconds within) {
    int code = -1;
    ASSERT_TRUE(daemon.WaitExit(within, &code)) << DaemonLog();
    EXPECT_EQ(code, 0);
    EXPECT_EQ(CountInLog(kUnloading), 0);
  }
};

TEST_F(LoopEndingsTest, SupervisorGoneEndsTheProcessWithinOneTick) {
  // One tick is 0.9 s at this scale.
  auto supervisor = StartSupervisor();
  DaemonProcess daemon(Supervised(*supervisor, 1000));
  ExpectRunning(daemon);
  supervisor->SendSignal(SIGKILL);
  ASSERT_TRUE(supervisor->WaitExit(kEndTimeout));
  // A tick plus what a sanitizer build needs to reach it.
  ExpectEndWithoutTeardown(daemon, 900ms + 5s);
  EXPECT_EQ(CountInLog(kSupervisorGone), 1);
  EXPECT_EQ(CountInLog(kConnectionError), 0);
}

TEST_F(LoopEndingsTest, LostDatabaseEndsTheProcess) {
  auto supervisor = StartSupervisor();
  DaemonProcess daemon(Supervised(*supervisor, 1000));
  ExpectRunning(daemon);
  korbtest::MariaDbServer::Instance().Stop();
  ExpectEndWithoutTeardown(daemon, kEndTimeout);
  EXPECT_EQ(CountInLog(kConnectionError), 1);
  EXPECT_EQ(CountInLog(kSupervisorGone), 0);
}

TEST_F(LoopEndingsTest, LostDatabaseWinsOverGoneSupervisor) {
  // At this scale the first tick comes 9 s after the start, long after the
  // 0.2 s new-job signalling has met the stopped server.
  auto supervisor = StartSupervisor();
  DaemonProcess daemon(Supervised(*supervisor, 100));
  ExpectRunning(daemon);
  korbtest::MariaDbServer::Instance().Stop();
  supervisor->SendSignal(SIGKILL);
  ExpectEndWithoutTeardown(daemon, kEndTimeout);
  EXPECT_EQ(CountInLog(kConnectionError), 1);
  EXPECT_EQ(CountInLog(kSupervisorGone), 0);
}

}  // namespace
}  // namespace spinetest
