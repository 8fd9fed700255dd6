// A worker thread that failed and was started again by the supervision
// tick is counted under its routine's name.
#include <unistd.h>

#include "../patch_threads/PatchThreadTest.h"
#include "MetricsTest.h"
#include "ThreadSupervision.h"

namespace metricstest {
namespace {

using WorkerRestartCountTest = patchtest::PatchThreadTest;

TEST_F(WorkerRestartCountTest, RestartCountedForTheThreadThatEnded) {
  g_szSupervisorExeName = korbtest::OwnExecutableName();
  g_nSupervisorPid = static_cast<int>(getpid());
  SeriesDelta patch("korb_worker_thread_restarts_total{thread=\"PerformPatchJobs\"}");
  SeriesDelta others("korb_worker_thread_restarts_total{thread=\"other\"}");
  ThreadMap threads;
  ASSERT_TRUE(StartWorkerThread(threads, PerformPatchJobs));
  patchtest::Thread first = threads.begin()->second.thread;
  Adopt("PerformPatchJobs", first);
  ASSERT_TRUE(WaitForLog("Waiting for event!!!", 1));

  InjectPatchThreadFaultForTest("PerformPatchJobs");
  g_hPatchJobEvent.Set();
  ASSERT_TRUE(korbtest::WaitFor([&] { return Ended(first); }, patchtest::seconds(10)));
  InjectPatchThreadFaultForTest("");
  EXPECT_EQ(SupervisionTick(threads), SupervisionResult::kContinue);
  ASSERT_EQ(threads.size(), 1u);
  Adopt("PerformPatchJobs", threads.begin()->second.thread);
  EXPECT_EQ(patch.Get(), 1);
  EXPECT_EQ(others.Get(), 0);

  // A tick with every thread running restarts and counts nothing.
  EXPECT_EQ(SupervisionTick(threads), SupervisionResult::kContinue);
  EXPECT_EQ(patch.Get(), 1);
}

}  // namespace
}  // namespace metricstest
