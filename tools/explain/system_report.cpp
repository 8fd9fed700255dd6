// korb-explain system ID: for one system, every patch schedule of the
// installation: would its next posting target the system, why, what it
// would write, and the system's open and last jobs of the schedule.
#include <string>

#include "ProcessState.h"
#include "explain_reports.h"
#include "system_reasons.h"

namespace {

// Each schedule with each job type the patch threads post.
constexpr char kSchedulesQuery[] =
    "select j.SchedularID as SchedularID, ifnull(j.SchedularName, '') as "
    "SchedularName, j.JobScheduledType as JobScheduledType, "
    "ifnull(DATE_FORMAT(j.ScheduledTime, '%s'), '') as ScheduledTime, "
    "DATE_FORMAT(j.LastSubmittedTime, '%s') as LastSubmittedTime, "
    "j.SchedularInfoID as SchedularInfoID, j.SiteID as SiteID, d.JobTypeID "
    "as JobTypeID from jobsmaster j join (select distinct SchedularID, "
    "JobTypeID from jobsmasterdetail where JobTypeID in (10025, 10027, "
    "10037, 17017)) d on d.SchedularID = j.SchedularID order by "
    "j.SchedularID, d.JobTypeID";
constexpr char kJobsQuery[] =
    "select JobID, Status, ifnull(DATE_FORMAT(ScheduleTime, '%s'), '') as "
    "ScheduleTime, ifnull(DATE_FORMAT(FinishedTime, '%s'), '') as "
    "FinishedTime, ifnull(StatusDescription, '') as StatusDescription from "
    "jobdetails where SystemID = %d and SchedularID = %d and JobTypeID = %d "
    "order by JobID desc";
constexpr char kNeverSubmitted[] = "0000-00-00 00:00:00";

bool OpenStatus(int status) { return status != -1 && status != 1 && status != -2; }

// The system's open jobs of the schedule and job type, and its last one.
void AddJobs(CDBI* db, int systemId, int schedularId, int jobTypeId, Doc& item) {
  DBRows rows;
  db->getRows(Format(kJobsQuery, kTimeFormat, kTimeFormat, systemId, schedularId,
                     jobTypeId),
              {"JobID", "Status", "ScheduleTime", "FinishedTime", "StatusDescription"},
              rows);
  Doc open = Doc::Array();
  for (const DBRow& row : rows) {
    if (!OpenStatus(ToInt(row[1]))) continue;
    open.Add(Doc::Object()
                 .Set("job", ToInt(row[0]))
                 .Set("status", ToInt(row[1]))
                 .Set("time", row[2]));
  }
  item.Set("open_jobs", std::move(open));
  if (rows.empty()) {
    item.Set("last_job", Doc());
    return;
  }
  const DBRow& last = rows.front();
  item.Set("last_job", Doc::Object()
                           .Set("job", ToInt(last[0]))
                           .Set("status", ToInt(last[1]))
                           .Set("time", last[2])
                           .Set("finished", last[3])
                           .Set("description", last[4]));
}

// When the schedule posts next, as its thread would decide now.
Doc NextPosting(CDBI* db, const DBRow& row, bool recurring, bool onDemand) {
  if (recurring) return NextRun(db, ToInt(row[5]), row[4]);
  Doc run = Doc::Object();
  if (!onDemand) return run.Set("due", false);
  bool submitted = row[4] != kNeverSubmitted;
  run.Set("time", row[3]).Set("submitted", submitted);
  run.Set("due", OnDemandDue(db, ToInt(row[0])));
  if (submitted)
    run.Set("note", "submitted on " + row[4] +
                        ": the on-demand thread never posts it again");
  return run;
}

}  // namespace

ExitCode ExplainSystem(CDBI* db, int systemId, Doc* report, std::string* message) {
  SystemFacts system = ReadSystem(db, systemId);
  if (db->m_bConnectionError) {
    *message = "the database connection was lost";
    return kExitUnreachable;
  }
  if (!system.found) {
    *message = Format("system %d not found in inventorymaster", systemId);
    return kExitNotFound;
  }
  DBRows rows;
  if (db->getRows(Format(kSchedulesQuery, kTimeFormat, kTimeFormat),
                  {"SchedularID", "SchedularName", "JobScheduledType", "ScheduledTime",
                   "LastSubmittedTime", "SchedularInfoID", "SiteID", "JobTypeID"},
                  rows) != 1) {
    *message = "the schedules could not be read";
    return db->m_bConnectionError ? kExitUnreachable : kExitUsage;
  }

  int scanStatus = PatchScanStatus(db);
  Doc schedules = Doc::Array();
  for (const DBRow& row : rows) {
    int schedularId = ToInt(row[0]);
    int jobTypeId = ToInt(row[7]);
    bool recurring = ToInt(row[2]) == 1;
    bool onDemand = ToInt(row[2]) == 0;
    Doc item = Doc::Object();
    item.Set("schedule", schedularId).Set("name", row[1]);
    item.Set("kind", recurring  ? "recurring"
                     : onDemand ? "on demand"
                                : "not posted by the patch threads");
    item.Set("job_type", jobTypeId).Set("job", JobTypeName(jobTypeId));
    item.Set("next_posting", NextPosting(db, row, recurring, onDemand));
    if (ToInt(row[6]) != db->m_nSiteID) {
      item.Set("targeted", false).Set("verdict", "outside the site");
      item.Set("reason", Format("outside the schedule's site: the schedule is of site %d, "
                                "the patch threads serve site %d",
                                ToInt(row[6]), db->m_nSiteID));
    } else if (!recurring && !onDemand) {
      item.Set("targeted", false).Set("verdict", "not posted");
      item.Set("reason", "JobScheduledType " + row[2] + " is neither 0 nor 1");
    } else {
      Doc verdict = SystemVerdict(db, recurring, jobTypeId, schedularId, system);
      for (const auto& [key, value] : verdict.members()) item.Set(key, value);
    }
    AddJobs(db, systemId, schedularId, jobTypeId, item);
    schedules.Add(std::move(item));
  }

  Doc result = Doc::Object();
  result.Set("system", Doc::Object()
                           .Set("id", systemId)
                           .Set("name", system.name)
                           .Set("ip", system.ip)
                           .Set("domain", system.domain)
                           .Set("managenode", system.managed)
                           .Set("data_collection_type", system.collectionType));
  result.Set("patch_scan_status", scanStatus);
  if (scanStatus != 1)
    result.Set("note", "PATCH_SCAN_STATUS is not 1: the patch threads post nothing");
  result.Set("site", db->m_nSiteID);
  result.Set("schedules", std::move(schedules));
  *report = std::move(result);
  return kExitDone;
}
