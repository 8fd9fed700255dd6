// The on-demand patch jobs thread and PostOnDemandJobs.
#include <string>
#include <utility>
#include <vector>

#include "PatchThreadTest.h"
#include "PatchThreads.h"

namespace patchtest {
namespace {

using std::chrono::seconds;

class OnDemandPatchJobsTest : public PatchThreadTest {
 protected:
  // An on-demand schedule; targets are {SystemID, TaskID} detail rows.
  void AddOnDemand(int schedularId, int jobTypeId, int priority,
                   const std::string& scheduledTime,
                   const std::vector<std::pair<int, int>>& targets,
                   const std::string& lastSubmitted = "0000-00-00 00:00:00") {
    Exec("INSERT INTO jobsmaster (SchedularID, SiteID, JobScheduledType, "
         "ScheduledTime, LastSubmittedTime, JobPriority) VALUES (" +
         std::to_string(schedularId) + ", 1, 0, " + scheduledTime + ", '" +
         lastSubmitted + "', " + std::to_string(priority) + ")");
    for (const auto& [systemId, taskId] : targets) {
      Exec("INSERT INTO jobsmasterdetail (SchedularID, SystemID, JobTypeID, "
           "TaskID) VALUES (" + std::to_string(schedularId) + ", " +
           std::to_string(systemId) + ", " + std::to_string(jobTypeId) +
           ", " + std::to_string(taskId) + ")");
    }
  }
  void SetTargetMode(int schedularId, const std::string& value) {
    Exec("INSERT INTO jobsmasterlookup (SchedularID, JobParamID, "
         "JobParamValue) VALUES (" + std::to_string(schedularId) + ", 91, '" +
         value + "')");
  }
  bool Submitted(int schedularId) {
    return Count("SELECT * FROM jobsmaster WHERE SchedularID = " +
                 std::to_string(schedularId) +
                 " AND lastsubmittedtime BETWEEN NOW() - INTERVAL 1 MINUTE "
                 "AND NOW() + INTERVAL 1 MINUTE") == 1;
  }
  long Jobs(int schedularId) {
    return Count("SELECT * FROM jobdetails WHERE SchedularID = " +
                 std::to_string(schedularId));
  }
};

TEST_F(OnDemandPatchJobsTest, OnlyDueUnsubmittedSchedulesArePostedOnce) {
  AddOnDemand(1, 17017, 5, "NOW() - INTERVAL 1 HOUR", {{5, 0}});
  AddOnDemand(2, 17017, 5, "NOW() + INTERVAL 1 HOUR", {{5, 0}});
  AddOnDemand(3, 17017, 5, "NOW() - INTERVAL 1 HOUR", {{5, 0}},
              "2024-05-06 07:08:09");

  PostOnDemandJobs(db_);
  PostOnDemandJobs(db_);

  EXPECT_EQ(Query("SELECT SchedularID, JobTypeID, JobCategoryID, SystemID, "
                  "JobPriority FROM jobdetails"),
            (korbtest::Rows{{"1", "17017", "2075", "5", "5"}}));
  EXPECT_TRUE(Submitted(1));
  EXPECT_FALSE(Submitted(2));
  EXPECT_EQ(Scalar("SELECT lastsubmittedtime FROM jobsmaster WHERE "
                   "SchedularID = 3"),
            "2024-05-06 07:08:09");
}

TEST_F(OnDemandPatchJobsTest, TargetModeNonzeroPostsThroughThePosters) {
  AddOnDemand(1, 10027, 7, "NOW() - INTERVAL 1 HOUR", {{0, 0}});
  SetTargetMode(1, "100");
  Exec("INSERT INTO orbprofilevalues (ProfileID, ColumnID, ProfileValues) "
       "VALUES (100, 69, '200'), (200, 60, '5');"
       "INSERT INTO inventorymaster (SystemID, managenode, DataCollectionType) "
       "VALUES (5, 1, 1)");

  PostOnDemandJobs(db_);
  PostOnDemandJobs(db_);

  // The scan poster chose system 5 from the profile, with the schedule's
  // own priority; the detail row (system 0) was not used.
  EXPECT_EQ(Query("SELECT JobTypeID, SystemID, JobPriority FROM jobdetails"),
            (korbtest::Rows{{"10027", "5", "7"}}));
  EXPECT_TRUE(Submitted(1));
}

TEST_F(OnDemandPatchJobsTest, ListedTargetsShareOneOperationId) {
  Exec("INSERT INTO jobdetails (JobTypeID, OperationID, Status) VALUES "
       "(10027, 41, 1)");
  AddOnDemand(1, 10025, 9, "NOW() - INTERVAL 1 HOUR",
              {{5, 51}, {6, 61}, {7, 71}});

  PostOnDemandJobs(db_);

  std::vector<std::string> calls = ProcedureCalls("Submitpatchdeployjobs");
  ASSERT_EQ(calls.size(), 3u);
  // Site, type, system, redo, schedule, operation 42 for all three, the
  // schedule's time, format 1, the target's task, profile 0, priority.
  std::string time = Scalar("SELECT DATE_FORMAT(ScheduledTime, "
                            "'%Y-%m-%d %H:%i:%s') FROM jobsmaster");
  for (int i = 0; i < 3; ++i) {
    int system = 5 + i;
    EXPECT_EQ(calls[i], "Submitpatchdeployjobs(1, 10025, " +
                            std::to_string(system) + ", 0, 1, 42, " + time +
                            ", 1, " + std::to_string(system * 10 + 1) +
                            ", 0, 9)");
  }
  EXPECT_TRUE(Submitted(1));
}

TEST_F(OnDemandPatchJobsTest, CabAnd17017SchedulesAlwaysUseTheirDetailRows) {
  AddOnDemand(1, 10037, 4, "NOW() - INTERVAL 1 HOUR", {{8, 0}, {9, 0}});
  SetTargetMode(1, "1");
  AddOnDemand(2, 17017, 4, "NOW() - INTERVAL 1 HOUR", {{8, 0}});
  SetTargetMode(2, "1");

  PostOnDemandJobs(db_);

  EXPECT_EQ(Query("SELECT SchedularID, JobTypeID, SystemID FROM jobdetails "
                  "ORDER BY SchedularID, SystemID"),
            (korbtest::Rows{{"1", "10037", "8"},
                            {"1", "10037", "9"},
                            {"2", "17017", "8"}}));
  // One operation ID per schedule.
  EXPECT_EQ(Count("SELECT DISTINCT SchedularID, OperationID FROM jobdetails"),
            2);
  EXPECT_EQ(Count("SELECT DISTINCT OperationID FROM jobdetails"), 2);
  EXPECT_TRUE(Submitted(1));
  EXPECT_TRUE(Submitted(2));
}

TEST_F(OnDemandPatchJobsTest, SchedulesAreHandledInAscendingPriority) {
  AddOnDemand(1, 17017, 9, "NOW() - INTERVAL 1 HOUR", {{5, 0}});
  AddOnDemand(2, 17017, 3, "NOW() - INTERVAL 1 HOUR", {{6, 0}});
  AddOnDemand(3, 17017, 6, "NOW() - INTERVAL 1 HOUR", {{7, 0}});

  PostOnDemandJobs(db_);

  EXPECT_EQ(Query("SELECT SchedularID FROM jobdetails ORDER BY JobID"),
            (korbtest::Rows{{"2"}, {"3"}, {"1"}}));
}

TEST_F(OnDemandPatchJobsTest, ThreadPostsInEveryCycleWhateverEndedTheWait) {
  auto thread = Start("PerformOndemandPatchJobs", PerformOndemandPatchJobs);
  ASSERT_TRUE(WaitForLog("Waiting for event!!!", 2, seconds(20)));
  g_hOndemandPatchJobEvent.Set();
  ASSERT_TRUE(WaitForLog("Event occured", 1, seconds(10)));
  long waits = CountLog("Waiting for event!!!");
  ASSERT_TRUE(WaitForLog("Waiting for event!!!", waits + 1, seconds(20)));

  // Entry, wait, [event], entry, wait, ...: one posting per cycle, the
  // first one at once.
  std::vector<std::string> seen = LogSequence(
      {"PerformOndemandPatchJobs : Start of the thread", "PostOnDemandJobs Entry",
       "Waiting for event!!!", "Event occured"});
  ASSERT_GE(seen.size(), 6u);
  EXPECT_EQ(seen[0], "PerformOndemandPatchJobs : Start of the thread");
  std::vector<std::string> cycles(seen.begin() + 1, seen.end());
  std::erase(cycles, std::string("Event occured"));
  for (size_t i = 0; i < cycles.size(); ++i) {
    EXPECT_EQ(cycles[i], i % 2 == 0 ? "PostOnDemandJobs Entry"
                                    : "Waiting for event!!!")
        << "at " << i;
  }
  EXPECT_EQ(CountLog("PostCabDownloadRetryJobs Entry"), 0);
}

}  // namespace
}  // namespace patchtest
