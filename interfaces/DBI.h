// The suite database access library: CDBI over MariaDB Connector/C.
//
// Connection settings come from a MySQL-style option file: its path is
// $KORB_DB_CONFIG, default <install>/ConsoleManagement/config/korb-db.cnf.
// A data source name (DSN) is the name of a group in that file; keys such
// as host, port, socket, user, password and database are the client
// library's own. The group must exist: a missing file or group leaves the
// object not ready (the client library would silently fall back to the
// default socket). The daemon's own keys come from the same group:
//
//   korb-msp-flag           m_nMSPFlag        default 0
//   korb-site-id            m_nSiteID         default 1
//   korb-probe-id           m_nProbeID        default 1
//   korb-install-type       m_nInstallType    default 1 (master)
//   korb-addon-selector     m_nAddOnSelector  default 0
//   korb-statement-timeout  seconds a statement may take (1..86400, default 600)
//   korb-reconnect-window   scaled seconds a lost connection is tried again
//                           (0..3600, default 10)
//
// Every korb-* key holds an integer except those named korb-*-address;
// any other value leaves the object not ready (InvalidSetting says why).
// Other parts of the daemon read their keys with GetOption and
// GetIntegerOption. The main object uses the DSN $KORB_DSN (default "orb")
// and the group's database key (default "orb").
//
// Thread safety: every operation may be called from any number of threads
// at once. Each calling thread gets a session of its own, opened on first
// use. Every session runs with sql_mode STRICT_TRANS_TABLES,
// ERROR_FOR_DIVISION_BY_ZERO,NO_BACKSLASH_ESCAPES,NO_ENGINE_SUBSTITUTION
// and utf8mb4.
//
// Per-customer objects: deleting one hands its sessions to a process-wide
// store, and the next object of the same group and database takes them
// instead of connecting (kept at most 10 scaled minutes unused). After a
// failed connect, objects of that group and database do not try again for
// a back-off of 5 s doubling to 300 s (scaled): they are made not ready at
// once, their not-ready reason saying so.
//
// Failure: a failed statement is logged once at level 2 with the statement
// and the server's message and reported through the result; one that got
// no answer within the statement time-out is logged as of unknown outcome
// (the server may have completed it). Nothing here throws. A lost session
// is rebuilt (session set-up run again), tried for up to the reconnect
// window; the failed statement is never sent again. When no session can be
// had within the window, m_bConnectionError is set (and stays set), and
// later statements fail at once without trying to connect. A server that
// stops answering is found by TCP keepalives within 30 s, also in the
// middle of a statement; connecting waits at most 5 s for each answer. A
// per-customer session lost after such a silence is not rebuilt in line:
// its customer is backed off as after a failed connect, and the object
// fails its remaining statements at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "utilLib.h"

enum EJobStatus {
  JOB_STATUS_EXCLUDED = -6,
  JOB_STATUS_REDO = -3,
  JOB_STATUS_NOT_REPEAT = -2,
  JOB_STATUS_FAILED = -1,
  JOB_STATUS_WAITING = 0,
  JOB_STATUS_CLOSED = 1,
  JOB_STATUS_UNFINISHED = 2,
  JOB_STATUS_RUNNING = 3,
};

constexpr int KORB_INSTALL_TYPE_MASTER = 1;

using DBRow = std::vector<std::string>;
using DBRows = std::vector<DBRow>;

class CDBI {
 public:
  // The main object, made on the first call with create true and kept for
  // the life of the process. Null when it could not be made at all; an
  // object that could not connect is returned with m_bReady false.
  static CDBI* getInstance(CLogger* logger, bool create);

  // A per-customer object for one DSN group and database name (an empty
  // name means the group's database key). Connects at once; m_bReady
  // tells whether that worked.
  CDBI(CLogger* logger, const std::string& dsn, const std::string& dbName);
  ~CDBI();
  CDBI(const CDBI&) = delete;
  CDBI& operator=(const CDBI&) = delete;

  std::atomic<bool> m_bConnectionError{false};
  std::atomic<bool> m_bReady{false};
  int m_nMSPFlag = 0;
  int m_nSiteID = 1;
  int m_nProbeID = 1;
  int m_nInstallType = 1;
  int m_nAddOnSelector = 0;

  // The single column named outputvalue (any case) of the first row goes
  // to value. 1: written; -1: failure, no row, or NULL (value cleared).
  int getValueFromQuery(const std::string& query, std::string& value);
  // One list per row with the named columns in the order of names (names
  // match result columns without regard to case; NULL gives ""). 1 on
  // success (rows may be empty), -1 on failure (rows empty).
  int getRows(const std::string& query, const std::vector<std::string>& names,
              DBRows& rows);
  // As getRows, first row only (values empty when there is none).
  int getRow(const std::string& query, const std::vector<std::string>& names,
             DBRow& values);
  // Appends the named column of every row to values. 1 or -1.
  int getValueFromEachRow(const std::string& query, const std::string& name,
                          std::vector<std::string>& values);
  // Insert, update, delete. Returns the affected row count, or -1.
  int executeSQL(const std::string& statement);
  // A call text; all its result sets are consumed. 1 or -1.
  int executeSQLProcedure(const std::string& statement);
  // Value of the Configsettings row of key. 1 (value written) or -1.
  int getConfigSetting(const std::string& key, std::string& value);
  // Sets the job's Status (and StatusDescription when text is not null),
  // stamping FinishedTime for closing states. 1 or -1.
  int UpdateJobStatus(int jobId, EJobStatus status, const char* text,
                      int reserved, const std::string& extra);
  // Host and port of the job handler (table jobhandlermaster). 0 on
  // success, -1 when there is none or the query failed.
  int GetJobHandlerDetails(std::string& host, long& port);
  // Records an inventory operation (2 unreachable, 5 reverse-ping
  // time-out) for a system of this object's site.
  void RecordInventoryMasterOperation(long systemId, int code);

