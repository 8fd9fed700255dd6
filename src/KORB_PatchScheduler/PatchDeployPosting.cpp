// Patch deploy posting: one Submitpatchdeployjobs call per target system
// of a deploy schedule; the procedure writes the job rows. Called by the
// scheduled and the on-demand patch job threads, each with its own
// database object; they share only the deploy signal counter.
#include <unordered_set>

#include "JobRecords.h"
#include "PatchPosting.h"
#include "PostingSteps.h"
#include "ProcessState.h"
#include "TargetSelection.h"
#include "scheduler_metrics.h"

void PostDeployJob(int schedularId, const std::string& nextScheduleTime,
                   int timeFormat, int priority, CDBI* db) {
  KLOG(8, "PostDeployJob Entry:: SchedularID:%d NextScheduletime:%s",
       schedularId, nextScheduleTime.c_str());
  try {
    metrics::PostingRun posting(metrics::PostingKind::kDeploy);
    // A schedule without a deploy profile falls back to profile 0.
    TargetSelection selection =
        SelectTargets(JOB_TYPE_PATCH_DEPLOY, schedularId, db);
    if (selection.outcome == SelectionOutcome::kNoInclusionList) return;
    int profileId = selection.profileId;
    std::unordered_set<int> interrupted =
        ReadInterruptedSystems(JOB_TYPE_PATCH_DEPLOY, schedularId, db);

    const std::string& targetQuery = selection.query;
    if (targetQuery.size() == selection.baseQuery.size()) {
      KLOG(8, "No systemid to process the patch deployjob");
      return;
    }
    DBRows targets;
    db->getRows(targetQuery, {"SystemID"}, targets);
    posting.Targets(targets.size());
    if (targets.empty()) return;

    KLOG(16, "PostDeployJob %d", static_cast<int>(targets.size()));
    int operationId = GetOperationId(db);
    TargetLoop loop("PostDeployJob", schedularId, targets.size(), db);
    for (const DBRow& row : targets) {
      if (!loop.Next()) break;
      if (row.empty()) continue;
      int systemId = ToInt(row[0]);
      int redoId = RedoInterruptedJob(systemId, JOB_TYPE_PATCH_DEPLOY,
                                      schedularId, interrupted, db);
      InsertDeployJob(JOB_TYPE_PATCH_DEPLOY, systemId, redoId, schedularId,
                      operationId, nextScheduleTime, timeFormat, 0, profileId,
                      priority, db);
    }
    loop.Finish();
  } catch (...) {
    KLOG(2, "Exception in posting the job for patch deployment");
  }
  KLOG(16, "PostDeployJob Exit");
}
