// A schedule's profile turned into comma lists and one target query.
//
// Selection fails closed: an ID list item that is not an integer refuses
// the whole selection (nothing is dropped and the rest used, which would
// widen an exclusion), and an inclusion list that resolves to no system
// selects nothing, with or without an exclusion list.
#pragma once

#include <string>
#include <vector>

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

// One list that target selection read: where it came from, the values as
// the database returned them, and the items refused because they are not
// integers (only ID lists refuse anything).
struct ListRead {
  std::string field;   // e.g. "InclusionList", "IncludeSystems"
  std::string source;  // e.g. "profile 901 column 69", "profiles 20,21 column 60"
  std::string query;   // the statement run; empty for the schedule's own lists
  std::vector<std::string> values;
  std::vector<std::string> refused;
  bool failed = false;  // the statement failed; values are not the list
};

// Everything one selection read, in the order the database was queried.
// Not thread-safe; one per selection.
struct SelectionRecord {
  std::vector<ListRead> reads;
  // Location ID lists that resolved to no system (deleted locations).
  std::vector<std::string> deletedLocations;

  bool Refused() const;
  // The first refused item, as "<source> value '<value>' holds '<item>'".
  std::string FirstRefusal() const;
};

// Appends the read of one ID list (the schedule's lists 69 and 70, or any
// other list of integer IDs) to record, with its non-integer items refused.
// Returns the integer items, trimmed and joined by ",".
std::string RecordIdList(const std::string& field, const std::string& source,
                         const std::string& value, SelectionRecord* record);

// The list builders never fail towards the caller: a failed query gives an
// empty list, which the caller must tell from a real one (StatementWatch). Input lists are the checked integer items; quoted lists hold
// escaped values. With a record, every read is appended to it.
std::string getProfileValue60(const std::string& profileIds, CDBI* db,
                              SelectionRecord* record = nullptr);
std::string getProfileValue59(const std::string& profileIds, CDBI* db,
                              SelectionRecord* record = nullptr);
std::string getProfileValue58(const std::string& profileIds, CDBI* db,
                              SelectionRecord* record = nullptr);
std::string getLocationView(const std::string& locationIds, CDBI* db,
                            SelectionRecord* record = nullptr);
std::string getIPaddressList(const std::string& profileIds, CDBI* db,
                             SelectionRecord* record = nullptr);

// Reads every list of one posting pass, in the order the database is
// queried: inclusion side, skip list, then (when the schedule has an
// exclusion list) the exclusion side. inclusionList and exclusionList are
// checked integer lists (see RecordIdList). Stops at the first failed
// statement; the lists are then incomplete and must not be used (the
// caller sees the failure through StatementWatch).
TargetLists BuildTargetLists(const std::string& inclusionList,
                             const std::string& exclusionList, int jobTypeId,
                             int schedularId, CDBI* db,
                             SelectionRecord* record);

// True when at least one inclusion field holds something.
bool InclusionSelects(const TargetLists& lists);

// The target query: baseQuery followed by the inclusion group and the
// exclusion group (closed with exclusionClose) or the skip clause. Returns
// baseQuery unchanged when nothing selects systems, so that the caller
// posts nothing: the skip list only narrows a selection, it never makes
// one on its own.
std::string BuildTargetQuery(const std::string& baseQuery,
                             const TargetLists& lists, bool hasExclusionList,
                             const char* exclusionClose);
