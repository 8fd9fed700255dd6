// The internal deploy job poster thread.
#include "InternalDeployGuards.h"
#include "PatchThreadTest.h"

namespace patchtest {
namespace {

const char kPassEnd[] = "InternalDeployJobPoster: WaitTimeout";

class InternalDeployPosterTest : public PatchThreadTest {
 protected:
  // Agent nodes are VPN clients served by master agent 900 + system.
  void AddNode(int system, bool agent, int dcId = -1) {
    Exec(Format("INSERT INTO inventorymaster (SystemID, isVPNClient) VALUES "
                "(%d, %d);"
                "INSERT INTO mappedagents (SystemID, MasterAgentID) SELECT %d, "
                "%d FROM DUAL WHERE %d;"
                "INSERT INTO dcsystemmapping (SystemID, DCID) SELECT %d, %d "
                "FROM DUAL WHERE %d >= 0",
                system, agent, system, 900 + system, agent, system, dcId,
                dcId));
  }
  // A patch row of profile 7 timed on a day of January 2020; one for
  // master agent download comes with the master agent holding the file.
  void AddPending(int system, int patch, int status, int priority = 1,
                  int day = 1, bool agent = false,
                  const char* classification = "Security Updates") {
    Exec(Format("INSERT INTO patch_details (PatchID, UpdateClassification) "
                "VALUES (%d, '%s');"
                "INSERT INTO patch_jobdetails (SystemID, PatchID, ProfileID, "
                "InternalStatus, Priority, Time, IsMasterAgentDownload) "
                "VALUES (%d, %d, 7, %d, %d, '2020/01/%02d 00:00:00', %d);"
                "INSERT INTO swinformer (MasterAgentID, PatchID, Status) "
                "SELECT %d, %d, 1 FROM DUAL WHERE %d",
                patch, classification, system, patch, status, priority, day,
                agent, 900 + system, patch, agent));
  }
  // Each posting's arguments but the job name: site, patch, system,
  // profile, priority.
  korbtest::Rows Posts(const std::string& database = "orb") {
    return Query("SELECT CONCAT_WS(', ', SUBSTRING_INDEX(Args, ', ', 4), "
                 "SUBSTRING_INDEX(Args, ', ', -1)) FROM procedurecalllog "
                 "WHERE ProcName = 'postpatchinternaldeployjob' ORDER BY "
                 "CallID",
                 database);
  }
  bool WaitForPosts(size_t count, const std::string& database = "orb") {
    return korbtest::WaitFor([&] { return Posts(database).size() >= count; },
                             seconds(20));
  }
  static bool WaitForPasses(int more) {
    return WaitForLog(kPassEnd, CountInLog(kPassEnd) + more);
  }
};

TEST_F(InternalDeployPosterTest, EachSystemsFirstRowIsPostedUnderACountedName) {
  SetInternalDeployJobCounterForTest(1073741824);
  // Inserted so that the row a plain GROUP BY would keep is never the
  // right one: priority first, then status 11 before 3, then time.
  AddNode(5, true);
  AddNode(6, false);
  AddPending(5, 101, 11, 2, 1, true);
  AddPending(5, 102, 3, 1, 2, true);
  AddPending(5, 103, 11, 1, 3, true);
  AddPending(6, 201, 11, 2, 1);
  AddPending(6, 202, 3, 1, 3);
  AddPending(6, 203, 3, 1, 2);

  Start("InternalDeployJobPoster", InternalDeployJobPoster);
  ASSERT_TRUE(WaitForPosts(6));

  // One row per system and pass, agent nodes first (the procedure takes
  // each posted row out of the pending states); names carry the thread, the
  // time and a counter that wraps after 2^30.
  EXPECT_EQ(Posts(),
            (korbtest::Rows{{"1, 103, 5, 7, 1"}, {"1, 203, 6, 7, 1"},
                            {"1, 102, 5, 7, 1"}, {"1, 202, 6, 7, 1"},
                            {"1, 101, 5, 7, 2"}, {"1, 201, 6, 7, 2"}}));
  EXPECT_EQ(Query("SELECT SUBSTRING_INDEX(JobName, '_', -1) FROM jobdetails "
                  "WHERE JobName REGEXP '^InternalPatchDeployJob_[0-9]+_"
                  "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}_"
                  "[0-9]+$' ORDER BY JobID"),
            (korbtest::Rows{{"1073741825"}, {"0"}, {"1"}, {"2"}, {"3"}, {"4"}}));
  EXPECT_EQ(Count("SELECT DISTINCT SUBSTRING_INDEX(JobName, '_', 2) FROM "
                  "jobdetails"),
            1);
}

TEST_F(InternalDeployPosterTest, ServicePackGuardAndWakingThePatchThreads) {
  auto scheduled = std::make_shared<port::Event>();
  auto onDemand = std::make_shared<port::Event>();
  g_hPatchJobEvent.Store(scheduled);
  g_hOndemandPatchJobEvent.Store(onDemand);
  Start("InternalDeployJobPoster", InternalDeployJobPoster);
  ASSERT_TRUE(WaitForPasses(2));
  EXPECT_EQ(scheduled->Wait(0), port::kWaitTimeout);
  EXPECT_EQ(onDemand->Wait(0), port::kWaitTimeout);

  // An Update Rollup download holds back a status 3 row, which still
  // counts as found.
  AddNode(6, true);
  AddPending(6, 301, 2, 1, 1, false, "Update Rollups");
  AddPending(6, 202, 3, 1, 1, true);
  ASSERT_TRUE(WaitForLog("InternalDeployJobPoster: SetEvent for JobScheduling",
                         1));
  EXPECT_EQ(scheduled->Wait(0), port::kWaitObject0);
  EXPECT_EQ(onDemand->Wait(0), port::kWaitObject0);

  // A status 11 row is posted despite a Service Pack download.
  AddNode(5, true);
  AddPending(5, 300, 2, 1, 1, false, "Service Packs");
  AddPending(5, 201, 11, 1, 1, true);
  ASSERT_TRUE(WaitForPosts(1));
  ASSERT_TRUE(WaitForPasses(2));
  EXPECT_EQ(Posts(), korbtest::Rows{{"1, 201, 5, 7, 1"}});
  EXPECT_EQ(Query("SELECT InternalStatus, Status FROM patch_jobdetails WHERE "
                  "PatchID = 202"),
            (korbtest::Rows{{"3", "Service pack or update roll up download "
                                  "for this machine is in progress. Please "
                                  "wait."}}));
}

TEST_F(InternalDeployPosterTest, DataCollectorMustHaveEveryPatchFileFirst) {
  AddNode(7, false, 1);  // data collector 1: no check
  AddPending(7, 401, 3);
  AddNode(8, false);  // no mapping at all
  AddPending(8, 402, 3);
  AddNode(9, false, 5);
  AddPending(9, 403, 3);
  // Enough names to need several statements, one with a quote and one
  // longer than a statement on its own.
  const std::string folder =
      "D:\\Suite\\ConsoleManagement\\ExternalWar\\PatchManagement.war\\";
  const std::string longName(1000, 'n');
  std::string values;
  for (int i = 0; i < 40; ++i)
    values += Format("(403, '%swindows-kb%d-x64-full-file-name.cab'), ",
                     folder.c_str(), 5000000 + i);
  Exec("INSERT INTO patch_downloads (PatchID, DownloadLocation) VALUES " +
       values + "(403, " + SqlQuote(folder + "kb403\\it's.cab") + "), (403, " +
       SqlQuote(folder + longName) + ")");

  Start("InternalDeployJobPoster", InternalDeployJobPoster);
  ASSERT_TRUE(WaitForPosts(2));
  ASSERT_TRUE(WaitForPasses(3));
  EXPECT_EQ(Posts().size(), 2u);
  // Placed once, one row per file, named relative to the download folder.
  EXPECT_EQ(Query("SELECT SiteID, DCID, SoftwareID, SiteStatus, Status, "
                  "Type, PostedTime IS NOT NULL, COUNT(*) FROM dcinformer "
                  "GROUP BY 1, 2, 3, 4, 5, 6, 7"),
            (korbtest::Rows{{"1", "5", "403", "1", "0", "2", "1", "42"}}));
  EXPECT_EQ(Count("SELECT * FROM dcinformer WHERE FileName IN "
                  "('windows-kb5000039-x64-full-file-name.cab', "
                  "'kb403\\it''s.cab', '" + longName + "')"),
            3);

  Exec("UPDATE dcinformer SET Status = 1 WHERE ID > 1");
  ASSERT_TRUE(WaitForPasses(2));
  EXPECT_EQ(Posts().size(), 2u);

  Exec("UPDATE dcinformer SET Status = 1");
  ASSERT_TRUE(WaitForPosts(3));
  EXPECT_EQ(Posts()[2][0], "1, 403, 9, 7, 1");
  EXPECT_EQ(Count("SELECT * FROM dcinformer"), 42);
}

TEST_F(InternalDeployPosterTest, RowWithANonNumericValueIsSkipped) {
  // The reference schema does not let ProfileID be NULL; a scratch database
  // does.
  CreateCustomerDatabase("scratch", "scratch");
  Exec("ALTER TABLE patch_jobdetails MODIFY ProfileID INT NULL;"
       "INSERT INTO configsettings VALUES ('PATCH_SCAN_STATUS', '1');"
       "INSERT INTO inventorymaster (SystemID, isVPNClient) VALUES (5, 0), "
       "(6, 0);"
       "INSERT INTO patch_details (PatchID) VALUES (105), (106);"
       "INSERT INTO patch_jobdetails (SystemID, PatchID, ProfileID, "
       "InternalStatus, Time) VALUES (5, 105, NULL, 3, '2020/01/01 00:00:00'),"
       " (6, 106, 7, 3, '2020/01/01 00:00:00')",
       "scratch");
  auto scratch = std::make_unique<CDBI>(logger_, "scratch", "scratch");
  g_pDBI = scratch.get();
  auto thread = Start("InternalDeployJobPoster", InternalDeployJobPoster);
  bool posted = WaitForPosts(1, "scratch") && WaitForPasses(2);
  EXPECT_TRUE(Stop("InternalDeployJobPoster", thread));
  g_pDBI = db_;
  ASSERT_TRUE(posted);

  EXPECT_EQ(Posts("scratch"), korbtest::Rows{{"1, 106, 6, 7, 0"}});
  EXPECT_GE(CountInLog("InternalDeployJobPoster: skipping a pending row"), 1);
}

}  // namespace
}  // namespace patchtest
