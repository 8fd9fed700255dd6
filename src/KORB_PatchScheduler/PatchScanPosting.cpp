// Patch scan posting: one job row per target system of a scan schedule,
// and the system's patch summary row marked as newly scanned. Called by the
// scheduled and the on-demand patch job threads, each with its own
// database object; the client version text is the only shared state read.
#include <unordered_set>

#include "JobRecords.h"
#include "PatchPosting.h"
#include "PostingSteps.h"
#include "ProcessState.h"
#include "TargetSelection.h"
#include "scheduler_metrics.h"

namespace {

constexpr int kTppmParamId = 564;

constexpr char kParamQuery[] =
    "select JobParamValue as outputvalue from jobsmasterlookup where "
    "SchedularID = %d and JobParamID = %d";
constexpr char kSystemJobCountQuery[] =
    "select count(*) as outputvalue from jobdetails where systemid = %d";
constexpr char kSummaryTppmQuery[] =
    "select JobParamValue as outputvalue from jobsmasterlookup where "
    "schedularid =%d and jobparamid = 564";
constexpr char kTppmPresenceQuery[] =
    "select SystemID as outputvalue from tppm_patch_summary where "
    "SystemID=%d";
constexpr char kPlainPresenceQuery[] =
    "select SystemID as outputvalue from patch_summary where SystemID=%d";

constexpr char kUpdateFromJob[] =
    "update %s ps,(select * from jobdetails jd where jd.systemid = %d order "
    "by jd.jobid desc limit 1) jd set ps.LastScanned ='%s', ps.ScheduleTime "
    "= date_format(jd.ScheduleTime,'%s'), ps.ScanResult = 'New patch scan "
    "job is posted.', AgentVersion='%s', ps.Status=0, ps.profileid=%d where "
    "ps.systemid = jd.systemid and ps.siteid =jd.siteid";
constexpr char kUpdatePlain[] =
    "update %s set LastScanned = '%s', ScheduleTime='%s', ScanResult='%s', "
    "AgentVersion='%s', status=0, profileid=%d where systemid = %d";
constexpr char kInsertFromJob[] =
    "Insert into %s (SiteID, SystemID,LastScanned, NextScan, ScanType, "
    "ScanResult, ScheduleTime, AgentVersion, Profileid) select %d, "
    "jd.systemid, '%s', 0, 0, 'New patch scan job is posted.',"
    "date_format(jd.ScheduleTime,'%s'), '%s', %d from jobdetails jd where "
    "jd.systemid = %d order by jd.jobid desc limit 1 ";
constexpr char kInsertPlain[] =
    "insert into %s (SiteID, SystemID, LastScanned, NextScan, ScanType, "
    "ScanResult, ScheduleTime,AgentVersion, Profileid) "
    "values(%d, %d,'%s', %ld, %d, '%s', '%s','%s',%d);";

// MySQL date format of the summary's ScheduleTime; an argument, never a
// format of ours.
constexpr char kSummaryDateFormat[] = "%Y/%m/%d %H:%i:%s";
constexpr char kScanPosted[] = "New patch scan job is posted.";

int ParamValue(int schedularId, int paramId, CDBI* db) {
  std::string value;
  db->getValueFromQuery(Format(kParamQuery, schedularId, paramId), value);
  return ToInt(value);
}

int CountSystemJobs(int systemId, CDBI* db) {
  try {
    std::string value;
    db->getValueFromQuery(Format(kSystemJobCountQuery, systemId), value);
    return ToInt(value);
  } catch (...) {
    KLOG(2, "(--Exception Caught--) while checking entry in jobdetails for "
            "systemid:%d",
         systemId);
    return 0;
  }
}

// Values of one pass that every summary statement carries, already
// escaped for the statement.
struct SummaryValues {
  std::string scanTime;
  std::string agentVersion;
  int profileId = 0;
};

// Inserts or updates the system's summary row, taking its ScheduleTime
// from the system's newest job row when it has one.
void RecordScanInSummary(int schedularId, int systemId,
                         const SummaryValues& values, CDBI* db) {
  int jobCount = CountSystemJobs(systemId, db);

  std::string tppm;
  db->getValueFromQuery(Format(kSummaryTppmQuery, schedularId), tppm);
  bool isTppm = ToInt(tppm) != 0;
  const char* table = isTppm ? "tppm_patch_summary" : "patch_summary";
  std::string present;
  int found = db->getValueFromQuery(
      Format(isTppm ? kTppmPresenceQuery : kPlainPresenceQuery, systemId),
      present);
  KLOG(2, "NRET : %d", found);
  KLOG(2, "NRET : %s", table);

  const char* scanTime = values.scanTime.c_str();
  const char* version = values.agentVersion.c_str();
  std::string statement;
  if (found == 1) {
    statement = jobCount >= 1
                    ? Format(kUpdateFromJob, table, systemId, scanTime,
                             kSummaryDateFormat, version, values.profileId)
                    : Format(kUpdatePlain, table, scanTime, scanTime,
                             kScanPosted, version, values.profileId,
                             systemId);
    KLOG(2, "Entry is there in patch_summary %s", statement.c_str());
  } else {
    statement = jobCount >= 1
                    ? Format(kInsertFromJob, table, db->m_nSiteID, scanTime,
                             kSummaryDateFormat, version, values.profileId,
                             systemId)
                    : Format(kInsertPlain, table, db->m_nSiteID, systemId,
                             scanTime, 0L, 0, kScanPosted, scanTime, version,
                             values.profileId);
    KLOG(2, "New entry in patch_summary %s", statement.c_str());
  }
  db->executeSQL(statement);
}

}  // namespace

