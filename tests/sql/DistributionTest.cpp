// Hand-out of waiting jobs to probes by submitschedulejobs and
// Load_Distribution, seen through probescheduledetail.
#include <string>

#include "TestDatabase.h"
#include "utilLib.h"

namespace {

class DistributionTest : public korbtest::DbTest {
 protected:
  void SetUp() override {
    korbtest::DbTest::SetUp();
    // Two active probes, one retired probe.
    Exec("INSERT INTO probemaster (ProbeID, HostName, ProbeType, Status) VALUES "
         "(1, '127.0.0.1', 1, 1), (2, '127.0.0.1', 2, 1), (3, '127.0.0.1', 1, 0);"
         "INSERT INTO tasklist (TaskID, TaskTypeID, TaskCategoryID, SignalType, ProcessNo) VALUES "
         "(1, 3, 8, 3, 1), (2, 3, 7, 3, 1);"
         "INSERT INTO jobtypemaster (JobTypeID) VALUES (10027), (500);"
         "INSERT INTO inventorymaster (SystemID, DataCollectionType) VALUES (11, 4), (12, 1)");
  }

  // Adds a job of `type` for system 11 or 12, `offset` seconds from now.
  void AddJob(int system, int offset, int status = 0, int type = 10027) {
    Exec(Format("INSERT INTO jobdetails (JobTypeID, SystemID, Status, ScheduleTime) VALUES "
                "(%d, %d, %d, NOW() + INTERVAL %d SECOND)", type, system, status, offset));
  }

  korbtest::Rows Assignments() {
    return Query("SELECT ProbeSchedulerID, ProbeID, TaskTypeID, TaskCategoryID, MonitoringID "
                 "FROM probescheduledetail ORDER BY ProbeSchedulerID");
  }
};

TEST_F(DistributionTest, LoadDistributionHandsOutWaitingJobsWithinThePeriod) {
  AddJob(11, -60);            // 1 due
  AddJob(12, 0);              // 2 due
  AddJob(11, 30);             // 3 due within the period
  AddJob(12, 3600);           // 4 beyond the period
  AddJob(11, -60, 1);         // 5 closed
  AddJob(12, -60, -1);        // 6 failed
  AddJob(12, -60, 0, 500);    // 7 due, another category
  Exec("INSERT INTO jobdetails (JobTypeID, SystemID) VALUES (10027, 11)");  // 8 no time

  Exec("CALL Load_Distribution(3, 60)");
  // Round the two active probes in job order; category 8 for patch jobs,
  // 7 for others; monitoring ID is the system's data collection type.
  EXPECT_EQ(Assignments(), (korbtest::Rows{{"1", "1", "3", "8", "4"},
                                           {"2", "2", "3", "8", "1"},
                                           {"3", "1", "3", "8", "4"},
                                           {"7", "2", "3", "7", "1"}}));

  // A second hand-out adds nothing for the same jobs; a new one continues
  // the round where the last stopped.
  AddJob(11, 0);  // 9
  Exec("CALL Load_Distribution(3, 60)");
  EXPECT_EQ(Count("SELECT COUNT(*) FROM probescheduledetail"), 5);
  EXPECT_EQ(Scalar("SELECT ProbeID FROM probescheduledetail WHERE ProbeSchedulerID = 9"), "1");
}

TEST_F(DistributionTest, SubmitTakesJobsDueNowAndOnlyActiveProbesGetAny) {
  AddJob(11, -5);
  AddJob(12, 30);
  Exec("CALL Load_Distribution(1, 180); CALL Load_Distribution(16, 180)");  // no job tasks
  EXPECT_EQ(Count("SELECT COUNT(*) FROM probescheduledetail"), 0);
  Exec("CALL submitschedulejobs()");
  EXPECT_EQ(Assignments(), (korbtest::Rows{{"1", "1", "3", "8", "4"}}));

  Exec("UPDATE probemaster SET Status = 0");
  AddJob(11, -5);
  Exec("CALL Load_Distribution(3, 60); CALL submitschedulejobs()");
  EXPECT_EQ(Count("SELECT COUNT(*) FROM probescheduledetail"), 1);
  EXPECT_EQ(ProcedureCalls(), (std::vector<std::string>{
                                  "Load_Distribution(1, 180)", "Load_Distribution(16, 180)",
                                  "submitschedulejobs()", "Load_Distribution(3, 60)",
                                  "submitschedulejobs()"}));
}

}  // namespace
