// CDBI: set-up, statement execution and error reporting. The operations
// themselves are in Operations.cpp, the option keys in GroupSettings.cpp.
#include "CDBIImpl.h"

#include <errmsg.h>
#include <mysqld_error.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>

#include "DbiFaultSeam.h"
#include "LoopProgress.h"
#include "SessionCache.h"
#include "SessionTimeouts.h"
#include "StatementGate.h"
#include "Transactions.h"
#include "platform.h"
#include "scheduler_metrics.h"

namespace {

void InitClientLibraryOnce() {
  // Must run before any thread uses the library; it also ignores SIGPIPE,
  // which a write to a dead server would otherwise raise.
  static std::once_flag once;
  std::call_once(once, [] { mysql_library_init(0, nullptr, nullptr); });
}

constexpr char kLogSource[] = "DBI";

thread_local CDBI::StatementFailures t_failures;

void RecordFailure(const std::string& statement, const std::string& reason) {
  ++t_failures.count;
  t_failures.statement = statement;
  t_failures.reason = reason;
}

// Pause between two connects within the reconnect window (real time: the
// server or proxy needs it whatever the time scale).
constexpr int64_t kReconnectPauseMs = 250;

// Set once at start, before other threads use the library.
CDBI::StatementObserver g_observer;

// One statement's part in the observer: begin when made, end when it goes
// (after the session's use has ended and any reconnect is done).
class ObservedStatement {
 public:
  explicit ObservedStatement(const std::string& statement)
      : admitted_(g_observer.begin == nullptr || g_observer.begin(statement)) {}
  ~ObservedStatement() {
    if (admitted_ && g_observer.end != nullptr) g_observer.end(outcome_unknown_);
  }
  ObservedStatement(const ObservedStatement&) = delete;
  ObservedStatement& operator=(const ObservedStatement&) = delete;
  bool Admitted() const { return admitted_; }
  void OutcomeUnknown() { outcome_unknown_ = true; }

 private:
  const bool admitted_;
  bool outcome_unknown_ = false;
};

// Ends the use of a session when the statement is done, unless the caller
// ended it before (to drop the session after a lost connection).
class SessionUse {
 public:
  explicit SessionUse(dbi::Session* session) : session_(session) {}
  ~SessionUse() { End(); }
  SessionUse(const SessionUse&) = delete;
  SessionUse& operator=(const SessionUse&) = delete;
  void End() {
    if (session_ != nullptr) session_->End();
    session_ = nullptr;
  }

 private:
  dbi::Session* session_;
};

std::mutex g_lost_handler_mu;
std::function<void()>& LostHandler() {
  static auto* handler = new std::function<void()>();  // never destroyed: threads outlive main
  return *handler;
}

}  // namespace

void CDBI::SetConnectionLostHandler(std::function<void()> handler) {
  std::lock_guard<std::mutex> lock(g_lost_handler_mu);
  LostHandler() = std::move(handler);
}

void CDBI::Impl::LostForGood() {
  if (owner->m_bConnectionError.exchange(true) || !main) return;
  std::function<void()> handler;
  {
    std::lock_guard<std::mutex> lock(g_lost_handler_mu);
    handler = LostHandler();
  }
  if (handler) handler();
}

void CDBI::Impl::Log(int line, int level, const std::string& message) const {
  if (logger != nullptr) logger->KORBLog(line, kLogSource, level, "%s", message.c_str());
}

void CDBI::Impl::LogFailure(int line, const char* operation, const std::string& why,
                            const std::string& statement) const {
  Log(line, KORB_LOG_ERROR,
      Format("%s failed: %s. Statement: %s", operation, why.c_str(), statement.c_str()));
}

