// The job row: direct inserts with the duplicate check, deploy job
// submission with the job handler signal, operation and task ids.
#pragma once

#include <string>

#include "DBI.h"
#include "JobOutcome.h"  // CountOpenJobs, shared with the explain tool

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

int GetOperationId(CDBI* db);
int GetJobTaskID(int schedularId, int systemId, CDBI* db);
