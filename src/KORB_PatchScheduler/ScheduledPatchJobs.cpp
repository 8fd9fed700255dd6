// The scheduled patch jobs thread: recurring patch scan, patch deploy and
// CAB download schedules (JobScheduledType 1).
//
// Owns g_hPatchJobEvent; woken by the main loop's WMI patch job signal and
// by the internal deploy poster, otherwise every five minutes. Whether a
// schedule is due is the database function GetNextScheduleTime's decision
// alone; the thread stamps the schedule with the answer's time before it
// posts, so the next question starts from that time. A stamped run whose
// posting was cut short is remembered and completed at the next passes.
#include <map>
#include <mutex>
#include <string>

#include "JobRecords.h"
#include "NextScheduleTime.h"
#include "PatchJobLoop.h"
#include "PatchPosting.h"
#include "PatchScheduleQueries.h"
#include "PatchThreads.h"
#include "PostingRoad.h"
#include "ProcessState.h"
#include "StatementWatch.h"
#include "WorkerStop.h"

namespace {

constexpr char kStampSchedule[] =
    "update jobsmaster set LastSubmittedTime = '%s', ScheduledTime='%s' "
    "where SchedularID=%d";

constexpr int kScheduledType = 1;
constexpr int kRecurringPriority = 5000;
constexpr int kTimeFormat = 1;

// A bad row is found again at every pass; its line is written a few times
// an hour per row.
LogRateLimiter g_badRowLines(2, 3600000);

// Stamped runs whose posting was cut short (a failed statement, a lost
// connection, a refused profile), by customer database and schedule, with
// the run's time. Each is posted again at the next passes, for its
// missing targets, until it completes, its next run falls due, or the
// schedule was stamped by someone else meanwhile.
std::mutex g_unfinishedMu;
std::map<std::string, std::string> g_unfinishedRuns;  // guarded by g_unfinishedMu

std::string RunKey(const CDBI* db, int schedularId, int jobTypeId) {
  return Format("%s/%s:%d:%d", db->Dsn().c_str(), db->DatabaseName().c_str(),
                schedularId, jobTypeId);
}

// The unfinished run of the schedule, or "" when it has none.
std::string TakeUnfinishedRun(const std::string& key) {
  std::lock_guard<std::mutex> lock(g_unfinishedMu);
  auto it = g_unfinishedRuns.find(key);
  if (it == g_unfinishedRuns.end()) return "";
  std::string time = it->second;
  g_unfinishedRuns.erase(it);
  return time;
}

void KeepUnfinishedRun(const std::string& key, const std::string& time) {
  std::lock_guard<std::mutex> lock(g_unfinishedMu);
  g_unfinishedRuns[key] = time;
}

PostingResult PostRun(int schedularId, int jobTypeId, const std::string& time,
                      bool completeRun, CDBI* db) {
  switch (ChoosePostingRoad(true, jobTypeId, schedularId, db)) {
    case PostingRoad::kProfile:
      if (jobTypeId == JOB_TYPE_PATCH_DEPLOY)
        return PostDeployJob(schedularId, time, kTimeFormat,
                             kRecurringPriority, db, completeRun);
      return PostScanJob(schedularId, time, kTimeFormat, kRecurringPriority,
                         db, completeRun);
    case PostingRoad::kCabSystem1:
      PostCabFileDownloadJob(schedularId, time, db);
      return PostingResult::kCompleted;
    default:
      return PostingResult::kCompleted;
  }
}

// The schedule is not due: an unfinished run of it is completed now.
void CompleteUnfinishedRun(int schedularId, int jobTypeId,
                           const std::string& key, const std::string& run,
                           CDBI* db) {
  if (run.empty()) return;
  KLOG(KORB_LOG_INFO,
       "PostScheduledJobs: completing the run %s of SchedularID:%d that an "
       "earlier pass left unfinished",
       run.c_str(), schedularId);
  if (PostRun(schedularId, jobTypeId, run, /*completeRun=*/true, db) !=
      PostingResult::kCompleted)
    KeepUnfinishedRun(key, run);
}

void PostOneSchedule(const DBRow& row, CDBI* db) {
  const std::string& lastSubmitted = row[2];
  if (!IsInteger(row[0]) || !IsInteger(row[1]) || !IsInteger(row[3])) {
    KORBLogLimited(g_pLogger, g_badRowLines,
                   Format("%s/%s:%s:%s:%s", db->Dsn().c_str(),
                          db->DatabaseName().c_str(), row[0].c_str(),
                          row[1].c_str(), row[3].c_str()),
                   __LINE__, KORB_LOG_SOURCE, KORB_LOG_ERROR,
                   "PostScheduledJobs: skipping a schedule row with a value "
                   "that is not a number (SchedularID:'%s' JobTypeID:'%s' "
                   "SchedularInfoID:'%s')",
                   row[0].c_str(), row[1].c_str(), row[3].c_str());
    return;
  }
  int schedularId = ToInt(row[0]);
  int jobTypeId = ToInt(row[1]);
  int schedularInfoId = ToInt(row[3]);

  // An unfinished run counts only while the schedule still carries its
  // stamp.
  const std::string key = RunKey(db, schedularId, jobTypeId);
  std::string unfinished = TakeUnfinishedRun(key);
  if (unfinished != lastSubmitted) unfinished.clear();

  StatementWatch watch;
  std::string answer;
  int result = db->getValueFromQuery(
      NextScheduleTimeCall(schedularInfoId, lastSubmitted, db), answer);
  KLOG(KORB_LOG_INFO,
       "PostScheduledJobs:: GetNextScheduleTime() returned with "
       "returnvalue:%d. SchedularInfoID:%d NextSchedule:%s",
       result, schedularInfoId, answer.c_str());
  if (watch.Failed()) {
    // Whether a new run is due is not known: ask again next pass.
    if (!unfinished.empty()) KeepUnfinishedRun(key, unfinished);
    return;
  }
  if (result != 1 || answer == "-1") {
    CompleteUnfinishedRun(schedularId, jobTypeId, key, unfinished, db);
    return;
  }

  NextSchedule next = SplitNextScheduleAnswer(answer);
  if (!next.hasFlag) {
    KLOG(KORB_LOG_WARNING,
         "PostScheduledJobs: GetNextScheduleTime() answer '%s' for "
         "SchedularID:%d has no flag part; the schedule is not due",
         answer.c_str(), schedularId);
    CompleteUnfinishedRun(schedularId, jobTypeId, key, unfinished, db);
    return;
  }
  if (!next.Due()) {
    CompleteUnfinishedRun(schedularId, jobTypeId, key, unfinished, db);
    return;
  }

  // The next run is due: it replaces an unfinished one. It is posted only
  // once its stamp is known to be written. A failed stamp may still have
  // been written (no answer is not no): the run is remembered, and the
  // next pass completes it if the schedule carries the stamp, or finds it
  // due again if not.
  std::string time = db->EscapeString(next.time);
  db->executeSQL(
      Format(kStampSchedule, time.c_str(), time.c_str(), schedularId));
  if (watch.Failed()) {
    KeepUnfinishedRun(key, next.time);
    return;
  }

  if (PostRun(schedularId, jobTypeId, next.time, /*completeRun=*/false, db) !=
      PostingResult::kCompleted)
    KeepUnfinishedRun(key, next.time);
}

void PostScheduledCycle(CDBI* db, uint32_t waitResult) {
  if (waitResult == port::kWaitObject0) {
    KLOG(KORB_LOG_TRACE, "WAIT_OBJECT_0 :: SH_PATCH_JOB_SIGNAL Received.");
    PostScheduledJobs(db);
    KLOG(KORB_LOG_INFO, "PerformPatchJobs:: Completed Scheduled jobs posting");
  } else if (waitResult == port::kWaitTimeout) {
    KLOG(KORB_LOG_TRACE, "WAIT_TIMEOUT :: SH_PATCH_JOB_SIGNAL Received.");
    PostScheduledJobs(db);
    WorkUnit unit("PerformPatchJobs: re-posting failed CAB download jobs");
    if (unit.Started()) PostCabDownloadRetryJobs(db);
  }
}

}  // namespace