dbi::Session* CDBI::Impl::Connection(std::string* error) {
  if (!pool) {
    *error = not_ready_reason;
    return nullptr;
  }
  // Given up on: the object's work stops at its next check, and a server
  // that does not answer must not cost each statement a connect.
  if (owner->m_bConnectionError) {
    *error = "the connection was lost for good";
    return nullptr;
  }
  bool opened = false;
  dbi::Session* session = pool->ForThisThread(error, &opened);
  if (session != nullptr) {
    owner->m_bReady = true;
    return session;
  }
  // The process is ending: work that goes on stops at its next check.
  if (pool->Closed()) {
    owner->m_bConnectionError = true;
    return nullptr;
  }
  // An object that had a working session once lost its server.
  if (owner->m_bReady && !owner->m_bConnectionError) return Reconnect(error);
  return nullptr;
}

dbi::Session* CDBI::Impl::Reconnect(std::string* error) {
  const int64_t window_us =
      settings.reconnect_window_s == 0
          ? 0
          : static_cast<int64_t>(Clock::ScaledMs(settings.reconnect_window_s * 1000ULL)) * 1000;
  const int64_t deadline_us = Clock::MonotonicMicros() + window_us;
  int attempts = 0;
  for (;;) {
    ++attempts;
    NoteLoopProgress(settings.statement_timeout_s * 1000ULL);
    dbi::Session* session = pool->Reopen(error);
    if (session != nullptr) {
      metrics::Reconnect(true);
      if (attempts > 1)
        Log(__LINE__, KORB_LOG_WARNING,
            Format("Reconnected to DSN '%s' after %d attempts", owner->dsn_.c_str(), attempts));
      return session;
    }
    const int64_t left_us = deadline_us - Clock::MonotonicMicros();
    if (left_us <= 0 || pool->Closed()) break;
    port::SleepMs(static_cast<uint32_t>(std::min(kReconnectPauseMs, left_us / 1000 + 1)));
  }
  metrics::Reconnect(false);
  Log(__LINE__, KORB_LOG_ERROR,
      Format("Reconnecting to DSN '%s' failed (%d attempts within %u s): %s",
             owner->dsn_.c_str(), attempts, settings.reconnect_window_s, error->c_str()));
  LostForGood();
  return nullptr;
}

