// The databases korb-explain reads: the main one and, with --customer, a
// customer's, opened as the scheduler opens them but in sessions that run
// SET SESSION TRANSACTION READ ONLY, so no statement of the tool can write.
#pragma once

#include <memory>
#include <string>

#include "DBI.h"
#include "explain_options.h"
#include "report_doc.h"

class ExplainDatabase {
 public:
  // Makes every session of the process read-only, points the database
  // layer at ChooseExplainOptionFile() and opens the log
  // (<install>/ConsoleManagement/log/korb-explain.log when
  // KORB_INSTALL_DIR is set).
  ExplainDatabase();
  ~ExplainDatabase();

  // Opens the main database; an exit code other than kExitDone with
  // *message saying what failed.
  ExitCode OpenMain(std::string* message);
  // Opens the customer whose customermaster row names DSN group dsn, with
  // the site of its virtual probe as the fan-out sets it.
  ExitCode OpenCustomer(const std::string& dsn, std::string* message);

  CDBI* Main() const { return main_; }
  // The database the command works on: the customer's, else the main one.
  CDBI* Target() const { return customer_ ? customer_.get() : main_; }
  // Which database Target() is, for reports.
  Doc Describe() const;

  CLogger* Logger() { return &logger_; }

  // Why an object is not ready, as an exit code and message: a missing
  // option file or group and a refused key are configuration faults (2),
  // anything else an unreachable server (3).
  ExitCode NotReady(const CDBI& db, std::string* message) const;

 private:
  CLogger logger_;
  CDBI* main_ = nullptr;
  std::string mainDsn_;
  std::unique_ptr<CDBI> customer_;
  int customerId_ = 0;
};

// The option file the tool reads: $KORB_EXPLAIN_CONFIG; else
// $KORB_DB_CONFIG; else KORB_EXPLAIN_DEFAULT_CONFIG when it exists (the
// package's file for a read-only account); else "" (the database layer then
// takes <install>/ConsoleManagement/config/korb-db.cnf, the daemon's own).
std::string ChooseExplainOptionFile();
