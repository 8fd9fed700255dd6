// Target selection for one posting pass: profile values turned into comma
// lists, and the lists into filter clauses after a base query. Runs on the
// caller's thread with the caller's database object and keeps no state.
//
// Every value that reaches a statement is either checked to be an integer
// (plain lists) or escaped inside single quotes (quoted lists), so a stray
// value in a profile can neither break nor widen the target query.
#include "TargetLists.h"

#include <utility>
#include <vector>

#include "ProcessState.h"
#include "StatementWatch.h"

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

// Appends the named column of every row to list and records the read.
// Plain values may hold several IDs each ("1,2"); each is checked on its
// own and refused when it is not an integer.
void AppendRows(CDBI* db, const std::string& query, const char* column,
                ListKind kind, ListRead read, std::string& list,
                SelectionRecord* record) {
  read.query = query;
  DBRows rows;
  // A failed read is never an empty list; the caller ends the selection.
  read.failed = db->getRows(query, {column}, rows) != 1;
  for (const DBRow& row : rows) {
    if (row.empty()) continue;
    read.values.push_back(row[0]);
    std::string value;
    if (kind == ListKind::kPlain) {
      value = SanitizeIntegerList(row[0], &read.refused);
      if (value.empty()) continue;
    } else {
      value = "'" + db->EscapeString(row[0]) + "'";
    }
    if (!list.empty()) list += ",";
    list += value;
  }
  if (record != nullptr) record->reads.push_back(std::move(read));
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
void ProfileValues(CDBI* db, const char* field, int column,
                   const std::string& profileIds, ListKind kind,
                   std::string& list, SelectionRecord* record) {
  if (profileIds.empty()) return;
  ListRead read;
  read.field = field;
  read.source = Format("profiles %s column %d", profileIds.c_str(), column);
  AppendRows(db, ProfileValueQuery(column, profileIds), "profilevalues",
             kind, std::move(read), list, record);
}

void LocationSystems(CDBI* db, const char* field,
                     const std::string& locationIds, std::string& list,
                     SelectionRecord* record) {
  if (locationIds.empty()) return;
  ListRead read;
  read.field = field;
  read.source = Format("locations %s in locationviewdetails",
                       locationIds.c_str());
  AppendRows(db, Format(kLocationViewQuery, locationIds.c_str()), "systemid",
             ListKind::kPlain, std::move(read), list, record);
}

void Addresses(CDBI* db, const char* field, const std::string& profileIds,
               std::string& list, SelectionRecord* record) {
  if (profileIds.empty()) return;
  ListRead read;
  read.field = field;
  read.source = Format("profiles %s in ipbreakdownlist", profileIds.c_str());
  AppendRows(db, Format(kAddressQuery, profileIds.c_str()), "IPAddress",
             ListKind::kQuoted, std::move(read), list, record);
}

// A location list that resolves to no system names locations that were
// deleted after the profile was saved; they contribute nothing.
void ReportDeletedLocations(const std::string& locationIds,
                            const std::string& systems,
                            const StatementWatch& watch,
                            SelectionRecord* record) {
  // A location read that failed says nothing about the locations.
  if (locationIds.empty() || !systems.empty() || watch.Failed()) return;
  KLOG(2, "LOCATION HAS BEEN DELETED :: LOCATION ID %s", locationIds.c_str());
  if (record != nullptr) record->deletedLocations.push_back(locationIds);
}

void AppendClause(std::string& query, bool& open, const std::string& list,
                  const char* firstText, const char* nextText) {
  if (list.empty()) return;
  query += open ? nextText : firstText;
  query += list;
  query += ")";
  open = true;
}

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

bool SelectionRecord::Refused() const {
  for (const ListRead& read : reads)
    if (!read.refused.empty()) return true;
  return false;
}

std::string SelectionRecord::FirstRefusal() const {
  for (const ListRead& read : reads) {
    if (read.refused.empty()) continue;
    const std::string& item = read.refused.front();
    // The value that holds the item; a single-valued read is that value.
    std::string holder = read.values.empty() ? item : read.values.front();
    for (const std::string& value : read.values) {
      std::vector<std::string> refused;
      SanitizeIntegerList(value, &refused);
      if (!refused.empty() && refused.front() == item) {
        holder = value;
        break;
      }
    }
    return Format("%s value '%s' holds '%s'", read.source.c_str(),
                  holder.c_str(), item.c_str());
  }
  return "";
}

std::string RecordIdList(const std::string& field, const std::string& source,
                         const std::string& value, SelectionRecord* record) {
  ListRead read;
  read.field = field;
  read.source = source;
  read.values.push_back(value);
  std::string kept = SanitizeIntegerList(value, &read.refused);
  if (record != nullptr) record->reads.push_back(std::move(read));
  return kept;
}

std::string getProfileValue60(const std::string& profileIds, CDBI* db,
                              SelectionRecord* record) {
  return GuardedList("getProfileValue60", [&](std::string& list) {
    ProfileValues(db, "IncludeSystems", 60, profileIds, ListKind::kPlain,
                  list, record);
  });
}

std::string getProfileValue59(const std::string& profileIds, CDBI* db,
                              SelectionRecord* record) {
  return GuardedList("getProfileValue59", [&](std::string& list) {
    ProfileValues(db, "IncludeLocations", 59, profileIds, ListKind::kPlain,
                  list, record);
  });
}

std::string getProfileValue58(const std::string& profileIds, CDBI* db,
                              SelectionRecord* record) {
  return GuardedList("getProfileValue58", [&](std::string& list) {
    ProfileValues(db, "IncludeDomains", 58, profileIds, ListKind::kQuoted,
                  list, record);
  });
}

std::string getLocationView(const std::string& locationIds, CDBI* db,
                            SelectionRecord* record) {
  return GuardedList("getLocationView", [&](std::string& list) {
    LocationSystems(db, "IncludeLocationSystems", locationIds, list, record);
  });
}

std::string getIPaddressList(const std::string& profileIds, CDBI* db,
                             SelectionRecord* record) {
  return GuardedList("getIPaddressList", [&](std::string& list) {
    Addresses(db, "IncludeAddresses", profileIds, list, record);
  });
}

TargetLists BuildTargetLists(const std::string& inclusionList,
                             const std::string& exclusionList, int jobTypeId,
                             int schedularId, CDBI* db,
                             SelectionRecord* record) {
  // After a failed read nothing more is read: the selection is void and
  // the caller posts nothing (see SelectTargets).
  StatementWatch watch;
  TargetLists lists;
  lists.IncludeSystems = getProfileValue60(inclusionList, db, record);
  if (watch.Failed()) return lists;
  std::string locations = getProfileValue59(inclusionList, db, record);
  if (watch.Failed()) return lists;
  if (!locations.empty()) {
    lists.IncludeLocationSystems = getLocationView(locations, db, record);
    ReportDeletedLocations(locations, lists.IncludeLocationSystems, watch,
                           record);
    if (watch.Failed()) return lists;
  }
  lists.IncludeDomains = getProfileValue58(inclusionList, db, record);
  if (watch.Failed()) return lists;
  lists.IncludeAddresses = getIPaddressList(inclusionList, db, record);
  if (watch.Failed()) return lists;

  ListRead skip;
  skip.field = "SkipSystems";
  skip.source = Format("schedule %d jobs in status %d", schedularId,
                       JOB_STATUS_NOT_REPEAT);
  AppendRows(db,
             Format(kSkipQuery, jobTypeId, JOB_STATUS_NOT_REPEAT, schedularId),
             "SystemID", ListKind::kPlain, std::move(skip), lists.SkipSystems,
             record);
  if (watch.Failed()) return lists;

  // The exclusion side has no handler of its own: an exception ends the
  // posting pass, since a half-read exclusion list would widen the targets.
  if (exclusionList.empty()) return lists;
  ProfileValues(db, "ExcludeSystems", 48, exclusionList, ListKind::kPlain,
                lists.ExcludeSystems, record);
  if (watch.Failed()) return lists;
  std::string excludedLocations;
  ProfileValues(db, "ExcludeLocations", 47, exclusionList, ListKind::kPlain,
                excludedLocations, record);
  if (watch.Failed()) return lists;
  if (!excludedLocations.empty()) {
    LocationSystems(db, "ExcludeLocationSystems", excludedLocations,
                    lists.ExcludeLocationSystems, record);
    ReportDeletedLocations(excludedLocations, lists.ExcludeLocationSystems,
                           watch, record);
    if (watch.Failed()) return lists;
  }
  ProfileValues(db, "ExcludeDomains", 46, exclusionList, ListKind::kQuoted,
                lists.ExcludeDomains, record);
  if (watch.Failed()) return lists;
  Addresses(db, "ExcludeAddresses", exclusionList, lists.ExcludeAddresses,
            record);
  return lists;
}

bool InclusionSelects(const TargetLists& lists) {
  return !lists.IncludeSystems.empty() ||
         !lists.IncludeLocationSystems.empty() ||
         !lists.IncludeDomains.empty() || !lists.IncludeAddresses.empty();
}

std::string BuildTargetQuery(const std::string& baseQuery,
                             const TargetLists& lists, bool hasExclusionList,
                             const char* exclusionClose) {
  bool selects = InclusionSelects(lists);
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
