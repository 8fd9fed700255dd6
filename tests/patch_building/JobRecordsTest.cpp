// Job rows written by InsertJob, and operation IDs.
#include "JobRecords.h"
#include "PatchBuildingFixture.h"

namespace patchtest {
namespace {

class JobRecordsTest : public PatchBuildingTest {
 protected:
  // Status, FinishedTime = SubmissionTime, ScheduleTime = SubmissionTime
  // and StatusDescription of the newest row of a system and schedule.
  std::vector<std::string> NewestRow(int schedularId, int systemId) {
    korbtest::Rows rows = Query(Format(
        "select Status, FinishedTime = SubmissionTime, ScheduleTime = "
        "SubmissionTime, ifnull(StatusDescription, 'NULL') from jobdetails "
        "where SchedularID = %d and SystemID = %d order by JobID desc limit 1",
        schedularId, systemId));
    return rows.empty() ? std::vector<std::string>() : rows[0];
  }

  void InsertScan(int schedularId, int systemId, int tppm) {
    InsertJob(kScan, systemId, 0, schedularId, 7, "0", 1, 0, 5000, db(),
              tppm);
  }
};

TEST_F(JobRecordsTest, OperationIdIsOneOnEmptyTableElseMaxPlusOne) {
  EXPECT_EQ(GetOperationId(db()), 1);
  Exec("insert into jobdetails (JobTypeID, OperationID) values (10027, 41), "
       "(10027, 3)");
  EXPECT_EQ(GetOperationId(db()), 42);
}

TEST_F(JobRecordsTest, OpenScanMakesTheNextOneAClosedDuplicate) {
  AddSchedule(1);
  AddParam(1, 564, "0");
  AddSchedule(2);
  AddParam(2, 564, "0");
  const std::string scanText =
      "The Patch Scan job for the system is already scheduled.";

  int system = 10;
  for (int openStatus : {0, 2, 3}) {
    AddJob(0, 1, system, kScan, openStatus);
    InsertScan(2, system, 0);
    EXPECT_EQ(NewestRow(2, system),
              (std::vector<std::string>{"1", "1", "1", scanText}))
        << "earlier job in status " << openStatus;
    ++system;
  }
  for (int closedStatus : {-1, 1, -2}) {
    AddJob(0, 1, system, kScan, closedStatus);
    InsertScan(2, system, 0);
    EXPECT_EQ(NewestRow(2, system),
              (std::vector<std::string>{"0", "NULL", "1", "NULL"}))
        << "earlier job in status " << closedStatus;
    ++system;
  }
}

TEST_F(JobRecordsTest, TppmAndPlainScansAreCountedApart) {
  for (int schedule = 1; schedule <= 4; ++schedule) {
    AddSchedule(schedule);
    AddParam(schedule, 564, schedule % 2 == 0 ? "1" : "0");
  }
  AddJob(50, 1, 5, kScan, 0);  // open plain scan

  InsertScan(4, 5, 1);  // the plain scan does not make a TPPM duplicate
  EXPECT_EQ(NewestRow(4, 5)[0], "0");
  InsertScan(2, 5, 1);  // but the TPPM scan just posted does
  EXPECT_EQ(NewestRow(2, 5),
            (std::vector<std::string>{
                "1", "1", "1",
                "The TPPM Patch Scan job for the system is already "
                "scheduled."}));
  InsertScan(3, 5, 0);
  EXPECT_EQ(NewestRow(3, 5)[0], "1");

  // A scan of a schedule without parameter 564 is never counted.
  AddSchedule(9);
  AddJob(60, 9, 6, kScan, 0);
  InsertScan(3, 6, 0);
  EXPECT_EQ(NewestRow(3, 6)[0], "0");
}

TEST_F(JobRecordsTest, CabDownloadDuplicateAndJobColumns) {
  ReopenWith({.site_id = 3});
  AddSchedule(8);
  Exec("insert into jobsmasterdetail (SchedularID, SystemID, JobTypeID, "
       "TaskID) values (8, 1, 10037, 4)");

  InsertJob(kCab, 1, 0, 8, 11, "0", 1, 99, 3000, db(), 0);
  InsertJob(kCab, 1, 0, 8, 12, "0", 1, 99, 3000, db(), 0);
  InsertJob(JOB_TYPE_ONDEMAND_17017, 2, 33, 8, 13, "0", 1, 99, 700, db(), 0);

  EXPECT_EQ(
      Query("select SiteID, SchedularID, OperationID, JobTypeID, "
            "JobCategoryID, JobPriority, SystemID, RedoID, Status, TaskID, "
            "ifnull(StatusDescription, 'NULL') from jobdetails order by "
            "JobID"),
      (korbtest::Rows{
          {"3", "8", "11", "10037", "2061", "3000", "1", "0", "0", "4",
           "NULL"},
          {"3", "8", "12", "10037", "2061", "3000", "1", "0", "1", "4",
           "The CAB file download job for the system is already "
           "scheduled."},
          {"3", "8", "13", "17017", "2075", "700", "2", "33", "0", "0",
           "NULL"}}));
}

TEST_F(JobRecordsTest, ScheduleValueForms) {
  AddSchedule(1, "2030-01-15 10:00:00");
  struct Case {
    int system;
    const char* text;
    int mode;
    const char* expected;  // "now" for SubmissionTime
  };
  const Case cases[] = {
      {1, "0", 0, "now"},
      {2, "0", 1, "now"},
      {3, "2031-02-03 04:05:06", 1, "2030-01-15 10:00:00"},
      {4, "2031-02-03 04:05:06", 0, "2030-01-15 10:00:00"},
      {5, "01/15/2030 10:00:00 PM", 0, "2030-01-15 22:00:00"},
      {6, "2030/03/04 05:06:07", 1, "2030-03-04 05:06:07"},
  };
  for (const Case& c : cases) {
    InsertJob(JOB_TYPE_ONDEMAND_17017, c.system, 0, 1, 1, c.text, c.mode, 0,
              5000, db(), 0);
    std::string expected =
        std::string(c.expected) == "now"
            ? Scalar(Format("select SubmissionTime from jobdetails where "
                            "SystemID = %d",
                            c.system))
            : c.expected;
    EXPECT_EQ(Scalar(Format("select ScheduleTime from jobdetails where "
                            "SystemID = %d",
                            c.system)),
              expected)
        << "text " << c.text << ", mode " << c.mode;
  }
}

TEST_F(JobRecordsTest, QuotesInScheduleTextNeverAddRows) {
  AddSchedule(1);
  // Unescaped, this text would close the value and append a row for
  // system 99.
  const std::string text =
      "2030/01/01 00:00:00','2030/01/01 00:00:00',0,0),"
      "(1,1,1,10027,0,5000,99,'2030/01/01 00:00:00";
  for (int mode : {0, 1})
    InsertJob(JOB_TYPE_ONDEMAND_17017, 5, 0, 1, 1, text, mode, 0, 5000, db(),
              0);
  EXPECT_EQ(Count("select * from jobdetails where SystemID = 99"), 0);
}

}  // namespace
}  // namespace patchtest