  // The statements of the calling thread (on any object) that failed:
  // how many since the thread started, and the last one with the reason
  // (server message and error number, or why it was never answered).
  // A caller that must not act on a failed read keeps the count from
  // before it and compares. Lives as long as the thread.
  struct StatementFailures {
    uint64_t count = 0;
    std::string statement;
    std::string reason;
  };
  static const StatementFailures& FailuresOfThisThread();

  // A transaction on the calling thread's session of this object, for
  // writes that must commit only while a condition holds. BeginTransaction
  // starts it: 1, or -1 (logged). Until CommitTransaction or
  // RollbackTransaction, the thread's statements on this object run inside
  // it; once one of them fails, or the session is lost and rebuilt, the
  // rest fail without being sent (they would otherwise run on their own,
  // outside it) and the commit fails. CommitTransaction runs fence first, a
  // statement that must return exactly one row (a locking read) or change
  // exactly one row, and commits right after it: 1 committed; 0 the fence
  // did not hold (rolled back, nothing logged); -1 (logged) nothing may
  // have been committed, or the outcome is unknown. An empty fence commits
  // without one. Rollback never fails.
  int BeginTransaction();
  int CommitTransaction(const std::string& fence);
  void RollbackTransaction();

  // Installs a check that every statement of every object passes before it
  // is sent (nullptr removes it); a refused statement fails at once with
  // reason and sets m_bConnectionError. For an instance that may no longer
  // act on the database. Thread-safe; check must be cheap.
  static void SetStatementGate(bool (*check)(), const char* reason);

  // Escapes text for use inside single quotes in a statement of this
  // object's sessions.
  std::string EscapeString(const std::string& text);

  // Raw value of key in this object's DSN group, as read when the object
  // was made (key spelling as in the file: '_' and '-' are the same, case
  // does not matter). False when the group or the key is absent.
  bool GetOption(const std::string& key, std::string& value) const;
  // Integer value of key. True with value written when the key holds an
  // integer (IsInteger), true with value untouched when the key is absent,
  // false with value untouched when the key holds anything else. Callers
  // decide whether a bad value refuses the start or falls back.
  bool GetIntegerOption(const std::string& key, long long& value) const;

  // Empty, or what is wrong with a korb-* key of the group (key and value
  // named). Such an object is not ready: a value that is not an integer
  // is refused rather than read as 0.
  const std::string& InvalidSetting() const;
  // Empty, or why the object could not be set up from the option file
  // (file, group or key); an object that failed to connect has none.
  const std::string& NotReadyReason() const;

  // The option file every object reads: $KORB_DB_CONFIG, else
  // <install>/ConsoleManagement/config/korb-db.cnf; "" when neither is
  // known.
  static std::string OptionFilePath();

  // Closes the idle per-customer sessions kept for reuse.
  static void CloseIdleSessions();
  // For the end of the process: closes every session of every object
  // and the kept ones; objects open no new sessions afterwards. A session
  // in use is closed when its statement is done; this waits up to
  // busy_wait_ms (real time) for that and returns how many are still in
  // use when it gives up. Thread-safe.
  static int CloseAllSessions(int busy_wait_ms = 0);
  // For an orderly end: from now on no per-customer session is opened,
  // taken from the kept ones or tried again in the background, and the
  // kept ones are closed; objects made afterwards are not ready.
  // Thread-safe.
  static void StopNewCustomerSessions();

  // Lets the process take part in every statement of every object. begin
  // runs on the calling thread before the statement is sent; false refuses
  // it (not sent, logged at level 4, reported as a failure). end runs
  // after a statement that begin let through, with whether its outcome is
  // unknown: the session was lost under it or no answer came within the
  // statement time-out. Null members do nothing. Set once, before any
  // thread but the caller uses the library.
  struct StatementObserver {
    bool (*begin)(const std::string& statement) = nullptr;
    void (*end)(bool outcome_unknown) = nullptr;
  };
  static void SetStatementObserver(const StatementObserver& observer);

  // handler runs once, on the thread that found it, when the main
  // object's connection is lost for good (m_bConnectionError set after
  // the reconnect window); it must not block. Set it before other threads
  // use the object. Thread-safe.
  static void SetConnectionLostHandler(std::function<void()> handler);

  // Marks the connection as lost for good, as a reconnect that ran out of
  // its window does (m_bConnectionError; for the main object the
  // connection-lost handler runs). For an instance that may no longer use
  // the database at all.
  void DeclareConnectionLost();

  // Adds a statement that every session opened from now on runs when it is
  // set up (after the session mode). Call before the sessions it concerns
  // are opened; thread-safe.
  static void AddSessionStatement(const std::string& statement);

  const std::string& Dsn() const { return dsn_; }
  const std::string& DatabaseName() const { return db_name_; }

 private:
  CDBI(CLogger* logger, const std::string& dsn, const std::string& dbName, bool main);
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::string dsn_;
  std::string db_name_;
};

// True for an optional '-' followed by 1..18 decimal digits, nothing else.
bool IsInteger(const std::string& text);

// Checks a comma-separated list of integers: each item is trimmed of
// blanks and kept only if IsInteger. Returns the kept items joined by ","
// and appends every dropped item to *rejected (when not null). Empty items
// (as in "1,,2" or a trailing comma) are skipped without a report.
std::string SanitizeIntegerList(const std::string& list,
                                std::vector<std::string>* rejected);

// Encloses text in single quotes, escaped for a NO_BACKSLASH_ESCAPES
// session (quotes doubled).
std::string SqlQuote(const std::string& text);
