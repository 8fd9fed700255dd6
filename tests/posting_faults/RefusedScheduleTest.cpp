// A schedule refused for a profile item that is not an integer stays due:
// every pass refuses it again, its line is written a few times only, and
// the pass after the profile is mended posts it. Schedule rows with a value
// that is not a number are skipped with a line per row that does not
// repeat at every pass.
#include <memory>

#include "PostingFaultFixture.h"

namespace faulttest {
namespace {

using RefusedScheduleTest = PostingFaultTest;

TEST_F(RefusedScheduleTest, RefusedScheduleStaysDueAndPostsOnceMended) {
  // Each schedule ID once: the line limit is per schedule.
  for (const Schedule& s : {Schedule{kScanSchedule, kScan, false}, kDeployRun,
                            Schedule{17, kScan, true}, Schedule{18, kDeploy, true}}) {
    SCOPED_TRACE(Format("%d %s", s.jobTypeId, s.recurring ? "recurring" : "on demand"));
    ResetSchedule(s);
    Exec(Format("update orbprofilevalues set ProfileValues = '20,abc' where ProfileID = %d and "
                "ColumnID = 69", kProfile));
    const std::string refused = Format("Target selection of SchedularID:%d refused", s.id);
    const int before = LogCount("ERROR", refused);
    for (int pass = 1; pass <= 4; ++pass) {
      Pass(s);
      EXPECT_TRUE(Posted(s).empty());
      if (!s.recurring) {
        EXPECT_FALSE(Submitted(s));
      }
    }
    // Two lines, then one an hour; the rest are counted as suppressed.
    EXPECT_EQ(LogCount("ERROR", refused), before + 2);

    Exec(Format("update orbprofilevalues set ProfileValues = '20' where ProfileID = %d and "
                "ColumnID = 69", kProfile));
    Pass(s);
    EXPECT_EQ(Posted(s), kExpected);
    if (!s.recurring) {
      EXPECT_TRUE(Submitted(s));
    }
    Pass(s);
    EXPECT_EQ(SystemsPostedTwice(s), 0);
  }
}

TEST_F(RefusedScheduleTest, BadScheduleRowLinesAreRateLimitedPerRow) {
  // Columns of a customer database that hold text where numbers belong;
  // the table is made as before whatever happens here.
  Exec("alter table jobsmaster modify JobPriority varchar(16) not null default '5000', "
       "modify SchedularInfoID varchar(16) not null default '0'");
  std::shared_ptr<void> restore(nullptr, [this](void*) {
    Exec("delete from jobsmaster; alter table jobsmaster modify JobPriority int not null "
         "default 5000, modify SchedularInfoID int not null default 0");
  });
  ResetSchedule(kDeployRun);
  // and the recurring scan beside it, with its own skipped system
  Exec(Format("insert into schedularinfo (SchedularInfoID, RecurrenceType, StartTime) values "
              "(%d, 0, now() - interval 1 hour);"
              "insert into jobsmaster (SchedularID, JobScheduledType, SchedularInfoID) values "
              "(%d, 1, %d);"
              "insert into jobsmasterdetail (SchedularID, SystemID, JobTypeID) values (%d, 0, %d)",
              kScanSchedule, kScanSchedule, kScanSchedule, kScanSchedule, kScan));
  AddParam(kScanSchedule, 91, std::to_string(kProfile));
  AddJob(0, kScanSchedule, kSkippedSystem, kScan, JOB_STATUS_NOT_REPEAT);
  Exec("insert into jobsmaster (SchedularID, JobScheduledType, SchedularInfoID) values "
       "(11, 1, 'x'), (12, 1, 'y');"
       "insert into jobsmaster (SchedularID, JobScheduledType, ScheduledTime, JobPriority) "
       "values (13, 0, now() - interval 1 hour, 'high');"
       "insert into jobsmasterdetail (SchedularID, SystemID, JobTypeID) values "
       "(11, 0, 10027), (12, 0, 10025), (13, 0, 10025)");
  for (int pass = 0; pass < 5; ++pass) {
    PostScheduledJobs(db());
    PostOnDemandJobs(db());
  }
  for (const char* row : {"SchedularID:'11' JobTypeID:'10027' SchedularInfoID:'x'",
                          "SchedularID:'12' JobTypeID:'10025' SchedularInfoID:'y'"})
    EXPECT_EQ(LogCount("ERROR", std::string("PostScheduledJobs: skipping a schedule row with a "
                                            "value that is not a number (") + row),
              2);
  EXPECT_EQ(LogCount("ERROR", "PostOnDemandJobs: skipping a schedule row with a value that is "
                              "not a number (SchedularID:'13' JobTypeID:'10025' "
                              "Priority:'high')"),
            2);
  // The good schedules of the same passes are posted.
  EXPECT_EQ(Posted(kScanRun), kExpected);
  EXPECT_EQ(Posted(kDeployRun), kExpected);
}

}  // namespace
}  // namespace faulttest
