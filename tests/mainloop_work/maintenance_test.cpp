// Maintenance handlers of the periodic events: probe schedule clean-up,
// patch deploy retries and the procedure events, main and MSP forms.
#include "MaintenanceEvents.h"
#include "ProcessState.h"
#include "WorkTest.h"

namespace korbtest {
namespace {

using Calls = std::vector<std::string>;
using Texts = std::vector<std::string>;

class MaintenanceTest : public WorkTest {
 protected:
  void TearDown() override {
    g_ProbeIdList.clear();
    if (g_pSignalHandler != nullptr) {
      delete g_pSignalHandler;
      g_pSignalHandler = nullptr;
    }
    WorkTest::TearDown();
  }

  // A waiting deploy job whose last state change was minutesAgo.
  void AddDeployJob(int id, int site, int profile, int internalStatus, int retries,
                    int minutesAgo, const std::string& db = "orb") {
    Exec("INSERT INTO patch_jobdetails (ID, SiteID, SystemID, PatchID, ProfileID, "
         "InternalStatus, Status, Retries, Time) VALUES (" + std::to_string(id) + ", " +
         std::to_string(site) + ", 1, 1, " + std::to_string(profile) + ", " +
         std::to_string(internalStatus) + ", 'waiting', " + std::to_string(retries) +
         ", DATE_FORMAT(NOW() - INTERVAL " + std::to_string(minutesAgo) +
         " MINUTE, '%Y/%m/%d %H:%i:%s'))",
         db);
  }

  // IDs of the deploy jobs posted again, with their retry counts.
  Rows Retried(const std::string& db = "orb") {
    return Query("SELECT ID, Retries FROM patch_jobdetails WHERE InternalStatus = 3 AND "
                 "Status = 'Patch deploy job is posted.' ORDER BY ID",
                 db);
  }

  // A signal handler whose events are all a minute off, so that a due
  // event can only come from ResetEvent.
  void StartSignalHandler() {
    int port = 0;
    {
      UdpListener probe;
      port = probe.Port();
    }
    const std::vector<int> periods(17, 60);
    g_pSignalHandler = new CSignalHandler(port, &periods, g_pLogger);
    ASSERT_EQ(static_cast<EObjectStatus>(*g_pSignalHandler), OBJECT_READY);
  }

