// The running main loop: its dispatch of network signals and timeout
// events, its orderly ends (with teardown), and the two ends noticed at the
// supervision tick (event 5, every 900 scaled seconds) that skip it.
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "SpineTest.h"

namespace spinetest {
namespace {

using korbtest::CountInLog;
using korbtest::DaemonLog;
using korbtest::DaemonProcess;
using korbtest::WaitForLog;

void ExpectTeardownThenZero(DaemonProcess& daemon) {
  int code = -1;
  ASSERT_TRUE(daemon.WaitExit(kEndTimeout, &code)) << DaemonLog();
  EXPECT_EQ(code, 0);
  const std::string log = DaemonLog();
  const size_t unloading = log.find(kUnloading);
  ASSERT_NE(unloading, std::string::npos) << log;
  EXPECT_NE(log.find(kUnloaded, unloading), std::string::npos) << log;
}

TEST_F(SpineTest, TermAndIntSignalsEndLikeAnEndSignal) {
  for (int signo : {SIGTERM, SIGINT}) {
    std::filesystem::remove(korbtest::DaemonLogPath());
    DaemonProcess daemon;
    ExpectRunning(daemon);
    daemon.SendSignal(signo);
    ExpectTeardownThenZero(daemon);
    EXPECT_EQ(CountInLog(Format("Termination signal %d received", signo)), 1);
  }
}

// Install type 3 leaves the distribution events idle at start, so the
// only distribution calls after the automation thread's first round are
// those the signals cause.
class InstallTypeThreeTest : public SpineTest {
 protected:
  void SetUp() override {
    SpineTest::SetUp();
    korbtest::Identity identity;
    identity.install_type = 3;
    SetMainIdentity(identity);
  }

  // The distribution and submission calls that a signal causes.
  std::vector<std::string> SendAndCollect(DaemonProcess& daemon, int type, int sub_type,
                                          size_t expected) {
    const std::string mark = Scalar("select coalesce(max(CallID), 0) from procedurecalllog");
    daemon.Send(type, 0, 0, sub_type);
    std::vector<std::string> calls;
    korbtest::WaitFor(
        [&] {
          calls.clear();
          for (const auto& row : Query("select ProcName, Args from procedurecalllog where CallID > " +
                                       mark + " and ProcName in ('Load_Distribution', "
                                       "'submitschedulejobs', 'pm_submitschedulejobs') order by CallID"))
            calls.push_back(row[0] + "(" + row[1] + ")");
          return calls.size() >= expected;
        },
        kEndTimeout);
    return calls;
  }
};

TEST_F(InstallTypeThreeTest, EachSignalTypeRunsItsCallsAndTheEndSignalTearsDown) {
  DaemonProcess daemon;
  ExpectRunning(daemon);
  // The automation thread's first round ends with the patch schedule.
  ASSERT_TRUE(WaitForLog("Time taken for patch mgmt schedule", kStartTimeout));

  // What cannot be used is logged and the loop goes on.
  daemon.SendRaw("not a signal");
  ASSERT_TRUE(WaitForLog("Signal Handler receival failed", kEndTimeout));
  daemon.Send(99, 7);
  ASSERT_TRUE(WaitForLog("Unknown signal. Type 99 ID 7", kEndTimeout));
  daemon.Send(-4, 8);
  ASSERT_TRUE(WaitForLog("Unknown signal. Type -4 ID 8", kEndTimeout));

  using Calls = std::vector<std::string>;
  const Calls redistribution = {"Load_Distribution(1, 180)", "Load_Distribution(2, 45)",
                                 "submitschedulejobs()",      "Load_Distribution(3, 60)",
                                 "Load_Distribution(5, 45)",  "Load_Distribution(9, 45)",
                                 "Load_Distribution(14, 180)"};
  struct Case {
    int type, sub_type;
    Calls calls;
    const char* line;  // null: the type has no line of its own
  };
  const Case cases[] = {
      {10, 0, redistribution, "Master received client start up signal."},
      {11, 0, redistribution, "Master received client Shutdown signal."},
      {5, 0, {"submitschedulejobs()", "Load_Distribution(3, 60)"},
       "MainScheduler:: Network event came for SH_SCHEDULE_JOB_SIGNAL"},
      {13, 0, {"Load_Distribution(3, 60)"}, "SH_DISTRIBUTE_TASKS"},
      {14, 0, {"Load_Distribution(3, 60)"}, nullptr},
      {7, 0, {"Load_Distribution(1, 180)"}, nullptr},  // its line is trace
      {4, 4, {"pm_submitschedulejobs()"}, "SSH_PATCH_MGMT_JOB_SIGNAL received!!"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SendAndCollect(daemon, c.type, c.sub_type, c.calls.size()), c.calls) << c.type;
    if (c.line != nullptr) {
      EXPECT_EQ(CountInLog(c.line), 1) << c.line;
    }
  }

  // The WMI sub-type and the download signal only wake threads.
  daemon.Send(4, 0, 0, 0);
  EXPECT_TRUE(WaitForLog("WMI_PATCH_MGMT_JOB_SIGNAL Received.", kEndTimeout));
  daemon.Send(17);
  EXPECT_TRUE(WaitForLog("SH_PATCH_DOWNLOAD_SUCCESS signal Received.", kEndTimeout));
  EXPECT_EQ(CountInLog("SH_PATCH_JOB_SIGNAL Received."), 2);

  daemon.Send(1);
  ExpectTeardownThenZero(daemon);
  EXPECT_EQ(CountInLog("NETWORK SIGNAL RECEIVED. Type 1\n"), 1);
}

// A scaled day passes in a few seconds; the daily restart comes after
// every other event has had its turn at least once.
TEST_F(InstallTypeThreeTest, NeitherAuditsNorDisabledEventsRun) {
  SetConfig("LOG_SIZE", "200000000");  // keep the whole day in one file
  korbtest::DaemonOptions options;
  options.time_scale = 20000;
  DaemonProcess daemon(options);
  ASSERT_TRUE(WaitForLog("Process is exiting for Internal Restart", 120s)) << DaemonLog();
  ExpectTeardownThenZero(daemon);
  EXPECT_GE(CountInLog("INV SCHEDULER EVENT OCCURED"), 1);
  for (const char* line : {"Calling Populate AutomationTask Audit Details for patch jobs",
                           "Calling Populate AutomationTask Audit Details for automation task",
                           "EVENT LOG EVENT OCCURED", "JOB PING SCHEDULER EVENT OCCURED",
                           "PROCESS MON EVENT OCCURED", "PERF SCHEDULER EVENT OCCURED"}) {
    EXPECT_EQ(CountInLog(line), 0) << line;
  }
  EXPECT_TRUE(ProcedureCalls("AutomationTaskAuditProcess").empty());
}

constexpr char kSupervisorGone[] = "Seems service is not running .Exiting the application";
constexpr char kConnectionError[] = "Encountered the DB connection error!!!";

class LoopEndingsTest : public SpineTest {
 protected:
  void TearDown() override {
    // A test that stopped the server must not leave it down for the next.
    if (!korbtest::MariaDbServer::Instance().Running()) korbtest::MariaDbServer::Instance().Start();
    SpineTest::TearDown();
  }

