// korb-explain due: the schedules the patch threads look at, as they would
// judge them now: the recurring ones with their next run, and the
// on-demand ones the on-demand thread's own query finds due.
#include "PatchScheduleQueries.h"
#include "ProcessState.h"
#include "explain_reports.h"

namespace {

DBRows OnDemandSchedules(CDBI* db) {
  DBRows rows;
  db->getRows(Format(kOnDemandPatchSchedulesQuery, kTimeFormat, 10027, 10025,
                     10037, 17017, db->m_nSiteID),
              {"SchedularID", "JobTypeID", "ScheduledTime", "Priority"}, rows);
  return rows;
}

}  // namespace

bool OnDemandDue(CDBI* db, int schedularId) {
  for (const DBRow& row : OnDemandSchedules(db))
    if (ToInt(row[0]) == schedularId) return true;
  return false;
}

const char* JobTypeName(int jobTypeId) {
  switch (jobTypeId) {
    case 10025: return "patch deploy";
    case 10027: return "patch scan";
    case 10037: return "CAB file download";
    case 17017: return "on-demand job 17017";
    default: return "not posted by the patch threads";
  }
}

int PatchScanStatus(CDBI* db) {
  std::string value;
  db->getConfigSetting("PATCH_SCAN_STATUS", value);
  return ToInt(value);
}

ExitCode ExplainDue(CDBI* db, Doc* report, std::string* message) {
  int scanStatus = PatchScanStatus(db);
  DBRows recurring;
  DBRows onDemand;
  if (db->getRows(Format(kScheduledPatchSchedulesQuery, kTimeFormat, 10027, 10025, 10037, 1,
                         db->m_nSiteID),
                  {"SchedularID", "JobTypeID", "LastSubmittedTime",
                   "SchedularInfoID"},
                  recurring) != 1 ||
      db->getRows(Format(kOnDemandPatchSchedulesQuery, kTimeFormat, 10027,
                         10025, 10037, 17017, db->m_nSiteID),
                  {"SchedularID", "JobTypeID", "ScheduledTime", "Priority"},
                  onDemand) != 1) {
    *message = "the schedules could not be read";
    return db->m_bConnectionError ? kExitUnreachable : kExitUsage;
  }

  Doc schedules = Doc::Array();
  for (const DBRow& row : recurring) {
    Doc run = NextRun(db, ToInt(row[3]), row[2]);
    bool due = scanStatus == 1 && run.members().size() > 0;
    for (const auto& [key, value] : run.members())
      if (key == "due") due = due && value.Plain() == "yes";
    Doc item = Doc::Object();
    item.Set("schedule", ToInt(row[0])).Set("job_type", ToInt(row[1]));
    item.Set("kind", "recurring").Set("last_submitted", row[2]);
    for (const auto& [key, value] : run.members())
      if (key == "time" || key == "flag") item.Set("next_" + key, value);
    item.Set("due", due);
    schedules.Add(std::move(item));
  }
  for (const DBRow& row : onDemand) {
    Doc item = Doc::Object();
    item.Set("schedule", ToInt(row[0])).Set("job_type", ToInt(row[1]));
    item.Set("kind", "on demand").Set("last_submitted", "");
    item.Set("next_time", row[2]).Set("next_flag", Doc());
    item.Set("due", scanStatus == 1);
    schedules.Add(std::move(item));
  }

  Doc due = Doc::Object();
  due.Set("patch_scan_status", scanStatus);
  if (scanStatus != 1)
    due.Set("note", "PATCH_SCAN_STATUS is not 1: the patch threads post nothing");
  due.Set("site", db->m_nSiteID);
  due.Set("schedules", std::move(schedules));
  *report = std::move(due);
  return kExitDone;
}
