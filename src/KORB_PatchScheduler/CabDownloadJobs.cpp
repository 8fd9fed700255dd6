// CAB file download jobs (job type 10037): posting a due schedule, and
// re-posting failed downloads after the time-out cycles of the scheduled
// patch jobs thread.
//
// Only one CAB download should run at a time anywhere: a retry that finds
// another download active closes the failed job instead of re-posting it.
// The retry limit and delay come from the default global patch profile.
#include <chrono>
#include <string>
#include <vector>

#include "JobRecords.h"
#include "PatchThreads.h"
#include "ProcessState.h"
#include "scheduler_metrics.h"

namespace {

constexpr char kFailEarlierJobs[] =
    "update jobdetails set status = %d,finishedtime=now()  where "
    "JobTypeID=%d and SchedularID =%d and (status = %d or status = 0)";

constexpr char kFailedScheduleQuery[] =
    "select jm.SchedularID as Schedularid from jobsmaster jm, "
    "jobsmasterdetail jd, jobdetails j where jm.schedularid=jd.schedularid "
    "and j.schedularid=jm.schedularid and j.jobtypeid = %d and j.status=-1 "
    "and jm.siteID = %d";

constexpr char kProfileValueQuery[] =
    "select iv.ProfileValues as outputvalue from Orbprofilevalues iv, "
    "orbprofilemaster im where columnid = %d and iv.profileid=im.profileid "
    "and im.profilename='%s'";

constexpr char kActiveCabJobsQuery[] =
    "select count(*) as outputvalue from jobdetails where jobtypeid=10037 "
    "and status in(0,2,3)";

constexpr char kCloseFailedJob[] =
    "update jobdetails set status=1 , finishedtime=now(), "
    "statusdescription='The CAB file download job for the system is already "
    "scheduled.' where SchedularID = %d and RetryCount < %d and status = -1 "
    "order by jobid desc limit 1";

constexpr char kRepostFailedJob[] =
    "update jobdetails set ScheduleTime = '%s',  Status=0, RetryCount= "
    "RetryCount+1, StatusDescription='Job-Reposted' where SchedularID = %d "
    "and RetryCount < %d and status = -1 order by jobid desc limit 1";

constexpr char kDefaultPatchProfile[] = "Default global patch profile";
constexpr int kRetryLimitColumn = 85;
constexpr int kRetryDelayColumn = 86;
constexpr int kDefaultRetryLimit = 2;
constexpr int kDefaultRetryDelayHours = 1;

constexpr int kCabSystemId = 1;
constexpr int kCabPriority = 3000;
constexpr int kTimeFormat = 1;

// A positive profile value, or fallback when it is missing or not positive.
int ProfileValueOr(int column, int fallback, CDBI* db) {
  std::string value;
  db->getValueFromQuery(
      Format(kProfileValueQuery, column, kDefaultPatchProfile), value);
  int number = ToInt(value);
  return number > 0 ? number : fallback;
}

std::string LocalTimeAfterHours(int hours) {
  int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                    std::chrono::system_clock::now().time_since_epoch())
                    .count();
  return FormatLocalTime(now + int64_t{hours} * 3600, "%Y-%m-%d %H:%M:%S");
}

}  // namespace

void PostCabFileDownloadJob(int schedularId, const std::string& scheduleTime,
                            CDBI* db) {
  KLOG(KORB_LOG_TRACE, "PostCabFileDownloadJob Entry");
  try {
    metrics::PostingRun posting(metrics::PostingKind::kCabDownload);
    posting.Targets(1);
    db->executeSQL(Format(kFailEarlierJobs, JOB_STATUS_FAILED,
                          JOB_TYPE_CAB_DOWNLOAD, schedularId,
                          JOB_STATUS_REDO));
    int operationId = GetOperationId(db);
    InsertJob(JOB_TYPE_CAB_DOWNLOAD, kCabSystemId, 0, schedularId,
              operationId, scheduleTime, kTimeFormat, 0, kCabPriority, db, 0);
  } catch (...) {
    KLOG(KORB_LOG_ERROR,
         "Exception while posting a job to  downloading CABFILE");
  }
  KLOG(KORB_LOG_TRACE, "PostCabFileDownloadJob Exit");
}

void PostCabDownloadRetryJobs(CDBI* db) {
  KLOG(KORB_LOG_INFO, "PostCabDownloadRetryJobs Entry");
  try {
    std::vector<std::string> schedules;
    db->getValueFromEachRow(
        Format(kFailedScheduleQuery, JOB_TYPE_CAB_DOWNLOAD, db->m_nSiteID),
        "Schedularid", schedules);
    if (schedules.empty()) {
      KLOG(KORB_LOG_TRACE, "There is no CAB Download failed job to process");
      return;
    }
    int retryLimit =
        ProfileValueOr(kRetryLimitColumn, kDefaultRetryLimit, db);
    int retryDelayHours =
        ProfileValueOr(kRetryDelayColumn, kDefaultRetryDelayHours, db);
    // One time for every job re-posted by this call.
    std::string retryTime = LocalTimeAfterHours(retryDelayHours);
    if (retryTime.empty()) {
      KLOG(KORB_LOG_ERROR,
           "PostCabDownloadRetryJobs: retry delay of %d hours gives no valid "
           "time; no job re-posted",
           retryDelayHours);
      KLOG(KORB_LOG_TRACE, "PostCabDownloadRetryJobs Exit");
      return;
    }

    for (const std::string& entry : schedules) {
      if (!IsInteger(entry)) {
        KLOG(KORB_LOG_ERROR,
             "PostCabDownloadRetryJobs: skipping SchedularID '%s', not a "
             "number",
             entry.c_str());
        continue;
      }
      int schedularId = ToInt(entry);
      std::string active;
      db->getValueFromQuery(kActiveCabJobsQuery, active);
      if (ToInt(active) > 0) {
        db->executeSQL(Format(kCloseFailedJob, schedularId, retryLimit));
      } else {
        db->executeSQL(Format(kRepostFailedJob, retryTime.c_str(),
                              schedularId, retryLimit));
      }
    }
  } catch (...) {
    KLOG(KORB_LOG_ERROR, "Exception while Post Cab Download Retry Jobs");
  }
  KLOG(KORB_LOG_TRACE, "PostCabDownloadRetryJobs Exit");
}
