// Patch scan posting of one schedule: which systems its profile's
// inclusion, exclusion and skip lists reach, job rows, redo of interrupted
// jobs and the patch summary rows.
#include <algorithm>

#include "PatchBuildingFixture.h"
#include "PatchPosting.h"

namespace patchtest {
namespace {

class ScanPostingTest : public PatchBuildingTest {
 protected:
  // Schedule 1 with scan profile 901 including profile 20's systems.
  void ScanScheduleFor(const std::string& systems) {
    AddProfiledSchedule(1, 91, 901, "20");
    SetProfileValue(20, 60, systems);
  }
  korbtest::Rows Summary(const std::string& table = "patch_summary") {
    return Query("select SystemID, NextScan, ScanType, ScanResult, ScheduleTime, AgentVersion, "
                 "Profileid, Status from " + table + " order by SystemID");
  }
  // Systems that a scan of schedule s gets posted to, when its profile
  // (900 + s) includes `inclusion` and excludes `exclusion` (if given).
  Systems ScanTargets(int s, const std::string& inclusion,
                      const std::string& exclusion = "") {
    AddProfiledSchedule(s, 91, 900 + s, inclusion);
    if (!exclusion.empty()) SetProfileValue(900 + s, 70, exclusion);
    PostScanJob(s, "0", 1, 5000, db());
    Systems systems;
    for (const auto& row : Query(Format("select SystemID from jobdetails where "
                                        "SchedularID = %d and Status >= 0", s)))
      systems.push_back(row[0]);
    std::sort(systems.begin(), systems.end());
    return systems;
  }
};

TEST_F(ScanPostingTest, InterruptedJobRedoneAndSummaryInsertedThenUpdated) {
  AddSystem(5);
  AddSystem(6);
  ScanScheduleFor("5,6");
  AddJob(40, 1, 5, kScan, -3);
  g_szClientVersion.Set("7.2'rc");
  PostScanJob(1, "2030/02/03 04:05:06", 1, 5000, db());
  EXPECT_EQ(Scalar("select Status from jobdetails where JobID = 40"), "-1");
  EXPECT_EQ(Query("select SystemID, RedoID, Status, OperationID from "
                  "jobdetails where JobID <> 40 order by SystemID"),
            (korbtest::Rows{{"5", "40", "0", "1"}, {"6", "0", "0", "1"}}));
  auto row = [](const char* system, const char* time) {
    return Systems{system, "0", "0", "New patch scan job is posted.", time, "7.2'rc", "901", "0"};
  };
  EXPECT_EQ(Summary(), (korbtest::Rows{row("5", "2030-02-03 04:05:06"),
                                       row("6", "2030-02-03 04:05:06")}));

  // The second pass only makes duplicates, yet the rows follow the newest job.
  Exec("update patch_summary set Status = 3, ScanResult = '', AgentVersion = ''");
  PostScanJob(1, "2030/02/04 04:05:06", 1, 5000, db());
  EXPECT_EQ(Summary(), (korbtest::Rows{row("5", "2030-02-04 04:05:06"),
                                       row("6", "2030-02-04 04:05:06")}));
}

TEST_F(ScanPostingTest, TppmScanIsCountedApartAndHasItsOwnSummary) {
  AddSystem(5);
  AddSchedule(2);
  AddParam(2, 564, "0");
  AddJob(50, 2, 5, kScan, 0);  // an open plain scan
  ScanScheduleFor("5");
  AddParam(1, 564, "1");
  PostScanJob(1, "0", 1, 5000, db());
  EXPECT_EQ(Scalar("select Status from jobdetails where SchedularID = 1"), "0");
  EXPECT_EQ(Summary("tppm_patch_summary").size(), 1u);
  EXPECT_TRUE(Summary().empty());
}

TEST_F(ScanPostingTest, RefusedJobInsertStopsThePostingWithoutASummary) {
  AddSystem(5);
  AddSystem(6);
  ScanScheduleFor("5,6");
  // A schedule text the database refuses leaves the system without a job:
  // its summary does not claim a posted scan, the posting stops there and
  // says it was cut short.
  for (int pass = 1; pass <= 2; ++pass) {
    EXPECT_EQ(PostScanJob(1, "not a time", 1, 5000, db()), PostingResult::kIncomplete);
    EXPECT_EQ(Count("select * from patch_summary"), 0);
    EXPECT_EQ(LogCount("ERROR", "PostScanJob: a statement failed; posting of SchedularID:1 "
                                "stopped with 0 targets posted and 2 not posted, the rest at "
                                "the next pass: Incorrect datetime value: 'not a time'"),
              pass);
  }
  EXPECT_EQ(Count("select * from jobdetails"), 0);
}

TEST_F(ScanPostingTest, EachInclusionListSelectsAloneAndTogether) {
  AddSystem(1, 1, "corp", "10.0.0.1");
  AddSystem(2, 1, "corp", "10.0.0.2");
  AddSystem(3, 4, "lab", "10.0.0.3");
  AddSystem(4, 1, "corp", "10.0.0.4");
  AddSystem(5, 1, "corp", "10.0.0.5");
  SetProfileValue(20, 60, "1");
  SetProfileValue(21, 59, "30");
  SetProfileValue(22, 58, "lab");
  Exec("insert into locationviewdetails (LocationID, SystemID) values (30, 2);"
       "insert into ipbreakdownlist (ProfileID, IPAddress) values "
       "(23, '10.0.0.4')");
  EXPECT_EQ(ScanTargets(1, "20"), Systems{"1"});
  EXPECT_EQ(ScanTargets(2, "21"), Systems{"2"});
  EXPECT_EQ(ScanTargets(3, "22"), Systems{"3"});
  EXPECT_EQ(ScanTargets(4, "23"), Systems{"4"});
  EXPECT_EQ(ScanTargets(5, "20,21,22,23"), (Systems{"1", "2", "3", "4"}));
}

TEST_F(ScanPostingTest, ExclusionsAndSkippedSystems) {
  AddSystem(1);
  AddSystem(2, 4);
  AddSystem(3, 1, "lab");
  AddSystem(4, 2);             // not a scanned data collection type
  AddSystem(5, 1, "corp", "", 0);  // not managed
  SetProfileValue(24, 46, "lab");
  EXPECT_EQ(ScanTargets(1, "", "24"), (Systems{"1", "2"}));

  SetProfileValue(20, 60, "1,2,3");
  SetProfileValue(25, 48, "3");
  for (int schedule : {2, 3, 4}) AddJob(0, schedule, 2, kScan, -2);
  EXPECT_EQ(ScanTargets(2, "20"), (Systems{"1", "3"}));
  EXPECT_EQ(ScanTargets(3, "20", "25"), Systems{"1"});
  EXPECT_EQ(ScanTargets(4, "20", "26"), (Systems{"1", "3"}));  // 26 excludes nothing
}

TEST_F(ScanPostingTest, NothingToSelectPostsNothing) {
  AddSystem(5);
  AddSystem(6);
  AddSchedule(1);  // no scan profile, then a profile without inclusion list
  PostScanJob(1, "0", 1, 5000, db());
  AddParam(1, 91, "901");
  PostScanJob(1, "0", 1, 5000, db());
  SetProfileValue(20, 59, "30,31");  // locations that no longer exist
  EXPECT_EQ(ScanTargets(2, "20"), Systems{});

  // No values, with or without an empty exclusion list: a system to skip
  // narrows a selection but never makes one.
  AddJob(0, 3, 6, kScan, -2);
  AddJob(0, 4, 6, kScan, -2);
  EXPECT_EQ(ScanTargets(3, "21"), Systems{});
  EXPECT_EQ(ScanTargets(4, "22", "23"), Systems{});
  EXPECT_EQ(Count("select * from jobdetails where Status <> -2"), 0);
  EXPECT_EQ(Count("select * from patch_summary"), 0);
}

}  // namespace
}  // namespace patchtest
