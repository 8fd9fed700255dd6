// Steps that the patch scan and patch deploy posting passes share; each
// runs on the caller's thread with the caller's database object.
#include "PostingSteps.h"

#include "JobOutcome.h"
#include "ProcessState.h"
#include "SchedulerLease.h"
#include "WorkerStop.h"
#include "scheduler_metrics.h"

namespace {

// Failed (-1) and redo (-3) jobs of the run are posted again.
constexpr char kPostedInRunQuery[] =
    "select distinct SystemID from jobdetails where SchedularID = %d and "
    "JobTypeID = %d and Status not in (-1,-3) and ScheduleTime = (select "
    "ScheduledTime from jobsmaster where SchedularID = %d)";

}  // namespace

std::unordered_set<int> ReadInterruptedSystems(int jobTypeId, int schedularId,
                                               CDBI* db) {
  return InterruptedSystems(jobTypeId, schedularId, db);
}

int RedoInterruptedJob(int systemId, int jobTypeId, int schedularId,
                       const std::unordered_set<int>& interrupted, CDBI* db,
                       const StatementWatch& watch) {
  if (interrupted.count(systemId) == 0) return 0;
  int redoId = InterruptedJobId(systemId, jobTypeId, schedularId, db);
  if (watch.Failed()) return 0;
  db->UpdateJobStatus(redoId, JOB_STATUS_FAILED, nullptr, 0, "");
  return redoId;
}

std::unordered_set<int> PostedInThisRun(int jobTypeId, int schedularId,
                                        CDBI* db) {
  DBRows rows;
  db->getRows(Format(kPostedInRunQuery, schedularId, jobTypeId, schedularId),
              {"SystemID"}, rows);
  std::unordered_set<int> systems;
  for (const DBRow& row : rows)
    if (!row.empty()) systems.insert(ToInt(row[0]));
  return systems;
}

bool FailedBeforeTargets(const char* posting, int schedularId,
                         const StatementWatch& watch) {
  if (!watch.Failed()) return false;
  KLOG(KORB_LOG_ERROR,
       "%s: a statement failed; posting of SchedularID:%d stopped before its "
       "targets, posted again at the next pass: %s",
       posting, schedularId, watch.What().c_str());
  return true;
}

TargetLoop::TargetLoop(const char* posting, int schedularId, size_t targets,
                       CDBI* db, const StatementWatch& watch)
    : posting_(posting), schedularId_(schedularId), targets_(targets),
      db_(db), watch_(watch) {}

TargetLoop::~TargetLoop() {
  if (in_transaction_) db_->RollbackTransaction();
}

bool TargetLoop::Next() {
  if (stopped_ || Stops() || !CommitTarget()) return false;
  NoteWorkProgress(Format("%s: SchedularID:%d, %zu of %zu targets posted",
                          posting_, schedularId_, started_, targets_));
  if (!BeginTarget()) return false;
  ++started_;
  return true;
}

bool TargetLoop::Finish() {
  if (!stopped_ && !Stops()) CommitTarget();
  return !stopped_;
}

bool TargetLoop::BeginTarget() {
  if (!SchedulerLeaseEnabled()) return true;
  if (db_->BeginTransaction() != 1) {
    StopAfterTransactionFailure("could not begin");
    return false;
  }
  in_transaction_ = true;
  return true;
}

bool TargetLoop::CommitTarget() {
  if (!in_transaction_) return true;
  in_transaction_ = false;
  const int committed = db_->CommitTransaction(LeaseFence(*db_));
  if (committed == 1) return true;
  // The target under way is not posted (or not known to be).
  if (started_ > 0) --started_;
  if (committed == 0) {
    stopped_ = true;
    KLOG(KORB_LOG_ERROR,
         "%s: SchedularID:%d: the fence of the scheduler lease (epoch %llu) no longer "
         "holds; nothing more is posted",
         posting_, schedularId_, static_cast<unsigned long long>(LeaseEpoch()));
    EndOnLostLease("a posting's fence found the epoch ended in the database");
  }
  StopAfterTransactionFailure("could not commit");
  return false;
}

void TargetLoop::StopAfterTransactionFailure(const char* what) {
  if (stopped_) return;
  stopped_ = true;
  metrics::PostingStopped(metrics::PostingStop::kConnectionLost);
  KLOG(KORB_LOG_ERROR,
       "%s: the transaction of a target %s; posting of SchedularID:%d stopped with "
       "%zu targets posted and %zu not posted",
       posting_, what, schedularId_, started_, targets_ - started_);
}

bool TargetLoop::Stops() {
  bool lost = db_->m_bConnectionError;
  if (!lost && !watch_.Failed()) return false;
  stopped_ = true;
  // The target under way when the statement failed is not posted.
  size_t posted = started_ > 0 ? started_ - 1 : 0;
  if (lost) {
    metrics::PostingStopped(metrics::PostingStop::kConnectionLost);
    KLOG(KORB_LOG_ERROR,
         "%s: database connection lost; posting of SchedularID:%d stopped "
         "with %zu targets posted and %zu not posted",
         posting_, schedularId_, posted, targets_ - posted);
    return true;
  }
  KLOG(KORB_LOG_ERROR,
       "%s: a statement failed; posting of SchedularID:%d stopped with %zu "
       "targets posted and %zu not posted, the rest at the next pass: %s",
       posting_, schedularId_, posted, targets_ - posted,
       watch_.What().c_str());
  return true;
}
