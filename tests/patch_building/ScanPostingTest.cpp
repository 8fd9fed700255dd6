// Patch scan posting of one schedule: job rows, redo of interrupted jobs
// and the patch summary rows.
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
    return Query("select SiteID, SystemID, NextScan, ScanType, ScanResult, "
                 "ScheduleTime, AgentVersion, Profileid, Status from " +
                 table + " order by SystemID");
  }
};

TEST_F(ScanPostingTest, MissingProfileOrInclusionListWritesNothing) {
  AddSystem(5);
  AddSchedule(1);
  PostScanJob(1, "0", 1, 5000, db());
  EXPECT_TRUE(Logged("ERROR", "Failed to get ProfileID"));
  AddParam(1, 91, "901");
  PostScanJob(1, "0", 1, 5000, db());
  EXPECT_TRUE(Logged("ERROR", "Failed to get Inclusion List"));
  EXPECT_EQ(Count("select * from jobdetails"), 0);
  EXPECT_EQ(Count("select * from patch_summary"), 0);
  EXPECT_FALSE(Logged("TRACE", "PostScanJob Exit"));
}

TEST_F(ScanPostingTest, InterruptedJobIsFailedAndRedone) {
  AddSystem(5);
  AddSystem(6);
  ScanScheduleFor("5,6");
  AddJob(40, 1, 5, kScan, -3);
  PostScanJob(1, "0", 1, 5000, db());
  EXPECT_EQ(Scalar("select Status from jobdetails where JobID = 40"), "-1");
  EXPECT_EQ(Query("select SystemID, RedoID, Status, OperationID from "
                  "jobdetails where JobID <> 40 order by SystemID"),
            (korbtest::Rows{{"5", "40", "0", "1"}, {"6", "0", "0", "1"}}));
}

TEST_F(ScanPostingTest, DuplicateStillUpdatesSummaryAndTppmHasItsOwn) {
  AddSystem(5);
  AddSchedule(2);
  AddParam(2, 564, "0");
  AddJob(50, 2, 5, kScan, 0);
  ScanScheduleFor("5");
  AddParam(1, 564, "0");
  PostScanJob(1, "0", 1, 5000, db());
  EXPECT_EQ(Scalar("select Status from jobdetails where SchedularID = 1"), "1");
  ASSERT_EQ(Summary().size(), 1u);

  AddProfiledSchedule(3, 91, 903, "20");
  AddParam(3, 564, "1");
  PostScanJob(3, "0", 1, 5000, db());
  EXPECT_EQ(Scalar("select Status from jobdetails where SchedularID = 3"), "0");
  EXPECT_EQ(Summary("tppm_patch_summary").size(), 1u);
  EXPECT_EQ(Summary().size(), 1u);
}

TEST_F(ScanPostingTest, SummaryInsertedThenUpdatedFromNewestJob) {
  AddSystem(5);
  ScanScheduleFor("5");
  g_szClientVersion.Set("7.2'rc");
  PostScanJob(1, "2030/02/03 04:05:06", 1, 5000, db());
  EXPECT_EQ(Summary(), (korbtest::Rows{{"1", "5", "0", "0",
                                        "New patch scan job is posted.",
                                        "2030-02-03 04:05:06", "7.2'rc",
                                        "901", "0"}}));

  Exec("update patch_summary set Status = 3, ScanResult = '', AgentVersion = ''");
  PostScanJob(1, "2030/02/04 04:05:06", 1, 5000, db());
  EXPECT_EQ(Summary(), (korbtest::Rows{{"1", "5", "0", "0",
                                        "New patch scan job is posted.",
                                        "2030-02-04 04:05:06", "7.2'rc",
                                        "901", "0"}}));
  EXPECT_TRUE(Logged("ERROR", "New entry in patch_summary Insert into"));
  EXPECT_TRUE(Logged("ERROR", "Entry is there in patch_summary update"));
  EXPECT_TRUE(Logged("TRACE", "PostScanJob Exit"));
}

TEST_F(ScanPostingTest, SystemWithoutJobRowGetsScanTimeAsScheduleTime) {
  AddSystem(5);
  ScanScheduleFor("5");
  // A schedule text the database refuses leaves the system without a job.
  for (int pass = 0; pass < 2; ++pass) {
    PostScanJob(1, "not a time", 1, 5000, db());
    EXPECT_EQ(Query("select ScheduleTime = LastScanned, NextScan, ScanType, "
                    "Status from patch_summary"),
              (korbtest::Rows{{"1", "0", "0", "0"}}));
    Exec("update patch_summary set Status = 3, ScheduleTime = null");
  }
  EXPECT_EQ(Count("select * from jobdetails"), 0);
}

}  // namespace
}  // namespace patchtest
