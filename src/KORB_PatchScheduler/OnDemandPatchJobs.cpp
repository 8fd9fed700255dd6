// The on-demand patch jobs thread: schedules of JobScheduledType 0 whose
// time has come and that were never submitted.
//
// Owns g_hOndemandPatchJobEvent; woken together with the scheduled thread
// (main loop, internal deploy poster), otherwise every five minutes. Each
// schedule is posted once and then marked submitted; one whose explicit
// target list is empty, or whose posting a failed statement, a lost
// connection or a refused profile cut short, stays unsubmitted and is
// looked at again next time.
#include <string>
#include <unordered_set>

#include "JobRecords.h"
#include "PatchJobLoop.h"
#include "PatchPosting.h"
#include "PatchScheduleQueries.h"
#include "PatchThreads.h"
#include "PostingRoad.h"
#include "PostingSteps.h"
#include "ProcessState.h"
#include "StatementWatch.h"
#include "WorkerStop.h"

namespace {

constexpr char kMarkSubmitted[] =
    "update jobsmaster set lastsubmittedtime = '%s' where schedularid = %d";

constexpr int kTimeFormat = 1;

// A bad row is found again at every pass; its line is written a few times
// an hour per row.
LogRateLimiter g_badRowLines(2, 3600000);

enum class ListedPosting { kNoTargets, kCompleted, kIncomplete };

void MarkSubmitted(int schedularId, CDBI* db) {
  // A posting that a lost connection stopped stays unsubmitted, so a later
  // start posts it again, for the targets it did not reach.
  if (db->m_bConnectionError) return;
  std::string now;
  GetCurrentTime_24HourFormat(now);
  db->executeSQL(Format(kMarkSubmitted, now.c_str(), schedularId));
}

// One job row per system that the schedule lists itself, all under one
// operation ID; systems that already hold a job of the schedule's run (an
// earlier pass was cut short) are left alone.
ListedPosting PostToListedTargets(int schedularId, int jobTypeId,
                                  const std::string& scheduledTime,
                                  int priority, CDBI* db) {
  StatementWatch watch;
  DBRows targets = ReadListedTargets(schedularId, jobTypeId, db);
  if (FailedBeforeTargets("PostOnDemandJobs", schedularId, watch))
    return ListedPosting::kIncomplete;
  if (targets.empty()) return ListedPosting::kNoTargets;

  std::unordered_set<int> posted = PostedInThisRun(jobTypeId, schedularId, db);
  int operationId = GetOperationId(db);
  if (FailedBeforeTargets("PostOnDemandJobs", schedularId, watch))
    return ListedPosting::kIncomplete;
  TargetLoop loop("PostOnDemandJobs", schedularId, targets.size(), db, watch);
  for (const DBRow& target : targets) {
    if (!loop.Next()) break;
    if (!ListedTargetUsable(target)) {
      KLOG(KORB_LOG_ERROR,
           "PostOnDemandJobs: skipping a target of SchedularID:%d with a "
           "value that is not a number (SystemID:'%s' TaskID:'%s')",
           schedularId, target[0].c_str(), target[1].c_str());
      continue;
    }
    int systemId = ToInt(target[0]);
    int taskId = ToInt(target[1]);
    if (posted.count(systemId) != 0) continue;
    if (jobTypeId == JOB_TYPE_PATCH_DEPLOY) {
      InsertDeployJob(JOB_TYPE_PATCH_DEPLOY, systemId, 0, schedularId,
                      operationId, scheduledTime, kTimeFormat, taskId, 0,
                      priority, db);
    } else {
      InsertJob(jobTypeId, systemId, 0, schedularId, operationId,
                scheduledTime, kTimeFormat, 0, priority, db, 0);
    }
  }
  return loop.Finish() ? ListedPosting::kCompleted : ListedPosting::kIncomplete;
}

void PostOneSchedule(const DBRow& row, CDBI* db) {
  if (!IsInteger(row[0]) || !IsInteger(row[1]) || !IsInteger(row[3])) {
    KORBLogLimited(g_pLogger, g_badRowLines,
                   Format("%s/%s:%s:%s:%s", db->Dsn().c_str(),
                          db->DatabaseName().c_str(), row[0].c_str(),
                          row[1].c_str(), row[3].c_str()),
                   __LINE__, KORB_LOG_SOURCE, KORB_LOG_ERROR,
                   "PostOnDemandJobs: skipping a schedule row with a value "
                   "that is not a number (SchedularID:'%s' JobTypeID:'%s' "
                   "Priority:'%s')",
                   row[0].c_str(), row[1].c_str(), row[3].c_str());
    return;
  }
  int schedularId = ToInt(row[0]);
  int jobTypeId = ToInt(row[1]);
  const std::string& scheduledTime = row[2];
  int priority = ToInt(row[3]);

  StatementWatch watch;
  PostingRoad road = ChoosePostingRoad(false, jobTypeId, schedularId, db);
  if (FailedBeforeTargets("PostOnDemandJobs", schedularId, watch)) return;
  // Until its posting completed the schedule stays unsubmitted and is
  // posted again at the next pass, for the targets still missing.
  if (road == PostingRoad::kProfile) {
    PostingResult result =
        jobTypeId == JOB_TYPE_PATCH_SCAN
            ? PostScanJob(schedularId, scheduledTime, kTimeFormat, priority,
                          db, /*completeRun=*/true)
            : PostDeployJob(schedularId, scheduledTime, kTimeFormat,
                            priority, db, /*completeRun=*/true);
    if (result == PostingResult::kCompleted) MarkSubmitted(schedularId, db);
    return;
  }
  if (PostToListedTargets(schedularId, jobTypeId, scheduledTime, priority,
                          db) == ListedPosting::kCompleted) {
    MarkSubmitted(schedularId, db);
  }
}

void PostOnDemandCycle(CDBI* db, uint32_t waitResult) {
  if (waitResult == port::kWaitObject0 || waitResult == port::kWaitTimeout)
    PostOnDemandJobs(db);
}

}  // namespace

