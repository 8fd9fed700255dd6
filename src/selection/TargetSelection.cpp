// Target selection of one schedule, shared by the scan and deploy posting
// passes and the explain tool. Runs on the caller's thread with the
// caller's database object, issues only reads, and keeps no state.
#include "TargetSelection.h"

#include "ProcessState.h"

namespace {

constexpr int kPatchDeploy = 10025;
constexpr int kScanProfileParamId = 91;
constexpr int kDeployProfileParamId = 89;
constexpr int kInclusionColumn = 69;
constexpr int kExclusionColumn = 70;

constexpr char kParamQuery[] =
    "select JobParamValue as outputvalue from jobsmasterlookup where "
    "SchedularID = %d and JobParamID = %d";
constexpr char kProfileListQuery[] =
    "select ProfileValues as outputvalue from Orbprofilevalues where "
    "columnid = %d and profileid =%d";
constexpr char kDeployExclusionQuery[] =
    "select ProfileValues as outputvalue from orbprofilevalues where "
    "ProfileID = %d and columnid = 70";

constexpr char kScanBaseQuery[] =
    "select SystemID from inventorymaster where inventorymaster.managenode = "
    "1 and inventorymaster.DataCollectionType in (1,4)";
constexpr char kDeployBaseQuery[] =
    "select SystemID from inventorymaster where inventorymaster.managenode = "
    "1 and inventorymaster.DataCollectionType = 1";

// The profile of the schedule; false (logged) when a scan schedule has
// none. A deploy schedule without one falls back to profile 0.
bool ReadProfile(TargetSelection& s, CDBI* db) {
  bool deploy = s.jobTypeId == kPatchDeploy;
  std::string value;
  int result = db->getValueFromQuery(
      Format(kParamQuery, s.schedularId,
             deploy ? kDeployProfileParamId : kScanProfileParamId),
      value);
  if (!deploy && result != 1) {
    KLOG(2, "Failed to get ProfileID");
    return false;
  }
  s.profileId = ToInt(value);
  return true;
}

bool ReadProfileLists(TargetSelection& s, CDBI* db) {
  if (db->getValueFromQuery(
          Format(kProfileListQuery, kInclusionColumn, s.profileId),
          s.inclusionList) != 1) {
    KLOG(2, "Failed to get Inclusion List");
    return false;
  }
  db->getValueFromQuery(
      s.jobTypeId == kPatchDeploy
          ? Format(kDeployExclusionQuery, s.profileId)
          : Format(kProfileListQuery, kExclusionColumn, s.profileId),
      s.exclusionList);
  return true;
}

}  // namespace

TargetSelection SelectTargets(int jobTypeId, int schedularId, CDBI* db) {
  TargetSelection s;
  s.schedularId = schedularId;
  s.jobTypeId = jobTypeId;
  s.baseQuery = jobTypeId == kPatchDeploy ? kDeployBaseQuery : kScanBaseQuery;
  s.query = s.baseQuery;
  if (!ReadProfile(s, db)) {
    s.outcome = SelectionOutcome::kNoProfile;
    return s;
  }
  if (!ReadProfileLists(s, db)) {
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

  if (s.record.Refused()) {
    // Dropping the item and using the rest would post to systems an
    // exclusion meant to spare, or to every system when a whole inclusion
    // list is dropped: the schedule posts nothing until it is corrected.
    KLOG(2,
         "Target selection of SchedularID:%d refused: %s, which is not an "
         "integer ID (profile %d); nothing is posted for this schedule",
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
  }
  return "unknown";
}
