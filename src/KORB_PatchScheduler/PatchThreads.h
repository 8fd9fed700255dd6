// The patch job worker threads and the CAB download job routines.
//
// The three thread procedures never return in normal operation; after an
// unexpected exception they log it and return (uint32_t)-1 so that the
// supervision tick restarts them. Each creates a fresh wake-up event when
// it starts and stores it in its slot of the process-wide state.
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

// Test hooks (thread-safe).
//
// The next InternalDeployJobPoster thread to start begins its job counter
// at value instead of 0 (one-shot).
void SetInternalDeployJobCounterForTest(int32_t value);
// Until cleared with "", every cycle of the named thread
// ("PerformPatchJobs", "PerformOndemandPatchJobs" or
// "InternalDeployJobPoster") throws at its start, as an unexpected failure
// would, so the thread ends through its outermost handler.
void InjectPatchThreadFaultForTest(const std::string& threadName);
