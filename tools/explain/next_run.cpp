// Next run of a recurring schedule, asked without writing.
#include <string>

#include "NextScheduleTime.h"
#include "explain_reports.h"

Doc NextRun(CDBI* db, int schedularInfoId, const std::string& lastSubmitted) {
  Doc run = Doc::Object();
  NextScheduleForecast forecast =
      ForecastNextSchedule(schedularInfoId, lastSubmitted, db);
  switch (forecast.source) {
    case NextScheduleSource::kNoFunction:
      run.Set("source", "unknown: the database has no GetNextScheduleTime");
      return run;
    case NextScheduleSource::kNoTwin:
      run.Set("source",
              "unknown: GetNextScheduleTime writes and cannot run read-only");
      return run;
    case NextScheduleSource::kFunction:
      run.Set("source", "GetNextScheduleTime");
      break;
    case NextScheduleSource::kTwin:
      run.Set("source",
              "the schedule functions GetNextScheduleTime is built from (it "
              "records its calls, which a read-only session refuses)");
      break;
  }
  if (!forecast.answered) {
    run.Set("answer", Doc());
    run.Set("due", false);
    return run;
  }
  const NextSchedule& next = forecast.next;
  run.Set("answer", next.answer);
  run.Set("time", next.answer == "-1" ? std::string() : next.time);
  run.Set("flag", next.hasFlag ? Doc::Number(next.flag) : Doc());
  run.Set("due", next.Due());
  return run;
}
