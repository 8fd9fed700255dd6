// korb-explain lease: the scheduler lease in the main database, as its
// row says it on the database's clock: who holds it, the epoch, when it
// was granted and last renewed, when it expires or expired, and what the
// grant replaced. Reads one row; writes nothing.
#include "explain_reports.h"

namespace {

constexpr char kTableQuery[] =
    "select count(*) as present from information_schema.tables where table_schema = "
    "database() and table_name = 'korb_scheduler_lease'";

// Times to the millisecond, UTC: the server's clock decides expiry.
constexpr char kLeaseQuery[] =
    "select holder, epoch, ifnull(date_format(granted_at, '%Y-%m-%d %H:%i:%s.%f'), '') as "
    "granted_at, ifnull(date_format(renewed_at, '%Y-%m-%d %H:%i:%s.%f'), '') as renewed_at, "
    "date_format(expires_at, '%Y-%m-%d %H:%i:%s.%f') as expires_at, "
    "date_format(utc_timestamp(6), '%Y-%m-%d %H:%i:%s.%f') as db_now, "
    "timestampdiff(microsecond, utc_timestamp(6), expires_at) div 1000 as remaining_ms, "
    "ifnull(timestampdiff(second, granted_at, utc_timestamp(6)), '') as held_s, "
    "clean_end, prev_holder, prev_epoch, prev_clean_end from korb_scheduler_lease "
    "where name = 'scheduler'";
const std::vector<std::string> kColumns = {
    "holder",       "epoch",  "granted_at", "renewed_at",  "expires_at",  "db_now",
    "remaining_ms", "held_s", "clean_end",  "prev_holder", "prev_epoch", "prev_clean_end"};
enum Column {
  kHolder, kEpoch, kGranted, kRenewed, kExpires, kNow, kRemaining, kHeldS, kClean,
  kPrevHolder, kPrevEpoch, kPrevClean
};

// "2026-12-08 07:44:47.123456" -> "2026-12-08 07:44:47.123"
std::string Millis(const std::string& time) {
  return time.size() > 23 ? time.substr(0, 23) : time;
}

// The row's state: "held", "released" (an orderly end gave it up),
// "expired", or "never granted".
std::string State(const DBRow& row) {
  if (ToLong(row[kEpoch]) == 0) return "never granted";
  if (ToLong(row[kRemaining]) > 0) return "held";
  return row[kClean] == "1" ? "released" : "expired";
}

}  // namespace

ExitCode ReadLease(CDBI* db, Doc* lease, std::string* message) {
  DBRow present;
  if (db->getRow(kTableQuery, {"present"}, present) != 1 || present.empty()) {
    *message = "the lease table could not be looked up";
    return db->m_bConnectionError ? kExitUnreachable : kExitUsage;
  }
  Doc report = Doc::Object();
  report.Set("database", db->DatabaseName());
  if (present[0] != "1") {
    report.Set("state", "no lease table");
    report.Set("note",
               "korb_scheduler_lease is missing: load sql/04_scheduler_lease.sql; until "
               "then only one scheduler instance may run against this database");
    *lease = std::move(report);
    return kExitDone;
  }
  DBRows rows;
  if (db->getRows(kLeaseQuery, kColumns, rows) != 1) {
    *message = "the lease row could not be read";
    return db->m_bConnectionError ? kExitUnreachable : kExitUsage;
  }
  if (rows.empty()) {
    report.Set("state", "never granted");
    report.Set("epoch", 0);
    report.Set("note", "the lease row is not there yet: no instance has asked for it");
    *lease = std::move(report);
    return kExitDone;
  }
  const DBRow& row = rows[0];
  const std::string state = State(row);
  report.Set("state", state);
  report.Set("holder", row[kHolder].empty() ? Doc() : Doc::Text(row[kHolder]));
  report.Set("epoch", static_cast<long long>(ToLong(row[kEpoch])));
  report.Set("granted_at", row[kGranted].empty() ? Doc() : Doc::Text(Millis(row[kGranted])));
  report.Set("renewed_at", row[kRenewed].empty() ? Doc() : Doc::Text(Millis(row[kRenewed])));
  report.Set(state == "held" ? "expires_at" : "expired_at",
             state == "never granted" ? Doc() : Doc::Text(Millis(row[kExpires])));
  report.Set("database_now", Millis(row[kNow]));
  report.Set("clock", "the database's, UTC");
  if (state == "held") {
    report.Set("remaining_ms", static_cast<long long>(ToLong(row[kRemaining])));
    report.Set("held_for_s", static_cast<long long>(ToLong(row[kHeldS])));
  }
  if (state == "released" || state == "expired")
    report.Set("ended_in_order", row[kClean] == "1");
  Doc previous = Doc::Object();
  previous.Set("holder", row[kPrevHolder].empty() ? Doc() : Doc::Text(row[kPrevHolder]));
  previous.Set("epoch", static_cast<long long>(ToLong(row[kPrevEpoch])));
  previous.Set("ended_in_order", row[kPrevClean] == "1");
  report.Set("previous", std::move(previous));
  *lease = std::move(report);
  return kExitDone;
}

ExitCode ExplainLease(CDBI* db, Doc* report, std::string* message) {
  Doc lease;
  const ExitCode code = ReadLease(db, &lease, message);
  if (code != kExitDone) return code;
  Doc body = Doc::Object();
  body.Set("lease", std::move(lease));
  *report = std::move(body);
  return kExitDone;
}

std::string LeaseSummary(CDBI* db) {
  Doc lease;
  std::string message;
  if (ReadLease(db, &lease, &message) != kExitDone) return "not known: " + message;
  std::string state, holder, epoch, granted, renewed, expires;
  for (const auto& [key, value] : lease.members()) {
    if (key == "state") state = value.Plain();
    if (key == "holder") holder = value.Plain();
    if (key == "epoch") epoch = value.Plain();
    if (key == "granted_at") granted = value.Plain();
    if (key == "renewed_at") renewed = value.Plain();
    if (key == "expires_at" || key == "expired_at") expires = value.Plain();
  }
  if (state == "held")
    return "held by " + holder + " (epoch " + epoch + ") since " + granted +
           " UTC, renewed " + renewed + ", expires " + expires + " (database clock)";
  if (state == "released" || state == "expired")
    return state + " at " + expires + " UTC (database clock); last held by " + holder +
           " (epoch " + epoch + ")";
  return state;
}
