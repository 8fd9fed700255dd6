// The stored-procedure runners (the call texts that reach each database,
// the submit lock) and the maintenance handlers of the periodic events:
// probe schedule clean-up, patch deploy retries and software metering.
#include <atomic>
#include <stdexcept>
#include <thread>

#include "DaemonProcess.h"
#include "MaintenanceEvents.h"
#include "ProcedureRunners.h"
#include "WorkTest.h"

namespace korbtest {
namespace {

using RunnersTest = WorkTest;

TEST_F(RunnersTest, CallTextsCarryEachTaskTypesPeriod) {
  StartProcess();
  for (int type = 0; type <= 17; ++type) Load_Distribution(type);
  ScheduleJobs(3);
  ScheduleJobs(1);
  AutomationTaskAuditProcess(2);
  ScheduleSSHPatchMgmt();

  EXPECT_EQ(ProcedureCalls(),
            (Texts{"Load_Distribution(1, 180)", "Load_Distribution(2, 45)", "Load_Distribution(3, 60)",
                   "Load_Distribution(5, 45)", "Load_Distribution(7, 300)", "Load_Distribution(9, 45)",
                   "Load_Distribution(14, 180)", "Load_Distribution(15, 45)",
                   "Load_Distribution(16, 180)", "submitschedulejobs()", "Load_Distribution(3, 60)",
                   "Load_Distribution(1, 180)", "AutomationTaskAuditProcess(2)",
                   "pm_submitschedulejobs()"}));
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

  // The failure skips the submission, not the distribution.
  EXPECT_EQ(ProcedureCalls(), Texts{"Load_Distribution(3, 60)"});
  EXPECT_EQ(Logged(2), Texts{"ScheduleJobs:: (--Exception Caught--)"});

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

class MaintenanceTest : public WorkTest {
 protected:
  void TearDown() override {
    g_ProbeIdList.clear();
    delete g_pSignalHandler;
    g_pSignalHandler = nullptr;
    WorkTest::TearDown();
  }

  // A deploy job whose last state change was minutesAgo.
  void AddDeployJob(int id, int site, int profile, int internalStatus, int retries, int minutesAgo,
                    const std::string& db = "orb") {
    Exec(Format("INSERT INTO patch_jobdetails (ID, SiteID, SystemID, PatchID, ProfileID, "
                "InternalStatus, Retries, Time) VALUES (%d, %d, 1, 1, %d, %d, %d, DATE_FORMAT(NOW() "
                "- INTERVAL %d MINUTE, '%%Y/%%m/%%d %%H:%%i:%%s'))",
                id, site, profile, internalStatus, retries, minutesAgo),
         db);
  }
  Rows Retried(const std::string& db = "orb") {
    return Query("SELECT ID, Retries FROM patch_jobdetails WHERE InternalStatus = 3 AND "
                 "Status = 'Patch deploy job is posted.' ORDER BY ID", db);
  }
  // A signal receiver whose events are all a minute off, so that an event
  // due now can only come from ResetEvent.
  void StartSignalHandler() {
    const std::vector<int> periods(17, 60);
    g_pSignalHandler = new CSignalHandler(FreeUdpPort(), &periods, g_pLogger);
    ASSERT_EQ(static_cast<EObjectStatus>(*g_pSignalHandler), OBJECT_READY);
  }
  int NextEvent() {
    CSignalInfo info;
    return g_pSignalHandler->WaitForSignal(info, nullptr);
  }
};

TEST_F(MaintenanceTest, ProbeScheduleCleanupRemovesOnlyStaleEntriesOfListedProbes) {
  StartProcess();
  // Jobs 1 (waiting) and 2 (running) for system 20, whose agent is silent;
  // 3 (waiting) for system 21, whose agent answers.
  Exec("INSERT INTO jobdetails (JobID, JobTypeID, SystemID, Status) VALUES (1, 1, 20, 0), "
       "(2, 1, 20, 3), (3, 1, 21, 0);"
       "INSERT INTO orbtaskagentdetails (SystemID, LastResponseTime) VALUES "
       "(10, NOW() - INTERVAL 2 HOUR), (11, NOW() - INTERVAL 10 MINUTE), "
       "(20, NOW() - INTERVAL 2 HOUR), (21, NOW() - INTERVAL 10 MINUTE);"
       "INSERT INTO probescheduledetail (ID, ProbeID, TaskTypeID, TaskCategoryID, "
       "ProbeSchedulerID, MonitoringID) VALUES "
       "(1, 1, 3, 7, 500, 0), (2, 1, 3, 8, 501, 0),"    // job rows gone: removed
       "(3, 1, 3, 7, 1, 0), (4, 1, 3, 9, 502, 0),"      // job exists / other category
       "(5, 1, 1, 0, 10, 4), (6, 1, 1, 0, 10, 5),"      // silent agent: removed
       "(7, 1, 1, 0, 11, 4), (8, 1, 1, 0, 10, 6),"      // answering agent / other monitoring
       "(9, 1, 3, 1, 1, 4), (10, 1, 3, 1, 1, 5),"       // waiting job, silent agent: removed
       "(11, 1, 3, 1, 2, 4), (12, 1, 3, 1, 3, 5),"      // running job / answering agent
       "(13, 2, 3, 7, 500, 0), (14, 2, 1, 0, 10, 4)");  // probe 2 is not listed

  CleanupProbeScheduleEvent();  // no probes listed
  g_ProbeIdList = {"1"};
  g_pDBI->m_nMSPFlag = 1;
  CleanupProbeScheduleEvent();  // nothing on an MSP server
  g_pDBI->m_nMSPFlag = 0;
  EXPECT_EQ(Count("SELECT * FROM probescheduledetail"), 14);
  CleanupProbeScheduleEvent();
  CleanupProbeScheduleEvent();  // nothing stale left: no line

  EXPECT_EQ(Query("SELECT GROUP_CONCAT(ID ORDER BY ID) FROM probescheduledetail"),
            Rows{{"3,4,7,8,11,12,13,14"}});
}

TEST_F(MaintenanceTest, DeployRetriesRespectLimitsAndWaitsThenPostDeployRuns) {
  StartProcess();
  StartSignalHandler();
  AddDeployJob(1, 1, 0, -6, 0, 5);  // without a profile: after 3 minutes, 3 tries
  AddDeployJob(2, 1, 0, -6, 2, 4);
  AddDeployJob(3, 1, 0, -6, 3, 5);  // tries used up
  AddDeployJob(4, 1, 0, -6, 0, 1);  // still waiting
  AddDeployJob(5, 2, 0, -6, 0, 5);  // another site
  AddDeployJob(6, 1, 0, 2, 0, 5);   // not failed
  Exec("INSERT INTO orbprofilevalues (ProfileID, ColumnID, ProfileValues) VALUES (7, 76, '2'), "
       "(7, 77, '10')");
  AddDeployJob(7, 1, 7, -6, 1, 12);  // profile 7: after 10 minutes, 2 tries
  AddDeployJob(8, 1, 7, -6, 2, 12);  // tries used up
  AddDeployJob(9, 1, 7, -6, 0, 5);   // still waiting

  PatchDeployRetryEvent();
  const Rows retried = Retried();
  EXPECT_EQ(retried, (Rows{{"1", "1"}, {"2", "3"}, {"7", "2"}}));
  const Texts calls = {"Postpatchdeploy()", "PopulateJobsforCategory(8, 1)", "Load_Distribution(3, 60)"};
  EXPECT_EQ(ProcedureCalls(), calls);
  EXPECT_EQ(NextEvent(), 17);  // the new-job signalling became due at once

  // On an MSP server each customer's jobs of its own site are retried and
  // submitted; the main database is left alone.
  g_pDBI->m_nMSPFlag = 1;
  AddCustomer({.id = 1, .siteId = 12, .dsn = "c1", .database = "cust_one"});
  AddDeployJob(1, 12, 0, -6, 0, 5, "cust_one");
  AddDeployJob(2, 1, 0, -6, 0, 5, "cust_one");
  AddDeployJob(10, 1, 0, -6, 0, 5);
  PatchDeployRetryEvent();
  EXPECT_EQ(Retried("cust_one"), (Rows{{"1", "1"}}));
  EXPECT_EQ(Retried(), retried);
  EXPECT_EQ(ProcedureCalls("", "cust_one"), (Texts{"Postpatchdeploy()", "pm_submitschedulejobs()"}));
  EXPECT_EQ(ProcedureCalls(), calls);
  // No new-job signalling: an event made due afterwards comes first.
  g_pSignalHandler->ResetEvent(3);
  EXPECT_EQ(NextEvent(), 3);
}

TEST_F(MaintenanceTest, SoftwareMeteringIsEnabledOnlyByOne) {
  StartProcess();
  SoftwareMeteringEvent();  // not set
  for (const char* value : {"2", "1"}) {
    Exec(Format("REPLACE INTO configsettings VALUES ('SOFTWARE_METER_STATUS', '%s')", value));
    SoftwareMeteringEvent();
  }
  EXPECT_EQ(ProcedureCalls(), Texts{"Load_Distribution(16, 180)"});
}

}  // namespace
}  // namespace korbtest
