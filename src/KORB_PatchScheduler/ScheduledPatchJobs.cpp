// The scheduled patch jobs thread: recurring patch scan, patch deploy and
// CAB download schedules (JobScheduledType 1).
//
// Owns g_hPatchJobEvent; woken by the main loop's WMI patch job signal and
// by the internal deploy poster, otherwise every five minutes. Whether a
// schedule is due is the database function GetNextScheduleTime's decision
// alone; the thread stamps the schedule with the answer's time before it
// posts, so the next question starts from that time.
#include <string>

#include "JobRecords.h"
#include "PatchJobLoop.h"
#include "PatchPosting.h"
#include "PatchScheduleQueries.h"
#include "PatchThreads.h"
#include "ProcessState.h"
#include "WorkerStop.h"

namespace {

constexpr char kNextScheduleQuery[] =
    "select GetNextScheduleTime(%d, '%s', 1, %d) as outputvalue";

constexpr char kStampSchedule[] =
    "update jobsmaster set LastSubmittedTime = '%s', ScheduledTime='%s' "
    "where SchedularID=%d";

constexpr int kScheduledType = 1;
constexpr int kRecurringPriority = 5000;
constexpr int kTimeFormat = 1;

// An answer of GetNextScheduleTime split at its bar: the time part runs up
// to the first bar or apostrophe, the flag is the word after the bar.
struct NextSchedule {
  std::string time;
  bool hasFlag = false;
  int flag = 0;
};

NextSchedule SplitAnswer(const std::string& answer) {
  NextSchedule next;
  size_t end = answer.find_first_of("|'");
  next.time = answer.substr(0, end);
  if (next.time.empty() || end == std::string::npos || answer[end] != '|')
    return next;
  size_t flagStart = answer.find_first_not_of(" \t\r\n\v\f", end + 1);
  if (flagStart == std::string::npos) return next;
  size_t flagEnd = answer.find_first_of(" \t\r\n\v\f", flagStart);
  next.hasFlag = true;
  next.flag = ToInt(answer.substr(flagStart, flagEnd - flagStart));
  return next;
}

void PostOneSchedule(const DBRow& row, CDBI* db) {
  const std::string& lastSubmitted = row[2];
  if (!IsInteger(row[0]) || !IsInteger(row[1]) || !IsInteger(row[3])) {
    KLOG(KORB_LOG_ERROR,
         "PostScheduledJobs: skipping a schedule row with a value that is not "
         "a number (SchedularID:'%s' JobTypeID:'%s' SchedularInfoID:'%s')",
         row[0].c_str(), row[1].c_str(), row[3].c_str());
    return;
  }
  int schedularId = ToInt(row[0]);
  int jobTypeId = ToInt(row[1]);
  int schedularInfoId = ToInt(row[3]);

  std::string answer;
  int result = db->getValueFromQuery(
      Format(kNextScheduleQuery, schedularInfoId,
             db->EscapeString(lastSubmitted).c_str(), db->m_nSiteID),
      answer);
  KLOG(KORB_LOG_INFO,
       "PostScheduledJobs:: GetNextScheduleTime() returned with "
       "returnvalue:%d. SchedularInfoID:%d NextSchedule:%s",
       result, schedularInfoId, answer.c_str());
  if (result != 1 || answer == "-1") return;

  NextSchedule next = SplitAnswer(answer);
  if (!next.hasFlag) {
    KLOG(KORB_LOG_WARNING,
         "PostScheduledJobs: GetNextScheduleTime() answer '%s' for "
         "SchedularID:%d has no flag part; the schedule is not due",
         answer.c_str(), schedularId);
    return;
  }
  if (next.flag != 0 && next.flag != 1) return;

  std::string time = db->EscapeString(next.time);
  db->executeSQL(
      Format(kStampSchedule, time.c_str(), time.c_str(), schedularId));

  switch (jobTypeId) {
    case JOB_TYPE_PATCH_DEPLOY:
      PostDeployJob(schedularId, next.time, kTimeFormat, kRecurringPriority,
                    db);
      break;
    case JOB_TYPE_PATCH_SCAN:
      PostScanJob(schedularId, next.time, kTimeFormat, kRecurringPriority, db);
      break;
    case JOB_TYPE_CAB_DOWNLOAD:
      PostCabFileDownloadJob(schedularId, next.time, db);
      break;
    default:
      break;
  }
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
    db->getRows(query,
                {"SchedularID", "JobTypeID", "LastSubmittedTime",
                 "SchedularInfoID"},
                rows);
    if (rows.empty()) {
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
