// Network signals from other suite modules. Most of them announce new work
// for the task distribution and end by making the new-job signalling
// (event 17) due at once, so the probes hear of the work without waiting
// for its 20-second period.
#include "Initialization.h"
#include "LoopDispatch.h"
#include "OrderlyEnd.h"
#include "ProcedureRunners.h"
#include "ProcessState.h"
#include "SignalFloodLines.h"
#include "scheduler_metrics.h"

namespace {

constexpr int kNewJobSignallingEvent = 17;
constexpr long kSshPatchSubType = 4;

struct NetworkSignal {
  long type;
  long id;
  long sub_type;
  bool logged;  // false: a flood holds its lines back
};

LoopStep EndSignal(const NetworkSignal&, LoopContext&) {
  EndInOrder();
  return LoopEnds(0);
}

LoopStep PatchJobSignal(const NetworkSignal& signal, LoopContext&) {
  if (IsMSPServer()) return kLoopGoesOn;
  if (signal.sub_type == kSshPatchSubType) {
    if (signal.logged) KLOG(KORB_LOG_INFO, "SSH_PATCH_MGMT_JOB_SIGNAL received!!");
    ScheduleSSHPatchMgmt();
  } else {
    if (signal.logged) KLOG(KORB_LOG_INFO, "WMI_PATCH_MGMT_JOB_SIGNAL Received.");
    g_hPatchJobEvent.Set();
    g_hOndemandPatchJobEvent.Set();
  }
  return kLoopGoesOn;
}

LoopStep PatchDownloadSuccessSignal(const NetworkSignal&, LoopContext&) {
  if (!IsMSPServer()) g_hInternalDeployEvent.Set();
  return kLoopGoesOn;
}

LoopStep ScheduleJobSignal(const NetworkSignal&, LoopContext& context) {
  ScheduleJobs(3);
  context.signals.ResetEvent(kNewJobSignallingEvent);
  return kLoopGoesOn;
}

// A client that starts or shuts down changes which probe should carry
// which task, so every distributed task type is redistributed.
void RedistributeAfterClientChange(LoopContext& context) {
  ScheduleJobs(1);
  ScheduleJobs(2);
  ScheduleJobs(3);
  Load_Distribution(5);
  Load_Distribution(9);
  Load_Distribution(14);
  context.signals.ResetEvent(kNewJobSignallingEvent);
}

LoopStep ClientStartUpSignal(const NetworkSignal&, LoopContext& context) {
  RedistributeAfterClientChange(context);
  return kLoopGoesOn;
}

LoopStep ClientShutdownSignal(const NetworkSignal&, LoopContext& context) {
  RedistributeAfterClientChange(context);
  return kLoopGoesOn;
}

LoopStep DistributeSignal(const NetworkSignal&, LoopContext& context) {
  Load_Distribution(3);
  context.signals.ResetEvent(kNewJobSignallingEvent);
  return kLoopGoesOn;
}

LoopStep DataDiscoverySignal(const NetworkSignal&, LoopContext& context) {
  ScheduleJobs(1);
  context.signals.ResetEvent(kNewJobSignallingEvent);
  return kLoopGoesOn;
}

// A type's own line (when it has one) follows the receipt line before
// its handler runs.
struct SignalRoute {
  long type;
  LoopStep (*handler)(const NetworkSignal&, LoopContext&);
  int level = 0;
  const char* line = nullptr;
};

constexpr SignalRoute kSignalRoutes[] = {
    {1, EndSignal},  // end of the process
    {4, PatchJobSignal, KORB_LOG_INFO, "SH_PATCH_JOB_SIGNAL Received."},
    {5, ScheduleJobSignal, KORB_LOG_INFO,
     "MainScheduler:: Network event came for SH_SCHEDULE_JOB_SIGNAL"},
    {7, DataDiscoverySignal, KORB_LOG_TRACE,
     "SH_DATA_DISCOVERY_SIGNAL from discovery."},
    {10, ClientStartUpSignal, KORB_LOG_INFO,
     "Master received client start up signal."},
    {11, ClientShutdownSignal, KORB_LOG_INFO,
     "Master received client Shutdown signal."},
    {13, DistributeSignal, KORB_LOG_INFO, "SH_DISTRIBUTE_TASKS"},
    {14, DistributeSignal},  // no line of its own
    {17, PatchDownloadSuccessSignal, KORB_LOG_INFO,
     "SH_PATCH_DOWNLOAD_SUCCESS signal Received."},
};

const SignalRoute* FindRoute(long type) {
  for (const SignalRoute& route : kSignalRoutes)
    if (route.type == type) return &route;
  return nullptr;
}

// Any host that reaches the port can send signals of unknown types as fast
// as it likes; their lines are written a few at a time.
LogRateLimiter g_unknownSignalLines;

void LogUnknownSignal(const NetworkSignal& signal, int shownType) {
  if (g_pLogger == nullptr || !g_pLogger->IsEnabled(KORB_LOG_WARNING)) return;
  const LogRateLimiter::Decision decision = g_unknownSignalLines.Admit();
  if (!decision.write) return;
  CLogger::LineGroup lines(g_pLogger);
  KLOG(KORB_LOG_INFO, "NETWORK SIGNAL RECEIVED. Type %d", shownType);
  KLOG(KORB_LOG_WARNING, "Unknown signal. Type %ld ID %ld", signal.type,
       signal.id);
  if (decision.suppressed > 0)
    KLOG(KORB_LOG_WARNING, "%llu more lines like the one above were suppressed",
         static_cast<unsigned long long>(decision.suppressed));
}

}  // namespace

// Fields are read as atol reads them, into a 64-bit long: a 16-byte field
// cannot overflow it, so a type beyond 32 bits never wraps onto a known
// one. The receipt line's %d shows such a type saturated.
LoopStep DispatchNetworkSignal(const CSignalInfo& info, LoopContext& context) {
  NetworkSignal signal{ToLong(info.GetSignalType()), ToLong(info.GetSignalID()),
                       ToLong(info.GetSubType()), true};
  const int shownType = ToInt(info.GetSignalType());
  const uint64_t repeats = context.signals.LastSignalRepeats();
  metrics::SignalReceived(signal.type);
  metrics::SignalsCoalesced(signal.type, repeats);
  const SignalRoute* route = FindRoute(signal.type);
  if (route == nullptr) {
    LogUnknownSignal(signal, shownType);
    return kLoopGoesOn;
  }
  signal.logged = AdmitSignalLines(signal.type, repeats);
  if (signal.logged) {
    // Both lines with one write; nothing runs between them.
    CLogger::LineGroup lines(g_pLogger);
    KLOG(KORB_LOG_INFO, "NETWORK SIGNAL RECEIVED. Type %d", shownType);
    if (route->line != nullptr) KLOG(route->level, "%s", route->line);
  }
  const LoopStep step = route->handler(signal, context);
  if (signal.logged) SignalLinesWritten(signal.type);
  return step;
}
