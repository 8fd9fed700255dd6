// The main loop. It owns the worker thread records and the signal record,
// blocks in the signal receiver's one wait (datagrams and the 17 timeout
// deadlines together), and runs exactly one handler per wait result. It
// ends in four ways: end signal or daily restart (after the teardown),
// vanished supervisor and lost database connection (without it); SIGTERM
// and SIGINT count as an end signal.
#include "MainScheduler.h"

#include "Initialization.h"
#include "LoopDispatch.h"
#include "LoopProgress.h"
#include "OrderlyEnd.h"
#include "scheduler_metrics.h"
#include "PatchThreads.h"
#include "ProcedureRunners.h"
#include "ProcessState.h"
#include "SignalFloodLines.h"
#include "TerminationRequest.h"
#include "ThreadSupervision.h"

namespace {

constexpr int kEventCount = 17;
constexpr int kSupervisionEvent = 5;

// Makes the regular work due at once after a start instead of one period
// later; install types other than 1 and 2 run without the monitoring,
// performance and event log distributions.
void ArmTimeoutEvents(CSignalHandler& signals) {
  if (RunsFullPeriodicWork()) {
    for (int event : {8, 16, 14, 12, 7, 13, 15, 9, 10, 11})
      signals.ResetEvent(event);
  } else {
    for (int event : {16, 14, 12, 7, 15}) signals.DisableTimeoutEvent(event);
  }
}

LoopStep EndOnTerminationRequest(int signo) {
  KLOG(KORB_LOG_INFO,
       "Termination signal %d received; ending as on an end signal", signo);
  EndInOrder();
  return LoopEnds(0);
}

// A peer can fail a receive with every datagram it sends; datagrams of
// the wrong length and real socket errors are limited apart, so a junk
// flood cannot hide an error.
LogRateLimiter g_receiveFailureLines;

LoopStep Dispatch(int waitResult, const CSignalInfo& info,
                  LoopContext& context) {
  if (waitResult == -1) {
    const bool length = context.signals.LastFailure() == ReceiveFailure::kLength;
    KORBLogLimited(g_pLogger, g_receiveFailureLines, length ? "length" : "receive_error",
                   __LINE__, KORB_LOG_SOURCE, KORB_LOG_ERROR,
                   "Signal Handler receival failed");
    return kLoopGoesOn;
  }
  if (waitResult == 0) return DispatchNetworkSignal(info, context);
  if (waitResult >= 1 && waitResult <= kEventCount)
    return DispatchTimeoutEvent(waitResult, context);
  KLOG(KORB_LOG_ERROR, "Unknown event received in Signal Handler. Type=%d",
       ToInt(info.GetSignalType()));
  return kLoopGoesOn;
}

}  // namespace

int MainScheduler() {
  CSignalHandler& signals = *g_pSignalHandler;
  CSignalInfo info;
  signals.ResetEvent(17);
  signals.ResetEvent(4);

  // g_csScheduleJobs and g_csSubmitScheduleJobs are ready from their
  // construction; nothing to initialise before the threads use them.
  ThreadMap threads;
  StartWorkerThread(threads, PerformPatchJobs);
  StartWorkerThread(threads, PerformOndemandPatchJobs);
  StartWorkerThread(threads, InternalDeployJobPoster);
  ArmTimeoutEvents(signals);
  StartWorkerThread(threads, PostAutomationScheduleJobs);

  SetTerminationWakeTarget(&signals);
  // A main connection lost for good is acted on by the supervision tick's
  // database check at once, not up to one period later: the process ends
  // and its supervisor starts it again.
  CDBI::SetConnectionLostHandler([] { MakeEventDueNow(kSupervisionEvent); });
  if (g_pDBI->m_bConnectionError) signals.ResetEvent(kSupervisionEvent);
  LoopContext context{signals, threads};
  // Event 17 is never disabled, so no wait lasts longer than its period.
  const uint64_t longestWaitMs = Clock::ScaledMs(TimeoutPeriods()[kEventCount - 1] * 1000ULL);
  for (;;) {
    if (int signo = PendingTerminationSignal(); signo != 0)
      return EndOnTerminationRequest(signo).result;
    metrics::LoopWaiting(true);
    NoteLoopProgress(longestWaitMs);
    int waitResult = signals.WaitForSignal(info, nullptr);
    metrics::LoopWaiting(false);
    // A termination request wakes the wait through an event; what the
    // wait returned then is not acted on.
    if (int signo = PendingTerminationSignal(); signo != 0)
      return EndOnTerminationRequest(signo).result;
    FlushQuietSignalTypes();
    LoopStep step = Dispatch(waitResult, info, context);
    if (step.end) {
      // The teardown has already cleared the wake target where it ran.
      SetTerminationWakeTarget(nullptr);
      return step.result;
    }
  }
}
