// Restart recovery: work that a previous run of the process left in an
// intermediate state can never finish, because the thread that owned it is
// gone. These statements put it back where the normal flow picks it up
// again, or close it as failed. After an orderly end nothing was left
// half-done, and deploy jobs still waiting for their time are not failed.
#include <string>

#include "CleanEndRecord.h"
#include "Initialization.h"
#include "ProcessState.h"
#include "SchedulerLease.h"

namespace {

constexpr const char* kAbortInterruptedPatchDeploys =
    "update patch_jobdetails set InternalStatus = %d, Status = '%s' where "
    "InternalStatus in ( %d, %d, %d, %d, %d, %d ) and Retries <= 3";
constexpr const char* kPatchDeployAbortedText =
    "Patch deploy aborted. Service restarted.";

constexpr const char* kFailInterruptedJobs =
    "Update JobDetails Set Status=-1, FinishedTime=now(), "
    "statusdescription='Job Failed as KovaOrb Restarted' where JobTypeID = "
    "10025 and Status  in (0,3)";

constexpr const char* kDeleteUnmappedAgentEntries =
    "delete sw from swinformer sw left join mappedagents ma on "
    "ma.masteragentid = sw.masteragentid and sw.siteid = ma.siteid where "
    "ma.masteragentid is null";

constexpr const char* kDeleteFailedJobSchedules =
    "delete p from probescheduledetail p inner join jobdetails j on "
    "p.probeid = %d and j.jobid=p.probeschedulerid where j.jobtypeid=10025 "
    "and j.status=-1 and p.tasktypeid=3 and p.taskcategoryid=8";

constexpr const char* kResetMeteringCollections =
    "update softwaremeterdetail set CollectionStatus = %d, "
    "StatusDescription='Job aborted due to service restart.' where "
    "collectionstatus in (%d,%d)";

}  // namespace

bool ResetPatchMgmtJob() {
  try {
    int failed = 0;
    for (const std::string& statement :
         {Format(kAbortInterruptedPatchDeploys, 11, kPatchDeployAbortedText, 4, 5, 8, 7, 9, 10),
          std::string(kFailInterruptedJobs), std::string(kDeleteUnmappedAgentEntries),
          Format(kDeleteFailedJobSchedules, g_pDBI->m_nProbeID)}) {
      if (g_pDBI->executeSQL(statement) < 0) ++failed;
    }
    KLOG(KORB_LOG_TRACE, "Swinformer entries of old agents got deleted");
    return failed == 0;
  } catch (...) {
    KLOG(KORB_LOG_ERROR, "Exception in ResetPatchMgmtJob");
    return false;
  }
}

bool ResetMeteringJob() {
  try {
    return g_pDBI->executeSQL(Format(kResetMeteringCollections, 0, 2, 3)) >= 0;
  } catch (...) {
    KLOG(KORB_LOG_ERROR, "Exception in ResetMeteringJob.");
    return false;
  }
}

void RecoverAfterUncleanEnd() {
  std::string why;
  PreviousEnd previous = ConsumeCleanEndRecord(&why);
  // With several instances the previous run is the previous active's, on
  // whichever host it ran: the lease row tells how it ended. When that was
  // this instance, its own record must agree.
  if (SchedulerLeaseEnabled() &&
      (previous == PreviousEnd::kClean || !PreviousHolderWasThisInstance()))
    previous = PreviousActiveEndedInOrder() ? PreviousEnd::kClean : PreviousEnd::kNoRecord;
  // On an MSP server the interrupted work lives in the customer databases,
  // which this process does not repair at start.
  if (g_pDBI->m_nMSPFlag != 0) return;
  switch (previous) {
    case PreviousEnd::kClean:
      KLOG(KORB_LOG_INFO,
           "The previous run ended in order; restart recovery is not needed");
      return;
    case PreviousEnd::kNoRecord:
      KLOG(KORB_LOG_INFO,
           "The previous run left no record of an orderly end; running "
           "restart recovery");
      break;
    case PreviousEnd::kUnreadable:
      KLOG(KORB_LOG_ERROR, "Orderly-end record not usable: %s", why.c_str());
      KLOG(KORB_LOG_INFO,
           "The previous run's end is not known; running restart recovery");
      break;
  }
  // Both run whatever the first one did; each statement's failure is
  // logged by the database layer.
  const bool patchJobsReset = ResetPatchMgmtJob();
  const bool meteringReset = ResetMeteringJob();
  if (!patchJobsReset || !meteringReset) {
    KLOG(KORB_LOG_ERROR,
         "Restart recovery did not complete; the next start runs it again");
    NoteUncleanEnd("restart recovery did not complete");
  }
}