void PostScanJob(int schedularId, const std::string& nextScheduleTime,
                 int timeFormat, int priority, CDBI* db) {
  KLOG(8, "PostScanJob Entry:: SchedularID:%d NextScheduleTime:%s",
       schedularId, nextScheduleTime.c_str());
  try {
    metrics::PostingRun posting(metrics::PostingKind::kScan);
    TargetSelection selection =
        SelectTargets(JOB_TYPE_PATCH_SCAN, schedularId, db);
    if (selection.outcome == SelectionOutcome::kNoProfile ||
        selection.outcome == SelectionOutcome::kNoInclusionList)
      return;
    int profileId = selection.profileId;

    std::unordered_set<int> interrupted =
        ReadInterruptedSystems(JOB_TYPE_PATCH_SCAN, schedularId, db);

    const std::string& targetQuery = selection.query;
    if (selection.hasExclusionList)
      KLOG(8, "If exclusion in postscanjob %s", targetQuery.c_str());
    else
      KLOG(8, "If inclusion in postscanjob %s", targetQuery.c_str());

    if (targetQuery.size() == selection.baseQuery.size()) {
      KLOG(8, "No systemid to process the patch scan job");
      return;
    }
    DBRows targets;
    db->getRows(targetQuery, {"SystemID"}, targets);
    posting.Targets(targets.size());
    if (targets.empty()) return;

    SummaryValues summary;
    std::string scanTime;
    GetCurrentTime_24HourFormat(scanTime);
    summary.scanTime = db->EscapeString(scanTime);
    summary.agentVersion = db->EscapeString(g_szClientVersion.Get());
    summary.profileId = profileId;
    int operationId = GetOperationId(db);

    TargetLoop loop("PostScanJob", schedularId, targets.size(), db);
    for (const DBRow& row : targets) {
      if (!loop.Next()) break;
      if (row.empty()) continue;
      int systemId = ToInt(row[0]);
      int redoId = RedoInterruptedJob(systemId, JOB_TYPE_PATCH_SCAN,
                                      schedularId, interrupted, db);
      int tppmParamValue = ParamValue(schedularId, kTppmParamId, db);
      InsertJob(JOB_TYPE_PATCH_SCAN, systemId, redoId, schedularId,
                operationId, nextScheduleTime, timeFormat, 0, priority, db,
                tppmParamValue);
      RecordScanInSummary(schedularId, systemId, summary, db);
    }
    loop.Finish();
  } catch (...) {
    KLOG(2, "Exception in posting the job for patch scan");
  }
  KLOG(16, "PostScanJob Exit");
}
