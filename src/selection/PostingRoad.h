// Which way a patch job thread takes a schedule's targets, and the reads
// of that choice: the schedule's parameters and its own system list. The
// threads decide with these and the explain tool forecasts with them. Only
// reads; runs on the caller's thread with the caller's database object.
#pragma once

#include <string>

#include "DBI.h"

enum class PostingRoad {
  kProfile,     // the scan or deploy posting selects from the profile
  kListed,      // one job per row of the schedule's jobsmasterdetail
  kCabSystem1,  // one CAB file download job for system 1
  kNotPosted,   // the thread posts nothing for this job type
};

// The road of a job type of a schedule: recurring (JobScheduledType 1)
// scans and deploys use the profile, recurring CAB downloads system 1;
// on-demand (0) scans and deploys use the profile when the schedule's
// target mode (its first parameter value) is nonzero, and every other
// on-demand job type of the thread uses the listed systems.
PostingRoad ChoosePostingRoad(bool recurring, int jobTypeId, int schedularId,
                              CDBI* db);

// Value of the schedule's job parameter paramId as an integer; 0 when it
// is absent or the read fails (*found then false, when given).
int ScheduleParamValue(int schedularId, int paramId, CDBI* db,
                       bool* found = nullptr);

// The schedule's own target rows of a job type: SystemID and TaskID in
// that order, as stored.
DBRows ReadListedTargets(int schedularId, int jobTypeId, CDBI* db);

// A listed row is posted only when both its values are numbers.
bool ListedTargetUsable(const DBRow& row);
