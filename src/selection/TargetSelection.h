// Target selection of one patch scan or patch deploy schedule: the
// schedule's profile, its inclusion and exclusion lists, the lists they
// name and the target query. The posting passes and the read-only explain
// tool both call SelectTargets; it only reads.
#pragma once

#include <string>

#include "DBI.h"
#include "TargetLists.h"

enum class SelectionOutcome {
  kNoProfile,        // scan schedule without a profile parameter
  kNoInclusionList,  // the profile has no inclusion list row
  kRefused,          // an ID list holds an item that is not an integer
  kInclusionEmpty,   // the inclusion list names profiles that select nothing
  kNothing,          // no list contributes a clause
  kSelects,          // query selects the targets
  kFailed,           // a statement failed; nothing is known about targets
};

struct TargetSelection {
  int schedularId = 0;
  int jobTypeId = 0;
  int profileId = 0;
  std::string inclusionList;  // raw value of the profile's column 69
  std::string exclusionList;  // raw value of the profile's column 70
  bool hasExclusionList = false;
  TargetLists lists;
  SelectionRecord record;
  std::string baseQuery;
  // The target query; equal to baseQuery unless outcome is kSelects.
  std::string query;
  SelectionOutcome outcome = SelectionOutcome::kNothing;
  // kFailed: the failed statement and the server's error.
  std::string failure;
};

// Selects the targets of a scan (10027) or deploy (10025) schedule with the
// statements of that posting. Logs "Failed to get ProfileID" and "Failed
// to get Inclusion List" as the posting does, and one level 2 line naming
// schedule, profile, column and value when an item is refused (at most a
// few per schedule and hour: a refused schedule stays due and is refused
// again at every pass); a refused or empty inclusion selection leaves
// query equal to baseQuery. A failed statement (error, time-out, lost
// connection) gives kFailed and logs nothing of its own: it is never taken
// for a missing row or an empty list. Exceptions propagate to the caller.
TargetSelection SelectTargets(int jobTypeId, int schedularId, CDBI* db);

// "selects", "refused", ... for reports.
const char* OutcomeName(SelectionOutcome outcome);
