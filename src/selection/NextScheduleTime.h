// The next run of a recurring schedule, as the database function
// GetNextScheduleTime answers it, and its read-only twin.
//
// The scheduled patch jobs thread asks the function itself; it records
// every call in procedurecalllog, which a read-only session refuses. The
// explain tool then asks the twin, a statement over the same read-only
// schedule functions the function is built from, giving the same answer
// text. Both statements live here, side by side, and a test holds them to
// the same answers. Nothing here keeps state; the statements run on the
// caller's database object and thread.
#pragma once

#include <string>

#include "DBI.h"

// An answer split as the thread reads it: the time runs up to the first
// bar or apostrophe, the flag is the word after the bar. Flags 0 and 1
// post now (0: never submitted before); 2 names a later run; "-1" means
// there is none.
struct NextSchedule {
  std::string answer;
  std::string time;
  bool hasFlag = false;
  int flag = 0;
  // True when the thread would stamp and post the schedule now.
  bool Due() const { return hasFlag && (flag == 0 || flag == 1); }
};

NextSchedule SplitNextScheduleAnswer(const std::string& answer);

// The thread's call of GetNextScheduleTime for a schedule-info ID and the
// schedule's LastSubmittedTime text (escaped here), for db's site.
std::string NextScheduleTimeCall(int schedularInfoId,
                                 const std::string& lastSubmitted, CDBI* db);

// The same question without a write: one statement over
// ScheduleRunNotAfter, ScheduleRunAfter and ParseScheduleTime whose
// outputvalue is the text GetNextScheduleTime would return.
std::string ReadOnlyNextScheduleTimeQuery(int schedularInfoId,
                                          const std::string& lastSubmitted,
                                          CDBI* db);

// How a read-only caller asked, for its report.
enum class NextScheduleSource {
  kFunction,     // GetNextScheduleTime itself (it does not write here)
  kTwin,         // ReadOnlyNextScheduleTimeQuery
  kNoFunction,   // the database has no GetNextScheduleTime
  kNoTwin,       // it writes, and the functions of the twin are missing
};

struct NextScheduleForecast {
  NextScheduleSource source = NextScheduleSource::kNoFunction;
  bool answered = false;  // the statement ran and returned a value
  NextSchedule next;
};

// Asks without writing: the function when the database declares it does
// not modify data, else the twin. Never throws.
NextScheduleForecast ForecastNextSchedule(int schedularInfoId,
                                          const std::string& lastSubmitted,
                                          CDBI* db);