void PostScheduledJobs(CDBI* db) {
  KLOG(KORB_LOG_INFO, "PostScheduledJobs Entry");
  try {
    std::string query =
        Format(kScheduledPatchSchedulesQuery, "%Y-%m-%d %H:%i:%s", JOB_TYPE_PATCH_SCAN,
               JOB_TYPE_PATCH_DEPLOY, JOB_TYPE_CAB_DOWNLOAD, kScheduledType,
               db->m_nSiteID);
    KLOG(KORB_LOG_TRACE, "PostScheduledJobs :cSqlQuery: %s", query.c_str());
    DBRows rows;
    int read = db->getRows(query,
                           {"SchedularID", "JobTypeID", "LastSubmittedTime",
                            "SchedularInfoID"},
                           rows);
    // A failed read is not "no jobs" (the failure is logged already).
    if (read == 1 && rows.empty()) {
      KLOG(KORB_LOG_INFO, "PostScheduledJobs : No Jobs found!!!");
    }
    for (const DBRow& row : rows) {
      // Stamp and posting of one schedule are never cut by an orderly end.
      WorkUnit unit(Format("PerformPatchJobs: SchedularID:%s JobTypeID:%s",
                           row[0].c_str(), row[1].c_str()));
      if (!unit.Started()) break;
      PostOneSchedule(row, db);
    }
  } catch (...) {
    KLOG(KORB_LOG_ERROR, "Exception in PostScheduledJobs");
  }
  KLOG(KORB_LOG_TRACE, "PostScheduledJobs Exit");
}

uint32_t PerformPatchJobs() {
  return RunPatchJobLoop({"PerformPatchJobs",
                          "PerformPatchJobs : Start of the thread",
                          "PerformPatchJobs: Exception Catch",
                          &g_hPatchJobEvent, PostScheduledCycle});
}
