// PostOnDemandJobs: which schedules are posted, in which order, to which
// targets.
#include <utility>

#include "PatchThreadTest.h"

namespace patchtest {
namespace {

class OnDemandPatchJobsTest : public PatchThreadTest {
 protected:
  // targets are {SystemID, TaskID} detail rows; targetMode "" adds none.
  void AddOnDemand(int id, int jobTypeId, int priority, const char* dueSign,
                   const std::vector<std::pair<int, int>>& targets,
                   const char* targetMode = "",
                   const char* lastSubmitted = "0000-00-00 00:00:00") {
    Exec(Format("INSERT INTO jobsmaster (SchedularID, SiteID, "
                "JobScheduledType, ScheduledTime, LastSubmittedTime, "
                "JobPriority) VALUES (%d, 1, 0, NOW() %s INTERVAL 1 HOUR, "
                "'%s', %d);"
                "INSERT INTO jobsmasterlookup (SchedularID, JobParamID, "
                "JobParamValue) SELECT %d, 91, '%s' FROM DUAL WHERE '%s' <> ''",
                id, dueSign, lastSubmitted, priority, id, targetMode,
                targetMode));
    for (const auto& [systemId, taskId] : targets) {
      Exec(Format("INSERT INTO jobsmasterdetail (SchedularID, SystemID, "
                  "JobTypeID, TaskID) VALUES (%d, %d, %d, %d)",
                  id, systemId, jobTypeId, taskId));
    }
  }
  bool Submitted(int id) {
    return Count(Format("SELECT * FROM jobsmaster WHERE SchedularID = %d AND "
                        "lastsubmittedtime > NOW() - INTERVAL 1 MINUTE",
                        id)) == 1;
  }
};

TEST_F(OnDemandPatchJobsTest, DueSchedulesArePostedOnceByPriorityToTheirTargets) {
  Exec("INSERT INTO jobdetails (JobTypeID, OperationID, Status) VALUES "
       "(10027, 41, 1);"
       "INSERT INTO orbprofilevalues (ProfileID, ColumnID, ProfileValues) "
       "VALUES (100, 69, '200'), (200, 60, '5');"
       "INSERT INTO inventorymaster (SystemID, managenode, DataCollectionType) "
       "VALUES (5, 1, 1)");
  // Target mode 0: the three listed targets under one new operation ID.
  AddOnDemand(1, 10025, 1, "-", {{5, 51}, {6, 61}, {7, 71}});
  // Nonzero: the scan poster picks system 5 from profile 100, not the
  // detail row's system 0.
  AddOnDemand(2, 10027, 7, "-", {{0, 0}}, "100");
  AddOnDemand(3, 17017, 9, "-", {{5, 0}});
  AddOnDemand(4, 17017, 5, "+", {{5, 0}});  // not yet due
  AddOnDemand(5, 17017, 5, "-", {{5, 0}}, "", "2024-05-06 07:08:09");
  // CAB and 17017 schedules use their detail rows whatever the target mode.
  AddOnDemand(6, 10037, 3, "-", {{8, 0}, {9, 0}}, "1");
  AddOnDemand(7, 17017, 6, "-", {{7, 0}}, "1");

  PostOnDemandJobs(db_);
  PostOnDemandJobs(db_);

  // Each at its schedule's time, under one new operation ID per schedule.
  EXPECT_EQ(Query("SELECT SchedularID, JobTypeID, SystemID, TaskID, "
                  "JobPriority, OperationID, ScheduleTime = (SELECT "
                  "ScheduledTime FROM jobsmaster m WHERE m.SchedularID = "
                  "d.SchedularID) FROM jobdetails d WHERE SchedularID > 0 "
                  "ORDER BY JobID"),
            (korbtest::Rows{{"1", "10025", "5", "51", "1", "42", "1"},
                            {"1", "10025", "6", "61", "1", "42", "1"},
                            {"1", "10025", "7", "71", "1", "42", "1"},
                            {"6", "10037", "8", "0", "3", "43", "1"},
                            {"6", "10037", "9", "0", "3", "43", "1"},
                            {"7", "17017", "7", "0", "6", "44", "1"},
                            {"2", "10027", "5", "0", "7", "45", "1"},
                            {"3", "17017", "5", "0", "9", "46", "1"}}));
  for (int id : {1, 2, 3, 6, 7}) EXPECT_TRUE(Submitted(id)) << id;
  EXPECT_FALSE(Submitted(4));
  EXPECT_EQ(Scalar("SELECT lastsubmittedtime FROM jobsmaster WHERE "
                   "SchedularID = 5"),
            "2024-05-06 07:08:09");
}

}  // namespace
}  // namespace patchtest
