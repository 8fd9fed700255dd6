// Steps that the patch scan and patch deploy posting passes share; each
// runs on the caller's thread with the caller's database object.
#include "PostingSteps.h"

#include "ProcessState.h"
#include "WorkerStop.h"
#include "scheduler_metrics.h"

namespace {

constexpr char kInterruptedQuery[] =
    "select distinct SystemID from jobdetails where Status = %d and "
    "JobTypeID = %d and SchedularID = %d";
constexpr char kInterruptedJobQuery[] =
    "select JobID as outputvalue from jobdetails where SystemID=%d and "
    "jobtypeid=%d and status = %d and SchedularID = %d";

}  // namespace

std::unordered_set<int> ReadInterruptedSystems(int jobTypeId, int schedularId,
                                               CDBI* db) {
  DBRows rows;
  db->getRows(Format(kInterruptedQuery, JOB_STATUS_REDO, jobTypeId,
                     schedularId),
              {"SystemID"}, rows);
  std::unordered_set<int> systems;
  for (const DBRow& row : rows)
    if (!row.empty()) systems.insert(ToInt(row[0]));
  return systems;
}

int RedoInterruptedJob(int systemId, int jobTypeId, int schedularId,
                       const std::unordered_set<int>& interrupted, CDBI* db) {
  if (interrupted.count(systemId) == 0) return 0;
  int redoId = 0;
  std::string value;
  if (db->getValueFromQuery(Format(kInterruptedJobQuery, systemId, jobTypeId,
                                   JOB_STATUS_REDO, schedularId),
                            value) == 1)
    redoId = ToInt(value);
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
