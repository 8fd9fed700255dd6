// korb-explain schedule ID: what a posting pass of the schedule would read,
// whom it would target and what it would write for each target.
#include <string>
#include <unordered_set>

#include "JobOutcome.h"
#include "PostingRoad.h"
#include "ProcessState.h"
#include "TargetSelection.h"
#include "explain_reports.h"

namespace {

constexpr int kPatchScan = 10027;
constexpr int kTppmParamId = 564;

constexpr char kScheduleQuery[] =
    "select SchedularID, ifnull(SchedularName, '') as SchedularName, "
    "JobScheduledType, ifnull(DATE_FORMAT(ScheduledTime, '%s'), '') as "
    "ScheduledTime, DATE_FORMAT(LastSubmittedTime, '%s') as "
    "LastSubmittedTime, SchedularInfoID, JobPriority, SiteID, "
    "(ScheduledTime <= now()) as TimeReached from jobsmaster where "
    "SchedularID = %d";
constexpr char kJobTypesQuery[] =
    "select distinct JobTypeID from jobsmasterdetail where SchedularID = %d "
    "order by JobTypeID";
constexpr char kSystemDetailsQuery[] =
    "select SystemID, ifnull(SystemName, '') as SystemName, "
    "ifnull(ipaddress, '') as ipaddress from inventorymaster where SystemID "
    "in (%s) order by ID";

constexpr char kNeverSubmitted[] = "0000-00-00 00:00:00";

Doc ListReads(const SelectionRecord& record) {
  Doc lists = Doc::Array();
  for (const ListRead& read : record.reads) {
    Doc values = Doc::Array();
    for (const std::string& value : read.values) values.Add(Doc::Text(value));
    Doc refused = Doc::Array();
    for (const std::string& item : read.refused)
      refused.Add(Doc::Text(item + " (not an integer)"));
    lists.Add(Doc::Object()
                  .Set("field", read.field)
                  .Set("source", read.source)
                  .Set("values", std::move(values))
                  .Set("refused", std::move(refused)));
  }
  return lists;
}

// Names and addresses of the systems, by ID.
void AddSystemDetails(CDBI* db, const std::string& ids, Doc& targets) {
  if (ids.empty()) return;
  DBRows rows;
  db->getRows(Format(kSystemDetailsQuery, ids.c_str()),
              {"SystemID", "SystemName", "ipaddress"}, rows);
  std::vector<Doc> items = targets.items();
  Doc filled = Doc::Array();
  for (Doc item : items) {
    std::string id = item.members().front().second.Plain();
    for (const DBRow& row : rows) {
      if (row[0] != id) continue;
      item.Set("name", row[1]).Set("ip", row[2]);
      break;
    }
    filled.Add(std::move(item));
  }
  targets = std::move(filled);
}

struct Target {
  int systemId = 0;
  bool interrupted = false;
};

// The forecast of each shown target, with name and address.
Doc DescribeTargets(CDBI* db, int jobTypeId, int schedularId,
                    const std::vector<Target>& targets, long limit,
                    int tppmParamValue) {
  Doc shown = Doc::Array();
  std::string ids;
  size_t count = limit == 0 ? targets.size()
                            : std::min(targets.size(), static_cast<size_t>(limit));
  for (size_t i = 0; i < count; ++i) {
    const Target& t = targets[i];
    JobForecast f = ForecastJob(jobTypeId, schedularId, t.systemId,
                                t.interrupted, tppmParamValue, db);
    Doc item = Doc::Object();
    item.Set("system", t.systemId).Set("name", "").Set("ip", "");
    item.Set("outcome", f.Duplicate() ? "duplicate" : "open");
    item.Set("redo_of", f.redoOf != 0 ? Doc::Number(f.redoOf) : Doc());
    item.Set("duplicate_of", f.Duplicate() && !f.openJobIds.empty()
                                 ? Doc::Number(f.openJobIds.front())
                                 : Doc());
    shown.Add(std::move(item));
    if (!ids.empty()) ids += ",";
    ids += std::to_string(t.systemId);
  }
  AddSystemDetails(db, ids, shown);
  return shown;
}

Doc ProfilePosting(CDBI* db, int schedularId, int jobTypeId, long limit) {
  Doc posting = Doc::Object();
  TargetSelection s = SelectTargets(jobTypeId, schedularId, db);
  posting.Set("targets_from", "profile");
  posting.Set("profile", s.outcome == SelectionOutcome::kNoProfile
                             ? Doc()
                             : Doc::Number(s.profileId));
  posting.Set("inclusion_list", s.outcome == SelectionOutcome::kNoProfile ||
                                        s.outcome == SelectionOutcome::kNoInclusionList
                                    ? Doc()
                                    : Doc::Text(s.inclusionList));
  posting.Set("exclusion_list", s.exclusionList);
  posting.Set("selection", OutcomeName(s.outcome));
  if (s.outcome == SelectionOutcome::kRefused)
    posting.Set("refusal", s.record.FirstRefusal() +
                               ", which is not an integer ID: nothing is posted");
  posting.Set("lists", ListReads(s.record));
  Doc deleted = Doc::Array();
  for (const std::string& ids : s.record.deletedLocations)
    deleted.Add(Doc::Text(ids));
  posting.Set("deleted_locations", std::move(deleted));
  posting.Set("query", s.outcome == SelectionOutcome::kSelects ? Doc::Text(s.query)
                                                               : Doc());

  std::vector<Target> targets;
  if (s.outcome == SelectionOutcome::kSelects) {
    std::unordered_set<int> interrupted =
        InterruptedSystems(jobTypeId, schedularId, db);
    DBRows rows;
    db->getRows(s.query, {"SystemID"}, rows);
    for (const DBRow& row : rows) {
      if (row.empty()) continue;
      int id = ToInt(row[0]);
      targets.push_back({id, interrupted.count(id) != 0});
    }
  }
  int tppm = 0;
  if (jobTypeId == kPatchScan) {
    tppm = ScheduleParamValue(schedularId, kTppmParamId, db);
    posting.Set("tppm", tppm != 0);
  }
  posting.Set("target_count", static_cast<long long>(targets.size()));
  posting.Set("targets", DescribeTargets(db, jobTypeId, schedularId, targets,
                                         limit, tppm));
  return posting;
}

// An on-demand schedule without a profile posts to its own detail rows;
// rows whose values are not numbers are skipped, as the thread does.
Doc ListedPosting(CDBI* db, int schedularId, int jobTypeId, long limit) {
  Doc posting = Doc::Object();
  posting.Set("targets_from", "the schedule's own system list");
  std::vector<Target> targets;
  Doc skipped = Doc::Array();
  for (const DBRow& row : ReadListedTargets(schedularId, jobTypeId, db)) {
    if (!ListedTargetUsable(row)) {
      skipped.Add(Doc::Text("SystemID '" + row[0] + "' TaskID '" + row[1] +
                            "' (not a number)"));
      continue;
    }
    targets.push_back({ToInt(row[0]), false});
  }
  posting.Set("skipped_rows", std::move(skipped));
  posting.Set("target_count", static_cast<long long>(targets.size()));
  posting.Set("targets",
              DescribeTargets(db, jobTypeId, schedularId, targets, limit, 0));
  return posting;
}

}  // namespace

