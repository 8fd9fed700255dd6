// The scheduled patch jobs thread and PostScheduledJobs.
#include <algorithm>

#include "PatchThreadTest.h"

namespace patchtest {
namespace {

const char kWaitObject0[] = "WAIT_OBJECT_0 :: SH_PATCH_JOB_SIGNAL Received.";
const char kWaitTimeout[] = "WAIT_TIMEOUT :: SH_PATCH_JOB_SIGNAL Received.";
const char kPost[] = "PostScheduledJobs Entry";
const char kCabRetry[] = "PostCabDownloadRetryJobs Entry";
const char kWaiting[] = "Waiting for event!!!";
const char kWoken[] = "Event occured";

class ScheduledPatchJobsTest : public PatchThreadTest {
 protected:
  // A schedule of one job type, last submitted long ago, that
  // GetNextScheduleTime answers with answer (nullptr: NULL).
  void AddSchedule(int id, int jobTypeId, const char* answer, int siteId = 1,
                   int scheduledType = 1) {
    std::string sid = std::to_string(id);
    Exec("INSERT INTO jobsmaster (SchedularID, SiteID, JobScheduledType, "
         "ScheduledTime, LastSubmittedTime, SchedularInfoID) VALUES (" + sid +
         ", " + std::to_string(siteId) + ", " + std::to_string(scheduledType) +
         ", '2020-01-01 00:00:00', '2020-01-01 00:00:00', 1" + sid + ");"
         "INSERT INTO jobsmasterdetail (SchedularID, SystemID, JobTypeID) "
         "VALUES (" + sid + ", 0, " + std::to_string(jobTypeId) + ")");
    if (answer) SetNextScheduleAnswer(std::stoi("1" + sid), answer);
  }
  std::string Stamps(int id) {
    korbtest::Rows rows = Query(
        "SELECT LastSubmittedTime, ScheduledTime FROM jobsmaster WHERE "
        "SchedularID = " + std::to_string(id));
    return rows.at(0)[0] + " / " + rows.at(0)[1];
  }
};

// What the log must show: every cycle ends with the wait line; the first
// cycle and any after a wake by the event post the schedules only, any
// after a time-out also retries CAB downloads.
std::vector<std::string> ExpectedCycles(const std::vector<std::string>& seen) {
  std::vector<std::string> expected;
  bool woken = true;
  while (expected.size() < seen.size()) {
    if (woken)
      expected.insert(expected.end(), {kWaitObject0, kPost, kWaiting});
    else
      expected.insert(expected.end(),
                      {kWaitTimeout, kPost, kCabRetry, kWaiting});
    woken = expected.size() < seen.size() && seen[expected.size()] == kWoken;
    if (woken) expected.push_back(kWoken);
  }
  expected.resize(seen.size());
  return expected;
}

TEST_F(ScheduledPatchJobsTest, WaitResultSelectsWhatTheNextCyclePosts) {
  Start("PerformPatchJobs", PerformPatchJobs);
  ASSERT_TRUE(WaitForLog(kCabRetry, 1));
  g_hPatchJobEvent.Set();
  ASSERT_TRUE(WaitForLog(kWoken, 1));
  ASSERT_TRUE(WaitForLog(kCabRetry, 2));

  std::vector<std::string> seen = LogSequence(
      {kWaitObject0, kWaitTimeout, kPost, kCabRetry, kWaiting, kWoken});
  EXPECT_EQ(seen, ExpectedCycles(seen));
  EXPECT_EQ(CountInLog(kWoken), 1);
  EXPECT_GE(CountInLog(kWaitObject0), 2);
}

TEST_F(ScheduledPatchJobsTest, DisabledPatchScanPostsNothingButWaitsAndResets) {
  SetPatchScanStatus(0);
  AddSchedule(1, 10037, "2031-02-03 04:05:06|0");
  Start("PerformPatchJobs", PerformPatchJobs);
  ASSERT_TRUE(WaitForLog(kWaiting, 2));
  g_hPatchJobEvent.Set();
  ASSERT_TRUE(WaitForLog(kWoken, 1));
  // Had the event stayed set, each of these waits would end at once.
  ASSERT_TRUE(WaitForLog(kWaiting, CountInLog(kWaiting) + 3));

  EXPECT_EQ(CountInLog(kWoken), 1);
  EXPECT_EQ(CountInLog(kPost) + CountInLog(kCabRetry), 0);
  EXPECT_TRUE(ProcedureCalls("GetNextScheduleTime").empty());
}

TEST_F(ScheduledPatchJobsTest, AnswersDecideStampingAndPostingByJobType) {
  // Not due: never stamped. 11 carries a quote into the time part; 8 is
  // another site's and 9 an on-demand schedule, neither asked about.
  AddSchedule(1, 10027, "-1");
  AddSchedule(2, 10027, "2031-02-03 04:05:06|2");
  AddSchedule(3, 10027, "2031-02-03 04:05:06");
  AddSchedule(7, 10027, nullptr);
  AddSchedule(10, 10037, "|0");
  AddSchedule(11, 10037, "2031-02-03 04:05:06'|0");
  AddSchedule(8, 10037, "2031-02-03 04:05:08|1", 2);
  AddSchedule(9, 10037, "2031-02-03 04:05:08|1", 1, 0);
  // Due: a scan and a deploy schedule targeting profile 100 (system 5), and
  // a CAB schedule with a blank after its flag.
  AddSchedule(4, 10027, "2031-02-03 04:05:06|0");
  AddSchedule(5, 10025, "2031-02-03 04:05:07|1");
  AddSchedule(6, 10037, "2031-02-03 04:05:08|1 ");
  Exec("INSERT INTO jobsmasterlookup (SchedularID, JobParamID, JobParamValue) "
       "VALUES (4, 91, '100'), (5, 89, '100');"
       "INSERT INTO orbprofilevalues (ProfileID, ColumnID, ProfileValues) "
       "VALUES (100, 69, '200'), (200, 60, '5');"
       "INSERT INTO inventorymaster (SystemID, managenode, DataCollectionType) "
       "VALUES (5, 1, 1)");

  PostScheduledJobs(db_);

  for (int id : {1, 2, 3, 7, 10, 11, 8, 9})
    EXPECT_EQ(Stamps(id), "2020-01-01 00:00:00 / 2020-01-01 00:00:00") << id;
  EXPECT_EQ(Stamps(4), "2031-02-03 04:05:06 / 2031-02-03 04:05:06");
  EXPECT_EQ(Stamps(5), "2031-02-03 04:05:07 / 2031-02-03 04:05:07");
  EXPECT_EQ(Stamps(6), "2031-02-03 04:05:08 / 2031-02-03 04:05:08");

  // The bar-less answer is reported once, as a warning naming the schedule.
  std::istringstream log(korbtest::DaemonLog());
  int warnings = 0;
  for (std::string line; std::getline(log, line);)
    warnings += line.find("[WARNING]") != std::string::npos &&
                line.find("SchedularID:3 ") != std::string::npos;
  EXPECT_EQ(warnings, 1);

  std::vector<std::string> asked = ProcedureCalls("GetNextScheduleTime");
  EXPECT_EQ(asked.size(), 9u);
  EXPECT_NE(std::find(asked.begin(), asked.end(),
                      "GetNextScheduleTime(14, 2020-01-01 00:00:00, 1, 1)"),
            asked.end());

  // Scan: the recurring priority, at the time stamped before posting.
  EXPECT_EQ(Query("SELECT SystemID, JobPriority, ScheduleTime FROM jobdetails "
                  "WHERE SchedularID = 4 AND JobTypeID = 10027"),
            (korbtest::Rows{{"5", "5000", "2031-02-03 04:05:06"}}));
  // Deploy: handed to the procedure with profile 100 and priority 5000.
  std::vector<std::string> deploys = ProcedureCalls("Submitpatchdeployjobs");
  ASSERT_EQ(deploys.size(), 1u);
  EXPECT_TRUE(deploys[0].starts_with("Submitpatchdeployjobs(1, 10025, 5, 0, 5, "));
  EXPECT_TRUE(deploys[0].ends_with(", 2031-02-03 04:05:07, 1, 0, 100, 5000)"));
  // CAB: system 1 at the CAB poster's own priority.
  EXPECT_EQ(Query("SELECT SystemID, JobPriority, JobCategoryID FROM "
                  "jobdetails WHERE SchedularID = 6"),
            (korbtest::Rows{{"1", "3000", "2061"}}));
  EXPECT_EQ(Count("SELECT * FROM jobdetails WHERE JobTypeID <> 10025"), 2);
}

}  // namespace
}  // namespace patchtest
