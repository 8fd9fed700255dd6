// Patch scan posting: one job row per target system of a scan schedule,
// and the system's patch summary row marked as newly scanned. Called by the
// scheduled and the on-demand patch job threads, each with its own
// database object; the client version text is the only shared state read.
#include <unordered_set>

#include "JobRecords.h"
#include "PatchPosting.h"
#include "PostingRoad.h"
#include "PostingSteps.h"
#include "ProcessState.h"
#include "TargetSelection.h"
#include "StatementWatch.h"
#include "scheduler_metrics.h"

namespace {

constexpr int kTppmParamId = 564;

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
// from the system's newest job row when it has one. Writes nothing when
// one of its reads failed.
void RecordScanInSummary(int schedularId, int systemId,
                         const SummaryValues& values, CDBI* db,
                         const StatementWatch& watch) {
  int jobCount = CountSystemJobs(systemId, db);
  if (watch.Failed()) return;

  std::string tppm;
  db->getValueFromQuery(Format(kSummaryTppmQuery, schedularId), tppm);
  if (watch.Failed()) return;
  bool isTppm = ToInt(tppm) != 0;
  const char* table = isTppm ? "tppm_patch_summary" : "patch_summary";
  std::string present;
  int found = db->getValueFromQuery(
      Format(isTppm ? kTppmPresenceQuery : kPlainPresenceQuery, systemId),
      present);
  if (watch.Failed()) return;
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

struct ScanPass {
  int schedularId;
  const std::string& nextScheduleTime;
  int timeFormat;
  int priority;
  int operationId;
  const std::unordered_set<int>& interrupted;
  const SummaryValues& summary;
};

// Every statement of one target: the redo of its interrupted job, its job
// row and its summary row. Each write waits for the reads it depends on;
// the caller's loop stops after a failure.
void PostScanTarget(const ScanPass& pass, int systemId, CDBI* db,
                    const StatementWatch& watch) {
  int redoId = RedoInterruptedJob(systemId, JOB_TYPE_PATCH_SCAN,
                                  pass.schedularId, pass.interrupted, db,
                                  watch);
  if (watch.Failed()) return;
  int tppmParamValue = ScheduleParamValue(pass.schedularId, kTppmParamId, db);
  if (watch.Failed()) return;
  InsertJob(JOB_TYPE_PATCH_SCAN, systemId, redoId, pass.schedularId,
            pass.operationId, pass.nextScheduleTime, pass.timeFormat, 0,
            pass.priority, db, tppmParamValue);
  if (watch.Failed()) return;
  RecordScanInSummary(pass.schedularId, systemId, pass.summary, db, watch);
}

}  // namespace

PostingResult PostScanJob(int schedularId, const std::string& nextScheduleTime,
                          int timeFormat, int priority, CDBI* db,
                          bool completeRun) {
  KLOG(8, "PostScanJob Entry:: SchedularID:%d NextScheduleTime:%s",
       schedularId, nextScheduleTime.c_str());
  PostingResult result = PostingResult::kIncomplete;
  try {
    metrics::PostingRun posting(metrics::PostingKind::kScan);
    StatementWatch watch;
    TargetSelection selection =
        SelectTargets(JOB_TYPE_PATCH_SCAN, schedularId, db);
    if (FailedBeforeTargets("PostScanJob", schedularId, watch))
      return result;
    if (selection.outcome == SelectionOutcome::kNoProfile ||
        selection.outcome == SelectionOutcome::kNoInclusionList)
      return PostingResult::kCompleted;
    // A refused profile stays due until it is mended.
    if (selection.outcome == SelectionOutcome::kRefused) return result;
    int profileId = selection.profileId;

    std::unordered_set<int> interrupted =
        ReadInterruptedSystems(JOB_TYPE_PATCH_SCAN, schedularId, db);
    if (FailedBeforeTargets("PostScanJob", schedularId, watch))
      return result;

    const std::string& targetQuery = selection.query;
    if (selection.hasExclusionList)
      KLOG(8, "If exclusion in postscanjob %s", targetQuery.c_str());
    else
      KLOG(8, "If inclusion in postscanjob %s", targetQuery.c_str());

    if (targetQuery.size() == selection.baseQuery.size()) {
      KLOG(8, "No systemid to process the patch scan job");
      return PostingResult::kCompleted;
    }
    DBRows targets;
    db->getRows(targetQuery, {"SystemID"}, targets);
    std::unordered_set<int> posted;
    if (completeRun && !targets.empty())
      posted = PostedInThisRun(JOB_TYPE_PATCH_SCAN, schedularId, db);
    if (FailedBeforeTargets("PostScanJob", schedularId, watch))
      return result;
    posting.Targets(targets.size());
    if (targets.empty()) return PostingResult::kCompleted;

    SummaryValues summary;
    std::string scanTime;
    GetCurrentTime_24HourFormat(scanTime);
    summary.scanTime = db->EscapeString(scanTime);
    summary.agentVersion = db->EscapeString(g_szClientVersion.Get());
    summary.profileId = profileId;
    int operationId = GetOperationId(db);
    if (FailedBeforeTargets("PostScanJob", schedularId, watch))
      return result;

    ScanPass pass{schedularId, nextScheduleTime, timeFormat, priority,
                  operationId, interrupted, summary};
    TargetLoop loop("PostScanJob", schedularId, targets.size(), db, watch);
    for (const DBRow& row : targets) {
      if (!loop.Next()) break;
      if (row.empty()) continue;
      int systemId = ToInt(row[0]);
      if (posted.count(systemId) != 0) continue;
      PostScanTarget(pass, systemId, db, watch);
    }
    if (loop.Finish()) result = PostingResult::kCompleted;
  } catch (...) {
    KLOG(2, "Exception in posting the job for patch scan");
  }
  KLOG(16, "PostScanJob Exit");
  return result;
}
