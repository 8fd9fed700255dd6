// korb-explain due: the schedules the patch threads look at, as they would
// judge them now.
#include "PatchScheduleQueries.h"
#include "ProcessState.h"
#include "explain_reports.h"

namespace {

// The schedules of the on-demand thread, those whose time is still to
// come included.
constexpr char kOnDemandQuery[] =
    "select distinct j.SchedularID as SchedularID, j1.JobTypeID as "
    "JobTypeID, DATE_FORMAT(j.ScheduledTime, '%s') as ScheduledTime, "
    "(j.ScheduledTime <= now()) as TimeReached from jobsmaster j, "
    "jobsmasterdetail j1 where j1.JobTypeID in (%d, %d, %d, %d) and "
    "j.JobScheduledType = 0 and j1.SchedularID = j.SchedularID and "
    "j.lastsubmittedtime = '0000-00-00 00:00:00' and j.siteID = %d order by "
    "j.JobPriority";

constexpr char kTimeFormat[] = "%Y-%m-%d %H:%i:%s";

}  // namespace

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
      db->getRows(Format(kOnDemandQuery, kTimeFormat, 10027, 10025, 10037,
                         17017, db->m_nSiteID),
                  {"SchedularID", "JobTypeID", "ScheduledTime", "TimeReached"},
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
    item.Set("due", scanStatus == 1 && row[3] == "1");
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
