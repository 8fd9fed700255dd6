// The job row: direct inserts with the duplicate check, deploy job
// submission with the job handler signal, operation and task ids.
#pragma once

#include <string>

#include "DBI.h"

constexpr int JOB_TYPE_PATCH_DEPLOY = 10025;
constexpr int JOB_TYPE_PATCH_SCAN = 10027;
constexpr int JOB_TYPE_CAB_DOWNLOAD = 10037;
constexpr int JOB_TYPE_ONDEMAND_17017 = 17017;
constexpr int SH_PATCH_DOWNLOAD_SIGNAL = 16;

void InsertJob(int jobTypeId, int systemId, int redoId, int schedularId,
               int operationId, const std::string& scheduleTime,
               int timeFormat, int taskId, int priority, CDBI* db,
               int tppmParamValue);

void InsertDeployJob(int jobTypeId, int systemId, int redoId, int schedularId,
                     int operationId, const std::string& scheduledTime,
                     int timeFormat, int taskId, int profileId, int priority,
                     CDBI* db);

// Open jobs (any status but -1, 1 and -2) that make a new job of this
// type for the system a duplicate: for scans, those of the same schedule
// plus the scans of any schedule with the same TPPM parameter (564)
// value; for other types, every open job of the type. Only reads; 0 when
// the query fails, so a failed count posts the job open rather than
// losing it.
int CountOpenJobs(int jobTypeId, int systemId, int schedularId,
                  int tppmParamValue, CDBI* db);

int GetOperationId(CDBI* db);
int GetJobTaskID(int schedularId, int systemId, CDBI* db);
