// The reasons of korb-explain system: which list of which profile includes
// or excludes the system, found by running the daemon's list builders on
// one profile at a time, and the verdict of the daemon's own target query.
#include "system_reasons.h"

#include <sstream>
#include <unordered_set>
#include <vector>

#include "JobOutcome.h"
#include "PostingRoad.h"
#include "ProcessState.h"
#include "TargetSelection.h"

namespace {

constexpr int kPatchScan = 10027;
constexpr int kTppmParamId = 564;
constexpr int kCabSystem = 1;

constexpr char kSystemQuery[] =
    "select SystemID, ifnull(SystemName, '') as SystemName, ifnull(ipaddress, "
    "'') as ipaddress, ifnull(domainname, '') as domainname, managenode, "
    "DataCollectionType from inventorymaster where SystemID = %d";
constexpr char kOnlySystem[] = " and inventorymaster.SystemID = %d";
// A CAB download posting first fails the schedule's own jobs still at 0
// or -3; the others still make the new job a duplicate.
constexpr char kCabStillOpenQuery[] =
    "select JobID from jobdetails where JobID in (%s) and not (SchedularID = "
    "%d and Status in (0, -3)) order by JobID";

std::vector<std::string> Split(const std::string& list) {
  std::vector<std::string> items;
  std::stringstream in(list);
  for (std::string item; std::getline(in, item, ',');) items.push_back(item);
  return items;
}

bool Holds(const std::string& list, const std::string& item) {
  for (const std::string& value : Split(list))
    if (value == item) return true;
  return false;
}

// True when the query, narrowed to the one system, returns it.
bool Selects(CDBI* db, const std::string& query, int systemId) {
  DBRows rows;
  db->getRows(query + Format(kOnlySystem, systemId), {"SystemID"}, rows);
  return !rows.empty();
}

// The lists of one inclusion (or exclusion) profile that name the system.
Doc NamingLists(CDBI* db, const std::string& profile, bool exclusion,
                int jobTypeId, int schedularId, const SystemFacts& system) {
  SelectionRecord record;
  TargetLists lists = BuildTargetLists(exclusion ? "" : profile,
                                       exclusion ? profile : "", jobTypeId,
                                       schedularId, db, &record);
  const std::string id = std::to_string(system.id);
  const std::string domain = "'" + db->EscapeString(system.domain) + "'";
  const std::string ip = "'" + db->EscapeString(system.ip) + "'";
  Doc found = Doc::Array();
  auto add = [&](int column, const std::string& what) {
    found.Add(Doc::Text(Format("%s of profile %s", what.c_str(), profile.c_str()) +
                        (column != 0 ? Format(" (column %d)", column) : "")));
  };
  if (Holds(exclusion ? lists.ExcludeSystems : lists.IncludeSystems, id))
    add(exclusion ? 48 : 60, "the system list");
  if (Holds(exclusion ? lists.ExcludeLocationSystems : lists.IncludeLocationSystems, id)) {
    for (const ListRead& read : record.reads) {
      if (read.field != (exclusion ? "ExcludeLocations" : "IncludeLocations")) continue;
      for (const std::string& value : read.values)
        for (const std::string& location : Split(value))
          if (Holds(getLocationView(location, db), id))
            add(exclusion ? 47 : 59, "location " + location);
    }
  }
  if (Holds(exclusion ? lists.ExcludeDomains : lists.IncludeDomains, domain))
    add(exclusion ? 46 : 58, "domain " + domain);
  if (Holds(exclusion ? lists.ExcludeAddresses : lists.IncludeAddresses, ip))
    add(0, "address " + ip + " (ipbreakdownlist)");
  return found;
}

Doc Profile(CDBI* db, int jobTypeId, int schedularId, const SystemFacts& system,
            bool* targeted) {
  Doc v = Doc::Object();
  TargetSelection s = SelectTargets(jobTypeId, schedularId, db);
  v.Set("profile", s.outcome == SelectionOutcome::kNoProfile ? Doc()
                                                              : Doc::Number(s.profileId));
  v.Set("selection", OutcomeName(s.outcome));
  Doc deleted = Doc::Array();
  for (const std::string& ids : s.record.deletedLocations) deleted.Add(Doc::Text(ids));
  std::string heldBack = s.record.deletedLocations.empty()
                             ? std::string()
                             : "held back by a deleted location: location IDs " +
                                   s.record.deletedLocations.front() +
                                   " resolve to no system";
  switch (s.outcome) {
    case SelectionOutcome::kNoProfile:
      v.Set("verdict", "refused").Set("reason", "the schedule has no profile (job parameter 91)");
      return v;
    case SelectionOutcome::kNoInclusionList:
      v.Set("verdict", "refused").Set("reason", Format("profile %d has no inclusion list (column 69)", s.profileId));
      return v;
    case SelectionOutcome::kRefused:
      v.Set("verdict", "refused").Set("reason", "refused: " + s.record.FirstRefusal() +
                                                    ", which is not an integer ID; nothing is posted for the schedule");
      return v;
    case SelectionOutcome::kInclusionEmpty:
    case SelectionOutcome::kNothing:
      v.Set("verdict", heldBack.empty() ? "not included" : "held back");
      v.Set("reason", !heldBack.empty() ? heldBack
                      : Format("the lists of profile %d select no system", s.profileId));
      v.Set("deleted_locations", std::move(deleted));
      return v;
    case SelectionOutcome::kFailed:
      v.Set("verdict", "unknown").Set("reason", "a statement failed: " + s.failure);
      return v;
    case SelectionOutcome::kSelects:
      break;
  }

  std::string id = std::to_string(system.id);
  Doc included = Doc::Array();
  for (const std::string& p : Split(SanitizeIntegerList(s.inclusionList, nullptr))) {
    Doc lists = NamingLists(db, p, false, jobTypeId, schedularId, system);
    for (const Doc& item : lists.items()) included.Add(item);
  }
  Doc excluded = Doc::Array();
  if (s.hasExclusionList)
    for (const std::string& p : Split(SanitizeIntegerList(s.exclusionList, nullptr))) {
      Doc lists = NamingLists(db, p, true, jobTypeId, schedularId, system);
      for (const Doc& item : lists.items()) excluded.Add(item);
    }
  bool skipped = Holds(s.lists.SkipSystems, id);
  bool managed = Selects(db, s.baseQuery, system.id);
  *targeted = Selects(db, s.query, system.id);

  std::string verdict;
  std::string reason;
  if (*targeted) {
    verdict = "included";
    reason = included.items().empty() ? "selected by the target query"
                                      : "included by " + included.items().front().Plain();
  } else if (!managed) {
    verdict = system.managed == "1" ? "outside the base query" : "not managed";
    reason = Format("managenode %s, DataCollectionType %s: outside \"%s\"",
                    system.managed.c_str(), system.collectionType.c_str(),
                    s.baseQuery.c_str());
  } else if (skipped) {
    verdict = "skipped";
    reason = Format("skip list: a job of schedule %d for the system has status -2 "
                    "(not to be repeated)", schedularId);
  } else if (!excluded.items().empty()) {
    verdict = "excluded";
    reason = "excluded by " + excluded.items().front().Plain();
  } else if (!heldBack.empty()) {
    verdict = "held back";
    reason = heldBack;
  } else {
    verdict = "not included";
    reason = "no inclusion list of profile " + std::to_string(s.profileId) +
             " names the system, its location, domain or address";
  }
  v.Set("verdict", verdict).Set("reason", reason);
  v.Set("included_by", std::move(included)).Set("excluded_by", std::move(excluded));
  v.Set("skipped", skipped).Set("deleted_locations", std::move(deleted));
  return v;
}

Doc Listed(CDBI* db, int jobTypeId, int schedularId, const SystemFacts& system,
           bool* targeted) {
  Doc v = Doc::Object();
  DBRows rows = ReadListedTargets(schedularId, jobTypeId, db);
  Doc unusable = Doc::Array();
  std::string task;
  for (const DBRow& row : rows) {
    if (!ListedTargetUsable(row)) {
      unusable.Add(Doc::Text("SystemID '" + row[0] + "' TaskID '" + row[1] + "'"));
    } else if (ToInt(row[0]) == system.id && !*targeted) {
      *targeted = true;
      task = row[1];
    }
  }
  if (*targeted) {
    v.Set("verdict", "included").Set("reason", "listed in the schedule's own system list "
                                               "(jobsmasterdetail, TaskID " + task + ")");
  } else {
    v.Set("verdict", "not included").Set("reason", rows.empty()
              ? "the schedule lists no system: it stays unsubmitted"
              : "not in the schedule's own system list (jobsmasterdetail)");
  }
  v.Set("skipped_rows", std::move(unusable));
  return v;
}

// open, duplicate of job N, redo of job N: what the posting would write.
void AddOutcome(CDBI* db, PostingRoad road, int jobTypeId, int schedularId,
                int systemId, Doc& v) {
  bool interrupted = road == PostingRoad::kProfile &&
                     InterruptedSystems(jobTypeId, schedularId, db).count(systemId) != 0;
  int tppm = jobTypeId == kPatchScan && road == PostingRoad::kProfile
                 ? ScheduleParamValue(schedularId, kTppmParamId, db)
                 : 0;
  JobForecast f = ForecastJob(jobTypeId, schedularId, systemId, interrupted, tppm, db);
  std::vector<int> open = f.openJobIds;
  bool duplicate = f.Duplicate();
  if (road == PostingRoad::kCabSystem1) {
    std::string ids;
    for (int job : open) ids += (ids.empty() ? "" : ",") + std::to_string(job);
    open.clear();
    DBRows rows;
    if (!ids.empty())
      db->getRows(Format(kCabStillOpenQuery, ids.c_str(), schedularId), {"JobID"}, rows);
    for (const DBRow& row : rows) open.push_back(ToInt(row[0]));
    duplicate = !open.empty();
  }
  v.Set("outcome", duplicate ? "duplicate" : "open");
  v.Set("duplicate_of", duplicate && !open.empty() ? Doc::Number(open.front()) : Doc());
  v.Set("redo_of", f.redoOf != 0 ? Doc::Number(f.redoOf) : Doc());
}

const char* RoadName(PostingRoad road) {
  switch (road) {
    case PostingRoad::kProfile: return "profile";
    case PostingRoad::kListed: return "the schedule's own system list";
    case PostingRoad::kCabSystem1: return "one CAB file download job for system 1";
    case PostingRoad::kNotPosted: break;
  }
  return "nothing: not posted";
}

}  // namespace

