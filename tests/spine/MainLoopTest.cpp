// The running main loop: its orderly ends, its dispatch of network signals
// and timeout events, and how it copes with what it cannot use.
#include <signal.h>

#include <filesystem>

#include "SpineTest.h"

namespace spinetest {
namespace {

using korbtest::CountInLog;
using korbtest::DaemonLog;
using korbtest::DaemonOptions;
using korbtest::DaemonProcess;
using korbtest::Rows;
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

TEST_F(SpineTest, EndSignalTearsDownAndEndsWithZero) {
  DaemonProcess daemon;
  ExpectRunning(daemon);
  daemon.Send(1);
  ExpectTeardownThenZero(daemon);
  EXPECT_EQ(CountInLog("NETWORK SIGNAL RECEIVED. Type 1"), 1);
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

TEST_F(SpineTest, MalformedDatagramsAndUnknownTypesAreLoggedAndTheLoopGoesOn) {
  DaemonProcess daemon;
  ExpectRunning(daemon);
  daemon.SendRaw("not a signal");
  ASSERT_TRUE(WaitForLog("Signal Handler receival failed", kEndTimeout));
  daemon.Send(99, 7);
  ASSERT_TRUE(WaitForLog("Unknown signal. Type 99 ID 7", kEndTimeout));
  daemon.Send(-4, 8);
  ASSERT_TRUE(WaitForLog("Unknown signal. Type -4 ID 8", kEndTimeout));
  EXPECT_EQ(CountInLog("NETWORK SIGNAL RECEIVED. Type 99"), 1);
  EXPECT_FALSE(daemon.Exited());
  daemon.Send(1);
  ExpectTeardownThenZero(daemon);
}

// Install type 3 leaves the distribution events idle at start, so the
// only distribution calls after the automation thread's first round are
// those the signals cause.
class SignalDispatchTest : public SpineTest {
 protected:
  void SetUp() override {
    SpineTest::SetUp();
    korbtest::Identity identity;
    identity.install_type = 3;
    SetMainIdentity(identity);
  }

  int LastCallId() {
    return ToInt(Scalar("select coalesce(max(CallID), 0) from procedurecalllog"));
  }

  // Distribution and submission calls after call id `after`.
  std::vector<std::string> CallsAfter(int after) {
    std::vector<std::string> calls;
    for (const auto& row : Query(Format(
             "select ProcName, Args from procedurecalllog where CallID > %d and "
             "ProcName in ('Load_Distribution', 'submitschedulejobs', "
             "'pm_submitschedulejobs') order by CallID", after)))
      calls.push_back(row[0] + "(" + row[1] + ")");
    return calls;
  }

  std::vector<std::string> SendAndCollect(DaemonProcess& daemon, int type,
                                          int sub_type, size_t expected) {
    const int mark = LastCallId();
    daemon.Send(type, 0, 0, sub_type);
    korbtest::WaitFor([&] { return CallsAfter(mark).size() >= expected; },
                      kEndTimeout);
    return CallsAfter(mark);
  }
};

TEST_F(SignalDispatchTest, EachWorkSignalTypeRunsItsCalls) {
  DaemonProcess daemon;
  ExpectRunning(daemon);
  // The automation thread's first round ends with the patch schedule.
  ASSERT_TRUE(WaitForLog("Time taken for patch mgmt schedule", kStartTimeout));

  using Calls = std::vector<std::string>;
  const Calls redistribution = {
      "Load_Distribution(1, 180)", "Load_Distribution(2, 45)",
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
    EXPECT_EQ(SendAndCollect(daemon, c.type, c.sub_type, c.calls.size()), c.calls)
        << "type " << c.type;
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
}

// A scaled day passes in a few seconds; the daily restart event comes
// after every other event has had its turn at least once.
constexpr double kDayScale = 20000;
const char* const kFullWorkLines[] = {
    "Calling Populate AutomationTask Audit Details for patch jobs",
    "Calling Populate AutomationTask Audit Details for automation task",
    "EVENT LOG EVENT OCCURED",
    "JOB PING SCHEDULER EVENT OCCURED",
    "PROCESS MON EVENT OCCURED",
    "PERF SCHEDULER EVENT OCCURED",
};

class ScaledDayTest : public SpineTest {
 protected:
  void RunOneScaledDay() {
    // A scaled day logs a lot; keep all of it in one file.
    SetConfig("LOG_SIZE", "200000000");
    DaemonOptions options;
    options.time_scale = kDayScale;
    DaemonProcess daemon(options);
    ASSERT_TRUE(WaitForLog("Process is exiting for Internal Restart", 120s))
        << DaemonLog();
    ExpectTeardownThenZero(daemon);
    const std::string log = DaemonLog();
    EXPECT_LT(log.find("Process is exiting for Internal Restart"),
              log.find(kUnloading));
    EXPECT_GE(CountInLog("INV SCHEDULER EVENT OCCURED"), 1);
  }
};

TEST_F(ScaledDayTest, DailyRestartEventEndsTheDayAfterAllPeriodicWork) {
  RunOneScaledDay();
  for (const char* line : kFullWorkLines)
    EXPECT_GE(CountInLog(line), 1) << line;
  EXPECT_GE(ProcedureCalls("AutomationTaskAuditProcess").size(), 2u);
}

TEST_F(ScaledDayTest, OtherInstallTypesRunNeitherAuditsNorDisabledEvents) {
  korbtest::Identity identity;
  identity.install_type = 3;
  SetMainIdentity(identity);
  RunOneScaledDay();
  for (const char* line : kFullWorkLines)
    EXPECT_EQ(CountInLog(line), 0) << line;
  EXPECT_TRUE(ProcedureCalls("AutomationTaskAuditProcess").empty());
}

}  // namespace
}  // namespace spinetest
