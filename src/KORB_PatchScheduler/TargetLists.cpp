// Target selection for one posting pass: profile values turned into comma
// lists, and the lists into filter clauses after a base query. Runs on the
// caller's thread with the caller's database object and keeps no state.
//
// Every value that reaches a statement is either checked to be an integer
// (plain lists) or escaped inside single quotes (quoted lists), so a stray
// value in a profile can neither break nor widen the target query.
#include "TargetLists.h"

#include <vector>

#include "ProcessState.h"

namespace {

constexpr char kValue60Query[] =
    "select profilevalues from orbprofilevalues where columnid = 60 and "
    "profileid in (%s)";
constexpr char kValue59Query[] =
    "select profilevalues from orbprofilevalues where columnid = 59 and "
    "profileid in(%s)";
constexpr char kValue58Query[] =
    "select profilevalues from orbprofilevalues where columnid = 58 and "
    "profileid in (%s)";
constexpr char kLocationViewQuery[] =
    "select systemid from locationviewdetails where locationid in(%s)";
constexpr char kAddressQuery[] =
    "SELECT IPAddress FROM ipbreakdownlist where profileid in (%s)";

constexpr char kValue48Query[] =
    "select profilevalues from orbprofilevalues where columnid = 48 and "
    "profileid in (%s)";
constexpr char kValue47Query[] =
    "select profilevalues from orbprofilevalues where columnid = 47 and "
    "profileid in(%s)";
constexpr char kValue46Query[] =
    "select profilevalues from orbprofilevalues where columnid = 46 and "
    "profileid in (%s)";
constexpr char kSkipQuery[] =
    "select SystemID from jobdetails where jobtypeid = %d and status = %d "
    "and SchedularID = %d";

enum class ListKind { kPlain, kQuoted };

bool IsBlank(const std::string& text) {
  return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

// Appends the named column of every row to list. Plain values may hold
// several IDs each ("1,2"); each is checked on its own.
void AppendRows(CDBI* db, const std::string& query, const char* column,
                ListKind kind, const std::string& source, std::string& list) {
  DBRows rows;
  db->getRows(query, {column}, rows);
  for (const DBRow& row : rows) {
    if (row.empty()) continue;
    std::string value;
    if (kind == ListKind::kPlain) {
      value = CheckedIntegerList(row[0], source);
      if (value.empty()) continue;
    } else {
      value = "'" + db->EscapeString(row[0]) + "'";
    }
    if (!list.empty()) list += ",";
    list += value;
  }
}

// The profile value query of one column over a profile ID list.
std::string ProfileValueQuery(int column, const std::string& ids) {
  switch (column) {
    case 60: return Format(kValue60Query, ids.c_str());
    case 59: return Format(kValue59Query, ids.c_str());
    case 58: return Format(kValue58Query, ids.c_str());
    case 48: return Format(kValue48Query, ids.c_str());
    case 47: return Format(kValue47Query, ids.c_str());
    default: return Format(kValue46Query, ids.c_str());
  }
}

// An empty ID list would leave "in()" empty, a statement that can only
// fail, so no query is run for it.
void ProfileValues(CDBI* db, int column, const std::string& profileIds,
                   ListKind kind, std::string& list) {
  std::string ids = CheckedIntegerList(profileIds, "profile ID list");
  if (ids.empty()) return;
  AppendRows(db, ProfileValueQuery(column, ids), "profilevalues", kind,
             Format("profile %s column %d", ids.c_str(), column), list);
}

void LocationSystems(CDBI* db, const std::string& locationIds,
                     std::string& list) {
  std::string ids = CheckedIntegerList(locationIds, "location ID list");
  if (ids.empty()) return;
  AppendRows(db, Format(kLocationViewQuery, ids.c_str()), "systemid",
             ListKind::kPlain, "locationviewdetails systemid", list);
}

void Addresses(CDBI* db, const std::string& profileIds, std::string& list) {
  std::string ids = CheckedIntegerList(profileIds, "profile ID list");
  if (ids.empty()) return;
  AppendRows(db, Format(kAddressQuery, ids.c_str()), "IPAddress",
             ListKind::kQuoted, "", list);
}

// A location list that resolves to no system names locations that were
// deleted after the profile was saved; the posting goes on without them.
void ReportDeletedLocations(const std::string& locationIds,
                            const std::string& systems) {
  if (!locationIds.empty() && systems.empty())
    KLOG(2, "LOCATION HAS BEEN DELETED :: LOCATION ID %s",
         locationIds.c_str());
}

void AppendClause(std::string& query, bool& open, const std::string& list,
                  const char* firstText, const char* nextText) {
  if (list.empty()) return;
  query += open ? nextText : firstText;
  query += list;
  query += ")";
  open = true;
}

}  // namespace

std::string CheckedIntegerList(const std::string& list,
                               const std::string& source) {
  std::vector<std::string> rejected;
  std::string kept = SanitizeIntegerList(list, &rejected);
  for (const std::string& item : rejected) {
    if (IsBlank(item)) continue;  // stray commas carry no value
    KLOG(2, "%s: non-integer value '%s' dropped", source.c_str(),
         item.c_str());
  }
  return kept;
}

namespace {

// Builds one named list; a failure keeps what was built so far and is
// logged with the builder's name.
template <typename Build>
std::string GuardedList(const char* name, Build build) {
  std::string list;
  try {
    build(list);
  } catch (...) {
    KLOG(2, "Exception in %s", name);
  }
  return list;
}

}  // namespace

std::string getProfileValue60(const std::string& profileIds, CDBI* db) {
  return GuardedList("getProfileValue60", [&](std::string& list) {
    ProfileValues(db, 60, profileIds, ListKind::kPlain, list);
  });
}

std::string getProfileValue59(const std::string& profileIds, CDBI* db) {
  return GuardedList("getProfileValue59", [&](std::string& list) {
    ProfileValues(db, 59, profileIds, ListKind::kPlain, list);
  });
}

std::string getProfileValue58(const std::string& profileIds, CDBI* db) {
  return GuardedList("getProfileValue58", [&](std::string& list) {
    ProfileValues(db, 58, profileIds, ListKind::kQuoted, list);
  });
}

std::string getLocationView(const std::string& locationIds, CDBI* db) {
  return GuardedList("getLocationView", [&](std::string& list) {
    LocationSystems(db, locationIds, list);
  });
}

std::string getIPaddressList(const std::string& profileIds, CDBI* db) {
  return GuardedList("getIPaddressList", [&](std::string& list) {
    Addresses(db, profileIds, list);
  });
}

TargetLists BuildTargetLists(const std::string& inclusionList,
                             const std::string& exclusionList, int jobTypeId,
                             int schedularId, CDBI* db) {
  TargetLists lists;
  lists.IncludeSystems = getProfileValue60(inclusionList, db);
  std::string locations = getProfileValue59(inclusionList, db);
  if (!locations.empty()) {
    lists.IncludeLocationSystems = getLocationView(locations, db);
    ReportDeletedLocations(locations, lists.IncludeLocationSystems);
  }
  lists.IncludeDomains = getProfileValue58(inclusionList, db);
  lists.IncludeAddresses = getIPaddressList(inclusionList, db);

  AppendRows(db,
             Format(kSkipQuery, jobTypeId, JOB_STATUS_NOT_REPEAT, schedularId),
             "SystemID", ListKind::kPlain, "jobdetails SystemID",
             lists.SkipSystems);

  // The exclusion side has no handler of its own: an exception ends the
  // posting pass, since a half-read exclusion list would widen the targets.
  if (exclusionList.empty()) return lists;
  ProfileValues(db, 48, exclusionList, ListKind::kPlain, lists.ExcludeSystems);
  std::string excludedLocations;
  ProfileValues(db, 47, exclusionList, ListKind::kPlain, excludedLocations);
  if (!excludedLocations.empty()) {
    LocationSystems(db, excludedLocations, lists.ExcludeLocationSystems);
    ReportDeletedLocations(excludedLocations, lists.ExcludeLocationSystems);
  }
  ProfileValues(db, 46, exclusionList, ListKind::kQuoted, lists.ExcludeDomains);
  Addresses(db, exclusionList, lists.ExcludeAddresses);
  return lists;
}

std::string BuildTargetQuery(const std::string& baseQuery,
                             const TargetLists& lists, bool hasExclusionList,
                             const char* exclusionClose) {
  bool selects = !lists.IncludeSystems.empty() ||
                 !lists.IncludeLocationSystems.empty() ||
                 !lists.IncludeDomains.empty() ||
                 !lists.IncludeAddresses.empty();
  if (hasExclusionList) {
    selects = selects || !lists.ExcludeSystems.empty() ||
              !lists.ExcludeLocationSystems.empty() ||
              !lists.ExcludeDomains.empty() ||
              !lists.ExcludeAddresses.empty();
  }
  if (!selects) return baseQuery;

  std::string query = baseQuery;
  bool open = false;
  AppendClause(query, open, lists.IncludeSystems,
               " and ( inventorymaster.systemid in(",
               " or inventorymaster.systemid in(");
  AppendClause(query, open, lists.IncludeLocationSystems,
               " and ( inventorymaster.systemid in(",
               " or inventorymaster.systemid in(");
  AppendClause(query, open, lists.IncludeDomains,
               " and ( inventorymaster.domainname in(",
               " or inventorymaster.domainname in(");
  AppendClause(query, open, lists.IncludeAddresses,
               " and ( inventorymaster.ipaddress in(",
               " or inventorymaster.ipaddress in(");
  if (open) query += ")";

  if (hasExclusionList) {
    open = false;
    AppendClause(query, open, lists.SkipSystems,
                 " and ( inventorymaster.systemid not in(",
                 " and inventorymaster.systemid not in(");
    AppendClause(query, open, lists.ExcludeSystems,
                 " and ( inventorymaster.systemid not in(",
                 " and inventorymaster.systemid not in(");
    AppendClause(query, open, lists.ExcludeLocationSystems,
                 " and (inventorymaster.systemid not in(",
                 " and inventorymaster.systemid not in(");
    AppendClause(query, open, lists.ExcludeDomains,
                 " and ( inventorymaster.domainname not in(",
                 " and inventorymaster.domainname not in(");
    AppendClause(query, open, lists.ExcludeAddresses,
                 " and ( inventorymaster.ipaddress not in(",
                 " and inventorymaster.ipaddress not in(");
    if (open) query += exclusionClose;
  } else if (!lists.SkipSystems.empty()) {
    query += " and (inventorymaster.systemid not in(";
    query += lists.SkipSystems;
    query += "))";
  }
  return query;
}
