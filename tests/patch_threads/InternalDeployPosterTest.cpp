// The internal deploy job poster thread.
#include <regex>
#include <set>

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
                "(%d, %d)",
                system, agent ? 1 : 0));
    if (agent) {
      Exec(Format("INSERT INTO mappedagents (SystemID, MasterAgentID) VALUES "
                  "(%d, %d)",
                  system, 900 + system));
    }
    if (dcId >= 0) {
      Exec(Format("INSERT INTO dcsystemmapping (SystemID, DCID) VALUES "
                  "(%d, %d)",
                  system, dcId));
    }
  }
  // A patch row of a system, of profile 7, timed on the given day of
  // January 2020. Rows for master agent download come with the master
  // agent holding the file.
  void AddPending(int system, int patch, int status, int priority = 1,
                  int day = 1, bool agent = false,
                  const char* classification = "Security Updates") {
    Exec(Format("INSERT INTO patch_details (PatchID, UpdateClassification) "
                "VALUES (%d, '%s');"
                "INSERT INTO patch_jobdetails (SystemID, PatchID, ProfileID, "
                "InternalStatus, Priority, Time, IsMasterAgentDownload) "
                "VALUES (%d, %d, 7, %d, %d, '2020/01/%02d 00:00:00', %d)",
                patch, classification, system, patch, status, priority, day,
                agent ? 1 : 0));
    if (agent) {
      Exec(Format("INSERT INTO swinformer (MasterAgentID, PatchID, Status) "
                  "VALUES (%d, %d, 1)",
                  900 + system, patch));
    }
  }
  // The arguments of each posting: site, patch, system, profile, job name,
  // priority.
  std::vector<std::vector<std::string>> Posts(
      const std::string& database = "orb") {
    std::vector<std::vector<std::string>> posts;
    for (const auto& row :
         Query("SELECT Args FROM procedurecalllog WHERE ProcName = "
               "'postpatchinternaldeployjob' ORDER BY CallID",
               database)) {
      std::vector<std::string> args;
      std::istringstream in(row[0]);
      for (std::string arg; std::getline(in, arg, ',');)
        args.push_back(arg.substr(arg.starts_with(' ') ? 1 : 0));
      EXPECT_EQ(args.size(), 6u) << row[0];
      posts.push_back(args);
    }
    return posts;
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
  std::regex name(R"(InternalPatchDeployJob_(\d+)_\d{4}-\d\d-\d\d \d\d:\d\d:\d\d_(\d+))");
  std::vector<std::string> seen;
  std::set<std::string> threads;
  for (const auto& post : Posts()) {
    ASSERT_EQ(post.size(), 6u);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(post[4], match, name)) << post[4];
    threads.insert(match[1]);
    seen.push_back(post[0] + " " + post[1] + " " + post[2] + " " + post[3] +
                   " " + post[5] + " #" + match[2].str());
  }
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "1 103 5 7 1 #1073741825", "1 203 6 7 1 #0",
                      "1 102 5 7 1 #1", "1 202 6 7 1 #2", "1 101 5 7 2 #3",
                      "1 201 6 7 2 #4"}));
  EXPECT_EQ(threads.size(), 1u);
}

TEST_F(InternalDeployPosterTest, MasterAgentProcedureRunsAtMostEvery900Seconds) {
  UseTimeScale(300);  // passes every 200 ms, the interval is 3 s
  Start("InternalDeployJobPoster", InternalDeployJobPoster);
  ASSERT_TRUE(korbtest::WaitFor(
      [&] { return ProcedureCalls("MasteragentPatchDownload").size() == 1; },
      seconds(10)));
  ASSERT_TRUE(WaitForPasses(3));
  EXPECT_EQ(ProcedureCalls("MasteragentPatchDownload").size(), 1u);

  ASSERT_TRUE(korbtest::WaitFor(
      [&] { return ProcedureCalls("MasteragentPatchDownload").size() >= 2; },
      seconds(30)));
  double apart = std::stod(Scalar(
      "SELECT TIMESTAMPDIFF(MICROSECOND, MIN(CalledAt), MAX(CalledAt)) / 1e6 "
      "FROM procedurecalllog WHERE ProcName = 'MasteragentPatchDownload'"));
  EXPECT_GE(apart, 2.9);
  EXPECT_LT(apart, 6.0);
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
  std::vector<std::vector<std::string>> posts = Posts();
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0][1], "201");
  EXPECT_EQ(Query("SELECT InternalStatus, Status FROM patch_jobdetails WHERE "
                  "PatchID = 202"),
            (korbtest::Rows{{"3", "Service pack or update roll up download "
                                  "for this machine is in progress. Please "
                                  "wait."}}));
}

