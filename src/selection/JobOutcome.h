// What a posting pass does for one target system, decided by reads only:
// redo an interrupted job, post an open job, or write a closed duplicate.
// The posting passes call these before they write; the explain tool calls
// them to forecast a pass without writing.
#pragma once

#include <string>
#include <unordered_set>
#include <vector>

#include "DBI.h"

// Systems with a job of this type and schedule waiting for a redo (-3).
std::unordered_set<int> InterruptedSystems(int jobTypeId, int schedularId,
                                           CDBI* db);

// JobID of the system's job of this type and schedule waiting for a redo;
// 0 when there is none (or the look-up failed).
int InterruptedJobId(int systemId, int jobTypeId, int schedularId, CDBI* db);

// Open jobs (any status but -1, 1 and -2) that make a new job of this
// type for the system a duplicate: for scans, those of the same schedule
// plus the scans of any schedule with the same TPPM parameter (564)
// value; for other types (the deploy procedure counts the same way), every
// open job of the type. A job ignoredJobId (nonzero) is left out: the
// posting fails an interrupted job before its duplicate check. Only reads;
// 0 when the query fails, which the caller must see (StatementWatch) and
// then write nothing.
int CountOpenJobs(int jobTypeId, int systemId, int schedularId,
                  int tppmParamValue, CDBI* db, int ignoredJobId = 0);

struct JobForecast {
  int redoOf = 0;      // interrupted job the new one redoes (failed first)
  int openJobs = 0;    // the duplicate count; >= 1 writes a closed duplicate
  std::vector<int> openJobIds;  // the system's open jobs of the type
  bool Duplicate() const { return openJobs >= 1; }
};

// The forecast for one target of a posting pass of the schedule.
// interrupted: the system is in InterruptedSystems (profile postings only).
JobForecast ForecastJob(int jobTypeId, int schedularId, int systemId,
                        bool interrupted, int tppmParamValue, CDBI* db);
