// The patch job threads inside the running scheduler, woken by the main
// loop's signals. Real time: the threads' own waits (five minutes, one
// minute) are far longer than the tests, so every wake seen is a signal's.
#include <memory>
#include <string>

#include "DaemonProcess.h"
#include "TestDatabase.h"

namespace patchtest {
namespace {

using korbtest::CountInLog;
using korbtest::DaemonLog;
using korbtest::WaitForLog;
using std::chrono::seconds;

const char kLoopRunning[] = "PostAutomationScheduleJobs:: -- Started --";
const char kPosterWoken[] = "InternalDeployJobPoster: WaitTimeout";

class DaemonSignalsTest : public korbtest::DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    Exec("INSERT INTO jobhandlermaster (HostName, PortNumber) VALUES "
         "('127.0.0.1', 7301);"
         "REPLACE INTO configsettings VALUES ('LOG_LEVEL', '4'), "
         "('LOG_SIZE', '50000000'), ('PATCH_SCAN_STATUS', '1')");
  }
  // Starts the scheduler and waits until both patch job threads wait on
  // their events and the poster has finished its first pass.
  void StartDaemon(korbtest::DaemonProcess** out) {
    korbtest::DaemonOptions options;
    options.time_scale = 1;
    daemon_ = std::make_unique<korbtest::DaemonProcess>(options);
    *out = daemon_.get();
    ASSERT_TRUE(WaitForLog(kLoopRunning, seconds(60))) << DaemonLog();
    ASSERT_TRUE(WaitForLog("Waiting for event!!!", seconds(60), 2))
        << DaemonLog();
    ASSERT_TRUE(WaitForLog("InternalDeployJobPoster: Entry", seconds(60)));
  }
  void TearDown() override {
    if (daemon_) {
      daemon_->Send(1);
      int code = -1;
      EXPECT_TRUE(daemon_->WaitExit(seconds(30), &code)) << DaemonLog();
      EXPECT_EQ(code, 0);
      daemon_.reset();
    }
    DbTest::TearDown();
  }

 private:
  std::unique_ptr<korbtest::DaemonProcess> daemon_;
};

TEST_F(DaemonSignalsTest, PatchSignalsWakeTheThreadsTheyAreFor) {
  korbtest::DaemonProcess* daemon = nullptr;
  ASSERT_NO_FATAL_FAILURE(StartDaemon(&daemon));
  ASSERT_TRUE(WaitForLog("InternalDeployJobPoster: No jobs are there to "
                         "deploy for agentless nodes",
                         seconds(60)));
  ASSERT_EQ(CountInLog("Event occured"), 0);

  // WMI patch job signal: both patch job threads at once.
  daemon->Send(4, 0, 0, 0);
  ASSERT_TRUE(WaitForLog("Event occured", seconds(10), 2)) << DaemonLog();
  EXPECT_EQ(CountInLog("WMI_PATCH_MGMT_JOB_SIGNAL Received."), 1);
  EXPECT_TRUE(WaitForLog("PerformPatchJobs:: Completed Scheduled jobs posting",
                         seconds(10), 2));

  // SSH variant: no wake. The download signal behind it shows when the
  // loop has handled both.
  const int posterPasses = CountInLog(kPosterWoken);
  daemon->Send(4, 0, 0, 4);
  daemon->Send(17);
  ASSERT_TRUE(WaitForLog(kPosterWoken, seconds(10), posterPasses + 1))
      << DaemonLog();
  EXPECT_EQ(CountInLog("SSH_PATCH_MGMT_JOB_SIGNAL received!!"), 1);
  EXPECT_EQ(CountInLog("SH_PATCH_DOWNLOAD_SUCCESS signal Received."), 1);
  EXPECT_EQ(CountInLog("Event occured"), 2);
}

TEST_F(DaemonSignalsTest, InMspModeThePatchSignalsWakeNothing) {
  korbtest::Identity identity;
  identity.msp_flag = 1;
  SetMainIdentity(identity);
  korbtest::DaemonProcess* daemon = nullptr;
  ASSERT_NO_FATAL_FAILURE(StartDaemon(&daemon));
  const int posterPasses = CountInLog(kPosterWoken);

  daemon->Send(4, 0, 0, 0);
  daemon->Send(17);
  ASSERT_TRUE(WaitForLog("SH_PATCH_DOWNLOAD_SUCCESS signal Received.",
                         seconds(10)));
  EXPECT_EQ(CountInLog("SH_PATCH_JOB_SIGNAL Received."), 1);
  // A wake would show within milliseconds; give it a second.
  EXPECT_FALSE(WaitForLog("Event occured", seconds(1)));
  EXPECT_EQ(CountInLog(kPosterWoken), posterPasses);
  EXPECT_EQ(CountInLog("WMI_PATCH_MGMT_JOB_SIGNAL Received."), 0);
}

}  // namespace
}  // namespace patchtest
