// The job row. InsertJob writes jobdetails directly; deploy jobs go through
// the Submitpatchdeployjobs procedure, which owns their rows. Every routine
// here runs on the caller's thread with the caller's database object; the
// only state shared between threads is g_nDeployJobCounter.
#include "JobRecords.h"

#include <cstdint>
#include <ctime>

#include "ProcessState.h"
#include "StatementWatch.h"
#include "scheduler_metrics.h"

namespace {

constexpr char kOperationIdQuery[] =
    "select max(operationid) as outputvalue from jobdetails";
constexpr char kTaskIdQuery[] =
    "select TaskID as outputvalue from jobsmasterdetail where systemid = %d "
    "and SchedularID = %d";

constexpr char kOpenJobInsert[] =
    "insert into JobDetails (SiteID, SchedularID, OperationID,JobTypeID,"
    "JobCategoryID,JobPriority,SystemID,ScheduleTime,SubmissionTime,RedoID,"
    "TaskID) values ";
constexpr char kClosedJobInsert[] =
    "insert into JobDetails (SiteID, SchedularID, OperationID,JobTypeID,"
    "JobCategoryID,JobPriority,SystemID,ScheduleTime,SubmissionTime,"
    "FinishedTime,RedoID,Status,StatusDescription,TaskID) values ";

constexpr char kSubmitDeployCall[] =
    "call Submitpatchdeployjobs(%ld, %d, %d, %d, %d, %d, '%s', %d, %d, %d, "
    "%d)";

constexpr int kDeploySignalEvery = 10;

const char* DuplicateDescription(int jobTypeId, int tppmParamValue) {
  if (jobTypeId == JOB_TYPE_CAB_DOWNLOAD)
    return "The CAB file download job for the system is already scheduled.";
  if (tppmParamValue != 0)
    return "The TPPM Patch Scan job for the system is already scheduled.";
  return "The Patch Scan job for the system is already scheduled.";
}

int JobCategoryFor(int jobTypeId) {
  if (jobTypeId == JOB_TYPE_CAB_DOWNLOAD) return 2061;
  if (jobTypeId == JOB_TYPE_ONDEMAND_17017) return 2075;
  return 0;
}

// The eighth value of the insert: where the row's ScheduleTime comes from.
// False for a time format that has no schedule value.
bool ScheduleTimeValue(const std::string& scheduleTime, int timeFormat,
                       int schedularId, const std::string& now, CDBI* db,
                       std::string* value) {
  // A year-month-day text always stands for the schedule's own stored
  // time; the on-demand poster hands such texts on unchanged.
  size_t dash = scheduleTime.find('-');
  int mode = (dash != std::string::npos && dash != 0) ? 2 : timeFormat;
  if (scheduleTime == "0") {
    *value = "'" + now + "'";
    return true;
  }
  switch (mode) {
    case 0:
      // The date format goes in as an argument: its % signs are data.
      *value = Format("STR_TO_DATE('%s','%s')",
                      db->EscapeString(scheduleTime).c_str(),
                      "%m/%d/%Y %h:%i:%s %p");
      return true;
    case 1:
      *value = "'" + db->EscapeString(scheduleTime) + "'";
      return true;
    case 2:
      *value = Format("(select ScheduledTime from jobsmaster where "
                      "Schedularid=%d)",
                      schedularId);
      return true;
    default:
      return false;
  }
}

// Counts one deploy submission; true on every eleventh, which resets the
// count. Test and update are one step, so two threads never both reset it
// and never both see the same eleventh.
bool TakeDeploySignalTurn() {
  int32_t current = g_nDeployJobCounter.load();
  for (;;) {
    bool signal = current >= kDeploySignalEvery;
    if (g_nDeployJobCounter.compare_exchange_weak(current,
                                                  signal ? 0 : current + 1))
      return signal;
  }
}

}  // namespace

int GetOperationId(CDBI* db) {
  KLOG(16, "GetOperationId Entry");
  int result = 0;
  try {
    std::string value;
    if (db->getValueFromQuery(kOperationIdQuery, value) == 1)
      result = ToInt(value) + 1;
    else
      result = 1;
  } catch (...) {
    KLOG(2, "Exception in GetOperationId");
    result = 0;
  }
  KLOG(16, "GetOperationId Exit");
  return result;
}

int GetJobTaskID(int schedularId, int systemId, CDBI* db) {
  try {
    std::string value;
    db->getValueFromQuery(Format(kTaskIdQuery, systemId, schedularId), value);
    return ToInt(value);
  } catch (...) {
    KLOG(2, "GetJobTaskID: Exception");
    return 0;
  }
}

