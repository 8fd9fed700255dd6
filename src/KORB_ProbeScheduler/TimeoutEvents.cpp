// The 17 periodic timeout events as one table: number, period and handler.
// The signal receiver numbers its events by their position in
// TimeoutPeriods(), which is built from this table, so the table is kept
// in event order.
#include <iterator>

#include "AgentReachability.h"
#include "Initialization.h"
#include "LoopDispatch.h"
#include "MainScheduler.h"
#include "MaintenanceEvents.h"
#include "ModuleSignalling.h"
#include "OrderlyEnd.h"
#include "ProcedureRunners.h"
#include "ProcessState.h"
#include "WorkerStop.h"
#include "scheduler_metrics.h"

namespace {

constexpr int kLostConnectionWorkWaitMs = 3000;  // real time

LoopStep InternalRestartEvent(LoopContext&) {
  KLOG(KORB_LOG_INFO, "Process is exiting for Internal Restart");
  EndInOrder();
  return LoopEnds(0);
}

LoopStep PatchJobAuditEvent(LoopContext&) {
  if (!RunsFullPeriodicWork()) return kLoopGoesOn;
  KLOG(KORB_LOG_INFO,
       "Calling Populate AutomationTask Audit Details for patch jobs");
  AutomationTaskAuditProcess(2);
  return kLoopGoesOn;
}

LoopStep AutomationTaskAuditEvent(LoopContext&) {
  if (!RunsFullPeriodicWork()) return kLoopGoesOn;
  KLOG(KORB_LOG_INFO,
       "Calling Populate AutomationTask Audit Details for automation task");
  AutomationTaskAuditProcess(1);
  return kLoopGoesOn;
}

LoopStep AgentUpgradeEvent(LoopContext&) {
  PopulateAgentUpgradeDetailsEvent();
  return kLoopGoesOn;
}

LoopStep SupervisionEvent(LoopContext& context) {
  switch (SupervisionTick(context.threads)) {
    case SupervisionResult::kConnectionLost:
      // Every statement fails at once now; a moment's wait lets each
      // posting reach its next check and log where it stopped.
      RequestWorkerStop();
      WaitForWorkUnits(std::chrono::milliseconds(kLostConnectionWorkWaitMs));
      return LoopEnds(-1);
    case SupervisionResult::kSupervisorGone:
      return LoopEnds(0);
    case SupervisionResult::kContinue:
      break;
  }
  return kLoopGoesOn;
}

LoopStep ProbeScheduleCleanupEvent(LoopContext&) {
  CleanupProbeScheduleEvent();
  return kLoopGoesOn;
}

LoopStep EventLogEvent(LoopContext&) {
  KLOG(KORB_LOG_INFO, "EVENT LOG EVENT OCCURED");
  ScheduleJobs(7);
  return kLoopGoesOn;
}

LoopStep InventorySchedulerEvent(LoopContext&) {
  KLOG(KORB_LOG_INFO, "INV SCHEDULER EVENT OCCURED");
  ScheduleJobs(1);
  ScheduleJobs(14);
  updateAgentStatus();
  return kLoopGoesOn;
}

LoopStep PatchDeployRetryTimeoutEvent(LoopContext&) {
  PatchDeployRetryEvent();
  return kLoopGoesOn;
}

LoopStep SoftwareDeploymentTimeoutEvent(LoopContext&) {
  SoftwareDeploymentEvent();
  return kLoopGoesOn;
}

LoopStep SoftwareMeteringTimeoutEvent(LoopContext&) {
  SoftwareMeteringEvent();
  return kLoopGoesOn;
}

LoopStep JobPingSchedulerEvent(LoopContext&) {
  KLOG(KORB_LOG_INFO, "JOB PING SCHEDULER EVENT OCCURED");
  PingScheduler(6);
  // Reverse-ping bookkeeping exists on the main database only.
  if (!IsMSPServer()) updateUnreachableVpnClients();
  return kLoopGoesOn;
}

LoopStep JobPopulateTimeoutEvent(LoopContext&) {
  JobPopulateEvent();
  return kLoopGoesOn;
}

LoopStep ProcessMonitorEvent5(LoopContext&) {
  KLOG(KORB_LOG_INFO, "PROCESS MON EVENT OCCURED");
  Load_Distribution(5);
  return kLoopGoesOn;
}

LoopStep ProcessMonitorEvent9(LoopContext&) {
  KLOG(KORB_LOG_INFO, "PROCESS MON EVENT OCCURED");
  Load_Distribution(9);
  return kLoopGoesOn;
}

LoopStep PerfSchedulerEvent(LoopContext&) {
  KLOG(KORB_LOG_INFO, "PERF SCHEDULER EVENT OCCURED");
  ScheduleJobs(2);
  ScheduleJobs(15);
  return kLoopGoesOn;
}

LoopStep NewJobSignallingEvent(LoopContext&) {
  KLOG(KORB_LOG_TRACE, "NEW JOB SIGNALLING EVENT OCCURED");
  if (IsMSPServer())
    SignallingRelatedMSPModules();
  else
    SignallingRelatedModules(g_pDBI);
  return kLoopGoesOn;
}

struct TimeoutEvent {
  int number;
  int period_seconds;
  LoopStep (*handler)(LoopContext&);
};

constexpr TimeoutEvent kTimeoutEvents[] = {
    {1, 86400, InternalRestartEvent},
    {2, 28800, PatchJobAuditEvent},
    {3, 21600, AutomationTaskAuditEvent},
    {4, 900, AgentUpgradeEvent},
    {5, 900, SupervisionEvent},
    {6, 900, ProbeScheduleCleanupEvent},
    {7, 300, EventLogEvent},
    {8, 180, InventorySchedulerEvent},
    {9, 180, PatchDeployRetryTimeoutEvent},
    {10, 180, SoftwareDeploymentTimeoutEvent},
    {11, 180, SoftwareMeteringTimeoutEvent},
    {12, 120, JobPingSchedulerEvent},
    {13, 60, JobPopulateTimeoutEvent},
    {14, 45, ProcessMonitorEvent5},
    {15, 45, ProcessMonitorEvent9},
    {16, 45, PerfSchedulerEvent},
    {17, 20, NewJobSignallingEvent},
};

constexpr bool InEventOrder() {
  for (size_t i = 0; i < std::size(kTimeoutEvents); ++i)
    if (kTimeoutEvents[i].number != static_cast<int>(i) + 1) return false;
  return true;
}
static_assert(std::size(kTimeoutEvents) == 17 && InEventOrder());

}  // namespace

std::vector<int> TimeoutPeriods() {
  std::vector<int> periods;
  for (const TimeoutEvent& event : kTimeoutEvents)
    periods.push_back(event.period_seconds);
  return periods;
}

LoopStep DispatchTimeoutEvent(int event, LoopContext& context) {
  metrics::EventRun run(event);
  return kTimeoutEvents[event - 1].handler(context);
}

bool RunsFullPeriodicWork() {
  return g_pDBI->m_nInstallType == 1 || g_pDBI->m_nInstallType == 2;
}

bool IsMSPServer() { return g_pDBI->m_nMSPFlag != 0; }
