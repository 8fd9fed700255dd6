// The choice of a schedule's posting road and the reads behind it.
#include "PostingRoad.h"

#include "ProcessState.h"

namespace {

constexpr int kPatchDeploy = 10025;
constexpr int kPatchScan = 10027;
constexpr int kCabDownload = 10037;
constexpr int kOnDemand17017 = 17017;

constexpr char kTargetModeQuery[] =
    "select JobParamValue as outputvalue from jobsmasterlookup where "
    "SchedularID=%d";
constexpr char kParamQuery[] =
    "select JobParamValue as outputvalue from jobsmasterlookup where "
    "SchedularID = %d and JobParamID = %d";
constexpr char kListedTargetsQuery[] =
    "select SystemID, TaskID from jobsmasterdetail where SchedularID=%d and "
    "JobTypeID = %d";

// Nonzero: the scan or deploy poster picks the targets from the profile.
int TargetMode(int schedularId, CDBI* db) {
  std::string value;
  db->getValueFromQuery(Format(kTargetModeQuery, schedularId), value);
  return ToInt(value);
}

}  // namespace

PostingRoad ChoosePostingRoad(bool recurring, int jobTypeId, int schedularId,
                              CDBI* db) {
  bool viaPoster = jobTypeId == kPatchScan || jobTypeId == kPatchDeploy;
  if (recurring) {
    if (viaPoster) return PostingRoad::kProfile;
    return jobTypeId == kCabDownload ? PostingRoad::kCabSystem1
                                     : PostingRoad::kNotPosted;
  }
  if (viaPoster && TargetMode(schedularId, db) != 0)
    return PostingRoad::kProfile;
  if (viaPoster || jobTypeId == kCabDownload || jobTypeId == kOnDemand17017)
    return PostingRoad::kListed;
  return PostingRoad::kNotPosted;
}

int ScheduleParamValue(int schedularId, int paramId, CDBI* db, bool* found) {
  std::string value;
  int result = db->getValueFromQuery(Format(kParamQuery, schedularId, paramId),
                                     value);
  if (found != nullptr) *found = result == 1;
  return ToInt(value);
}

DBRows ReadListedTargets(int schedularId, int jobTypeId, CDBI* db) {
  DBRows rows;
  db->getRows(Format(kListedTargetsQuery, schedularId, jobTypeId),
              {"SystemID", "TaskID"}, rows);
  return rows;
}

bool ListedTargetUsable(const DBRow& row) {
  return row.size() >= 2 && IsInteger(row[0]) && IsInteger(row[1]);
}
