// Restart recovery against prepared rows. Start-up is made to stop at the
// job handler step (no jobhandlermaster row), which comes after the
// recovery, so no main-loop work touches the rows afterwards.
#include <filesystem>

#include "SpineTest.h"

namespace spinetest {
namespace {

using korbtest::Rows;

TEST_F(SpineTest, RestartRecoveryResetsInterruptedWorkAndLeavesEverythingElse) {
  Exec("delete from jobhandlermaster");
  // Interrupted patch deploy states are 4, 5, 7, 8, 9 and 10.
  Exec("insert into patch_jobdetails (ID, SystemID, PatchID, InternalStatus, Status, Retries) values "
       "(1, 1, 1, 4, 'posted', 0), (2, 1, 1, 5, 'x', 3), (3, 1, 1, 7, 'x', 1), (4, 1, 1, 8, 'x', 2),"
       "(5, 1, 1, 9, 'x', 0), (6, 1, 1, 10, 'x', 3), (7, 1, 1, 10, 'x', 4), (8, 1, 1, 2, 'x', 0),"
       "(9, 1, 1, 6, 'x', 0), (10, 1, 1, 3, 'x', 0), (11, 1, 1, -6, 'x', 1), (12, 1, 1, 11, 'x', 0)");
  // Job type 10025 open in 0 or 3 fails; other states and types stay.
  Exec("insert into jobdetails (JobID, JobTypeID, Status, StatusDescription) values "
       "(101, 10025, 0, 'waiting'), (102, 10025, 3, 'running'), (103, 10025, 1, 'done'),"
       "(104, 10025, 2, 'unfinished'), (105, 10032, 0, 'other type'), (106, 10025, -1, 'failed before')");
  // Agent 10 is mapped on site 1 only.
  Exec("insert into mappedagents (SiteID, SystemID, MasterAgentID) values (1, 5, 10);"
       "insert into swinformer (ID, SiteID, MasterAgentID, PatchID) values "
       "(1, 1, 10, 1), (2, 1, 11, 1), (3, 2, 10, 1)");
  // Schedule entries of probe 1 (the installation's probe) for failed
  // 10025 jobs in task type 3, category 8 go; everything else stays.
  Exec("insert into probescheduledetail (ID, ProbeID, TaskTypeID, TaskCategoryID, ProbeSchedulerID) "
       "values (1, 1, 3, 8, 101), (2, 1, 3, 8, 106), (3, 1, 3, 7, 101), (4, 2, 3, 8, 101),"
       "(5, 1, 1, 8, 101), (6, 1, 3, 8, 103), (7, 1, 3, 8, 105)");
  Exec("insert into softwaremeterdetail (ID, SystemID, CollectionStatus, StatusDescription) values "
       "(1, 1, 2, 'collecting'), (2, 1, 3, 'sent'), (3, 1, 1, 'done'), (4, 1, 0, NULL)");

  auto run_start_up = [&] {
    std::filesystem::remove(korbtest::DaemonLogPath());
    korbtest::DaemonProcess daemon;
    EXPECT_EQ(ExitCodeOf(daemon), 255);
    EXPECT_EQ(korbtest::CountInLog("Unable to retrieve Job Handler Master Details. Exiting.."), 1);
  };
  auto tables = [&] {
    return std::vector<Rows>{
        Query("select ID, InternalStatus, Status, Retries from patch_jobdetails order by ID"),
        Query("select JobID, Status, StatusDescription, FinishedTime is not null from jobdetails "
              "order by JobID"),
        Query("select ID from swinformer order by ID"),
        Query("select ID from probescheduledetail order by ID"),
        Query("select ID, CollectionStatus, StatusDescription from softwaremeterdetail order by ID")};
  };

  // Nothing is touched on an MSP server. The configured log level applies
  // from the start: at 1 only errors are written.
  const std::vector<Rows> before = tables();
  korbtest::Identity identity;
  identity.msp_flag = 1;
  SetMainIdentity(identity);
  SetConfig("LOG_LEVEL", "1");
  run_start_up();
  EXPECT_EQ(tables(), before);
  EXPECT_EQ(korbtest::CountInLog("Initializing the module..."), 0);

  SetMainIdentity(korbtest::Identity());
  SetConfig("LOG_LEVEL", "4");
  run_start_up();
  EXPECT_EQ(korbtest::CountInLog("Swinformer entries of old agents got deleted"), 1);
  const std::vector<Rows> after = tables();
  const std::string aborted = "Patch deploy aborted. Service restarted.";
  EXPECT_EQ(after[0], (Rows{{"1", "11", aborted, "0"}, {"2", "11", aborted, "3"},
                            {"3", "11", aborted, "1"}, {"4", "11", aborted, "2"},
                            {"5", "11", aborted, "0"}, {"6", "11", aborted, "3"},
                            {"7", "10", "x", "4"}, {"8", "2", "x", "0"}, {"9", "6", "x", "0"},
                            {"10", "3", "x", "0"}, {"11", "-6", "x", "1"}, {"12", "11", "x", "0"}}));
  const std::string restarted = "Job Failed as KovaOrb Restarted";
  EXPECT_EQ(after[1], (Rows{{"101", "-1", restarted, "1"}, {"102", "-1", restarted, "1"},
                            {"103", "1", "done", "0"}, {"104", "2", "unfinished", "0"},
                            {"105", "0", "other type", "0"}, {"106", "-1", "failed before", "0"}}));
  EXPECT_EQ(after[2], (Rows{{"1"}}));
  EXPECT_EQ(after[3], (Rows{{"3"}, {"4"}, {"5"}, {"6"}, {"7"}}));
  const std::string collection = "Job aborted due to service restart.";
  EXPECT_EQ(after[4], (Rows{{"1", "0", collection}, {"2", "0", collection}, {"3", "1", "done"},
                            {"4", "0", "NULL"}}));
}

}  // namespace
}  // namespace spinetest
