// The internal deploy job poster thread.
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "InternalDeployGuards.h"
#include "PatchThreadTest.h"
#include "PatchThreads.h"

namespace patchtest {
namespace {

using std::chrono::seconds;

const char kWaitTimeout[] = "InternalDeployJobPoster: WaitTimeout";
const char kHoldText[] =
    "Service pack or update roll up download for this machine is in "
    "progress. Please wait.";

struct PostCall {
  int site, patch, system, profile, priority;
  std::string jobName;
};

class InternalDeployPosterTest : public PatchThreadTest {
 protected:
  // A VPN client system served by master agent 900 + system.
  void AddAgentNode(int system) {
    Exec("INSERT INTO inventorymaster (SystemID, isVPNClient) VALUES (" +
         std::to_string(system) + ", 1);"
         "INSERT INTO mappedagents (SystemID, MasterAgentID) VALUES (" +
         std::to_string(system) + ", " + std::to_string(900 + system) + ")");
  }
  void AddAgentlessNode(int system, int dcId = -1) {
    Exec("INSERT INTO inventorymaster (SystemID, isVPNClient) VALUES (" +
         std::to_string(system) + ", 0)");
    if (dcId >= 0) {
      Exec("INSERT INTO dcsystemmapping (SystemID, DCID) VALUES (" +
           std::to_string(system) + ", " + std::to_string(dcId) + ")");
    }
  }
  void AddPatch(int patch,
                const std::string& classification = "Security Updates") {
    Exec("INSERT INTO patch_details (PatchID, UpdateClassification) VALUES (" +
         std::to_string(patch) + ", '" + classification + "')");
  }
  // A patch row of a system; agent rows are marked for master agent
  // download, and the master agent has every file.
  void AddPending(int system, int patch, int status, int priority,
                  const std::string& time, bool agent, int profile = 7) {
    Exec("INSERT INTO patch_jobdetails (SystemID, PatchID, ProfileID, "
         "InternalStatus, Priority, Time, IsMasterAgentDownload) VALUES (" +
         std::to_string(system) + ", " + std::to_string(patch) + ", " +
         std::to_string(profile) + ", " + std::to_string(status) + ", " +
         std::to_string(priority) + ", '" + time + "', " +
         (agent ? "1" : "0") + ")");
    if (agent) {
      Exec("INSERT INTO swinformer (MasterAgentID, PatchID, Status) VALUES (" +
           std::to_string(900 + system) + ", " + std::to_string(patch) +
           ", 1)");
    }
  }
  std::vector<PostCall> Posts(const std::string& database = "orb") {
    std::vector<PostCall> posts;
    for (const auto& row :
         Query("SELECT Args FROM procedurecalllog WHERE ProcName = "
               "'postpatchinternaldeployjob' ORDER BY CallID",
               database)) {
      std::vector<std::string> parts;
      std::string args = row[0];
      size_t start = 0;
      for (size_t comma; (comma = args.find(", ", start)) != std::string::npos;
           start = comma + 2)
        parts.push_back(args.substr(start, comma - start));
      parts.push_back(args.substr(start));
      EXPECT_EQ(parts.size(), 6u) << args;
      if (parts.size() != 6) continue;
      posts.push_back({std::stoi(parts[0]), std::stoi(parts[1]),
                       std::stoi(parts[2]), std::stoi(parts[3]),
                       std::stoi(parts[5]), parts[4]});
    }
    return posts;
  }
  bool WaitForPosts(size_t count, const std::string& database = "orb") {
    return korbtest::WaitFor([&] { return Posts(database).size() >= count; },
                             seconds(20));
  }
  // Passes seen so far (each ends with the wait line).
  bool WaitForPasses(long more) {
    return WaitForLog(kWaitTimeout, CountLog(kWaitTimeout) + more,
                      seconds(20));
  }
};

TEST_F(InternalDeployPosterTest, EachSystemGetsItsFirstRowByTheGivenOrdering) {
  // Inserted so that the row a plain GROUP BY would keep is never the
  // right one: priority first, then status 11 before 3, then time.
  AddAgentNode(5);
  AddAgentlessNode(6);
  for (int patch : {101, 102, 103, 201, 202, 203}) AddPatch(patch);
  AddPending(5, 101, 11, 2, "2020/01/01 00:00:00", true);
  AddPending(5, 102, 3, 1, "2020/01/02 00:00:00", true);
  AddPending(5, 103, 11, 1, "2020/01/03 00:00:00", true);
  AddPending(6, 201, 11, 2, "2020/01/01 00:00:00", false);
  AddPending(6, 202, 3, 1, "2020/01/03 00:00:00", false);
  AddPending(6, 203, 3, 1, "2020/01/02 00:00:00", false);

  auto thread = Start("InternalDeployJobPoster", InternalDeployJobPoster);
  ASSERT_TRUE(WaitForPosts(6));

  // One row per system and pass, agent nodes first; the procedure takes
  // each posted row out of the pending states.
  std::vector<int> order;
  for (const PostCall& post : Posts()) order.push_back(post.patch);
  EXPECT_EQ(order, (std::vector<int>{103, 203, 102, 202, 101, 201}));
  PostCall first = Posts()[0];
  EXPECT_EQ(first.site, 1);
  EXPECT_EQ(first.system, 5);
  EXPECT_EQ(first.profile, 7);
  EXPECT_EQ(first.priority, 1);
  EXPECT_EQ(CountLog("InternalDeployJobPoster:: Passed the PatchID:103, "
                     "SystemID:5, ProfileID:7  JobName:" + first.jobName +
                     " for Internal Job Posting. CurrentCount=1 TotalSize:1"
                     "  Priority : d"),
            1);
  EXPECT_EQ(CountLog("InternalDeployJobPoster:: Passed the PatchID:203, "
                     "SystemID:6, ProfileID:7  JobName:" + Posts()[1].jobName +
                     " for Internal Job Posting Priority : 1"),
            1);
}

TEST_F(InternalDeployPosterTest, JobNamesCarryThreadTimeAndAWrappingCounter) {
  SetInternalDeployJobCounterForTest(1073741824);
  for (int system : {5, 6, 7}) {
    AddAgentlessNode(system);
    AddPatch(100 + system);
    AddPending(system, 100 + system, 3, 1, "2020/01/01 00:00:00", false);
  }
  auto thread = Start("InternalDeployJobPoster", InternalDeployJobPoster);
  ASSERT_TRUE(WaitForPosts(3));

  std::regex name(R"(InternalPatchDeployJob_(\d+)_\d{4}-\d\d-\d\d \d\d:\d\d:\d\d_(\d+))");
  std::vector<std::string> counters;
  std::string threadId;
  for (const PostCall& post : Posts()) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(post.jobName, match, name)) << post.jobName;
    if (threadId.empty()) threadId = match[1];
    EXPECT_EQ(match[1], threadId);
    counters.push_back(match[2]);
  }
  EXPECT_EQ(counters, (std::vector<std::string>{"1073741825", "0", "1"}));
}

