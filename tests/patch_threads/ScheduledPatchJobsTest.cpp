// The scheduled patch jobs thread and PostScheduledJobs.
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
  // GetNextScheduleTime answers (info ID 100 + id) with answer, or NULL.
  void AddSchedule(int id, int jobTypeId, const char* answer, int siteId = 1,
                   int scheduledType = 1) {
    Exec(Format("INSERT INTO jobsmaster (SchedularID, SiteID, "
                "JobScheduledType, ScheduledTime, LastSubmittedTime, "
                "SchedularInfoID) VALUES (%d, %d, %d, '2020-01-01 00:00:00', "
                "'2020-01-01 00:00:00', %d);"
                "INSERT INTO jobsmasterdetail (SchedularID, SystemID, "
                "JobTypeID) VALUES (%d, 0, %d)",
                id, siteId, scheduledType, 100 + id, id, jobTypeId));
    if (answer) SetNextScheduleAnswer(100 + id, answer);
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

TEST_F(ScheduledPatchJobsTest, WaitResultAndScanStatusDecideWhatACyclePosts) {
  Start("PerformPatchJobs", PerformPatchJobs);
  ASSERT_TRUE(WaitForLog(kCabRetry, 1));
  g_hPatchJobEvent.Set();
  ASSERT_TRUE(WaitForLog(kWoken, 1));
  ASSERT_TRUE(WaitForLog(kCabRetry, 2));
  std::vector<std::string> seen = LogSequence(
      {kWaitObject0, kWaitTimeout, kPost, kCabRetry, kWaiting, kWoken});
  EXPECT_EQ(seen, ExpectedCycles(seen));
  EXPECT_GE(CountInLog(kWaitObject0), 2);

  // A disabled patch scan posts nothing, yet the thread still waits and
  // resets the event: had it stayed set, each of the last waits would end
  // at once.
  SetPatchScanStatus(0);
  ASSERT_TRUE(WaitForLog(kWaiting, CountInLog(kWaiting) + 2));
  const int posts = CountInLog(kPost);
  g_hPatchJobEvent.Set();
  ASSERT_TRUE(WaitForLog(kWoken, 2));
  ASSERT_TRUE(WaitForLog(kWaiting, CountInLog(kWaiting) + 3));
  EXPECT_EQ(CountInLog(kWoken), 2);
  EXPECT_EQ(CountInLog(kPost), posts);
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

  EXPECT_EQ(Query("SELECT SchedularID, LastSubmittedTime, ScheduledTime FROM "
                  "jobsmaster WHERE LastSubmittedTime <> '2020-01-01' OR "
                  "ScheduledTime <> '2020-01-01' ORDER BY SchedularID"),
            (korbtest::Rows{
                {"4", "2031-02-03 04:05:06", "2031-02-03 04:05:06"},
                {"5", "2031-02-03 04:05:07", "2031-02-03 04:05:07"},
                {"6", "2031-02-03 04:05:08", "2031-02-03 04:05:08"}}));

  // The bar-less answer is reported once, as a warning naming the schedule.
  std::istringstream log(korbtest::DaemonLog());
  int warnings = 0;
  for (std::string line; std::getline(log, line);)
    warnings += line.find("[WARNING]") != std::string::npos &&
                line.find("SchedularID:3 ") != std::string::npos;
  EXPECT_EQ(warnings, 1);

  // Only this site's recurring schedules were asked about.
  EXPECT_EQ(ProcedureCalls("GetNextScheduleTime").size(), 9u);

  // Scan and deploy at the recurring priority, CAB at the CAB poster's own;
  // all at the time the schedule was stamped with.
  EXPECT_EQ(Query("SELECT SchedularID, JobTypeID, SystemID, JobPriority, "
                  "ProfileID, ScheduleTime FROM jobdetails ORDER BY "
                  "SchedularID"),
            (korbtest::Rows{
                {"4", "10027", "5", "5000", "0", "2031-02-03 04:05:06"},
                {"5", "10025", "5", "5000", "100", "2031-02-03 04:05:07"},
                {"6", "10037", "1", "3000", "0", "2031-02-03 04:05:08"}}));
}

}  // namespace
}  // namespace patchtest
