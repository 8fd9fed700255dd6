// The statements of the scheduler lease, on a connection of their own.
//
// The lease is the row name='scheduler' of korb_scheduler_lease in the main
// database (sql/04_scheduler_lease.sql). Expiry is decided on the
// database's clock: every grant and renewal sets expires_at from the
// server's UTC_TIMESTAMP(6), and every condition compares with it there.
// Every change of the lease is one conditional UPDATE judged by the rows it
// matched (the connection is opened with CLIENT_FOUND_ROWS), never a read
// followed by a write. Each grant raises the epoch by one: the fencing
// token of the holder's writes.
//
// The connection has short time-outs (connect, read and write) and TCP
// keepalives, so a silent server costs a call a few seconds at most; a
// lost connection is made again by the next call.
//
// Not thread-safe: one LeaseStore is used by one thread (the lease keeper
// or a tool).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace lease {

struct StoreSettings {
  std::string option_file;  // MySQL-style option file
  std::string dsn;          // its group for the main database
  std::string database;     // empty: the group's database key
  unsigned int timeout_s = 2;  // connect, read and write time-out
  bool read_only = false;      // a tool's session: reads only
};

// What a call found out.
enum class Outcome {
  kDone,      // the statement matched the row: granted, renewed, released
  kRefused,   // it matched nothing: held by another, or no longer ours
  kFailed,    // no answer or an error: nothing is known (see Error())
};

// The lease row as read by Read(). Times are the server's, UTC.
struct LeaseRow {
  std::string holder;
  uint64_t epoch = 0;
  std::string granted_at;
  std::string expires_at;
  int64_t remaining_ms = 0;  // expires_at - UTC_TIMESTAMP(6); <= 0: expired
  bool clean_end = false;    // the holder of epoch released it after an orderly end
  // What the grant of epoch replaced.
  std::string previous_holder;
  uint64_t previous_epoch = 0;
  bool previous_clean_end = false;
};

class LeaseStore {
 public:
  explicit LeaseStore(StoreSettings settings);
  ~LeaseStore();
  LeaseStore(const LeaseStore&) = delete;
  LeaseStore& operator=(const LeaseStore&) = delete;

  // Makes sure the lease row exists (INSERT IGNORE; it never changes a
  // lease). kFailed when the table is missing or the server cannot be
  // reached.
  Outcome EnsureRow();

  // Grants the lease to holder for duration_ms when it has expired, was
  // released, or is already holder's (a holder name is one instance: the
  // process that had it is gone when another of the same name asks). On
  // kDone *epoch is the new epoch and *granted the row as it now is.
  Outcome TryAcquire(const std::string& holder, int64_t duration_ms, uint64_t* epoch,
                     LeaseRow* granted);

  // Extends the lease by duration_ms from now (the server's clock) while
  // holder still has epoch and it has not expired.
  Outcome Renew(const std::string& holder, uint64_t epoch, int64_t duration_ms);

  // Ends the lease of holder's epoch at once, recording whether its end
  // was orderly (the next holder then knows whether to repair its work).
  Outcome Release(const std::string& holder, uint64_t epoch, bool clean_end);

  // Reads the row.
  Outcome Read(LeaseRow* row);

  // The server's message of the last kFailed, with the statement's name.
  const std::string& Error() const { return error_; }
  // True when the last failed change got an error back from the server
  // (a lock wait, a deadlock): the server is there, only the change failed.
  bool LastFailureWasAnswered() const { return last_errno_ > 0 && last_errno_ < 2000; }

  // Closes the connection (the next call opens a new one).
  void Close();

 private:
  struct Connection;
  // Runs an UPDATE/INSERT; *matched gets the rows matched. False on failure.
  bool Change(const char* what, const std::string& statement, uint64_t* matched);
  bool Connect();

  const StoreSettings settings_;
  std::unique_ptr<Connection> connection_;
  unsigned int last_errno_ = 0;  // of the last failed change
  std::string error_;
};

// Quotes text for a statement of a NO_BACKSLASH_ESCAPES session.
std::string QuoteForLease(const std::string& text);

}  // namespace lease
