// Job rows written by InsertJob, and operation IDs.
#include "JobRecords.h"
#include "PatchBuildingFixture.h"

namespace patchtest {
namespace {

class JobRecordsTest : public PatchBuildingTest {
 protected:
  // Status, whether closed at submission, whether due at submission, and
  // description of the newest job of a system and schedule.
  Systems NewestRow(int schedularId, int systemId) {
    korbtest::Rows rows = Query(Format(
        "select Status, FinishedTime = SubmissionTime, ScheduleTime = SubmissionTime, "
        "ifnull(StatusDescription, 'NULL') from jobdetails where SchedularID = %d and "
        "SystemID = %d order by JobID desc limit 1", schedularId, systemId));
    return rows.empty() ? Systems() : rows[0];
  }
  void InsertScan(int schedularId, int systemId, int tppm) {
    InsertJob(kScan, systemId, 0, schedularId, 7, "0", 1, 0, 5000, db(), tppm);
  }
};

TEST_F(JobRecordsTest, OperationIdIsOneOnEmptyTableElseMaxPlusOne) {
  EXPECT_EQ(GetOperationId(db()), 1);
  Exec("insert into jobdetails (JobTypeID, OperationID) values (1, 41), (1, 3)");
  EXPECT_EQ(GetOperationId(db()), 42);
}

TEST_F(JobRecordsTest, OnlyOpenJobsOfTheSameKindMakeDuplicates) {
  for (int schedule = 1; schedule <= 4; ++schedule) {
    AddSchedule(schedule);
    AddParam(schedule, 564, schedule % 2 == 0 ? "1" : "0");  // 2, 4: TPPM
  }
  for (int status : {0, 2, 3, -1, 1, -2}) {
    int system = 10 + status;
    AddJob(0, 1, system, kScan, status);
    InsertScan(3, system, 0);
    bool open = status == 0 || status > 1;
    EXPECT_EQ(NewestRow(3, system),
              open ? Systems({"1", "1", "1", "The Patch Scan job for the system is already "
                                                "scheduled."})
                   : Systems({"0", "NULL", "1", "NULL"}))
        << "earlier job in status " << status;
  }

  AddJob(0, 1, 5, kScan, 0);  // open plain scan: no TPPM duplicate
  InsertScan(2, 5, 1);
  EXPECT_EQ(NewestRow(2, 5)[0], "0");
  InsertScan(4, 5, 1);
  EXPECT_EQ(NewestRow(4, 5)[3], "The TPPM Patch Scan job for the system is already scheduled.");

  // A scan of a schedule without parameter 564 is never counted.
  AddSchedule(9);
  AddJob(0, 9, 6, kScan, 0);
  InsertScan(3, 6, 0);
  EXPECT_EQ(NewestRow(3, 6)[0], "0");
  // Within its own schedule it is: a second posting of schedule 9 (as
  // after a crash) gives no second open job.
  InsertScan(9, 6, 0);
  EXPECT_EQ(NewestRow(9, 6)[3], "The Patch Scan job for the system is already scheduled.");
}

TEST_F(JobRecordsTest, CabDownloadDuplicateAndJobColumns) {
  OpenDatabase({.site_id = 3});
  AddSchedule(8);
  Exec("insert into jobsmasterdetail (SchedularID, SystemID, JobTypeID, TaskID) values "
       "(8, 1, 10037, 4)");
  // The TaskID argument never counts; the detail row (or 0) does.
  InsertJob(JOB_TYPE_CAB_DOWNLOAD, 1, 0, 8, 11, "0", 1, 99, 3000, db(), 0);
  InsertJob(JOB_TYPE_CAB_DOWNLOAD, 1, 0, 8, 12, "0", 1, 99, 3000, db(), 0);
  InsertJob(JOB_TYPE_ONDEMAND_17017, 2, 33, 8, 13, "0", 1, 99, 700, db(), 0);
  EXPECT_EQ(Query("select SiteID, SchedularID, OperationID, JobTypeID, JobCategoryID, "
                  "JobPriority, SystemID, RedoID, Status, TaskID, "
                  "ifnull(StatusDescription, '') from jobdetails order by JobID"),
            (korbtest::Rows{
                {"3", "8", "11", "10037", "2061", "3000", "1", "0", "0", "4", ""},
                {"3", "8", "12", "10037", "2061", "3000", "1", "0", "1", "4",
                 "The CAB file download job for the system is already scheduled."},
                {"3", "8", "13", "17017", "2075", "700", "2", "33", "0", "0", ""}}));
}

TEST_F(JobRecordsTest, ScheduleValueForms) {
  AddSchedule(1);  // stored time 2030-01-15 10:00:00
  const struct {
    const char* text;
    int mode;
    const char* expected;  // empty: the submission time
  } cases[] = {
      {"0", 0, ""}, {"0", 1, ""},
      {"2031-02-03 04:05:06", 1, "2030-01-15 10:00:00"},  // dashed: the stored time
      {"01/15/2030 10:00:00 PM", 0, "2030-01-15 22:00:00"},
      {"2030/03/04 05:06:07", 1, "2030-03-04 05:06:07"},
  };
  int system = 0;
  for (const auto& c : cases) {
    InsertJob(JOB_TYPE_ONDEMAND_17017, ++system, 0, 1, 1, c.text, c.mode, 0, 5000, db(), 0);
    korbtest::Rows row = Query(Format(
        "select ScheduleTime, SubmissionTime from jobdetails where SystemID = %d", system));
    ASSERT_EQ(row.size(), 1u) << c.text;
    EXPECT_EQ(row[0][0], *c.expected ? c.expected : row[0][1]) << c.text << ", mode " << c.mode;
  }

  // Unescaped, this text would close the value and add a job for 99.
  const std::string text = "2030/01/01 00:00:00','2030/01/01 00:00:00',0,0),"
                           "(1,1,1,10027,0,5000,99,'2030/01/01 00:00:00";
  for (int mode : {0, 1})
    InsertJob(JOB_TYPE_ONDEMAND_17017, 5, 0, 1, 1, text, mode, 0, 5000, db(), 0);
  EXPECT_EQ(Count("select * from jobdetails where SystemID = 99"), 0);
}

}  // namespace
}  // namespace patchtest
