// PostAutomationScheduleJobs: the automation schedule thread.
//
// Owns two interval times (last job submission, last patch-management
// schedule), both kept only on its own stack, so every start submits at
// once. Nothing wakes it: it sleeps a scaled 10 s per iteration and
// compares the process clock. It shares the main database object and the
// two submit locks (taken inside the runners) with the main loop.
//
// A job submission and the distribution that follows it are one unit of
// work for an orderly end, and so is the patch management schedule: the
// end waits for them, and neither starts once the workers were asked to
// stop.
#include <cstdint>

#include "ProcedureRunners.h"
#include "ProcessState.h"
#include "WorkerStop.h"
#include "scheduler_metrics.h"

namespace {

constexpr int64_t kJobSubmitInterval = 60;
constexpr int64_t kPatchMgmtInterval = 180;
constexpr uint32_t kIterationSleepMs = 10000;

}  // namespace

uint32_t PostAutomationScheduleJobs() {
  KLOG(8, "PostAutomationScheduleJobs:: -- Started --");
  metrics::SetFanOutKind("PostAutomationScheduleJobs");
  int64_t lastJobsTime = 0;
  int64_t lastPatchMgmtTime = 0;
  for (;;) {
    try {
      // Taken before the work, so a long call shortens the next wait; after
      // the clock was set back the difference stays negative until it
      // passes the old time again.
      const int64_t now = Clock::NowSeconds();
      if (now - lastJobsTime >= kJobSubmitInterval) {
        WorkUnit unit("PostAutomationScheduleJobs: job submission and its distribution");
        if (unit.Started()) {
          KLOG(8, "PostAutomationScheduleJobs - ::Call to ScheduleJobs[TASK_TYPE_ID_JOBS]::");
          ScheduleJobs(3);
          lastJobsTime = now;
        }
      }
      if (g_pDBI->m_nMSPFlag == 0 && now - lastPatchMgmtTime >= kPatchMgmtInterval) {
        WorkUnit unit("PostAutomationScheduleJobs: patch management schedule");
        if (unit.Started()) {
          ScheduleSSHPatchMgmt();
          lastPatchMgmtTime = now;
        }
      }
      Clock::SleepScaled(kIterationSleepMs);
    } catch (...) {
      KLOG(2, "PostAutomationScheduleJobs:: (--Exception Caught--)");
      Clock::SleepScaled(kIterationSleepMs);
    }
  }
}
