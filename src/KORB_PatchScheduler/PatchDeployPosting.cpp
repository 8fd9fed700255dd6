// Patch deploy posting: one Submitpatchdeployjobs call per target system
// of a deploy schedule; the procedure writes the job rows. Called by the
// scheduled and the on-demand patch job threads, each with its own
// database object; they share only the deploy signal counter.
#include <unordered_set>

#include "JobRecords.h"
#include "PatchPosting.h"
#include "PostingSteps.h"
#include "ProcessState.h"
#include "TargetLists.h"

namespace {

constexpr int kDeployProfileParamId = 89;
constexpr int kInclusionColumn = 69;
constexpr int kExclusionColumn = 70;

constexpr char kParamQuery[] =
    "select JobParamValue as outputvalue from jobsmasterlookup where "
    "SchedularID = %d and JobParamID = %d";
constexpr char kInclusionQuery[] =
    "select ProfileValues as outputvalue from Orbprofilevalues where "
    "columnid = %d and profileid =%d";
constexpr char kExclusionQuery[] =
    "select ProfileValues as outputvalue from orbprofilevalues where "
    "ProfileID = %d and columnid = 70";
constexpr char kDeployBaseQuery[] =
    "select SystemID from inventorymaster where inventorymaster.managenode = "
    "1 and inventorymaster.DataCollectionType = 1";

}  // namespace

void PostDeployJob(int schedularId, const std::string& nextScheduleTime,
                   int timeFormat, int priority, CDBI* db) {
  KLOG(8, "PostDeployJob Entry:: SchedularID:%d NextScheduletime:%s",
       schedularId, nextScheduleTime.c_str());
  try {
    // A schedule without a deploy profile falls back to profile 0.
    std::string value;
    db->getValueFromQuery(
        Format(kParamQuery, schedularId, kDeployProfileParamId), value);
    int profileId = ToInt(value);

    std::string inclusionList;
    if (db->getValueFromQuery(
            Format(kInclusionQuery, kInclusionColumn, profileId),
            inclusionList) != 1) {
      KLOG(2, "Failed to get Inclusion List");
      return;
    }
    std::unordered_set<int> interrupted =
        ReadInterruptedSystems(JOB_TYPE_PATCH_DEPLOY, schedularId, db);
    std::string exclusionList;
    db->getValueFromQuery(Format(kExclusionQuery, profileId), exclusionList);

    bool hasExclusionList = !exclusionList.empty();
    TargetLists lists = BuildTargetLists(
        CheckedProfileList(inclusionList, profileId, kInclusionColumn),
        CheckedProfileList(exclusionList, profileId, kExclusionColumn),
        JOB_TYPE_PATCH_DEPLOY, schedularId, db);
    std::string baseQuery = kDeployBaseQuery;
    std::string targetQuery =
        BuildTargetQuery(baseQuery, lists, hasExclusionList, " )");
    if (targetQuery.size() == baseQuery.size()) {
      KLOG(8, "No systemid to process the patch deployjob");
      return;
    }
    DBRows targets;
    db->getRows(targetQuery, {"SystemID"}, targets);
    if (targets.empty()) return;

    KLOG(16, "PostDeployJob %d", static_cast<int>(targets.size()));
    int operationId = GetOperationId(db);
    for (const DBRow& row : targets) {
      if (row.empty()) continue;
      int systemId = ToInt(row[0]);
      int redoId = RedoInterruptedJob(systemId, JOB_TYPE_PATCH_DEPLOY,
                                      schedularId, interrupted, db);
      InsertDeployJob(JOB_TYPE_PATCH_DEPLOY, systemId, redoId, schedularId,
                      operationId, nextScheduleTime, timeFormat, 0, profileId,
                      priority, db);
    }
  } catch (...) {
    KLOG(2, "Exception in posting the job for patch deployment");
  }
  KLOG(16, "PostDeployJob Exit");
}
