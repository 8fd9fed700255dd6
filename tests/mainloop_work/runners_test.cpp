// Stored-procedure runners: the call texts that reach each database, and
// the submit lock.
#include <atomic>
#include <stdexcept>
#include <thread>

#include "ProcedureRunners.h"
#include "WorkTest.h"

namespace korbtest {
namespace {

class RunnersTest : public WorkTest {};

TEST_F(RunnersTest, CallTextsCarryEachTaskTypesPeriod) {
  StartProcess();
  for (int type = 0; type <= 17; ++type) Load_Distribution(type);
  ScheduleJobs(3);
  ScheduleJobs(1);
  AutomationTaskAuditProcess(2);
  ScheduleSSHPatchMgmt();

  EXPECT_EQ(ProcedureCalls(),
            (Texts{"Load_Distribution(1, 180)", "Load_Distribution(2, 45)",
                   "Load_Distribution(3, 60)", "Load_Distribution(5, 45)",
                   "Load_Distribution(7, 300)", "Load_Distribution(9, 45)",
                   "Load_Distribution(14, 180)", "Load_Distribution(15, 45)",
                   "Load_Distribution(16, 180)", "submitschedulejobs()",
                   "Load_Distribution(3, 60)", "Load_Distribution(1, 180)",
                   "AutomationTaskAuditProcess(2)", "pm_submitschedulejobs()"}));
  // Unknown types still frame their empty run.
  EXPECT_EQ(CountLogged(16, "Load_Distribution - START "), 20);
  EXPECT_EQ(CountLogged(16, "submitschedulejobs - END "), 1);
}

TEST_F(RunnersTest, OnAnMspServerJobsGoToEveryCustomerButPingsStayOnTheMainDatabase) {
  StartProcess(true);
  AddCustomer({.id = 1, .siteId = 11, .dsn = "c1", .database = "cust_one"});
  AddCustomer({.id = 2, .siteId = 12, .virtualProbe = false, .dsn = "c2", .database = "cust_two"});

  ScheduleJobs(3);
  PingScheduler(6);

  EXPECT_EQ(ProcedureCalls(), Texts{"Load_Distribution(6, 120)"});
  for (const char* db : {"cust_one", "cust_two"}) {
    EXPECT_EQ(ProcedureCalls("", db), (Texts{"submitschedulejobs()", "Load_Distribution(3, 60)"}))
        << db;
  }
}

TEST_F(RunnersTest, AFailureInsideTheSubmitStepReleasesTheLock) {
  StartProcess();
  SetSubmitStepHookForTesting([] { throw std::runtime_error("injected"); });
  ScheduleJobs(3);
  SetSubmitStepHookForTesting(nullptr);

  // The failure skips the submission and its END line, not the distribution.
  EXPECT_EQ(ProcedureCalls(), Texts{"Load_Distribution(3, 60)"});
  EXPECT_EQ(CountLogged(2, "ScheduleJobs:: (--Exception Caught--)"), 1);
  EXPECT_EQ(CountLogged(16, "submitschedulejobs - END "), 0);

  // Another thread, as the automation schedule thread would, gets the lock.
  std::atomic<bool> done{false};
  std::thread other([&done] {
    ScheduleJobs(3);
    done = true;
  });
  const bool finished = WaitFor([&done] { return done.load(); }, std::chrono::seconds(20));
  finished ? other.join() : other.detach();
  ASSERT_TRUE(finished) << "g_csScheduleJobs still held";
  EXPECT_EQ(ProcedureCalls("submitschedulejobs"), Texts{"submitschedulejobs()"});
}

}  // namespace
}  // namespace korbtest
