// A schedule's profile turned into comma lists and one target query.
#pragma once

#include <string>

#include "DBI.h"

struct TargetLists {
  std::string IncludeSystems;
  std::string IncludeLocationSystems;
  std::string IncludeDomains;
  std::string IncludeAddresses;
  std::string SkipSystems;
  std::string ExcludeSystems;
  std::string ExcludeLocationSystems;
  std::string ExcludeDomains;
  std::string ExcludeAddresses;
};

// Keeps the integer items of a comma list of IDs, trimmed and joined by
// ","; every other non-blank item is dropped and logged at level 2 with
// `source` (e.g. "profile 7 column 60") saying where the list came from.
// IDs go into statements unquoted, so nothing else may reach them.
std::string CheckedIntegerList(const std::string& list,
                               const std::string& source);

// The list builders never fail towards the caller: a failed query gives an
// empty list. Input lists are checked with CheckedIntegerList; quoted
// lists hold escaped values.
std::string getProfileValue60(const std::string& profileIds, CDBI* db);
std::string getProfileValue59(const std::string& profileIds, CDBI* db);
std::string getProfileValue58(const std::string& profileIds, CDBI* db);
std::string getLocationView(const std::string& locationIds, CDBI* db);
std::string getIPaddressList(const std::string& profileIds, CDBI* db);

// Reads every list of one posting pass, in the order the database is
// queried: inclusion side, skip list, then (when the schedule has an
// exclusion list) the exclusion side.
TargetLists BuildTargetLists(const std::string& inclusionList,
                             const std::string& exclusionList, int jobTypeId,
                             int schedularId, CDBI* db);

// The target query: baseQuery followed by the inclusion group and the
// exclusion group (closed with exclusionClose) or the skip clause. Returns
// baseQuery unchanged when nothing selects systems, so that the caller
// posts nothing: the skip list only narrows a selection, it never makes
// one on its own.
std::string BuildTargetQuery(const std::string& baseQuery,
                             const TargetLists& lists, bool hasExclusionList,
                             const char* exclusionClose);
