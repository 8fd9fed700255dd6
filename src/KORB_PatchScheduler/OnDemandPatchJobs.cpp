// The on-demand patch jobs thread: schedules of JobScheduledType 0 whose
// time has come and that were never submitted.
//
// Owns g_hOndemandPatchJobEvent; woken together with the scheduled thread
// (main loop, internal deploy poster), otherwise every five minutes. Each
// schedule is posted once and then marked submitted; one whose explicit
// target list is empty stays unsubmitted and is looked at again next time.
#include <string>

#include "JobRecords.h"
#include "PatchJobLoop.h"
#include "PatchPosting.h"
#include "PatchThreads.h"
#include "PostingSteps.h"
#include "ProcessState.h"
#include "WorkerStop.h"

namespace {

constexpr char kOnDemandQuery[] =
    "select distinct j.SchedularID as SchedularID, j1.JobTypeID as "
    "JobTypeID, DATE_FORMAT(j.ScheduledTime, '%s') as ScheduledTime, "
    "j.JobPriority as Priority from jobsmaster j, jobsmasterdetail j1 "
    "where(j1.JobTypeID = %d or j1.JobTypeID = %d or j1.JobTypeID = %d or "
    "j1.JobTypeID = %d) and j.JobScheduledType = 0 and j1.SchedularID = "
    "j.SchedularID and j.lastsubmittedtime = '0000-00-00 00:00:00' and "
    "j.ScheduledTime <= now() and j.siteID = %d order by j.JobPriority";

constexpr char kTargetModeQuery[] =
    "select JobParamValue as outputvalue from jobsmasterlookup where "
    "SchedularID=%d";

constexpr char kTargetQuery[] =
    "select SystemID, TaskID from jobsmasterdetail where SchedularID=%d and "
    "JobTypeID = %d";

constexpr char kMarkSubmitted[] =
    "update jobsmaster set lastsubmittedtime = '%s' where schedularid = %d";

constexpr int kTimeFormat = 1;

void MarkSubmitted(int schedularId, CDBI* db) {
  // A posting that a lost connection stopped stays unsubmitted, so a later
  // start posts it again; the duplicate check keeps what it already wrote.
  if (db->m_bConnectionError) return;
  std::string now;
  GetCurrentTime_24HourFormat(now);
  db->executeSQL(Format(kMarkSubmitted, now.c_str(), schedularId));
}

// Nonzero: the scan or deploy poster picks the targets from the profile.
int TargetMode(int schedularId, CDBI* db) {
  std::string value;
  db->getValueFromQuery(Format(kTargetModeQuery, schedularId), value);
  return ToInt(value);
}

// One job row per system that the schedule lists itself, all under one
// operation ID. Returns false when the list is empty.
bool PostToListedTargets(int schedularId, int jobTypeId,
                         const std::string& scheduledTime, int priority,
                         CDBI* db) {
  DBRows targets;
  db->getRows(Format(kTargetQuery, schedularId, jobTypeId),
              {"SystemID", "TaskID"}, targets);
  if (targets.empty()) return false;

  int operationId = GetOperationId(db);
  TargetLoop loop("PostOnDemandJobs", schedularId, targets.size(), db);
  for (const DBRow& target : targets) {
    if (!loop.Next()) break;
    if (!IsInteger(target[0]) || !IsInteger(target[1])) {
      KLOG(KORB_LOG_ERROR,
           "PostOnDemandJobs: skipping a target of SchedularID:%d with a "
           "value that is not a number (SystemID:'%s' TaskID:'%s')",
           schedularId, target[0].c_str(), target[1].c_str());
      continue;
    }
    int systemId = ToInt(target[0]);
    int taskId = ToInt(target[1]);
    if (jobTypeId == JOB_TYPE_PATCH_DEPLOY) {
      InsertDeployJob(JOB_TYPE_PATCH_DEPLOY, systemId, 0, schedularId,
                      operationId, scheduledTime, kTimeFormat, taskId, 0,
                      priority, db);
    } else {
      InsertJob(jobTypeId, systemId, 0, schedularId, operationId,
                scheduledTime, kTimeFormat, 0, priority, db, 0);
    }
  }
  loop.Finish();
  return true;
}

void PostOneSchedule(const DBRow& row, CDBI* db) {
  if (!IsInteger(row[0]) || !IsInteger(row[1]) || !IsInteger(row[3])) {
    KLOG(KORB_LOG_ERROR,
         "PostOnDemandJobs: skipping a schedule row with a value that is not "
         "a number (SchedularID:'%s' JobTypeID:'%s' Priority:'%s')",
         row[0].c_str(), row[1].c_str(), row[3].c_str());
    return;
  }
  int schedularId = ToInt(row[0]);
  int jobTypeId = ToInt(row[1]);
  const std::string& scheduledTime = row[2];
  int priority = ToInt(row[3]);

  bool viaPoster = jobTypeId == JOB_TYPE_PATCH_SCAN ||
                   jobTypeId == JOB_TYPE_PATCH_DEPLOY;
  if (viaPoster && TargetMode(schedularId, db) != 0) {
    if (jobTypeId == JOB_TYPE_PATCH_SCAN) {
      PostScanJob(schedularId, scheduledTime, kTimeFormat, priority, db);
    } else {
      PostDeployJob(schedularId, scheduledTime, kTimeFormat, priority, db);
    }
    MarkSubmitted(schedularId, db);
    return;
  }
  if (PostToListedTargets(schedularId, jobTypeId, scheduledTime, priority,
                          db)) {
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
    std::string query = Format(kOnDemandQuery, "%Y-%m-%d %H:%i:%s",
                               JOB_TYPE_PATCH_SCAN, JOB_TYPE_PATCH_DEPLOY,
                               JOB_TYPE_CAB_DOWNLOAD, JOB_TYPE_ONDEMAND_17017,
                               db->m_nSiteID);
    KLOG(KORB_LOG_TRACE, "PostOnDemandJobs Select Querry cSqlQuery: %s",
         query.c_str());
    DBRows rows;
    db->getRows(query, {"SchedularID", "JobTypeID", "ScheduledTime", "Priority"},
                rows);
    if (rows.empty()) {
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