  // Runs the daemon under a stand-in supervisor (supervisor_) that the
  // test can kill.
  std::unique_ptr<DaemonProcess> StartSupervised(double scale) {
    supervisor_ = std::make_unique<korbtest::ChildProcess>(std::vector<std::string>{"/bin/sleep", "600"});
    const auto pid = static_cast<uint32_t>(supervisor_->Pid());
    EXPECT_TRUE(korbtest::WaitFor(
        [&] {
          std::vector<uint32_t> ids;
          GetProcessID("sleep", ids);
          return std::find(ids.begin(), ids.end(), pid) != ids.end();
        },
        kStartTimeout));
    korbtest::DaemonOptions options;
    options.supervisor_pid = std::to_string(pid);
    options.supervisor_exe = "sleep";
    options.time_scale = scale;
    auto daemon = std::make_unique<DaemonProcess>(options);
    ExpectRunning(*daemon);
    return daemon;
  }

  static void ExpectEndWithoutTeardown(DaemonProcess& daemon, std::chrono::milliseconds within) {
    int code = -1;
    ASSERT_TRUE(daemon.WaitExit(within, &code)) << korbtest::DaemonLog();
    EXPECT_EQ(code, 0);
    EXPECT_EQ(CountInLog(kUnloading), 0);
  }

  std::unique_ptr<korbtest::ChildProcess> supervisor_;
};

TEST_F(LoopEndingsTest, SupervisorGoneEndsTheProcessWithinOneTick) {
  auto daemon = StartSupervised(1000);  // one tick is 0.9 s
  supervisor_->SendSignal(SIGKILL);
  ASSERT_TRUE(supervisor_->WaitExit(kEndTimeout));
  // A tick plus what a sanitizer build needs to reach it.
  ExpectEndWithoutTeardown(*daemon, 900ms + 5s);
  EXPECT_EQ(CountInLog(kSupervisorGone), 1);
  EXPECT_EQ(CountInLog(kConnectionError), 0);
}

TEST_F(LoopEndingsTest, LostDatabaseEndsTheProcessAndWinsOverGoneSupervisor) {
  // At this scale the first tick comes 9 s after the start, long after the
  // 0.2 s new-job signalling has met the stopped server.
  auto daemon = StartSupervised(100);
  korbtest::MariaDbServer::Instance().Stop();
  supervisor_->SendSignal(SIGKILL);
  ExpectEndWithoutTeardown(*daemon, kEndTimeout);
  EXPECT_EQ(CountInLog(kConnectionError), 1);
  EXPECT_EQ(CountInLog(kSupervisorGone), 0);
}

}  // namespace
}  // namespace spinetest
