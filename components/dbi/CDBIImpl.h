// The inside of CDBI, shared by its source files.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "Connections.h"
#include "DBI.h"
#include "DbiInternal.h"
#include "GroupSettings.h"

namespace dbi {
// Looks at the first result set of a statement (null when it has none) and
// returns "" or the reason the operation fails.
using ResultHandler = std::function<std::string(MYSQL_RES*)>;
}  // namespace dbi

struct CDBI::Impl {
  using ResultHandler = dbi::ResultHandler;

  CDBI* owner = nullptr;
  bool main = false;  // the process's main object
  CLogger* logger = nullptr;
  std::shared_ptr<dbi::ConnectionPool> pool;  // null when not configured
  std::string not_ready_reason;
  std::string invalid_setting;  // a refused korb-* key, when there is one
  dbi::OptionKeys options;  // the DSN group's keys, read once when made
  dbi::GroupSettings settings;

  void Log(int line, int level, const std::string& message) const;
  // The one error line of a failed operation.
  void LogFailure(int line, const char* operation, const std::string& why,
                  const std::string& statement) const;

  // The calling thread's session, opened on first use. When the object
  // had a working session before and none can be had now, it is tried
  // again within the reconnect window; after that m_bConnectionError is
  // set.
  dbi::Session* Connection(std::string* error);
  // The calling thread's session was lost: a new one, tried until the
  // reconnect window has passed. Null (m_bConnectionError set, logged)
  // when none could be made.
  dbi::Session* Reconnect(std::string* error);
  // Sets m_bConnectionError; the first time on the main object, runs the
  // connection-lost handler.
  void LostForGood();

  // Runs one statement and reads all its result sets. Returns false after
  // logging the failure. *affected (when given) gets the first result's
  // affected row count.
  bool Execute(const char* operation, const std::string& statement,
               const ResultHandler& on_first, long long* affected = nullptr);
  // The named column of the first row. 1, or -1 for a failure, no row or
  // NULL (value cleared in every case first).
  int SingleValue(const char* operation, const std::string& query, const char* column,
                  std::string& value);
};
