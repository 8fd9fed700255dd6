// The scheduler killed, or cut off from its database, in the middle of a
// posting. After a kill and a restart no system holds two open jobs of
// one type from one schedule, the restart recovery rows are as before,
// and the re-posting completes what was missing. A database that goes
// away stops the posting at once, and the supervision tick ends the
// process.
#include <signal.h>

#include "PostingEndTest.h"

namespace spinetest {
namespace {

using korbtest::CountInLog;
using korbtest::DaemonLog;
using korbtest::DaemonOptions;
using korbtest::DaemonProcess;

constexpr int kTargets = 400;
constexpr char kRecoveryRuns[] = "running restart recovery";

using CrashDuringPostingTest = PostingEndTest;

TEST_F(CrashDuringPostingTest, KilledScanAndDeployPostingsAreCompletedWithoutDuplicates) {
  AddSystems(kTargets);
  AddListedScanSchedule(kTargets);
  AddDeploySchedule();

  // Killed in the middle of the scan posting, which the on-demand thread
  // runs before the deploy posting.
  {
    DaemonProcess daemon;
    ASSERT_TRUE(WaitForJobs(kScanSchedule, 10)) << DaemonLog();
    HoldTaskLookups();
    daemon.SendSignal(SIGKILL);
    EXPECT_EQ(ExitCodeOf(daemon), 128 + SIGKILL);
    ReleaseTaskLookups();
    WaitForOrphanedStatements();
  }
  const long scans_before = Jobs(kScanSchedule, "Status = 0");
  ASSERT_LT(scans_before, kTargets);
  EXPECT_EQ(Jobs(kDeploySchedule), 0);

  // Started again: the scan posting is done once more, then the deploy
  // posting starts and is killed in its middle.
  {
    DaemonProcess daemon;
    ASSERT_TRUE(WaitForJobs(kDeploySchedule, 10)) << DaemonLog();
    HoldDeployLock();
    daemon.SendSignal(SIGKILL);
    EXPECT_EQ(ExitCodeOf(daemon), 128 + SIGKILL);
    ReleaseDeployLock();
    WaitForOrphanedStatements();
  }
  EXPECT_TRUE(Submitted(kScanSchedule));
  // Only the targets the killed pass did not reach were posted again.
  EXPECT_EQ(Jobs(kScanSchedule, "Status = 0"), kTargets);
  EXPECT_EQ(Jobs(kScanSchedule), kTargets);
  EXPECT_EQ(SystemsWithTwoOpenJobs(kScanSchedule), 0);
  const long deploys_before = Jobs(kDeploySchedule, "Status = 0");
  ASSERT_LT(deploys_before, kTargets);

  // The recovery fails the open deploy jobs of the cut pass, then every
  // target is posted once more.
  std::filesystem::remove(korbtest::DaemonLogPath());
  DaemonProcess daemon;
  ExpectRunning(daemon);
  EXPECT_EQ(CountInLog(kRecoveryRuns), 1);
  ASSERT_TRUE(korbtest::WaitFor([&] { return Submitted(kDeploySchedule); }, kStartTimeout))
      << DaemonLog();
  EXPECT_EQ(Jobs(kDeploySchedule, "Status = -1 and StatusDescription = "
                                  "'Job Failed as KovaOrb Restarted'"),
            deploys_before);
  EXPECT_EQ(Jobs(kDeploySchedule, "Status = 0"), kTargets);
  EXPECT_EQ(SystemsWithTwoOpenJobs(kDeploySchedule), 0);

  // Killed after the postings: nothing is posted again.
  daemon.SendSignal(SIGKILL);
  EXPECT_EQ(ExitCodeOf(daemon), 128 + SIGKILL);
  const long all_jobs = Count("select count(*) from jobdetails");
  DaemonProcess again;
  ExpectRunning(again);
  ASSERT_TRUE(korbtest::WaitForLog("PostOnDemandJobs - No records found", kStartTimeout));
  EXPECT_EQ(Count("select count(*) from jobdetails"), all_jobs);
  EXPECT_EQ(SystemsWithTwoOpenJobs(kScanSchedule), 0);
}

TEST_F(CrashDuringPostingTest, DatabaseStoppedMidPostingStopsThePostingAndTheProcess) {
  AddSystems(kTargets);
  AddDeploySchedule();
  SetConfig("LOG_LEVEL", "4");
  DaemonOptions options;
  options.time_scale = 1000;  // supervision tick every 0.9 s
  DaemonProcess daemon(options);
  ASSERT_TRUE(WaitForJobs(kDeploySchedule, 10)) << DaemonLog();
  HoldDeployLock();
  korbtest::MariaDbServer::Instance().Stop();
  EXPECT_EQ(ExitCodeOf(daemon), 0);
  korbtest::MariaDbServer::Instance().Start();

  EXPECT_EQ(CountInLog("Encountered the DB connection error!!!"), 1);
  EXPECT_EQ(CountInLog("PostDeployJob: database connection lost; posting of SchedularID:7 "
                       "stopped"),
            1);
  // At most the held submission and the one after the reconnect failed
  // reached the server's error path: no run of statements into errors.
  EXPECT_LE(CountInLog("Statement: call Submitpatchdeployjobs"), 2) << DaemonLog();
  // Nothing was marked submitted, so the next start posts it again.
  EXPECT_FALSE(Submitted(kDeploySchedule));
}

}  // namespace
}  // namespace spinetest
