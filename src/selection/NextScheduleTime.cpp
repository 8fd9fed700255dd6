// GetNextScheduleTime's call, its read-only twin and the answer's split.
#include "NextScheduleTime.h"

#include "ProcessState.h"

namespace {

constexpr char kNextScheduleQuery[] =
    "select GetNextScheduleTime(%d, '%s', 1, %d) as outputvalue";

// GetNextScheduleTime's own steps: the latest run at or before now when it
// lies after the last submission (flag 0 for a schedule never submitted,
// else 1), otherwise the next run after the later of now and the last
// submission (flag 2), or -1 when there is none.
constexpr char kReadOnlyNextQuery[] =
    "select case when d.due is not null and (d.last is null or d.due > "
    "d.last) then concat(date_format(d.due, '%s'), '|', if(d.last is null, "
    "0, 1)) else ifnull(concat(date_format(ScheduleRunAfter(%d, if(d.last > "
    "d.now, d.last, d.now)), '%s'), '|2'), '-1') end as outputvalue from "
    "(select now() as now, ParseScheduleTime('%s') as last, "
    "ScheduleRunNotAfter(%d, now()) as due) d";

constexpr char kRoutineAccessQuery[] =
    "select SQL_DATA_ACCESS as outputvalue from information_schema.ROUTINES "
    "where ROUTINE_SCHEMA = database() and ROUTINE_TYPE = 'FUNCTION' and "
    "ROUTINE_NAME = '%s'";

constexpr char kTimeFormat[] = "%Y-%m-%d %H:%i:%s";
constexpr char kBlanks[] = " \t\r\n\v\f";

std::string RoutineAccess(CDBI* db, const char* name) {
  std::string access;
  db->getValueFromQuery(Format(kRoutineAccessQuery, name), access);
  return access;
}

}  // namespace

NextSchedule SplitNextScheduleAnswer(const std::string& answer) {
  NextSchedule next;
  next.answer = answer;
  size_t end = answer.find_first_of("|'");
  next.time = answer.substr(0, end);
  if (next.time.empty() || end == std::string::npos || answer[end] != '|')
    return next;
  size_t flagStart = answer.find_first_not_of(kBlanks, end + 1);
  if (flagStart == std::string::npos) return next;
  size_t flagEnd = answer.find_first_of(kBlanks, flagStart);
  next.hasFlag = true;
  next.flag = ToInt(answer.substr(flagStart, flagEnd - flagStart));
  return next;
}

std::string NextScheduleTimeCall(int schedularInfoId,
                                 const std::string& lastSubmitted, CDBI* db) {
  return Format(kNextScheduleQuery, schedularInfoId,
                db->EscapeString(lastSubmitted).c_str(), db->m_nSiteID);
}

std::string ReadOnlyNextScheduleTimeQuery(int schedularInfoId,
                                          const std::string& lastSubmitted,
                                          CDBI* db) {
  return Format(kReadOnlyNextQuery, kTimeFormat, schedularInfoId, kTimeFormat,
                db->EscapeString(lastSubmitted).c_str(), schedularInfoId);
}

NextScheduleForecast ForecastNextSchedule(int schedularInfoId,
                                          const std::string& lastSubmitted,
                                          CDBI* db) {
  NextScheduleForecast forecast;
  // An account that may only read sees no GetNextScheduleTime (it has no
  // right to run it) but the twin's functions it was granted.
  std::string access = RoutineAccess(db, "GetNextScheduleTime");
  std::string query;
  if (!access.empty() && access != "MODIFIES SQL DATA") {
    forecast.source = NextScheduleSource::kFunction;
    query = NextScheduleTimeCall(schedularInfoId, lastSubmitted, db);
  } else if (!RoutineAccess(db, "ScheduleRunNotAfter").empty() &&
             !RoutineAccess(db, "ScheduleRunAfter").empty() &&
             !RoutineAccess(db, "ParseScheduleTime").empty()) {
    forecast.source = NextScheduleSource::kTwin;
    query = ReadOnlyNextScheduleTimeQuery(schedularInfoId, lastSubmitted, db);
  } else {
    forecast.source = access.empty() ? NextScheduleSource::kNoFunction
                                     : NextScheduleSource::kNoTwin;
    return forecast;
  }
  std::string answer;
  forecast.answered = db->getValueFromQuery(query, answer) == 1;
  if (forecast.answered) forecast.next = SplitNextScheduleAnswer(answer);
  return forecast;
}
