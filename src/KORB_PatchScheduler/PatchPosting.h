// Posting of the patch scan and patch deploy jobs of one schedule.
#pragma once

#include <string>

#include "DBI.h"

void PostScanJob(int schedularId, const std::string& nextScheduleTime,
                 int timeFormat, int priority, CDBI* db);
void PostDeployJob(int schedularId, const std::string& nextScheduleTime,
                   int timeFormat, int priority, CDBI* db);
