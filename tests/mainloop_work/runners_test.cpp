// Stored-procedure runners: which call texts reach which database, and the
// submit lock.
#include <atomic>
#include <stdexcept>
#include <thread>

#include "ProcedureRunners.h"
#include "ProcessState.h"
#include "WorkTest.h"

namespace korbtest {
namespace {

using std::chrono::seconds;
using Calls = std::vector<std::string>;

class RunnersTest : public WorkTest {};

TEST_F(RunnersTest, LoadDistributionUsesThePeriodOfEachTaskTypeAndSkipsUnknownTypes) {
  StartProcess();
  for (int type = 0; type <= 17; ++type) Load_Distribution(type);

  EXPECT_EQ(ProcedureCalls(), (Calls{"Load_Distribution(1, 180)", "Load_Distribution(2, 45)",
                                     "Load_Distribution(3, 60)", "Load_Distribution(5, 45)",
                                     "Load_Distribution(7, 300)", "Load_Distribution(9, 45)",
                                     "Load_Distribution(14, 180)", "Load_Distribution(15, 45)",
                                     "Load_Distribution(16, 180)"}));
  // Unknown types still frame their (empty) run.
  EXPECT_EQ(CountLogged(16, "Load_Distribution - START "), 18);
  EXPECT_EQ(CountLogged(16, "Load_Distribution - END "), 18);
}

TEST_F(RunnersTest, ScheduleJobsSubmitsOnlyForJobsThenDistributes) {
  StartProcess();
  ScheduleJobs(3);
  ScheduleJobs(1);
  ScheduleJobs(4);

  EXPECT_EQ(ProcedureCalls(), (Calls{"submitschedulejobs()", "Load_Distribution(3, 60)",
                                     "Load_Distribution(1, 180)"}));
  EXPECT_EQ(CountLogged(16, "submitschedulejobs - START "), 1);
  EXPECT_EQ(CountLogged(16, "submitschedulejobs - END "), 1);
}

TEST_F(RunnersTest, MainObjectRunnersLogAroundTheirCalls) {
  StartProcess();
  PingScheduler(6);
  AutomationTaskAuditProcess(1);
  AutomationTaskAuditProcess(2);
  ScheduleSSHPatchMgmt();

  EXPECT_EQ(ProcedureCalls(),
            (Calls{"Load_Distribution(6, 120)", "AutomationTaskAuditProcess(1)",
                   "AutomationTaskAuditProcess(2)", "pm_submitschedulejobs()"}));
  EXPECT_EQ(LogBetween("PingScheduler - START ", "PingScheduler - END "), Calls{});
  EXPECT_EQ(CountLogged(8, "Call AutomationTaskAuditProcess() completed for type:2"), 1);
  const Calls patchMgmt = LogBetween("ScheduleSSHPatchMgmt - STARTS!!", "ScheduleSSHPatchMgmt - END!!");
  ASSERT_EQ(patchMgmt.size(), 2u);
  EXPECT_EQ(patchMgmt[0].rfind("ScheduleSSHPatchMgmt : Start of patch mgmt schedule. Start time : ", 0), 0u);
  EXPECT_EQ(patchMgmt[1].rfind("ScheduleSSHPatchMgmt : Time taken for patch mgmt schedule is: ", 0), 0u);
  EXPECT_TRUE(patchMgmt[1].ends_with(" seconds")) << patchMgmt[1];
}

TEST_F(RunnersTest, OnAnMspServerJobsGoToEveryCustomerButPingsStayOnTheMainDatabase) {
  Identity msp;
  msp.msp_flag = 1;
  StartProcess(msp);
  AddCustomer({.id = 1, .siteId = 11, .dsn = "c1", .database = "cust_one"});
  // Served by the procedure form although it has no virtual probe.
  AddCustomer({.id = 2, .siteId = 12, .virtualProbe = false, .dsn = "c2", .database = "cust_two"});

  ScheduleJobs(3);
  PingScheduler(6);
  Load_Distribution(4);

  EXPECT_EQ(ProcedureCalls(), Calls{"Load_Distribution(6, 120)"});
  for (const char* db : {"cust_one", "cust_two"}) {
    EXPECT_EQ(ProcedureCalls("", db), (Calls{"submitschedulejobs()", "Load_Distribution(3, 60)"}))
        << db;
  }
  EXPECT_EQ(CountLogged(8, "MSPDynamicQueryExecution Entry"), 2);
  EXPECT_EQ(CountLogged(8, "MSPDynamicQueryExecution Exit"), 2);
}

TEST_F(RunnersTest, AFailureInsideTheSubmitStepReleasesTheLock) {
  StartProcess();
  SetSubmitStepHookForTesting([] { throw std::runtime_error("injected"); });
  ScheduleJobs(3);
  SetSubmitStepHookForTesting(nullptr);

  // The failure skips the submission and its END line, not the distribution.
  EXPECT_EQ(ProcedureCalls(), Calls{"Load_Distribution(3, 60)"});
  EXPECT_EQ(CountLogged(2, "ScheduleJobs:: (--Exception Caught--)"), 1);
  EXPECT_EQ(CountLogged(16, "submitschedulejobs - END "), 0);
  EXPECT_EQ(CountLogged(2, "Exception ScheduleJobs"), 0);

  // Another thread (as the automation schedule thread would) gets the lock.
  std::atomic<bool> done{false};
  std::thread other([&done] {
    ScheduleJobs(3);
    done = true;
  });
  const bool finished = WaitFor([&done] { return done.load(); }, seconds(20));
  if (finished) {
    other.join();
  } else {
    other.detach();
  }
  ASSERT_TRUE(finished) << "g_csScheduleJobs still held";
  EXPECT_EQ(ProcedureCalls("submitschedulejobs"), Calls{"submitschedulejobs()"});
  EXPECT_EQ(CountLogged(16, "submitschedulejobs - END "), 1);
}

}  // namespace
}  // namespace korbtest
