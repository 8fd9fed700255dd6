// A patch job thread that fails ends with -1 and is started again by the
// supervision tick, with a fresh event, and goes on posting.
#include <unistd.h>

#include "PatchThreadTest.h"
#include "ThreadSupervision.h"

namespace patchtest {
namespace {

using ThreadFailureTest = PatchThreadTest;

TEST_F(ThreadFailureTest, SupervisionRestartsAFailedThreadWhichResumesPosting) {
  g_szSupervisorExeName = korbtest::OwnExecutableName();
  g_nSupervisorPid = static_cast<int>(getpid());
  ThreadMap threads;
  ASSERT_TRUE(StartWorkerThread(threads, PerformPatchJobs));
  Thread first = threads.begin()->second.thread;
  Adopt("PerformPatchJobs", first);
  ASSERT_TRUE(WaitForLog("Waiting for event!!!", 1));
  auto firstEvent = g_hPatchJobEvent.Load();

  InjectPatchThreadFaultForTest("PerformPatchJobs");
  g_hPatchJobEvent.Set();
  ASSERT_TRUE(korbtest::WaitFor([&] { return Ended(first); }, seconds(10)));
  InjectPatchThreadFaultForTest("");
  uint32_t code = 0;
  EXPECT_TRUE(Ended(first, &code));
  EXPECT_EQ(code, 0xFFFFFFFFu);

  // A CAB schedule falls due while the thread is down.
  Exec("INSERT INTO jobsmaster (SchedularID, JobScheduledType, "
       "SchedularInfoID) VALUES (1, 1, 11);"
       "INSERT INTO jobsmasterdetail (SchedularID, JobTypeID) VALUES "
       "(1, 10037)");
  SetNextScheduleAnswer(11, "2031-02-03 04:05:06|1");

  EXPECT_EQ(SupervisionTick(threads), SupervisionResult::kContinue);
  ASSERT_EQ(threads.size(), 1u);
  Adopt("PerformPatchJobs", threads.begin()->second.thread);
  EXPECT_TRUE(korbtest::WaitFor(
      [&] {
        return Count("SELECT * FROM jobdetails WHERE SchedularID = 1") == 1;
      },
      seconds(10)));
  EXPECT_NE(g_hPatchJobEvent.Load(), firstEvent);
}

}  // namespace
}  // namespace patchtest
