// The scheduled patch jobs thread and PostScheduledJobs.
#include <algorithm>
#include <string>
#include <vector>

#include "PatchThreadTest.h"
#include "PatchThreads.h"

namespace patchtest {
namespace {

using std::chrono::seconds;

const char kWaitObject0[] = "WAIT_OBJECT_0 :: SH_PATCH_JOB_SIGNAL Received.";
const char kWaitTimeout[] = "WAIT_TIMEOUT :: SH_PATCH_JOB_SIGNAL Received.";
const char kPostEntry[] = "PostScheduledJobs Entry";
const char kCabRetryEntry[] = "PostCabDownloadRetryJobs Entry";
const char kWaiting[] = "Waiting for event!!!";
const char kEventOccured[] = "Event occured";

class ScheduledPatchJobsTest : public PatchThreadTest {
 protected:
  // A recurring schedule of one job type, last submitted long ago.
  void AddSchedule(int schedularId, int infoId, int jobTypeId,
                   int siteId = 1, int scheduledType = 1) {
    Exec("INSERT INTO jobsmaster (SchedularID, SiteID, JobScheduledType, "
         "ScheduledTime, LastSubmittedTime, SchedularInfoID) VALUES (" +
         std::to_string(schedularId) + ", " + std::to_string(siteId) + ", " +
         std::to_string(scheduledType) +
         ", '2020-01-01 00:00:00', '2020-01-01 00:00:00', " +
         std::to_string(infoId) + ");" +
         "INSERT INTO jobsmasterdetail (SchedularID, SystemID, JobTypeID) "
         "VALUES (" + std::to_string(schedularId) + ", 0, " +
         std::to_string(jobTypeId) + ")");
  }
  // Profile 100 includes system 5 (through inclusion profile 200).
  void TargetSystemFiveThroughProfile(int schedularId, int paramId) {
    Exec("INSERT INTO jobsmasterlookup (SchedularID, JobParamID, "
         "JobParamValue) VALUES (" + std::to_string(schedularId) + ", " +
         std::to_string(paramId) + ", '100')");
    if (Count("SELECT * FROM orbprofilevalues WHERE ProfileID = 100") == 0) {
      Exec("INSERT INTO orbprofilevalues (ProfileID, ColumnID, "
           "ProfileValues) VALUES (100, 69, '200'), (200, 60, '5');"
           "INSERT INTO inventorymaster (SystemID, managenode, "
           "DataCollectionType) VALUES (5, 1, 1)");
    }
  }
  std::string Stamps(int schedularId) {
    korbtest::Rows rows = Query(
        "SELECT LastSubmittedTime, ScheduledTime FROM jobsmaster WHERE "
        "SchedularID = " + std::to_string(schedularId));
    return rows.empty() ? "" : rows[0][0] + " / " + rows[0][1];
  }
};

// The cycles the log shows must follow the wait results: the first cycle
// and every cycle after a wake by the event post the schedules only; every
// cycle after a time-out posts them and then retries CAB downloads.
std::vector<std::string> ExpectedCycles(const std::vector<std::string>& seen) {
  std::vector<std::string> expected;
  bool byEvent = true;
  while (expected.size() < seen.size()) {
    if (byEvent) {
      expected.insert(expected.end(), {kWaitObject0, kPostEntry});
    } else {
      expected.insert(expected.end(), {kWaitTimeout, kPostEntry, kCabRetryEntry});
    }
    expected.push_back(kWaiting);
    size_t next = expected.size();
    byEvent = next < seen.size() && seen[next] == kEventOccured;
    if (byEvent) expected.push_back(kEventOccured);
  }
  expected.resize(seen.size());
  return expected;
}

TEST_F(ScheduledPatchJobsTest, WaitResultSelectsWhatTheNextCyclePosts) {
  auto thread = Start("PerformPatchJobs", PerformPatchJobs);
  ASSERT_TRUE(WaitForLog("PerformPatchJobs : Start of the thread", 1, seconds(10)));
  ASSERT_TRUE(WaitForLog(kCabRetryEntry, 1, seconds(20)));

  g_hPatchJobEvent.Set();
  ASSERT_TRUE(WaitForLog(kEventOccured, 1, seconds(10)));
  ASSERT_TRUE(WaitForLog(kCabRetryEntry, 2, seconds(20)));

  std::vector<std::string> seen = LogSequence(
      {kWaitObject0, kWaitTimeout, kPostEntry, kCabRetryEntry, kWaiting,
       kEventOccured});
  EXPECT_EQ(seen, ExpectedCycles(seen));
  EXPECT_EQ(CountLog(kEventOccured), 1);
  EXPECT_GE(CountLog(kWaitObject0), 2);
  EXPECT_EQ(CountLog("PerformPatchJobs:: Completed Scheduled jobs posting"),
            CountLog(kWaitObject0));
}

TEST_F(ScheduledPatchJobsTest, DisabledPatchScanStillWaitsAndResetsTheEvent) {
  SetPatchScanStatus(0);
  AddSchedule(1, 11, 10037);
  SetNextScheduleAnswer(11, "2031-02-03 04:05:06|0");
  auto thread = Start("PerformPatchJobs", PerformPatchJobs);
  ASSERT_TRUE(WaitForLog(kWaiting, 2, seconds(20)));

  g_hPatchJobEvent.Set();
  ASSERT_TRUE(WaitForLog(kEventOccured, 1, seconds(10)));
  long waits = CountLog(kWaiting);
  // Had the event stayed set, every one of these waits would end at once.
  ASSERT_TRUE(WaitForLog(kWaiting, waits + 3, seconds(20)));

  EXPECT_EQ(CountLog(kEventOccured), 1);
  EXPECT_EQ(CountLog(kPostEntry), 0);
  EXPECT_EQ(CountLog(kCabRetryEntry), 0);
  EXPECT_TRUE(ProcedureCalls("GetNextScheduleTime").empty());
  EXPECT_EQ(Stamps(1), "2020-01-01 00:00:00 / 2020-01-01 00:00:00");
}

TEST_F(ScheduledPatchJobsTest, AnswersDecideStampingAndPostingByJobType) {
  const std::string untouched = "2020-01-01 00:00:00 / 2020-01-01 00:00:00";
  AddSchedule(1, 11, 10027);
  SetNextScheduleAnswer(11, "-1");
  AddSchedule(2, 12, 10027);
  SetNextScheduleAnswer(12, "2031-02-03 04:05:06|2");
  AddSchedule(3, 13, 10027);
  SetNextScheduleAnswer(13, "2031-02-03 04:05:06");
  AddSchedule(4, 14, 10027);
  SetNextScheduleAnswer(14, "2031-02-03 04:05:06|0");
  TargetSystemFiveThroughProfile(4, 91);
  AddSchedule(5, 15, 10025);
  SetNextScheduleAnswer(15, "2031-02-03 04:05:07|1");
  TargetSystemFiveThroughProfile(5, 89);
  AddSchedule(6, 16, 10037);
  SetNextScheduleAnswer(16, "2031-02-03 04:05:08|1 ");
  AddSchedule(7, 17, 10027);  // no answer at all: NULL
  AddSchedule(10, 20, 10037);
  SetNextScheduleAnswer(20, "|0");
  AddSchedule(11, 21, 10037);
  SetNextScheduleAnswer(21, "2031-02-03 04:05:06'|0");
  AddSchedule(8, 18, 10037, 2);     // another site
  AddSchedule(9, 19, 10037, 1, 0);  // on-demand
  SetNextScheduleAnswer(18, "2031-02-03 04:05:08|1");
  SetNextScheduleAnswer(19, "2031-02-03 04:05:08|1");

  PostScheduledJobs(db_);

  EXPECT_EQ(Stamps(1), untouched);
  EXPECT_EQ(Stamps(2), untouched);
  EXPECT_EQ(Stamps(3), untouched);
  EXPECT_EQ(Stamps(7), untouched);
  EXPECT_EQ(Stamps(10), untouched);
  EXPECT_EQ(Stamps(11), untouched);
  EXPECT_EQ(Stamps(8), untouched);
  EXPECT_EQ(Stamps(9), untouched);
  EXPECT_EQ(Stamps(4), "2031-02-03 04:05:06 / 2031-02-03 04:05:06");
  EXPECT_EQ(Stamps(5), "2031-02-03 04:05:07 / 2031-02-03 04:05:07");
  EXPECT_EQ(Stamps(6), "2031-02-03 04:05:08 / 2031-02-03 04:05:08");

  // The bar-less answer is reported once, as a warning naming the schedule.
  long warnings = 0;
  for (const LogLine& line : Log()) {
    if (line.level == "WARNING" &&
        line.message.find("SchedularID:3") != std::string::npos)
      ++warnings;
  }
  EXPECT_EQ(warnings, 1);

  // Only this site's recurring schedules are asked about, with their last
  // submitted time.
  std::vector<std::string> asked = ProcedureCalls("GetNextScheduleTime");
  EXPECT_EQ(asked.size(), 9u);
  EXPECT_NE(std::find(asked.begin(), asked.end(),
                      "GetNextScheduleTime(14, 2020-01-01 00:00:00, 1, 1)"),
            asked.end());

  // Scan: a job row with the recurring priority, scheduled at the time the
  // schedule was stamped with before posting.
  EXPECT_EQ(Query("SELECT SystemID, JobPriority, ScheduleTime FROM jobdetails "
                  "WHERE SchedularID = 4 AND JobTypeID = 10027"),
            (korbtest::Rows{{"5", "5000", "2031-02-03 04:05:06"}}));
  // Deploy: handed to the procedure with profile 100 and priority 5000.
  std::vector<std::string> deploys = ProcedureCalls("Submitpatchdeployjobs");
  ASSERT_EQ(deploys.size(), 1u);
  EXPECT_EQ(deploys[0].rfind("Submitpatchdeployjobs(1, 10025, 5, 0, 5, ", 0), 0u);
  EXPECT_NE(deploys[0].find(", 2031-02-03 04:05:07, 1, 0, 100, 5000)"),
            std::string::npos);
  // CAB: system 1 at the CAB poster's own priority.
  EXPECT_EQ(Query("SELECT SystemID, JobPriority, JobCategoryID FROM "
                  "jobdetails WHERE SchedularID = 6"),
            (korbtest::Rows{{"1", "3000", "2061"}}));
  EXPECT_EQ(Count("SELECT * FROM jobdetails WHERE JobTypeID <> 10025"), 2);
  EXPECT_EQ(CountLog("PostScheduledJobs Exit"), 1);
}

}  // namespace
}  // namespace patchtest
