// Target selection of one schedule, shared by the scan and deploy posting
// passes and the explain tool. Runs on the caller's thread with the
// caller's database object, issues only reads, and keeps no state.
#include "TargetSelection.h"

#include "PostingRoad.h"
#include "ProcessState.h"
#include "StatementWatch.h"

namespace {

constexpr int kPatchDeploy = 10025;
constexpr int kScanProfileParamId = 91;
constexpr int kDeployProfileParamId = 89;
constexpr int kInclusionColumn = 69;
constexpr int kExclusionColumn = 70;

constexpr char kProfileListQuery[] =
    "select ProfileValues as outputvalue from Orbprofilevalues where "
    "columnid = %d and profileid =%d";
constexpr char kDeployExclusionQuery[] =
    "select ProfileValues as outputvalue from orbprofilevalues where "
    "ProfileID = %d and columnid = 70";

constexpr char kScanBaseQuery[] =
    "select SystemID from inventorymaster where inventorymaster.managenode = "
    "1 and inventorymaster.DataCollectionType in (1,4)";
// A refused schedule is refused again at every pass until its profile is
// mended: its line is written a few times an hour, not every pass.
LogRateLimiter g_refusedLines(2, 3600000);

constexpr char kDeployBaseQuery[] =
    "select SystemID from inventorymaster where inventorymaster.managenode = "
    "1 and inventorymaster.DataCollectionType = 1";

// The profile of the schedule; false (logged) when a scan schedule has
// none. A deploy schedule without one falls back to profile 0.
bool ReadProfile(TargetSelection& s, CDBI* db, const StatementWatch& watch) {
  bool deploy = s.jobTypeId == kPatchDeploy;
  bool found = false;
  s.profileId = ScheduleParamValue(
      s.schedularId, deploy ? kDeployProfileParamId : kScanProfileParamId, db,
      &found);
  if (watch.Failed()) return false;
  if (!deploy && !found) {
    KLOG(2, "Failed to get ProfileID");
    return false;
  }
  return true;
}

bool ReadProfileLists(TargetSelection& s, CDBI* db,
                      const StatementWatch& watch) {
  int result = db->getValueFromQuery(
      Format(kProfileListQuery, kInclusionColumn, s.profileId),
      s.inclusionList);
  if (watch.Failed()) return false;
  if (result != 1) {
    KLOG(2, "Failed to get Inclusion List");
    return false;
  }
  db->getValueFromQuery(
      s.jobTypeId == kPatchDeploy
          ? Format(kDeployExclusionQuery, s.profileId)
          : Format(kProfileListQuery, kExclusionColumn, s.profileId),
      s.exclusionList);
  // A failed read of the exclusion list is not "no exclusion list".
  return !watch.Failed();
}

TargetSelection Failed(TargetSelection& s, const StatementWatch& watch) {
  s.outcome = SelectionOutcome::kFailed;
  s.failure = watch.What();
  s.query = s.baseQuery;
  return s;
}

}  // namespace

TargetSelection SelectTargets(int jobTypeId, int schedularId, CDBI* db) {
  TargetSelection s;
  s.schedularId = schedularId;
  s.jobTypeId = jobTypeId;
  s.baseQuery = jobTypeId == kPatchDeploy ? kDeployBaseQuery : kScanBaseQuery;
  s.query = s.baseQuery;
  StatementWatch watch;
  if (!ReadProfile(s, db, watch)) {
    if (watch.Failed()) return Failed(s, watch);
    s.outcome = SelectionOutcome::kNoProfile;
    return s;
  }
  if (!ReadProfileLists(s, db, watch)) {
    if (watch.Failed()) return Failed(s, watch);
    s.outcome = SelectionOutcome::kNoInclusionList;
    return s;
  }

  s.hasExclusionList = !s.exclusionList.empty();
  std::string inclusion = RecordIdList(
      "InclusionList",
      Format("profile %d column %d", s.profileId, kInclusionColumn),
      s.inclusionList, &s.record);
  std::string exclusion;
  if (s.hasExclusionList) {
    exclusion = RecordIdList(
        "ExclusionList",
        Format("profile %d column %d", s.profileId, kExclusionColumn),
        s.exclusionList, &s.record);
  }
  s.lists = BuildTargetLists(inclusion, exclusion, jobTypeId, schedularId, db,
                             &s.record);
  if (watch.Failed()) return Failed(s, watch);

  if (s.record.Refused()) {
    // Dropping the item and using the rest would post to systems an
    // exclusion meant to spare, or to every system when a whole inclusion
    // list is dropped: the schedule posts nothing until it is corrected.
    KORBLogLimited(g_pLogger, g_refusedLines,
                   Format("%s/%s:%d", db->Dsn().c_str(),
                          db->DatabaseName().c_str(), schedularId),
                   __LINE__, KORB_LOG_SOURCE, KORB_LOG_ERROR,
                   "Target selection of SchedularID:%d refused: %s, which is "
                   "not an integer ID (profile %d); nothing is posted for "
                   "this schedule",
                   schedularId, s.record.FirstRefusal().c_str(), s.profileId);
    s.outcome = SelectionOutcome::kRefused;
    return s;
  }
  if (!inclusion.empty() && !InclusionSelects(s.lists)) {
    // Without this the exclusion group alone would select every system
    // but the excluded ones.
    KLOG(4,
         "Target selection of SchedularID:%d: the inclusion list '%s' of "
         "profile %d selects no system; nothing is posted for this schedule",
         schedularId, s.inclusionList.c_str(), s.profileId);
    s.outcome = SelectionOutcome::kInclusionEmpty;
    return s;
  }
  s.query = BuildTargetQuery(s.baseQuery, s.lists, s.hasExclusionList,
                             jobTypeId == kPatchDeploy ? " )" : ")");
  s.outcome = s.query.size() == s.baseQuery.size() ? SelectionOutcome::kNothing
                                                    : SelectionOutcome::kSelects;
  return s;
}

const char* OutcomeName(SelectionOutcome outcome) {
  switch (outcome) {
    case SelectionOutcome::kNoProfile: return "no profile";
    case SelectionOutcome::kNoInclusionList: return "no inclusion list";
    case SelectionOutcome::kRefused: return "refused";
    case SelectionOutcome::kInclusionEmpty: return "inclusion selects nothing";
    case SelectionOutcome::kNothing: return "nothing to select";
    case SelectionOutcome::kSelects: return "selects";
    case SelectionOutcome::kFailed: return "a statement failed";
  }
  return "unknown";
}
