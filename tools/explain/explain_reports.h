// The three korb-explain commands. Each reads through the given database
// objects only and returns its report; exit codes other than kExitDone
// come back with *message saying why.
#pragma once

#include <string>

#include "DBI.h"
#include "explain_database.h"
#include "explain_options.h"
#include "report_doc.h"

ExitCode ExplainSchedule(CDBI* db, int schedularId, long limit, Doc* report,
                         std::string* message);
ExitCode ExplainSystem(CDBI* db, int systemId, Doc* report,
                       std::string* message);
ExitCode ExplainDue(CDBI* db, Doc* report, std::string* message);
ExitCode ExplainCustomers(ExplainDatabase& databases, Doc* report,
                          std::string* message);
// The scheduler lease of the main database db: {lease: {state, holder,
// epoch, granted_at, renewed_at, expires_at or expired_at, database_now,
// ...}}, times on the database's clock.
ExitCode ExplainLease(CDBI* db, Doc* report, std::string* message);
// The same as one line for other reports ("held by ... since ...").
std::string LeaseSummary(CDBI* db);

// The next run of a recurring schedule as GetNextScheduleTime answers it:
// {answer, time, flag, due, source}. The function records its calls, so
// in a read-only session the answer is computed by the same schedule
// functions it is built from; "source" says which way was taken.
Doc NextRun(CDBI* db, int schedularInfoId, const std::string& lastSubmitted);

// PATCH_SCAN_STATUS of the database: the patch threads post only when 1.
int PatchScanStatus(CDBI* db);

// True when the on-demand thread's own query finds the schedule due now.
bool OnDemandDue(CDBI* db, int schedularId);

// "patch scan", "patch deploy", ... for reports.
const char* JobTypeName(int jobTypeId);

// The MySQL date format the patch threads read schedule times with.
inline constexpr char kTimeFormat[] = "%Y-%m-%d %H:%i:%s";
