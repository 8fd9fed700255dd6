// Next run of a recurring schedule, asked without writing.
#include <string>

#include "explain_reports.h"
#include "ProcessState.h"

namespace {

constexpr char kRoutineAccessQuery[] =
    "select SQL_DATA_ACCESS as outputvalue from information_schema.ROUTINES "
    "where ROUTINE_SCHEMA = database() and ROUTINE_TYPE = 'FUNCTION' and "
    "ROUTINE_NAME = '%s'";

// The question the scheduled patch jobs thread asks.
constexpr char kNextScheduleQuery[] =
    "select GetNextScheduleTime(%d, '%s', 1, %d) as outputvalue";

// GetNextScheduleTime's answer from the read-only functions it is built
// from: the latest run at or before now when it lies after the last
// submission (flag 0 for a schedule never submitted, else 1), otherwise
// the next run after the later of now and the last submission (flag 2),
// or -1 when there is none.
constexpr char kReadOnlyNextQuery[] =
    "select case when d.due is not null and (d.last is null or d.due > "
    "d.last) then concat(date_format(d.due, '%s'), '|', if(d.last is null, "
    "0, 1)) else ifnull(concat(date_format(ScheduleRunAfter(%d, if(d.last > "
    "d.now, d.last, d.now)), '%s'), '|2'), '-1') end as outputvalue from "
    "(select now() as now, ParseScheduleTime('%s') as last, "
    "ScheduleRunNotAfter(%d, now()) as due) d";

constexpr char kTimeFormat[] = "%Y-%m-%d %H:%i:%s";

std::string RoutineAccess(CDBI* db, const char* name) {
  std::string access;
  db->getValueFromQuery(Format(kRoutineAccessQuery, name), access);
  return access;
}

}  // namespace

Doc NextRun(CDBI* db, int schedularInfoId, const std::string& lastSubmitted) {
  Doc run = Doc::Object();
  std::string last = db->EscapeString(lastSubmitted);
  std::string query;
  std::string access = RoutineAccess(db, "GetNextScheduleTime");
  if (access.empty()) {
    run.Set("source", "unknown: the database has no GetNextScheduleTime");
    return run;
  }
  if (access != "MODIFIES SQL DATA") {
    query = Format(kNextScheduleQuery, schedularInfoId, last.c_str(),
                   db->m_nSiteID);
    run.Set("source", "GetNextScheduleTime");
  } else if (!RoutineAccess(db, "ScheduleRunNotAfter").empty() &&
             !RoutineAccess(db, "ScheduleRunAfter").empty() &&
             !RoutineAccess(db, "ParseScheduleTime").empty()) {
    query = Format(kReadOnlyNextQuery, kTimeFormat, schedularInfoId,
                   kTimeFormat, last.c_str(), schedularInfoId);
    run.Set("source",
            "the schedule functions GetNextScheduleTime is built from (it "
            "records its calls, which a read-only session refuses)");
  } else {
    run.Set("source",
            "unknown: GetNextScheduleTime writes and cannot run read-only");
    return run;
  }

  std::string answer;
  if (db->getValueFromQuery(query, answer) != 1) {
    run.Set("answer", Doc());
    run.Set("due", false);
    return run;
  }
  run.Set("answer", answer);
  // As the scheduled thread splits it: the time runs to the first bar or
  // apostrophe, the flag is the word after the bar; flags 0 and 1 post now.
  size_t bar = answer.find_first_of("|'");
  bool hasFlag = bar != std::string::npos && answer[bar] == '|' && bar > 0;
  int flag = hasFlag ? ToInt(answer.substr(bar + 1)) : -1;
  run.Set("time", answer == "-1" ? std::string() : answer.substr(0, bar));
  run.Set("flag", hasFlag ? Doc::Number(flag) : Doc());
  run.Set("due", hasFlag && (flag == 0 || flag == 1));
  return run;
}
