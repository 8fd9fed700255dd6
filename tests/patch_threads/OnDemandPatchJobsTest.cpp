// PostOnDemandJobs: which schedules are posted, in which order, to which
// targets.
#include <utility>

#include "PatchThreadTest.h"

namespace patchtest {
namespace {

class OnDemandPatchJobsTest : public PatchThreadTest {
 protected:
  // targets are {SystemID, TaskID} detail rows; targetMode "" adds none.
  void AddOnDemand(int id, int jobTypeId, int priority, const char* when,
                   const std::vector<std::pair<int, int>>& targets,
                   const std::string& targetMode = "",
                   const std::string& lastSubmitted = "0000-00-00 00:00:00") {
    std::string sid = std::to_string(id);
    Exec("INSERT INTO jobsmaster (SchedularID, SiteID, JobScheduledType, "
         "ScheduledTime, LastSubmittedTime, JobPriority) VALUES (" + sid +
         ", 1, 0, NOW() " + when + " INTERVAL 1 HOUR, '" + lastSubmitted +
         "', " + std::to_string(priority) + ")");
    for (const auto& [systemId, taskId] : targets) {
      Exec("INSERT INTO jobsmasterdetail (SchedularID, SystemID, JobTypeID, "
           "TaskID) VALUES (" + sid + ", " + std::to_string(systemId) + ", " +
           std::to_string(jobTypeId) + ", " + std::to_string(taskId) + ")");
    }
    if (!targetMode.empty()) {
      Exec("INSERT INTO jobsmasterlookup (SchedularID, JobParamID, "
           "JobParamValue) VALUES (" + sid + ", 91, '" + targetMode + "')");
    }
  }
  bool Submitted(int id) {
    return Count("SELECT * FROM jobsmaster WHERE SchedularID = " +
                 std::to_string(id) +
                 " AND lastsubmittedtime BETWEEN NOW() - INTERVAL 1 MINUTE "
                 "AND NOW() + INTERVAL 1 MINUTE") == 1;
  }
};

TEST_F(OnDemandPatchJobsTest, DueSchedulesArePostedOnceByPriorityToTheirRows) {
  AddOnDemand(1, 17017, 9, "-", {{5, 0}});
  AddOnDemand(2, 17017, 5, "+", {{5, 0}});  // not yet due
  AddOnDemand(3, 17017, 5, "-", {{5, 0}}, "", "2024-05-06 07:08:09");
  // CAB and 17017 schedules use their detail rows whatever the target mode.
  AddOnDemand(4, 10037, 3, "-", {{8, 0}, {9, 0}}, "1");
  AddOnDemand(5, 17017, 6, "-", {{7, 0}}, "1");

  PostOnDemandJobs(db_);
  PostOnDemandJobs(db_);

  EXPECT_EQ(Query("SELECT SchedularID, JobTypeID, JobCategoryID, SystemID, "
                  "JobPriority FROM jobdetails ORDER BY JobID"),
            (korbtest::Rows{{"4", "10037", "2061", "8", "3"},
                            {"4", "10037", "2061", "9", "3"},
                            {"5", "17017", "2075", "7", "6"},
                            {"1", "17017", "2075", "5", "9"}}));
  // One operation ID per schedule.
  EXPECT_EQ(Count("SELECT DISTINCT SchedularID, OperationID FROM jobdetails"),
            3);
  EXPECT_EQ(Count("SELECT DISTINCT OperationID FROM jobdetails"), 3);
  for (int id : {1, 4, 5}) EXPECT_TRUE(Submitted(id)) << id;
  EXPECT_FALSE(Submitted(2));
  EXPECT_EQ(Scalar("SELECT lastsubmittedtime FROM jobsmaster WHERE "
                   "SchedularID = 3"),
            "2024-05-06 07:08:09");
}

TEST_F(OnDemandPatchJobsTest, TargetModeChoosesProfilePosterOrListedRows) {
  Exec("INSERT INTO jobdetails (JobTypeID, OperationID, Status) VALUES "
       "(10027, 41, 1);"
       "INSERT INTO orbprofilevalues (ProfileID, ColumnID, ProfileValues) "
       "VALUES (100, 69, '200'), (200, 60, '5');"
       "INSERT INTO inventorymaster (SystemID, managenode, DataCollectionType) "
       "VALUES (5, 1, 1)");
  // Mode 0: the three listed targets under one new operation ID.
  AddOnDemand(1, 10025, 2, "-", {{5, 51}, {6, 61}, {7, 71}});
  // Nonzero: the scan poster picks system 5 from profile 100, not the
  // detail row's system 0.
  AddOnDemand(2, 10027, 7, "-", {{0, 0}}, "100");

  PostOnDemandJobs(db_);

  std::vector<std::string> calls = ProcedureCalls("Submitpatchdeployjobs");
  ASSERT_EQ(calls.size(), 3u);
  std::string time = Scalar("SELECT DATE_FORMAT(ScheduledTime, "
                            "'%Y-%m-%d %H:%i:%s') FROM jobsmaster WHERE SchedularID = 1");
  for (int i = 0; i < 3; ++i) {
    // Site, type, system, redo, schedule, operation, time, format, task,
    // profile, priority.
    EXPECT_EQ(calls[i], Format("Submitpatchdeployjobs(1, 10025, %d, 0, 1, 42, "
                               "%s, 1, %d, 0, 2)",
                               5 + i, time.c_str(), (5 + i) * 10 + 1));
  }
  EXPECT_EQ(Query("SELECT JobTypeID, SystemID, JobPriority FROM jobdetails "
                  "WHERE SchedularID = 2"),
            (korbtest::Rows{{"10027", "5", "7"}}));
  EXPECT_TRUE(Submitted(1));
  EXPECT_TRUE(Submitted(2));
}

}  // namespace
}  // namespace patchtest