TEST_F(InternalDeployPosterTest, DataCollectorMustHaveEveryPatchFileFirst) {
  const std::string folder =
      "D:\\Suite\\ConsoleManagement\\ExternalWar\\PatchManagement.war\\";
  AddNode(7, false, 1);  // data collector 1: no check
  AddPending(7, 401, 3);
  AddNode(8, false);  // no mapping at all
  AddPending(8, 402, 3);
  AddNode(9, false, 5);
  AddPending(9, 403, 3);
  Exec("INSERT INTO patch_downloads (PatchID, DownloadLocation) VALUES "
       "(403, " + SqlQuote(folder + "kb403\\one.cab") + "), "
       "(403, " + SqlQuote(folder + "kb403\\it's two.cab") + ")");

  Start("InternalDeployJobPoster", InternalDeployJobPoster);
  ASSERT_TRUE(WaitForPosts(2));
  ASSERT_TRUE(WaitForPasses(3));
  EXPECT_EQ(Posts().size(), 2u);
  // Placed once, relative to the download folder.
  EXPECT_EQ(Query("SELECT SiteID, DCID, SoftwareID, FileName, SiteStatus, "
                  "Status, Type, PostedTime IS NOT NULL FROM dcinformer "
                  "ORDER BY ID"),
            (korbtest::Rows{
                {"1", "5", "403", "kb403\\one.cab", "1", "0", "2", "1"},
                {"1", "5", "403", "kb403\\it's two.cab", "1", "0", "2", "1"}}));

  Exec("UPDATE dcinformer SET Status = 1 WHERE ID = 1");
  ASSERT_TRUE(WaitForPasses(2));
  EXPECT_EQ(Posts().size(), 2u);

  Exec("UPDATE dcinformer SET Status = 1");
  ASSERT_TRUE(WaitForPosts(3));
  EXPECT_EQ(Posts()[2][2], "9");
  EXPECT_EQ(Count("SELECT * FROM dcinformer"), 2);
}

TEST_F(InternalDeployPosterTest, LongFileListIsPlacedInCompleteStatements) {
  AddNode(9, false, 5);
  const std::string folder =
      "ConsoleManagement\\ExternalWar\\PatchManagement.war\\";
  // 40 ordinary names and one longer than a statement limit on its own.
  const std::string longName(1000, 'n');
  std::string values;
  for (int i = 0; i < 40; ++i) {
    values += "(403, " +
              SqlQuote(folder + Format("windows-kb%d-x64-full-file-name-of-"
                                       "some-length.cab",
                                       5000000 + i)) +
              "), ";
  }
  Exec("INSERT INTO patch_downloads (PatchID, DownloadLocation) VALUES " +
       values + "(403, " + SqlQuote(folder + longName) + ")");

  PendingDeployRow row;
  row.systemId = 9;
  row.patchId = 403;
  EXPECT_FALSE(DataCollectorReady(row, db_));

  EXPECT_EQ(Count("SELECT * FROM dcinformer WHERE DCID = 5 AND SoftwareID = "
                  "403 AND Status = 0 AND Type = 2"),
            41);
  EXPECT_EQ(Count("SELECT * FROM dcinformer WHERE FileName = '" + longName +
                  "'"),
            1);
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
  ASSERT_TRUE(scratch->m_bReady);
  g_pDBI = scratch.get();
  auto thread = Start("InternalDeployJobPoster", InternalDeployJobPoster);
  bool posted = WaitForPosts(1, "scratch") && WaitForPasses(2);
  EXPECT_TRUE(Stop("InternalDeployJobPoster", thread));
  g_pDBI = db_;
  ASSERT_TRUE(posted);

  std::vector<std::vector<std::string>> posts = Posts("scratch");
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0][2], "6");
  EXPECT_GE(CountInLog("InternalDeployJobPoster: skipping a pending row"), 1);
}

}  // namespace
}  // namespace patchtest
