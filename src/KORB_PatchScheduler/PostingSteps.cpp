// Steps that the patch scan and patch deploy posting passes share; each
// runs on the caller's thread with the caller's database object.
#include "PostingSteps.h"

#include "ProcessState.h"

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