  // The event that fires next.
  int NextEvent() {
    CSignalInfo info;
    return g_pSignalHandler->WaitForSignal(info, nullptr);
  }
};

TEST_F(MaintenanceTest, ProbeScheduleCleanupRemovesOnlyStaleEntriesOfListedProbes) {
  StartProcess();
  // Jobs: 1 waiting and 2 running, both for system 20 whose agent is
  // silent; 3 waiting for system 21 whose agent answers.
  Exec("INSERT INTO jobdetails (JobID, JobTypeID, SystemID, Status) VALUES (1, 1, 20, 0), "
       "(2, 1, 20, 3), (3, 1, 21, 0);"
       "INSERT INTO orbtaskagentdetails (SystemID, LastResponseTime) VALUES "
       "(10, NOW() - INTERVAL 2 HOUR), (11, NOW() - INTERVAL 10 MINUTE), "
       "(20, NOW() - INTERVAL 2 HOUR), (21, NOW() - INTERVAL 10 MINUTE)");
  // ID, ProbeID, TaskTypeID, TaskCategoryID, ProbeSchedulerID, MonitoringID
  Exec("INSERT INTO probescheduledetail (ID, ProbeID, TaskTypeID, TaskCategoryID, "
       "ProbeSchedulerID, MonitoringID) VALUES "
       "(1, 1, 3, 7, 500, 0), (2, 1, 3, 8, 501, 0),"    // job rows gone: removed
       "(3, 1, 3, 7, 1, 0), (4, 1, 3, 9, 502, 0),"      // job exists / other category
       "(5, 1, 1, 0, 10, 4), (6, 1, 1, 0, 10, 5),"      // silent agent: removed
       "(7, 1, 1, 0, 11, 4), (8, 1, 1, 0, 10, 6),"      // answering agent / other monitoring
       "(9, 1, 3, 1, 1, 4), (10, 1, 3, 1, 1, 5),"       // waiting job, silent agent: removed
       "(11, 1, 3, 1, 2, 4), (12, 1, 3, 1, 3, 5),"      // running job / answering agent
       "(13, 2, 3, 7, 500, 0), (14, 2, 1, 0, 10, 4)");  // probe 2 is not in the list

  g_ProbeIdList = {};
  CleanupProbeScheduleEvent();
  EXPECT_EQ(Count("SELECT * FROM probescheduledetail"), 14);

  g_ProbeIdList = {"1"};
  g_pDBI->m_nMSPFlag = 1;
  CleanupProbeScheduleEvent();
  g_pDBI->m_nMSPFlag = 0;
  EXPECT_EQ(Count("SELECT * FROM probescheduledetail"), 14);
  EXPECT_EQ(Log().size(), 0u);

  CleanupProbeScheduleEvent();
  Texts left;
  for (const auto& row : Query("SELECT ID FROM probescheduledetail ORDER BY ID")) {
    left.push_back(row[0]);
  }
  EXPECT_EQ(left, (Texts{"3", "4", "7", "8", "11", "12", "13", "14"}));
  EXPECT_EQ(CountLogged(8, "Clearing of un-necessary probescheduledetail enteries is Successful"), 1);

  // Nothing stale left: no delete and no line.
  CleanupProbeScheduleEvent();
  EXPECT_EQ(Count("SELECT * FROM probescheduledetail"), 8);
  EXPECT_EQ(CountLogged(8, "Clearing of un-necessary probescheduledetail enteries is Successful"), 1);
}

TEST_F(MaintenanceTest, DeployRetriesRespectLimitsAndWaitsThenPostDeployRuns) {
  StartProcess();
  StartSignalHandler();
  // Without a profile: 3 minutes and at most 3 tries.
  AddDeployJob(1, 1, 0, -6, 0, 5);
  AddDeployJob(2, 1, 0, -6, 2, 4);
  AddDeployJob(3, 1, 0, -6, 3, 5);   // retries used up
  AddDeployJob(4, 1, 0, -6, 0, 1);   // still waiting
  AddDeployJob(5, 2, 0, -6, 0, 5);   // another site
  AddDeployJob(6, 1, 0, 2, 0, 5);    // not failed
  // Profile 7: 2 tries after 10 minutes.
  Exec("INSERT INTO orbprofilevalues (ProfileID, ColumnID, ProfileValues, SiteID) VALUES "
       "(7, 76, '2', 1), (7, 77, '10', 1)");
  AddDeployJob(7, 1, 7, -6, 1, 12);
  AddDeployJob(8, 1, 7, -6, 2, 12);  // retries used up
  AddDeployJob(9, 1, 7, -6, 0, 5);   // still waiting

  PatchDeployRetryEvent();

  EXPECT_EQ(Retried(), (Rows{{"1", "1"}, {"2", "3"}, {"7", "2"}}));
  EXPECT_EQ(ProcedureCalls(), (Calls{"Postpatchdeploy()", "PopulateJobsforCategory(8, 1)",
                                     "Load_Distribution(3, 60)"}));
  EXPECT_EQ(LogTexts(8), (Texts{"calling postpatchdeploy procedure",
                                "calling PopulateJobsforCategory(8,1)",
                                "calling Load_Distribution(3,60)",
                                "Completed calls for all 3 procedures..."}));
  // The new-job signalling became due at once.
  EXPECT_EQ(NextEvent(), 17);
}

TEST_F(MaintenanceTest, SoftwareMeteringIsEnabledOnlyByOne) {
  StartProcess();
  const char* const values[] = {"", "2", "1"};
  for (const char* value : values) {
    Exec("DELETE FROM configsettings");
    if (*value != '\0') {
      Exec(std::string("INSERT INTO configsettings VALUES ('SOFTWARE_METER_STATUS', '") + value +
           "')");
    }
    SoftwareMeteringEvent();
  }
  EXPECT_EQ(ProcedureCalls(), Calls{"Load_Distribution(16, 180)"});
  EXPECT_EQ(CountLogged(8, "SOFTWARE METERING EVENT OCCURED"), 3);
  EXPECT_EQ(CountLogged(16, "MainScheduler :: Software metering Disabled."), 2);
  EXPECT_EQ(CountLogged(16, "MainScheduler :: Software metering Enabled."), 1);
}

TEST_F(MaintenanceTest, ProcedureEventsRunOnTheMainDatabase) {
  StartProcess();
  PopulateAgentUpgradeDetailsEvent();
  SoftwareDeploymentEvent();
  JobPopulateEvent();
  EXPECT_EQ(ProcedureCalls(),
            (Calls{"PopulateAgentUpgradedetails()", "postsoftwaredeploymentjob()",
                   "PopulateJobsforCategory(7, 1)", "populateuserformpublishinfo()"}));
  EXPECT_EQ(LogTexts(8), (Texts{"MainScheduler:: calling PopulateAgentUpgradedetails procedure",
                                "calling postsoftwaredeploymentjob procedure",
                                "JOB POPULATE EVENT OCCURED"}));
  EXPECT_EQ(CountLogged(16, "Calling populateuserformpublishinfo"), 1);
}

TEST_F(MaintenanceTest, MspFormsRunOnEveryVirtualProbeCustomer) {
  Identity msp;
  msp.msp_flag = 1;
  StartProcess(msp);
  StartSignalHandler();
  AddCustomer({.id = 1, .siteId = 12, .dsn = "c1", .database = "cust_one"});
  Exec("INSERT INTO configsettings VALUES ('SOFTWARE_METER_STATUS', '1')", "cust_one");
  AddDeployJob(1, 12, 0, -6, 0, 5, "cust_one");
  AddDeployJob(2, 1, 0, -6, 0, 5, "cust_one");  // the customer's site is 12
  AddDeployJob(3, 1, 0, -6, 0, 5);

  PopulateAgentUpgradeDetailsEvent();
  PatchDeployRetryEvent();
  SoftwareDeploymentEvent();
  SoftwareMeteringEvent();
  JobPopulateEvent();

  EXPECT_EQ(ProcedureCalls("", "cust_one"),
            (Calls{"PopulateAgentUpgradedetails()", "Postpatchdeploy()",
                   "pm_submitschedulejobs()", "postsoftwaredeploymentjob()",
                   "Load_Distribution(16, 180)", "PopulateJobsforCategory(7, 1)",
                   "populateuserformpublishinfo()"}));
  EXPECT_EQ(ProcedureCalls(), Calls{});
  EXPECT_EQ(Retried("cust_one"), (Rows{{"1", "1"}}));
  EXPECT_EQ(Retried(), Rows{});
  EXPECT_EQ(CountLogged(8, "MainScheduler:: calling PopulateAgentUpgradedetails procedure. :: "
                           "In Virtual Probe"),
            1);
  EXPECT_EQ(CountLogged(8, "SOFTWARE METERING EVENT OCCURED for Virtual Probe"), 1);
  EXPECT_EQ(CountLogged(16, "MainScheduler :: Software metering Enabled. :: In Virtual Probe"), 1);
  EXPECT_EQ(CountLogged(8, "JOB POPULATE EVENT OCCURED :: Virtual site"), 1);
  EXPECT_EQ(CountLogged(16, "Calling populateuserformpublishinfo :: Virtual site"), 1);
  EXPECT_EQ(CountLogged(8, "Completed calls for all 3 procedures..."), 0);

  // Event 9 in this form does not make the new-job signalling due: an
  // event made due afterwards comes first.
  g_pSignalHandler->ResetEvent(3);
  EXPECT_EQ(NextEvent(), 3);
}

}  // namespace
}  // namespace korbtest