ExitCode ExplainSchedule(CDBI* db, int schedularId, long limit, Doc* report,
                         std::string* message) {
  DBRows rows;
  if (db->getRows(Format(kScheduleQuery, kTimeFormat, kTimeFormat, schedularId),
                  {"SchedularID", "SchedularName", "JobScheduledType",
                   "ScheduledTime", "LastSubmittedTime", "SchedularInfoID",
                   "JobPriority", "SiteID", "TimeReached"},
                  rows) != 1) {
    *message = "the schedule could not be read";
    return db->m_bConnectionError ? kExitUnreachable : kExitUsage;
  }
  if (rows.empty()) {
    *message = Format("schedule %d not found in jobsmaster", schedularId);
    return kExitNotFound;
  }
  const DBRow& row = rows[0];
  bool recurring = ToInt(row[2]) == 1;
  bool onDemand = ToInt(row[2]) == 0;
  int scanStatus = PatchScanStatus(db);

  Doc schedule = Doc::Object();
  schedule.Set("id", schedularId).Set("name", row[1]);
  schedule.Set("kind", recurring  ? "recurring"
                       : onDemand ? "on demand"
                                  : "not posted by the patch threads");
  schedule.Set("scheduled_time", row[3]).Set("last_submitted", row[4]);
  schedule.Set("priority", ToInt(row[6])).Set("site", ToInt(row[7]));
  if (ToInt(row[7]) != db->m_nSiteID)
    schedule.Set("note", Format("the patch threads serve site %d only",
                                db->m_nSiteID));

  Doc run = Doc::Object();
  if (recurring) {
    run = NextRun(db, ToInt(row[5]), row[4]);
  } else if (onDemand) {
    bool submitted = row[4] != kNeverSubmitted;
    run.Set("time", row[3]).Set("submitted", submitted);
    run.Set("due", OnDemandDue(db, schedularId));
  }
  run.Set("patch_scan_status", scanStatus);
  schedule.Set("next_run", std::move(run));

  Doc postings = Doc::Array();
  DBRows types;
  db->getRows(Format(kJobTypesQuery, schedularId), {"JobTypeID"}, types);
  for (const DBRow& type : types) {
    int jobTypeId = ToInt(type[0]);
    Doc posting = Doc::Object();
    posting.Set("job_type", jobTypeId).Set("job", JobTypeName(jobTypeId));
    Doc detail;
    switch (recurring || onDemand
                ? ChoosePostingRoad(recurring, jobTypeId, schedularId, db)
                : PostingRoad::kNotPosted) {
      case PostingRoad::kProfile:
        detail = ProfilePosting(db, schedularId, jobTypeId, limit);
        break;
      case PostingRoad::kListed:
        detail = ListedPosting(db, schedularId, jobTypeId, limit);
        break;
      case PostingRoad::kCabSystem1:
        detail = Doc::Object().Set("targets_from",
                                   "one CAB file download job for system 1");
        break;
      case PostingRoad::kNotPosted:
        detail = Doc::Object().Set("targets_from", "nothing: not posted");
        break;
    }
    for (const auto& [key, value] : detail.members()) posting.Set(key, value);
    postings.Add(std::move(posting));
  }
  schedule.Set("postings", std::move(postings));
  *report = std::move(schedule);
  return kExitDone;
}
