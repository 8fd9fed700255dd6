// CAB file download jobs: posting a due schedule and the retries.
#include "PatchThreadTest.h"

namespace patchtest {
namespace {

class CabDownloadJobsTest : public PatchThreadTest {
 protected:
  void AddCabSchedule(int id) {
    Exec(Format("INSERT INTO jobsmaster (SchedularID, SiteID, "
                "JobScheduledType) VALUES (%d, 1, 1);"
                "INSERT INTO jobsmasterdetail (SchedularID, SystemID, "
                "JobTypeID) VALUES (%d, 1, 10037)",
                id, id));
  }
  // Returns the new job's JobID.
  int AddCabJob(int schedularId, int status) {
    Exec(Format("INSERT INTO jobdetails (SiteID, SchedularID, JobTypeID, "
                "SystemID, Status, ScheduleTime) VALUES (1, %d, 10037, 1, %d, "
                "'2024-01-01 00:00:00')",
                schedularId, status));
    return std::stoi(Scalar("SELECT MAX(JobID) FROM jobdetails"));
  }
  // The columns' values of a job joined by " | "; Ahead is the minutes
  // from now to its schedule time.
  std::string Job(int jobId, const std::string& columns) {
    return Scalar("SELECT CONCAT_WS(' | ', " + columns + ") FROM (SELECT *, "
                  "ROUND(TIMESTAMPDIFF(SECOND, NOW(), ScheduleTime) / 60) AS "
                  "Ahead FROM jobdetails WHERE JobID = " +
                  std::to_string(jobId) + ") j");
  }
};

TEST_F(CabDownloadJobsTest, PostingFailsOnlyTheScheduleWaitingAndRedoJobs) {
  AddCabSchedule(1);
  for (int status : {0, -3, 2, 3}) AddCabJob(1, status);
  int last = AddCabJob(2, 0);

  PostCabFileDownloadJob(1, "2031-02-03 04:05:06", db_);

  EXPECT_EQ(Query("SELECT SchedularID, Status, FinishedTime IS NOT NULL FROM "
                  "jobdetails WHERE JobID <= " + std::to_string(last) +
                  " ORDER BY JobID"),
            (korbtest::Rows{{"1", "-1", "1"},
                            {"1", "-1", "1"},
                            {"1", "2", "0"},
                            {"1", "3", "0"},
                            {"2", "0", "0"}}));
  // System 1 at priority 3000 under a fresh operation ID; jobs still open
  // on the system make the record's own check file it closed.
  EXPECT_EQ(Job(last + 1, "SchedularID, JobTypeID, SystemID, JobPriority, "
                          "OperationID, Status"),
            "1 | 10037 | 1 | 3000 | 1 | 1");
}

TEST_F(CabDownloadJobsTest, RetryLimitAndDelayComeFromProfileOrDefault) {
  AddCabSchedule(1);
  int job = AddCabJob(1, -1);

  // No profile: twice, an hour later.
  PostCabDownloadRetryJobs(db_);
  EXPECT_EQ(Job(job, "Status, RetryCount, StatusDescription, Ahead"),
            "0 | 1 | Job-Reposted | 60");
  for (const char* expected : {"0 | 2", "-1 | 2"}) {
    Exec("UPDATE jobdetails SET Status = -1");
    PostCabDownloadRetryJobs(db_);
    EXPECT_EQ(Job(job, "Status, RetryCount"), expected);
  }

  // The default global patch profile: three times, five hours later.
  Exec("INSERT INTO orbprofilemaster (ProfileID, ProfileName) VALUES "
       "(1, 'Default global patch profile');"
       "INSERT INTO orbprofilevalues (ProfileID, ColumnID, ProfileValues) "
       "VALUES (1, 85, '3'), (1, 86, '5')");
  PostCabDownloadRetryJobs(db_);
  EXPECT_EQ(Job(job, "Status, RetryCount, Ahead"), "0 | 3 | 300");
}

TEST_F(CabDownloadJobsTest, OnlyOneCabDownloadIsActiveAtATime) {
  // A schedule listed twice: its newest failed job is re-posted, which
  // then counts as active and closes the other.
  AddCabSchedule(1);
  int older = AddCabJob(1, -1);
  int newer = AddCabJob(1, -1);
  PostCabDownloadRetryJobs(db_);
  EXPECT_EQ(Job(newer, "Status, StatusDescription"), "0 | Job-Reposted");
  EXPECT_EQ(Job(older, "Status"), "1");

  // A download of any site in any active state closes a failed job.
  Exec(Format("UPDATE jobdetails SET Status = 2, SiteID = 7 WHERE JobID = %d",
              newer));
  AddCabSchedule(3);
  int failed = AddCabJob(3, -1);
  PostCabDownloadRetryJobs(db_);
  EXPECT_EQ(Job(failed, "Status, RetryCount, StatusDescription, "
                        "FinishedTime IS NOT NULL"),
            "1 | 0 | The CAB file download job for the system is already "
            "scheduled. | 1");
}

}  // namespace
}  // namespace patchtest