TEST_F(InternalDeployPosterTest, MasterAgentProcedureRunsAtMostEvery900Seconds) {
  UseTimeScale(300);  // passes every 200 ms, the interval is 3 s
  auto thread = Start("InternalDeployJobPoster", InternalDeployJobPoster);
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

TEST_F(InternalDeployPosterTest, ServicePackDownloadHoldsBackOnlyStatus3Rows) {
  AddPatch(300, "Service Packs");
  AddPatch(301, "Update Rollups");
  AddPatch(201);
  AddPatch(202);
  AddAgentNode(5);
  AddPending(5, 300, 2, 1, "2020/01/01 00:00:00", false);
  AddPending(5, 201, 11, 1, "2020/01/01 00:00:00", true);
  AddAgentNode(6);
  AddPending(6, 301, 2, 1, "2020/01/01 00:00:00", false);
  AddPending(6, 202, 3, 1, "2020/01/01 00:00:00", true);

  auto thread = Start("InternalDeployJobPoster", InternalDeployJobPoster);
  ASSERT_TRUE(WaitForPosts(1));
  ASSERT_TRUE(WaitForPasses(2));

  std::vector<PostCall> posts = Posts();
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].patch, 201);
  EXPECT_EQ(Scalar("SELECT Status FROM patch_jobdetails WHERE PatchID = 202"),
            kHoldText);
  EXPECT_EQ(Scalar("SELECT InternalStatus FROM patch_jobdetails WHERE "
                   "PatchID = 202"),
            "3");
  EXPECT_GE(CountLog("InternalDeployJobPoster: Service pack or Update Rollup "
                     "download for systemid:6 is already in progress.Moving "
                     "to next system."),
            1);
}

TEST_F(InternalDeployPosterTest, PatchThreadsAreWokenWhenRowsWereFound) {
  auto scheduled = std::make_shared<port::Event>();
  auto onDemand = std::make_shared<port::Event>();
  g_hPatchJobEvent.Store(scheduled);
  g_hOndemandPatchJobEvent.Store(onDemand);
  auto thread = Start("InternalDeployJobPoster", InternalDeployJobPoster);
  ASSERT_TRUE(WaitForPasses(2));
  EXPECT_EQ(scheduled->Wait(0), port::kWaitTimeout);
  EXPECT_EQ(onDemand->Wait(0), port::kWaitTimeout);

  // Every row held back still counts as found.
  AddPatch(300, "Service Packs");
  AddPatch(202);
  AddAgentNode(6);
  AddPending(6, 300, 2, 1, "2020/01/01 00:00:00", false);
  AddPending(6, 202, 3, 1, "2020/01/01 00:00:00", true);
  ASSERT_TRUE(WaitForLog("InternalDeployJobPoster: SetEvent for JobScheduling",
                         1, seconds(20)));
  EXPECT_EQ(scheduled->Wait(0), port::kWaitObject0);
  EXPECT_EQ(onDemand->Wait(0), port::kWaitObject0);
  EXPECT_TRUE(Posts().empty());
}

