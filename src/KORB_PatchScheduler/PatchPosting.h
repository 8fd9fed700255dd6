// Posting of the patch scan and patch deploy jobs of one schedule.
#pragma once

#include <string>

#include "DBI.h"

// How one posting of a schedule ended. kCompleted: every target was
// posted, or the schedule selects none. kIncomplete: a statement failed,
// the connection was lost, the profile was refused for an item that is not
// an integer, or an exception cut it short; what was posted stays and the
// caller posts the schedule again at its next pass.
enum class PostingResult { kCompleted, kIncomplete };

// completeRun: the schedule's current run was posted before and cut short;
// only the targets that hold no job of the run yet are posted.
PostingResult PostScanJob(int schedularId, const std::string& nextScheduleTime,
                          int timeFormat, int priority, CDBI* db,
                          bool completeRun = false);
PostingResult PostDeployJob(int schedularId,
                            const std::string& nextScheduleTime,
                            int timeFormat, int priority, CDBI* db,
                            bool completeRun = false);
