// Steps that the patch scan and patch deploy posting passes share; each
// runs on the caller's thread with the caller's database object.
#include "PostingSteps.h"

#include "JobOutcome.h"
#include "ProcessState.h"
#include "WorkerStop.h"
#include "scheduler_metrics.h"

std::unordered_set<int> ReadInterruptedSystems(int jobTypeId, int schedularId,
                                               CDBI* db) {
  return InterruptedSystems(jobTypeId, schedularId, db);
}

int RedoInterruptedJob(int systemId, int jobTypeId, int schedularId,
                       const std::unordered_set<int>& interrupted, CDBI* db) {
  if (interrupted.count(systemId) == 0) return 0;
  int redoId = InterruptedJobId(systemId, jobTypeId, schedularId, db);
  db->UpdateJobStatus(redoId, JOB_STATUS_FAILED, nullptr, 0, "");
  return redoId;
}

TargetLoop::TargetLoop(const char* posting, int schedularId, size_t targets,
                       CDBI* db)
    : posting_(posting), schedularId_(schedularId), targets_(targets),
      db_(db) {}

bool TargetLoop::Next() {
  if (stopped_ || LostConnection()) return false;
  NoteWorkProgress(Format("%s: SchedularID:%d, %zu of %zu targets posted",
                          posting_, schedularId_, started_, targets_));
  ++started_;
  return true;
}

void TargetLoop::Finish() {
  if (!stopped_) LostConnection();
}

bool TargetLoop::LostConnection() {
  if (!db_->m_bConnectionError) return false;
  stopped_ = true;
  metrics::PostingStopped(metrics::PostingStop::kConnectionLost);
  // The target under way when the connection went is not posted.
  size_t posted = started_ > 0 ? started_ - 1 : 0;
  KLOG(KORB_LOG_ERROR,
       "%s: database connection lost; posting of SchedularID:%d stopped with "
       "%zu targets posted and %zu not posted",
       posting_, schedularId_, posted, targets_ - posted);
  return true;
}
