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

std::string BuildTargetQuery(const std::string& baseQuery,
                             const TargetLists& lists, bool hasExclusionList,
                             const char* exclusionClose);
