// Runners of the database's stored procedures. What the procedures do lies
// in the database; these routines choose the call text, the database
// object and the lock, and log around the call.
#include "ProcedureRunners.h"

#include <atomic>
#include <string>

#include "CustomerFanOut.h"
#include "ProcessState.h"

namespace {

constexpr char kLoadDistributionCall[] = "call Load_Distribution(%d, %d)";
constexpr char kSubmitScheduleJobsCall[] = "call submitschedulejobs()";
constexpr char kAuditCall[] = "call AutomationTaskAuditProcess(%d)";
constexpr char kPatchMgmtSubmitCall[] = "Call pm_submitschedulejobs();";

// The period at which each task type is distributed, which the procedure
// takes as the length of its distribution window; 0 for a type that is
// never distributed.
int DistributionPeriod(int taskType) {
  switch (taskType) {
    case 1: return 180;
    case 2: return 45;
    case 3: return 60;
    case 5: return 45;
    case 7: return 300;
    case 9: return 45;
    case 14: return 180;
    case 15: return 45;
    case 16: return 180;
    default: return 0;
  }
}

std::atomic<SubmitStepHook> g_submitStepHook{nullptr};

// On an MSP server every customer database gets the call, else the main
// database.
void RunOnSchedulerDatabases(const std::string& callText) {
  if (g_pDBI->m_nMSPFlag != 0) {
    MSPDynamicQueryExecution(callText);
  } else {
    g_pDBI->executeSQLProcedure(callText);
  }
}

}  // namespace

void SetSubmitStepHookForTesting(SubmitStepHook hook) { g_submitStepHook = hook; }

void Load_Distribution(int taskType) {
  KLOG(16, "Load_Distribution - START ");
  try {
    std::string callText;
    const int period = DistributionPeriod(taskType);
    if (period != 0) callText = Format(kLoadDistributionCall, taskType, period);
    if (!callText.empty()) RunOnSchedulerDatabases(callText);
  } catch (...) {
    KLOG(2, "Exception Load_Distribution");
  }
  KLOG(16, "Load_Distribution - END ");
}

void ScheduleJobs(int taskType) {
  try {
    if (taskType == 3) {
      KLOG(16, "submitschedulejobs - START ");
      bool submitted = false;
      {
        port::CriticalSectionLock lock(g_csScheduleJobs);
        try {
          if (SubmitStepHook hook = g_submitStepHook.load()) hook();
          RunOnSchedulerDatabases(kSubmitScheduleJobsCall);
          submitted = true;
        } catch (...) {
          KLOG(2, "ScheduleJobs:: (--Exception Caught--)");
        }
      }
      if (submitted) KLOG(16, "submitschedulejobs - END ");
    }
    Load_Distribution(taskType);
  } catch (...) {
    KLOG(2, "Exception ScheduleJobs");
  }
}

void PingScheduler(int taskType) {
  KLOG(16, "PingScheduler - START ");
  g_pDBI->executeSQLProcedure(Format(kLoadDistributionCall, taskType, 120));
  KLOG(16, "PingScheduler - END ");
}

void AutomationTaskAuditProcess(int auditType) {
  try {
    g_pDBI->executeSQLProcedure(Format(kAuditCall, auditType));
    KLOG(8, "Call AutomationTaskAuditProcess() completed for type:%d", auditType);
  } catch (...) {
    KLOG(2, "Exception in the AutomationTaskAuditProcess");
  }
}

void ScheduleSSHPatchMgmt() {
  KLOG(16, "ScheduleSSHPatchMgmt - STARTS!!");
  {
    port::CriticalSectionLock lock(g_csSubmitScheduleJobs);
    try {
      const long long start = Clock::NowSeconds();
      KLOG(8, "ScheduleSSHPatchMgmt : Start of patch mgmt schedule. Start time : %lld", start);
      g_pDBI->executeSQLProcedure(kPatchMgmtSubmitCall);
      const long long end = Clock::NowSeconds();
      KLOG(8, "ScheduleSSHPatchMgmt : Time taken for patch mgmt schedule is: %lld seconds",
           end - start);
    } catch (...) {
      KLOG(2, "ScheduleSSHPatchMgmt - (-- Exception caught --)!!");
    }
  }
  KLOG(16, "ScheduleSSHPatchMgmt - END!!");
}