SystemFacts ReadSystem(CDBI* db, int systemId) {
  SystemFacts facts;
  facts.id = systemId;
  DBRow row;
  db->getRow(Format(kSystemQuery, systemId),
             {"SystemID", "SystemName", "ipaddress", "domainname", "managenode",
              "DataCollectionType"},
             row);
  if (row.empty() || row[0].empty()) return facts;
  facts.found = true;
  facts.name = row[1];
  facts.ip = row[2];
  facts.domain = row[3];
  facts.managed = row[4];
  facts.collectionType = row[5];
  return facts;
}

Doc SystemVerdict(CDBI* db, bool recurring, int jobTypeId, int schedularId,
                  const SystemFacts& system) {
  PostingRoad road = ChoosePostingRoad(recurring, jobTypeId, schedularId, db);
  bool targeted = false;
  Doc v = Doc::Object();
  v.Set("targets_from", RoadName(road));
  Doc detail;
  switch (road) {
    case PostingRoad::kProfile:
      detail = Profile(db, jobTypeId, schedularId, system, &targeted);
      break;
    case PostingRoad::kListed:
      detail = Listed(db, jobTypeId, schedularId, system, &targeted);
      break;
    case PostingRoad::kCabSystem1:
      targeted = system.id == kCabSystem;
      detail = Doc::Object()
                   .Set("verdict", targeted ? "included" : "not included")
                   .Set("reason", "a CAB file download schedule posts one job, for system 1");
      break;
    case PostingRoad::kNotPosted:
      detail = Doc::Object().Set("verdict", "not posted")
                   .Set("reason", "the patch threads post nothing for this job type");
      break;
  }
  v.Set("targeted", targeted);
  for (const auto& [key, value] : detail.members()) v.Set(key, value);
  if (targeted) {
    AddOutcome(db, road, jobTypeId, schedularId, system.id, v);
  } else {
    v.Set("outcome", Doc()).Set("duplicate_of", Doc()).Set("redo_of", Doc());
  }
  return v;
}