void InsertJob(int jobTypeId, int systemId, int redoId, int schedularId,
               int operationId, const std::string& scheduleTime,
               int timeFormat, int /*taskId: the detail row decides*/,
               int priority, CDBI* db, int tppmParamValue) {
  KLOG(16, "InsertJob: Entry");
  try {
    const char* description = DuplicateDescription(jobTypeId, tppmParamValue);
    StatementWatch watch;
    int taskId = GetJobTaskID(schedularId, systemId, db);
    int category = JobCategoryFor(jobTypeId);
    std::string now = FormatLocalTime(std::time(nullptr), "%Y-%m-%d %H:%M:%S");
    int openJobs =
        CountOpenJobs(jobTypeId, systemId, schedularId, tppmParamValue, db);
    // Without its task and its duplicate count the row could be a second
    // open job; the caller sees the failure and posts the system later.
    if (watch.Failed()) {
      KLOG(16, "InsertJob: Exit");
      return;
    }

    std::string scheduleValue;
    if (!ScheduleTimeValue(scheduleTime, timeFormat, schedularId, now, db,
                           &scheduleValue)) {
      KLOG(2, "InsertJob: time format %d is not known; no job for system %d "
              "of schedule %d",
           timeFormat, systemId, schedularId);
      KLOG(16, "InsertJob: Exit");
      return;
    }

    std::string statement = openJobs < 1 ? kOpenJobInsert : kClosedJobInsert;
    statement += Format("(%d,%d,%d,%d,%d,%d,%d,", db->m_nSiteID, schedularId,
                        operationId, jobTypeId, category, priority, systemId);
    statement += scheduleValue;
    if (openJobs < 1) {
      statement += Format(",'%s',%d,%d)", now.c_str(), redoId, taskId);
    } else {
      statement += Format(",'%s','%s',%d,%d,'%s',%d)", now.c_str(),
                          now.c_str(), redoId, JOB_STATUS_CLOSED, description,
                          taskId);
    }
    metrics::JobInserted(jobTypeId, db->executeSQL(statement) >= 0, openJobs >= 1, redoId != 0);
  } catch (...) {
    KLOG(2, "InsertJob: Exception");
  }
  KLOG(16, "InsertJob: Exit");
}

void InsertDeployJob(int jobTypeId, int systemId, int redoId, int schedularId,
                     int operationId, const std::string& scheduledTime,
                     int timeFormat, int /*taskId: the detail row decides*/,
                     int profileId, int priority, CDBI* db) {
  try {
    StatementWatch watch;
    int taskId = GetJobTaskID(schedularId, systemId, db);
    if (watch.Failed()) return;  // the caller sees it and posts it later
    KLOG(8,
         "InsertDeployJob: Submitpatchdeployjobs() - JobTypeID:%d, "
         "SystemID:%d, RedoID:%d, SchedularID:%d, OperationId:%d, "
         "ScheduledTime:%s, TimeFormat:%d, TaskID:%d, ProfileID:%d, "
         "Priority:%d",
         jobTypeId, systemId, redoId, schedularId, operationId,
         scheduledTime.c_str(), timeFormat, taskId, profileId, priority);
    metrics::JobSubmitted(jobTypeId, db->executeSQLProcedure(Format(
        kSubmitDeployCall, static_cast<long>(db->m_nSiteID), jobTypeId,
        systemId, redoId, schedularId, operationId,
        db->EscapeString(scheduledTime).c_str(), timeFormat, taskId,
        profileId, priority)));
    KLOG(8, "InsertDeployJob:: Submitpatchdeployjobs() Call Ended");

    if (!TakeDeploySignalTurn()) return;

    if (db->m_nInstallType != KORB_INSTALL_TYPE_MASTER) {
      KLOG(8, "InsertDeployJob: not a KORB_INSTALL_TYPE_MASTER to send signal");
      return;
    }
    KLOG(8, "InsertDeployJob: KORB_INSTALL_TYPE_MASTER");
    std::string host;
    long port = 0;
    if (db->GetJobHandlerDetails(host, port) < 0) {
      KLOG(2, "InsertDeployJob: Unable to retrieve Probe Master Details");
      return;
    }
    CUDPClient client(static_cast<int>(port), host);
    CSignalInfo info;
    info.SetSignalType(SH_PATCH_DOWNLOAD_SIGNAL);
    if (client.SendUDPSignal(info) != KORB_SUCCESS) {
      KLOG(2, "InsertDeployJob: SH_PATCH_DOWNLOAD_SIGNAL to JobHandler %s:%ld "
              "failed: %s",
           host.c_str(), port, client.LastError().c_str());
      return;
    }
    KLOG(8, "InsertDeployJob: SH_PATCH_DOWNLOAD_SIGNAL Signal sent to "
            "JobHandler!!!");
  } catch (...) {
    KLOG(8, "InsertDeployJob:: (--Exception Caught--");
  }
}