void PostOnDemandJobs(CDBI* db) {
  KLOG(KORB_LOG_INFO, "PostOnDemandJobs Entry");
  try {
    std::string query = Format(kOnDemandPatchSchedulesQuery, "%Y-%m-%d %H:%i:%s",
                               JOB_TYPE_PATCH_SCAN, JOB_TYPE_PATCH_DEPLOY,
                               JOB_TYPE_CAB_DOWNLOAD, JOB_TYPE_ONDEMAND_17017,
                               db->m_nSiteID);
    KLOG(KORB_LOG_TRACE, "PostOnDemandJobs Select Querry cSqlQuery: %s",
         query.c_str());
    DBRows rows;
    int read = db->getRows(
        query, {"SchedularID", "JobTypeID", "ScheduledTime", "Priority"}, rows);
    // A failed read is not "no records" (the failure is logged already).
    if (read == 1 && rows.empty()) {
      KLOG(KORB_LOG_INFO, "PostOnDemandJobs - No records found");
    }
    for (const DBRow& row : rows) {
      // Posting and submitted mark of one schedule are never cut by an
      // orderly end.
      WorkUnit unit(Format("PerformOndemandPatchJobs: SchedularID:%s "
                           "JobTypeID:%s",
                           row[0].c_str(), row[1].c_str()));
      if (!unit.Started()) break;
      PostOneSchedule(row, db);
    }
  } catch (...) {
    KLOG(KORB_LOG_ERROR, "Exception in PostOnDemandJobs");
  }
  KLOG(KORB_LOG_TRACE, "PostOnDemandJobs Exit");
}

uint32_t PerformOndemandPatchJobs() {
  return RunPatchJobLoop({"PerformOndemandPatchJobs",
                          "PerformOndemandPatchJobs : Start of the thread",
                          "PerformOndemandPatchJobs: Exception Catch",
                          &g_hOndemandPatchJobEvent, PostOnDemandCycle});
}
