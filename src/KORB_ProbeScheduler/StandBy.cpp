#include "StandBy.h"

#include "LoopProgress.h"
#include "MainScheduler.h"
#include "ProcessState.h"
#include "SchedulerLease.h"
#include "SupervisorReadiness.h"
#include "TerminationRequest.h"
#include "ThreadSupervision.h"
#include "scheduler_metrics.h"

namespace {

constexpr long kEndSignal = 1;

}  // namespace

bool StandByUntilActive(CSignalHandler& signals) {
  if (!SchedulerLeaseEnabled()) return true;
  // The keeper's thread wakes the wait below when the lease is granted.
  OnLeaseGranted([&signals] { signals.ResetEvent(17); });
  SetTerminationWakeTarget(&signals);
  // A standby is a started service as far as the service manager is
  // concerned; it says so again when it becomes active.
  NotifySupervisorReady(g_nSupervisorPid);
  CSignalInfo info;
  // Event 17 is never disabled, so no wait lasts longer than its period.
  const uint64_t longestWaitMs = Clock::ScaledMs(TimeoutPeriods()[16] * 1000ULL);
  for (;;) {
    if (LeaseAllowsWork()) {
      OnLeaseGranted(nullptr);
      NoteLeaseWorkStarted();
      return true;
    }
    if (int signo = PendingTerminationSignal(); signo != 0) {
      KLOG(KORB_LOG_INFO, "Termination signal %d received while standing by; ending", signo);
      return false;
    }
    metrics::LoopWaiting(true);
    // The supervisor watches a standby's loop as it watches the active one's.
    NoteLoopProgress(longestWaitMs);
    const int result = signals.WaitForSignal(info, nullptr);
    metrics::LoopWaiting(false);
    if (result == 0 && ToLong(info.GetSignalType()) == kEndSignal) {
      KLOG(KORB_LOG_INFO, "End signal received while standing by; ending");
      return false;
    }
    if (result > 0 && !SupervisorIsAlive()) {
      KLOG(KORB_LOG_INFO, "The supervisor is gone; the standby ends");
      return false;
    }
  }
}