TEST_F(InternalDeployPosterTest, DataCollectorMustHaveEveryPatchFileFirst) {
  const std::string folder =
      "D:\\Suite\\ConsoleManagement\\ExternalWar\\PatchManagement.war\\";
  AddPatch(401);
  AddPatch(402);
  AddPatch(403);
  AddAgentlessNode(7, 1);  // data collector 1: no check
  AddPending(7, 401, 3, 1, "2020/01/01 00:00:00", false);
  AddAgentlessNode(8);  // no mapping at all
  AddPending(8, 402, 3, 1, "2020/01/01 00:00:00", false);
  AddAgentlessNode(9, 5);
  AddPending(9, 403, 3, 1, "2020/01/01 00:00:00", false);
  Exec("INSERT INTO patch_downloads (PatchID, DownloadLocation) VALUES "
       "(403, " + SqlQuote(folder + "kb403\\one.cab") + "), "
       "(403, " + SqlQuote(folder + "kb403\\it's two.cab") + ")");

  auto thread = Start("InternalDeployJobPoster", InternalDeployJobPoster);
  ASSERT_TRUE(WaitForPosts(2));
  ASSERT_TRUE(WaitForPasses(3));

  EXPECT_EQ(Posts().size(), 2u);
  EXPECT_EQ(Query("SELECT SiteID, DCID, SoftwareID, FileName, SiteStatus, "
                  "Status, Type, PostedTime IS NOT NULL FROM dcinformer "
                  "ORDER BY ID"),
            (korbtest::Rows{{"1", "5", "403", "kb403\\one.cab", "1", "0", "2", "1"},
                            {"1", "5", "403", "kb403\\it's two.cab", "1", "0", "2", "1"}}));
  EXPECT_GE(CountLog("Some data collector download for Patchid 403 is "
                     "pending. job will post once it is completed."),
            1);

  Exec("UPDATE dcinformer SET Status = 1 WHERE ID = 1");
  ASSERT_TRUE(WaitForPasses(2));
  EXPECT_EQ(Posts().size(), 2u);

  Exec("UPDATE dcinformer SET Status = 1");
  ASSERT_TRUE(WaitForPosts(3));
  EXPECT_EQ(Posts()[2].system, 9);
  EXPECT_EQ(Count("SELECT * FROM dcinformer"), 2);
  EXPECT_EQ(CountLog("All downloads for patchid 403. is completed in data "
                     "collector. so proceed for job posting."),
            1);
}

TEST_F(InternalDeployPosterTest, LongFileListIsPlacedInCompleteStatements) {
  const std::string folder =
      "ConsoleManagement\\ExternalWar\\PatchManagement.war\\";
  AddAgentlessNode(9, 5);
  std::string values;
  for (int i = 0; i < 40; ++i) {
    if (!values.empty()) values += ", ";
    values += "(403, " +
              SqlQuote(folder + "windows-kb" + std::to_string(5000000 + i) +
                       "-x64-full-file-name-of-some-length.cab") + ")";
  }
  // One name longer than a statement limit on its own.
  values += ", (403, " + SqlQuote(folder + std::string(1000, 'n')) + ")";
  Exec("INSERT INTO patch_downloads (PatchID, DownloadLocation) VALUES " +
       values);

  PendingDeployRow row;
  row.systemId = 9;
  row.patchId = 403;
  EXPECT_FALSE(DataCollectorReady(row, db_));

  EXPECT_EQ(Count("SELECT * FROM dcinformer WHERE DCID = 5 AND SoftwareID = "
                  "403 AND Status = 0 AND Type = 2"),
            41);
  EXPECT_EQ(Count("SELECT * FROM dcinformer WHERE FileName = '" +
                  std::string(1000, 'n') + "'"),
            1);
  EXPECT_EQ(CountLog("Patchid 403 is not present in dcinformer for "
                     "corresponding data collector. placing entries."),
            1);
  for (const LogLine& line : Log()) EXPECT_NE(line.level, "ERROR") << line.message;
}

TEST_F(InternalDeployPosterTest, RowWithANonNumericValueIsSkipped) {
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

  std::vector<PostCall> posts = Posts("scratch");
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].system, 6);
  EXPECT_GE(CountLog("InternalDeployJobPoster: skipping a pending row", true),
            1);
}

}  // namespace
}  // namespace patchtest
