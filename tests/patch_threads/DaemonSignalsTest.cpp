// The patch job threads inside the running scheduler, woken by the main
// loop's signals. Real time: the threads' own waits (five minutes, one
// minute) are far longer than the tests, so every wake seen is a signal's.
#include <memory>

#include "DaemonProcess.h"
#include "TestDatabase.h"

namespace patchtest {
namespace {

using korbtest::CountInLog;
using korbtest::DaemonLog;
using korbtest::WaitForLog;
using std::chrono::seconds;

const char kWoken[] = "Event occured";
const char kPosterPassEnd[] = "InternalDeployJobPoster: WaitTimeout";

class DaemonSignalsTest : public korbtest::DbTest {
 protected:
  // Starts the scheduler and waits until both patch job threads wait on
  // their events and the poster has finished its first pass.
  void StartDaemon(int mspFlag) {
    korbtest::Identity identity;
    identity.msp_flag = mspFlag;
    SetMainIdentity(identity);
    Exec("INSERT INTO jobhandlermaster (HostName, PortNumber) VALUES "
         "('127.0.0.1', 7301);"
         "REPLACE INTO configsettings VALUES ('LOG_LEVEL', '4'), "
         "('LOG_SIZE', '50000000'), ('PATCH_SCAN_STATUS', '1')");
    korbtest::DaemonOptions options;
    options.time_scale = 1;
    daemon_ = std::make_unique<korbtest::DaemonProcess>(options);
    ASSERT_TRUE(WaitForLog("PostAutomationScheduleJobs:: -- Started --",
                           seconds(60)))
        << DaemonLog();
    ASSERT_TRUE(WaitForLog("Waiting for event!!!", seconds(60), 2));
    ASSERT_TRUE(WaitForLog(mspFlag ? "InternalDeployJobPoster: Entry"
                                   : "InternalDeployJobPoster: No jobs are "
                                     "there to deploy for agentless nodes",
                           seconds(60)));
  }
  void TearDown() override {
    if (daemon_) {
      daemon_->Send(1);
      int code = -1;
      EXPECT_TRUE(daemon_->WaitExit(seconds(30), &code)) << DaemonLog();
      EXPECT_EQ(code, 0);
    }
    DbTest::TearDown();
  }
  std::unique_ptr<korbtest::DaemonProcess> daemon_;
};

TEST_F(DaemonSignalsTest, PatchSignalsWakeTheThreadsTheyAreFor) {
  ASSERT_NO_FATAL_FAILURE(StartDaemon(0));
  ASSERT_EQ(CountInLog(kWoken), 0);

  // WMI patch job signal: both patch job threads at once.
  daemon_->Send(4, 0, 0, 0);
  ASSERT_TRUE(WaitForLog(kWoken, seconds(10), 2)) << DaemonLog();
  EXPECT_TRUE(WaitForLog("PerformPatchJobs:: Completed Scheduled jobs posting",
                         seconds(10), 2));

  // SSH variant: no wake. The download signal behind it shows when the
  // loop has handled both.
  const int posterPasses = CountInLog(kPosterPassEnd);
  daemon_->Send(4, 0, 0, 4);
  daemon_->Send(17);
  ASSERT_TRUE(WaitForLog(kPosterPassEnd, seconds(10), posterPasses + 1))
      << DaemonLog();
  EXPECT_EQ(CountInLog(kWoken), 2);
}

TEST_F(DaemonSignalsTest, InMspModeThePatchSignalsWakeNothing) {
  ASSERT_NO_FATAL_FAILURE(StartDaemon(1));
  const int posterPasses = CountInLog(kPosterPassEnd);

  daemon_->Send(4, 0, 0, 0);
  daemon_->Send(17);
  ASSERT_TRUE(WaitForLog("SH_PATCH_DOWNLOAD_SUCCESS signal Received.",
                         seconds(10)));
  // A wake would show within milliseconds; give it a second.
  EXPECT_FALSE(WaitForLog(kWoken, seconds(1)));
  EXPECT_EQ(CountInLog(kPosterPassEnd), posterPasses);
}

}  // namespace
}  // namespace patchtest