bool CDBI::Impl::Execute(const char* operation, const std::string& statement,
                         const ResultHandler& on_first, long long* affected) {
  ObservedStatement observed(statement);
  if (!observed.Admitted()) {
    RecordFailure(statement, "not run: the process is ending");
    Log(__LINE__, KORB_LOG_WARNING,
        Format("%s not run: the process is ending. Statement: %s", operation, statement.c_str()));
    return false;
  }
  metrics::StatementRun run(owner);
  // On the main loop's thread a statement that starts means the one before
  // it ended; this one may take up to the statement time-out.
  NoteLoopProgress(settings.statement_timeout_s * 1000ULL);
  // The statement gate: closed once the process may no longer write (a
  // lease that ended). A refused statement fails like a lost connection.
  auto refused_at_gate = [&](int line) {
    const char* refused_by = nullptr;
    if (dbi::StatementsAllowed(&refused_by)) return false;
    LostForGood();
    dbi::TransactionStatementFailed(owner);
    run.Unreachable();
    RecordFailure(statement, refused_by);
    LogFailure(line, operation, refused_by, statement);
    return true;
  };
  if (refused_at_gate(__LINE__)) return false;
  std::string error;
  dbi::Session* session = Connection(&error);
  if (session != nullptr && !session->Begin()) {
    session = nullptr;
    error = "the database object is closed";
    owner->m_bConnectionError = true;
  }
  if (session == nullptr) {
    run.Unreachable();
    RecordFailure(statement, "no database connection: " + error);
    LogFailure(__LINE__, operation, "no database connection: " + error, statement);
    return false;
  }
  SessionUse use(session);
  std::string refusal;
  if (!dbi::TransactionAllows(owner, session->Id(), &refusal)) {
    run.Failed(false, false);
    RecordFailure(statement, refusal);
    LogFailure(__LINE__, operation, refusal, statement);
    return false;
  }
  MYSQL* mysql = session->Handle();
  const int64_t started_us = Clock::MonotonicMicros();
  auto failure = [&](unsigned int number, const std::string& message) {
    const bool lost = dbi::IsConnectionLost(number);
    dbi::TransactionStatementFailed(owner);
    // The client library gives up on an answer after the statement
    // time-out and reports the session lost; by then the server may well
    // have done the work.
    const int64_t waited_ms = (Clock::MonotonicMicros() - started_us) / 1000;
    const bool client_timed_out =
        number == CR_SERVER_LOST && waited_ms >= settings.statement_timeout_s * 900LL;
    if (client_timed_out) {
      RecordFailure(statement, Format("no answer within the statement time-out of %u s, "
                                      "outcome unknown",
                                      settings.statement_timeout_s));
      Log(__LINE__, KORB_LOG_ERROR,
          Format("%s: no answer within the statement time-out of %u s; the outcome is "
                 "unknown (the server may have completed it). Statement: %s",
                 operation, settings.statement_timeout_s, statement.c_str()));
    } else {
      const std::string why = Format("%s (errno %u)", message.c_str(), number);
      RecordFailure(statement, why);
      LogFailure(__LINE__, operation, why, statement);
    }
    // The statement may or may not have run; it is reported as failed and
    // never sent again. Only the session is rebuilt for the next call.
    // Whether the server counts as reachable follows from that rebuild,
    // not from how long the statement took.
    bool reachable = !lost;
    if (!lost && number == ER_LOCK_DEADLOCK) {
      // On a Galera cluster a deadlock error is mostly a certification
      // conflict with another node. Sessions of this process on two nodes
      // (a proxy that moved new sessions after a node check flapped)
      // conflict with each other on every overlap; a new session goes
      // where the proxy sends sessions now, so the sessions come together
      // on one node. On a single server it costs one connect.
      use.End();
      pool->DropThisThread();
    }
    if (lost) {
      observed.OutcomeUnknown();
      use.End();
      std::string ignored;
      const std::string& reuse_key = pool->Settings().reuse_key;
      if (owner->m_bConnectionError) {
        pool->DropThisThread();  // given up on already: fail fast
      } else if (!reuse_key.empty() && waited_ms >= dbi::kCheckTimeoutSeconds * 1000LL) {
        // A customer that went silent would cost each connect of the
        // reconnect window its whole bound; it is tried again off this
        // thread once its back-off has passed.
        pool->DropThisThread();
        dbi::SessionCache::Instance().Unanswered(
            reuse_key, Format("no answer for %lld ms", static_cast<long long>(waited_ms)));
        Log(__LINE__, KORB_LOG_ERROR,
            Format("DSN '%s' (database '%s') stopped answering; its remaining statements of "
                   "this pass fail and it is tried again after a back-off",
                   owner->dsn_.c_str(), owner->db_name_.c_str()));
        LostForGood();
      } else {
        reachable = Reconnect(&ignored) != nullptr;
      }
    }
    run.Failed(number == ER_STATEMENT_TIMEOUT || client_timed_out, !reachable);
    return false;
  };
  auto server_failure = [&]() { return failure(mysql_errno(mysql), mysql_error(mysql)); };
  // Tests may make this statement fail (DbiFaultSeam.h).
  dbi_fault::Injection injected;
  const bool inject = dbi_fault::Armed() && dbi_fault::Take(statement, &injected);
  if (inject && injected.when == dbi_fault::When::kBeforeSending)
    return failure(injected.error, injected.message);
  // The gate once more, right before sending: getting a session above may
  // have taken a reconnect, and a lease may have ended meanwhile. From
  // here to the server only the statement already under way can go.
  if (refused_at_gate(__LINE__)) return false;
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
  if (inject) return failure(injected.error, injected.message);
  dbi_fault::AfterRunning(statement);
  if (!problem.empty()) {
    RecordFailure(statement, problem);
    dbi::TransactionStatementFailed(owner);
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
    instance = new CDBI(logger, dsn, database, /*main=*/true);
  }
  return instance;
}

