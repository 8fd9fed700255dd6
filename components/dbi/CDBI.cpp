// CDBI: set-up, statement execution and error reporting. The operations
// themselves are in Operations.cpp.
#include "CDBIImpl.h"

#include <mysqld_error.h>

#include <cstdlib>
#include <mutex>

#include "scheduler_metrics.h"

namespace {

void InitClientLibraryOnce() {
  // Must run before any thread uses the library; it also ignores SIGPIPE,
  // which a write to a dead server would otherwise raise.
  static std::once_flag once;
  std::call_once(once, [] { mysql_library_init(0, nullptr, nullptr); });
}

constexpr char kLogSource[] = "DBI";

}  // namespace

void CDBI::Impl::Log(int line, int level, const std::string& message) const {
  if (logger != nullptr) logger->KORBLog(line, kLogSource, level, "%s", message.c_str());
}

void CDBI::Impl::LogFailure(int line, const char* operation, const std::string& why,
                            const std::string& statement) const {
  Log(line, KORB_LOG_ERROR,
      Format("%s failed: %s. Statement: %s", operation, why.c_str(), statement.c_str()));
}

MYSQL* CDBI::Impl::Connection(std::string* error) {
  if (!pool) {
    *error = not_ready_reason;
    return nullptr;
  }
  bool opened = false;
  MYSQL* mysql = pool->ForThisThread(error, &opened);
  if (mysql != nullptr) {
    owner->m_bReady = true;
  } else if (owner->m_bReady) {
    // The object had a working session once, so the server went away.
    owner->m_bConnectionError = true;
  }
  return mysql;
}

void CDBI::Impl::HandleLostConnection() {
  pool->DropThisThread();
  std::string error;
  bool opened = false;
  const bool rebuilt = pool->ForThisThread(&error, &opened) != nullptr;
  metrics::Reconnect(rebuilt);
  if (!rebuilt) {
    owner->m_bConnectionError = true;
    Log(__LINE__, KORB_LOG_ERROR,
        Format("Reconnecting to DSN '%s' failed: %s", owner->dsn_.c_str(), error.c_str()));
  }
}

bool CDBI::Impl::Execute(const char* operation, const std::string& statement,
                         const ResultHandler& on_first, long long* affected) {
  metrics::StatementRun run(owner);
  std::string error;
  MYSQL* mysql = Connection(&error);
  if (mysql == nullptr) {
    run.Unreachable();
    LogFailure(__LINE__, operation, "no database connection: " + error, statement);
    return false;
  }
  auto server_failure = [&]() {
    const unsigned int number = mysql_errno(mysql);
    run.Failed(number == ER_STATEMENT_TIMEOUT, dbi::IsConnectionLost(number));
    LogFailure(__LINE__, operation, Format("%s (errno %u)", mysql_error(mysql), number),
               statement);
    // The statement may or may not have run; it is reported as failed and
    // never sent again. Only the session is rebuilt for the next call.
    if (dbi::IsConnectionLost(number)) HandleLostConnection();
    return false;
  };
  if (mysql_real_query(mysql, statement.data(), statement.size()) != 0)
    return server_failure();

  std::string problem;
  bool first = true;
  for (;;) {
    MYSQL_RES* result = mysql_store_result(mysql);
    if (result == nullptr && mysql_field_count(mysql) != 0) return server_failure();
    if (first) {
      first = false;
      if (affected != nullptr)
        *affected = result == nullptr ? static_cast<long long>(mysql_affected_rows(mysql)) : 0;
      if (on_first) problem = on_first(result);
    }
    if (result != nullptr) mysql_free_result(result);
    // Every result set must be read, or the next statement on this
    // session fails with "commands out of sync".
    const int next = mysql_next_result(mysql);
    if (next > 0) return server_failure();
    if (next < 0) break;
  }
  if (!problem.empty()) {
    LogFailure(__LINE__, operation, problem, statement);
    return false;
  }
  run.Succeeded();
  return true;
}

CDBI* CDBI::getInstance(CLogger* logger, bool create) {
  static std::mutex mu;
  static CDBI* instance = nullptr;
  std::lock_guard<std::mutex> lock(mu);
  if (instance == nullptr && create) {
    const char* env = std::getenv("KORB_DSN");
    const std::string dsn = env != nullptr && env[0] != '\0' ? env : "orb";
    // The main database defaults to orb, not to whatever the client
    // library would choose without a database key.
    dbi::OptionKeys keys;
    std::string ignored;
    std::string database = "orb";
    if (dbi::ReadOptionGroup(dbi::OptionFilePath(), dsn, &keys, &ignored)) {
      auto it = keys.find("database");
      if (it != keys.end() && !it->second.empty()) database = it->second;
    }
    instance = new CDBI(logger, dsn, database);
  }
  return instance;
}

CDBI::CDBI(CLogger* logger, const std::string& dsn, const std::string& dbName)
    : impl_(std::make_unique<Impl>()), dsn_(dsn), db_name_(dbName) {
  InitClientLibraryOnce();
  impl_->owner = this;
  impl_->logger = logger;
  const std::string path = dbi::OptionFilePath();
  dbi::OptionKeys keys;
  std::string error;
  if (path.empty()) {
    error = "no option file (neither KORB_DB_CONFIG nor KORB_INSTALL_DIR is set)";
  } else if (dsn.empty()) {
    error = "no data source name given";
  } else {
    dbi::ReadOptionGroup(path, dsn, &keys, &error);
  }
  if (!error.empty()) {
    impl_->not_ready_reason = Format("DSN '%s' is not usable: %s", dsn.c_str(), error.c_str());
    impl_->Log(__LINE__, KORB_LOG_ERROR, "Database object not ready: " + impl_->not_ready_reason);
    return;
  }
  impl_->options = keys;
  auto number = [&keys](const char* key, int fallback) {
    auto it = keys.find(key);
    return it == keys.end() ? fallback : ToInt(it->second);
  };
  m_nMSPFlag = number("korb-msp-flag", m_nMSPFlag);
  m_nSiteID = number("korb-site-id", m_nSiteID);
  m_nProbeID = number("korb-probe-id", m_nProbeID);
  m_nInstallType = number("korb-install-type", m_nInstallType);
  m_nAddOnSelector = number("korb-addon-selector", m_nAddOnSelector);
  if (db_name_.empty()) {
    auto it = keys.find("database");
    if (it != keys.end()) db_name_ = it->second;
  }

  impl_->pool = std::make_shared<dbi::ConnectionPool>(dbi::ConnectSettings{path, dsn, db_name_});
  std::string connect_error;
  if (impl_->Connection(&connect_error) == nullptr) {
    m_bConnectionError = true;
    impl_->Log(__LINE__, KORB_LOG_ERROR,
               Format("Connecting to DSN '%s' (database '%s') failed: %s", dsn.c_str(),
                      db_name_.c_str(), connect_error.c_str()));
  }
}

bool CDBI::GetOption(const std::string& key, std::string& value) const {
  auto it = impl_->options.find(dbi::NormaliseKey(key));
  if (it == impl_->options.end()) return false;
  value = it->second;
  return true;
}

bool CDBI::GetIntegerOption(const std::string& key, long long& value) const {
  std::string text;
  if (!GetOption(key, text)) return true;
  if (!IsInteger(text)) return false;
  value = std::strtoll(text.c_str(), nullptr, 10);
  return true;
}

CDBI::~CDBI() {
  if (impl_->pool) impl_->pool->CloseAll();
}
