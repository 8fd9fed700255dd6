// The whole daemon for one scaled day: every periodic procedure is called
// as often as its event's period allows, and the automation schedule
// thread submits due jobs about every scaled minute.
#include <algorithm>
#include <map>

#include "DaemonProcess.h"
#include "TestDatabase.h"

namespace korbtest {
namespace {

using namespace std::chrono_literals;

// A scaled day takes 86.4 s.
constexpr double kScale = 1000;
constexpr int kDay = 86400;

using ScaledDayTest = DbTest;

TEST_F(ScaledDayTest, EachPeriodicProcedureRunsOncePerPeriod) {
  Exec("INSERT INTO jobhandlermaster (HostName, PortNumber) VALUES ('127.0.0.1', 7301)");
  // Keep the whole day in one log file.
  Exec("INSERT INTO configsettings VALUES ('LOG_SIZE', '500000000')");
  // 10 s of real time for the end to wait for a submission and its
  // distribution; the default 60 scaled seconds are 60 ms here.
  AddOptions("orb", "korb-grace-period=10000\n");
  DaemonOptions options;
  options.time_scale = kScale;
  DaemonProcess daemon(options);
  int code = -1;
  // Ends by itself with the daily restart event, through the teardown.
  ASSERT_TRUE(daemon.WaitExit(600s, &code)) << DaemonLog();
  EXPECT_EQ(code, 0);
  EXPECT_EQ(CountInLog("Process is exiting for Internal Restart"), 1);
  EXPECT_EQ(CountInLog("Unloaded the module succesfully..."), 1);

  std::map<std::string, int> calls;
  for (const std::string& call : ProcedureCalls()) ++calls[call];

  // Events made due at start run at 0, p, 2p, ... until the day ends; the
  // audits start after one period and lose the run that falls due with the
  // daily event, which comes first.
  const std::map<std::string, int> expected = {
      {"AutomationTaskAuditProcess(2)", kDay / 28800 - 1},
      {"AutomationTaskAuditProcess(1)", kDay / 21600 - 1},
      {"PopulateAgentUpgradedetails()", kDay / 900},   {"Load_Distribution(7, 300)", kDay / 300},
      {"Load_Distribution(1, 180)", kDay / 180},       {"Load_Distribution(14, 180)", kDay / 180},
      {"Postpatchdeploy()", kDay / 180},               {"PopulateJobsforCategory(8, 1)", kDay / 180},
      {"postsoftwaredeploymentjob()", kDay / 180},     {"Load_Distribution(6, 120)", kDay / 120},
      {"PopulateJobsforCategory(7, 1)", kDay / 60},    {"populateuserformpublishinfo()", kDay / 60},
      {"Load_Distribution(5, 45)", kDay / 45},         {"Load_Distribution(9, 45)", kDay / 45},
      {"Load_Distribution(2, 45)", kDay / 45},         {"Load_Distribution(15, 45)", kDay / 45},
  };
  // A loop that falls behind skips the periods it missed (as the timers
  // do), so a busy machine may lose a few calls, never gain them.
  for (const auto& [call, times] : expected) {
    EXPECT_LE(calls[call], times + 1) << call;
    EXPECT_GE(calls[call], times - std::max(1, times / 50)) << call;
  }
  EXPECT_EQ(calls["Load_Distribution(16, 180)"], 0);  // metering is not enabled

  // The thread checks every scaled 10 s, so it submits every 60 to 70 s
  // (a little more on a busy machine); the patch-management schedule every
  // 180 to 190 s.
  const int submitted = calls["submitschedulejobs()"];
  EXPECT_GE(submitted, kDay / 75) << "submitschedulejobs";
  EXPECT_LE(submitted, kDay / 60 + 1) << "submitschedulejobs";
  EXPECT_GE(calls["pm_submitschedulejobs()"], kDay / 200);
  EXPECT_LE(calls["pm_submitschedulejobs()"], kDay / 180 + 1);
  // Each submission is followed by its distribution, as is each retry event.
  EXPECT_EQ(calls["Load_Distribution(3, 60)"], submitted + calls["Postpatchdeploy()"]);
}

}  // namespace
}  // namespace korbtest