CDBI::CDBI(CLogger* logger, const std::string& dsn, const std::string& dbName)
    : CDBI(logger, dsn, dbName, /*main=*/false) {}

CDBI::CDBI(CLogger* logger, const std::string& dsn, const std::string& dbName, bool main)
    : impl_(std::make_unique<Impl>()), dsn_(dsn), db_name_(dbName) {
  InitClientLibraryOnce();
  impl_->owner = this;
  impl_->main = main;
  impl_->logger = logger;
  const std::string path = dbi::OptionFilePath();
  dbi::OptionKeys keys;
  std::string error;
  if (path.empty()) {
    error = "no option file (neither KORB_DB_CONFIG nor KORB_INSTALL_DIR is set)";
  } else if (dsn.empty()) {
    error = "no data source name given";
  } else if (dbi::ReadOptionGroup(path, dsn, &keys, &error)) {
    impl_->invalid_setting = dbi::ReadGroupSettings(keys, &impl_->settings);
    error = impl_->invalid_setting;
  }
  if (!error.empty()) {
    impl_->not_ready_reason = Format("DSN '%s' is not usable: %s", dsn.c_str(), error.c_str());
    impl_->Log(__LINE__, KORB_LOG_ERROR, "Database object not ready: " + impl_->not_ready_reason);
    return;
  }
  impl_->options = keys;
  const dbi::GroupSettings& settings = impl_->settings;
  m_nMSPFlag = settings.msp_flag;
  m_nSiteID = settings.site_id;
  m_nProbeID = settings.probe_id;
  m_nInstallType = settings.install_type;
  m_nAddOnSelector = settings.addon_selector;
  if (db_name_.empty()) {
    auto it = keys.find("database");
    if (it != keys.end()) db_name_ = it->second;
  }

  dbi::ConnectSettings connect{path, dsn, db_name_, settings.statement_timeout_s, ""};
  // Per-customer objects come and go with every pass; their sessions stay.
  if (!main) connect.reuse_key = dbi::SessionIdentity(path, dsn, db_name_, keys);
  impl_->pool = std::make_shared<dbi::ConnectionPool>(std::move(connect));
  std::string connect_error;
  bool opened = false;
  bool held_back = false;
  if (impl_->pool->ForThisThread(&connect_error, &opened, &held_back) != nullptr) {
    m_bReady = true;
  } else if (!held_back) {  // a skip within the back-off is the caller's to log
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

const CDBI::StatementFailures& CDBI::FailuresOfThisThread() { return t_failures; }

const std::string& CDBI::InvalidSetting() const { return impl_->invalid_setting; }

const std::string& CDBI::NotReadyReason() const { return impl_->not_ready_reason; }

std::string CDBI::OptionFilePath() { return dbi::OptionFilePath(); }

void CDBI::DeclareConnectionLost() { impl_->LostForGood(); }

void CDBI::AddSessionStatement(const std::string& statement) {
  dbi::AddSessionStatement(statement);
}

void CDBI::CloseIdleSessions() { dbi::SessionCache::Instance().CloseIdle(false); }

int CDBI::CloseAllSessions(int busy_wait_ms) {
  dbi::ConnectionPool::CloseEveryPool();
  dbi::SessionCache::Instance().CloseIdle(true);
  return dbi::Session::WaitForClosesWhenDone(std::chrono::milliseconds(busy_wait_ms));
}

void CDBI::StopNewCustomerSessions() { dbi::SessionCache::Instance().CloseIdle(true); }

void CDBI::SetStatementObserver(const StatementObserver& observer) { g_observer = observer; }

CDBI::~CDBI() {
  if (impl_->pool) impl_->pool->Retire();
}
