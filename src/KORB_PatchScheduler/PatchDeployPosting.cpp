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
#include "StatementWatch.h"
#include "scheduler_metrics.h"

namespace {

// Every statement of one target: the redo of its interrupted job and its
// submission. The submission waits for the redo look-up.
void PostDeployTarget(int systemId, int schedularId,
                      const std::string& nextScheduleTime, int timeFormat,
                      int profileId, int priority, int operationId,
                      const std::unordered_set<int>& interrupted, CDBI* db,
                      const StatementWatch& watch) {
  int redoId = RedoInterruptedJob(systemId, JOB_TYPE_PATCH_DEPLOY,
                                  schedularId, interrupted, db, watch);
  if (watch.Failed()) return;
  InsertDeployJob(JOB_TYPE_PATCH_DEPLOY, systemId, redoId, schedularId,
                  operationId, nextScheduleTime, timeFormat, 0, profileId,
                  priority, db);
}

}  // namespace

PostingResult PostDeployJob(int schedularId,
                            const std::string& nextScheduleTime,
                            int timeFormat, int priority, CDBI* db,
                            bool completeRun) {
  KLOG(8, "PostDeployJob Entry:: SchedularID:%d NextScheduletime:%s",
       schedularId, nextScheduleTime.c_str());
  PostingResult result = PostingResult::kIncomplete;
  try {
    metrics::PostingRun posting(metrics::PostingKind::kDeploy);
    StatementWatch watch;
    // A schedule without a deploy profile falls back to profile 0.
    TargetSelection selection =
        SelectTargets(JOB_TYPE_PATCH_DEPLOY, schedularId, db);
    if (FailedBeforeTargets("PostDeployJob", schedularId, watch))
      return result;
    if (selection.outcome == SelectionOutcome::kNoInclusionList)
      return PostingResult::kCompleted;
    // A refused profile stays due until it is mended.
    if (selection.outcome == SelectionOutcome::kRefused) return result;
    int profileId = selection.profileId;
    std::unordered_set<int> interrupted =
        ReadInterruptedSystems(JOB_TYPE_PATCH_DEPLOY, schedularId, db);
    if (FailedBeforeTargets("PostDeployJob", schedularId, watch))
      return result;

    const std::string& targetQuery = selection.query;
    if (targetQuery.size() == selection.baseQuery.size()) {
      KLOG(8, "No systemid to process the patch deployjob");
      return PostingResult::kCompleted;
    }
    DBRows targets;
    db->getRows(targetQuery, {"SystemID"}, targets);
    std::unordered_set<int> posted;
    if (completeRun && !targets.empty())
      posted = PostedInThisRun(JOB_TYPE_PATCH_DEPLOY, schedularId, db);
    if (FailedBeforeTargets("PostDeployJob", schedularId, watch))
      return result;
    posting.Targets(targets.size());
    if (targets.empty()) return PostingResult::kCompleted;

    KLOG(16, "PostDeployJob %d", static_cast<int>(targets.size()));
    int operationId = GetOperationId(db);
    if (FailedBeforeTargets("PostDeployJob", schedularId, watch))
      return result;
    TargetLoop loop("PostDeployJob", schedularId, targets.size(), db, watch);
    for (const DBRow& row : targets) {
      if (!loop.Next()) break;
      if (row.empty()) continue;
      int systemId = ToInt(row[0]);
      if (posted.count(systemId) != 0) continue;
      PostDeployTarget(systemId, schedularId, nextScheduleTime, timeFormat,
                       profileId, priority, operationId, interrupted, db,
                       watch);
    }
    if (loop.Finish()) result = PostingResult::kCompleted;
  } catch (...) {
    KLOG(2, "Exception in posting the job for patch deployment");
  }
  KLOG(16, "PostDeployJob Exit");
  return result;
}
