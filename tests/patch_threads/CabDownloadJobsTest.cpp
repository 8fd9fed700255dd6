// CAB file download jobs: posting a due schedule and the retries.
#include <string>

#include "PatchThreadTest.h"
#include "PatchThreads.h"

namespace patchtest {
namespace {

class CabDownloadJobsTest : public PatchThreadTest {
 protected:
  void AddCabSchedule(int schedularId, int siteId = 1) {
    Exec("INSERT INTO jobsmaster (SchedularID, SiteID, JobScheduledType) "
         "VALUES (" + std::to_string(schedularId) + ", " +
         std::to_string(siteId) + ", 1);"
         "INSERT INTO jobsmasterdetail (SchedularID, SystemID, JobTypeID) "
         "VALUES (" + std::to_string(schedularId) + ", 1, 10037)");
  }
  // A CAB download job; returns its JobID.
  int AddCabJob(int schedularId, int status, int retryCount = 0,
                int siteId = 1) {
    Exec("INSERT INTO jobdetails (SiteID, SchedularID, JobTypeID, SystemID, "
         "Status, RetryCount, ScheduleTime) VALUES (" +
         std::to_string(siteId) + ", " + std::to_string(schedularId) +
         ", 10037, 1, " + std::to_string(status) + ", " +
         std::to_string(retryCount) + ", '2024-01-01 00:00:00')");
    return std::stoi(Scalar("SELECT MAX(JobID) FROM jobdetails"));
  }
  std::string Job(int jobId, const std::string& columns) {
    korbtest::Rows rows = Query("SELECT " + columns +
                                " FROM jobdetails WHERE JobID = " +
                                std::to_string(jobId));
    std::string text;
    for (const std::string& value : rows.at(0)) {
      if (!text.empty()) text += " | ";
      text += value;
    }
    return text;
  }
  // Minutes from now to the job's schedule time.
  long MinutesAhead(int jobId) {
    return std::stol(Scalar(
        "SELECT ROUND(TIMESTAMPDIFF(SECOND, NOW(), ScheduleTime) / 60) FROM "
        "jobdetails WHERE JobID = " + std::to_string(jobId)));
  }
  void SetRetryProfile(const std::string& limit, const std::string& hours) {
    Exec("INSERT INTO orbprofilemaster (ProfileID, ProfileName) VALUES "
         "(1, 'Default global patch profile');"
         "INSERT INTO orbprofilevalues (ProfileID, ColumnID, ProfileValues) "
         "VALUES (1, 85, '" + limit + "'), (1, 86, '" + hours + "')");
  }
};

TEST_F(CabDownloadJobsTest, PostingFailsOnlyTheScheduleWaitingAndRedoJobs) {
  AddCabSchedule(1);
  int waiting = AddCabJob(1, 0);
  int redo = AddCabJob(1, -3);
  int unfinished = AddCabJob(1, 2);
  int running = AddCabJob(1, 3);
  int otherSchedule = AddCabJob(2, 0);

  PostCabFileDownloadJob(1, "2031-02-03 04:05:06", db_);

  EXPECT_EQ(Job(waiting, "Status, FinishedTime IS NOT NULL"), "-1 | 1");
  EXPECT_EQ(Job(redo, "Status, FinishedTime IS NOT NULL"), "-1 | 1");
  EXPECT_EQ(Job(unfinished, "Status, FinishedTime IS NULL"), "2 | 1");
  EXPECT_EQ(Job(running, "Status, FinishedTime IS NULL"), "3 | 1");
  EXPECT_EQ(Job(otherSchedule, "Status"), "0");
  // The new job: system 1 at priority 3000 under a fresh operation ID. Jobs
  // 3 and 4 are still open, so the record's own check files it closed.
  int posted = std::stoi(Scalar("SELECT MAX(JobID) FROM jobdetails"));
  EXPECT_EQ(Job(posted, "SchedularID, JobTypeID, SystemID, JobPriority, "
                        "OperationID, Status"),
            "1 | 10037 | 1 | 3000 | 1 | 1");
}

TEST_F(CabDownloadJobsTest, WithoutProfileAFailedJobIsRepostedTwiceAnHourLater) {
  AddCabSchedule(1);
  int job = AddCabJob(1, -1);

  PostCabDownloadRetryJobs(db_);
  EXPECT_EQ(Job(job, "Status, RetryCount, StatusDescription"),
            "0 | 1 | Job-Reposted");
  EXPECT_NEAR(MinutesAhead(job), 60, 1);

  Exec("UPDATE jobdetails SET Status = -1");
  PostCabDownloadRetryJobs(db_);
  EXPECT_EQ(Job(job, "Status, RetryCount"), "0 | 2");

  Exec("UPDATE jobdetails SET Status = -1");
  PostCabDownloadRetryJobs(db_);
  EXPECT_EQ(Job(job, "Status, RetryCount"), "-1 | 2");
}

TEST_F(CabDownloadJobsTest, ProfileSetsRetryLimitAndDelay) {
  SetRetryProfile("3", "5");
  AddCabSchedule(1);
  int job = AddCabJob(1, -1, 2);

  PostCabDownloadRetryJobs(db_);

  EXPECT_EQ(Job(job, "Status, RetryCount"), "0 | 3");
  EXPECT_NEAR(MinutesAhead(job), 300, 1);
}

TEST_F(CabDownloadJobsTest, AnotherActiveCabDownloadClosesTheFailedJob) {
  AddCabSchedule(1);
  int failed = AddCabJob(1, -1);
  AddCabJob(9, 2, 0, 7);  // any schedule, any site

  PostCabDownloadRetryJobs(db_);

  EXPECT_EQ(Job(failed, "Status, RetryCount, StatusDescription, "
                        "FinishedTime IS NOT NULL"),
            "1 | 0 | The CAB file download job for the system is already "
            "scheduled. | 1");
}

TEST_F(CabDownloadJobsTest, ScheduleListedTwiceRepostsNewestAndClosesNext) {
  AddCabSchedule(1);
  int older = AddCabJob(1, -1);
  int newer = AddCabJob(1, -1);

  PostCabDownloadRetryJobs(db_);

  EXPECT_EQ(Job(newer, "Status, StatusDescription"), "0 | Job-Reposted");
  EXPECT_EQ(Job(older, "Status"), "1");
}

}  // namespace
}  // namespace patchtest
