// The patch job worker threads and the CAB download job routines.
#pragma once

#include <cstdint>
#include <string>

#include "DBI.h"

uint32_t PerformPatchJobs();
void PostScheduledJobs(CDBI* db);

uint32_t PerformOndemandPatchJobs();
void PostOnDemandJobs(CDBI* db);

void PostCabFileDownloadJob(int schedularId, const std::string& scheduleTime,
                            CDBI* db);
void PostCabDownloadRetryJobs(CDBI* db);

uint32_t InternalDeployJobPoster();
