#include "Connections.h"

#include <errmsg.h>
#include <mysqld_error.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "SessionCache.h"
#include "SessionTimeouts.h"
#include "ReadOnlySessions.h"
#include "utilLib.h"

namespace dbi {

namespace {

// Statements of the scheduler rely on quotes-only escaping (one literal
// ends in a backslash) and on zero dates, so the mode is set per session,
// whatever the server's global default.
const char kInitCommand[] =
    "SET SESSION sql_mode='STRICT_TRANS_TABLES,ERROR_FOR_DIVISION_BY_ZERO,"
    "NO_BACKSLASH_ESCAPES,NO_ENGINE_SUBSTITUTION'";

std::atomic<uint64_t> g_next_serial{1};

struct ThreadEntry {
  uint64_t serial;
  std::weak_ptr<ConnectionPool> pool;
  Session* session;
};

// The calling thread's sessions. Its destructor runs when the thread ends.
struct ThreadTable {
  std::vector<ThreadEntry> entries;

  ~ThreadTable() {
    for (ThreadEntry& entry : entries) {
      std::shared_ptr<ConnectionPool> pool = entry.pool.lock();
      if (pool) pool->Release(entry.session);
    }
  }

  ThreadEntry* Find(uint64_t serial) {
    for (ThreadEntry& entry : entries)
      if (entry.serial == serial) return &entry;
    return nullptr;
  }

  // Entries of destroyed objects would otherwise pile up in a thread that
  // serves one short-lived per-customer object after another.
  void Add(ThreadEntry entry) {
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [](const ThreadEntry& e) { return e.pool.expired(); }),
                  entries.end());
    entries.push_back(std::move(entry));
  }

  void Remove(uint64_t serial) {
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [serial](const ThreadEntry& e) { return e.serial == serial; }),
                  entries.end());
  }
};

thread_local ThreadTable t_table;

// Every pool that exists, for the close at the end of the process.
std::mutex g_pools_mu;
std::unordered_set<ConnectionPool*>& Pools() {
  static auto* pools = new std::unordered_set<ConnectionPool*>();  // never destroyed
  return *pools;
}

// Sessions whose close waits for their statement to end (End closes
// them), for the end of the process to wait on.
std::mutex g_closing_mu;
std::condition_variable g_closing_cv;
int g_closing = 0;

void ClosingChanged(int delta) {
  std::lock_guard<std::mutex> lock(g_closing_mu);
  g_closing += delta;
  if (g_closing <= 0) g_closing_cv.notify_all();
}

std::string ErrorText(MYSQL* mysql) {
  return Format("%s (errno %u)", mysql_error(mysql), mysql_errno(mysql));
}

}  // namespace

namespace {
std::mutex g_setup_mu;
std::vector<std::string>& SetUpStatements() {
  static auto* statements = new std::vector<std::string>();  // never destroyed
  return *statements;
}
}  // namespace

void AddSessionStatement(const std::string& statement) {
  std::lock_guard<std::mutex> lock(g_setup_mu);
  SetUpStatements().push_back(statement);
}

MYSQL* OpenConnection(const ConnectSettings& settings, std::string* error) {
  MYSQL* mysql = mysql_init(nullptr);
  if (mysql == nullptr) {
    *error = "out of memory for a connection handle";
    return nullptr;
  }
  const my_bool reconnect = 0;  // would silently drop the session's sql_mode
  // Defaults of the client library are minutes or forever; a server that
  // does not answer must cost a connect no more than the check bound, in
  // every step up to the end of the session set-up. Statements get their
  // own, much longer limit once connected: one that completes must never
  // be reported as failed.
  mysql_options(mysql, MYSQL_OPT_RECONNECT, &reconnect);
  mysql_options(mysql, MYSQL_READ_DEFAULT_FILE, settings.option_file.c_str());
  mysql_options(mysql, MYSQL_READ_DEFAULT_GROUP, settings.dsn.c_str());
  mysql_options(mysql, MYSQL_OPT_CONNECT_TIMEOUT, &kCheckTimeoutSeconds);
  mysql_options(mysql, MYSQL_OPT_READ_TIMEOUT, &kCheckTimeoutSeconds);
  mysql_options(mysql, MYSQL_OPT_WRITE_TIMEOUT, &kCheckTimeoutSeconds);
  mysql_options(mysql, MYSQL_SET_CHARSET_NAME, "utf8mb4");
  mysql_options(mysql, MYSQL_INIT_COMMAND, kInitCommand);
  // Programs that must never write (the explain tool) ask for read-only
  // sessions; the server then refuses every write, whatever is sent.
  if (SessionsReadOnly()) mysql_options(mysql, MYSQL_INIT_COMMAND, kReadOnlySessionStatement);
  {
    std::lock_guard<std::mutex> lock(g_setup_mu);
    for (const std::string& statement : SetUpStatements())
      mysql_options(mysql, MYSQL_INIT_COMMAND, statement.c_str());
  }
  // Host, user, password and socket come from the option file group.
  const char* database = settings.database.empty() ? nullptr : settings.database.c_str();
  if (mysql_real_connect(mysql, nullptr, nullptr, nullptr, database, 0, nullptr,
                         CLIENT_MULTI_RESULTS) == nullptr) {
    *error = ErrorText(mysql);
    mysql_close(mysql);
    return nullptr;
  }
  std::string problem = ArmKeepalive(mysql);
  if (problem.empty() && !SetWaitLimit(mysql, settings.statement_timeout_s))
    problem = "the statement time-out cannot be set on the session";
  if (!problem.empty()) {
    *error = problem;
    mysql_close(mysql);
    return nullptr;
  }
  return mysql;
}

bool IsConnectionLost(unsigned int error_number) {
  switch (error_number) {
    case CR_SERVER_GONE_ERROR:
    case CR_SERVER_LOST:
    case CR_SERVER_LOST_EXTENDED:
    case ER_CONNECTION_KILLED:
    case ER_SERVER_SHUTDOWN:
    case 4031:  // disconnected by the server for inactivity
      return true;
    default:
      return false;
  }
}

namespace {
std::atomic<uint64_t> g_next_session_id{1};
}  // namespace

Session::Session(MYSQL* mysql) : mysql_(mysql), id_(g_next_session_id.fetch_add(1)) {}

bool Session::Begin() {
  int expected = kIdle;
  return state_.compare_exchange_strong(expected, kBusy);
}

void Session::End() {
  int expected = kBusy;
  if (state_.compare_exchange_strong(expected, kIdle)) return;
  state_.store(kClosed);
  mysql_close(mysql_);
  ClosingChanged(-1);
}

MYSQL* Session::Detach() {
  for (;;) {
    int state = state_.load();
    if (state == kIdle) {
      if (state_.compare_exchange_weak(state, kClosed)) return mysql_;
    } else if (state == kBusy) {
      if (state_.compare_exchange_weak(state, kCloseWhenDone)) {
        ClosingChanged(+1);
        return nullptr;
      }
    } else {
      return nullptr;
    }
  }
}

int Session::WaitForClosesWhenDone(std::chrono::milliseconds bound) {
  std::unique_lock<std::mutex> lock(g_closing_mu);
  g_closing_cv.wait_for(lock, bound, [] { return g_closing <= 0; });
  return std::max(g_closing, 0);
}

ConnectionPool::ConnectionPool(ConnectSettings settings)
    : settings_(std::move(settings)), serial_(g_next_serial.fetch_add(1)) {
  std::lock_guard<std::mutex> lock(g_pools_mu);
  Pools().insert(this);
}

ConnectionPool::~ConnectionPool() {
  {
    std::lock_guard<std::mutex> lock(g_pools_mu);
    Pools().erase(this);
  }
  CloseAll();
}

Session* ConnectionPool::Adopt(MYSQL* mysql, std::string* error) {
  auto session = std::make_unique<Session>(mysql);
  Session* raw = session.get();
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!closed_) {
      sessions_.emplace(raw, std::move(session));
      t_table.Add({serial_, weak_from_this(), raw});
      return raw;
    }
  }
  mysql_close(mysql);
  *error = "the database object is closed";
  return nullptr;
}

Session* ConnectionPool::ForThisThread(std::string* error, bool* opened, bool* held_back) {
  *opened = false;
  if (held_back != nullptr) *held_back = false;
  if (ThreadEntry* entry = t_table.Find(serial_)) return entry->session;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_) {
      *error = "the database object is closed";
      return nullptr;
    }
  }
  if (settings_.reuse_key.empty()) {
    MYSQL* mysql = OpenConnection(settings_, error);
    if (mysql == nullptr) return nullptr;
    *opened = true;
    return Adopt(mysql, error);
  }
  SessionCache& cache = SessionCache::Instance();
  if (MYSQL* kept = cache.Take(settings_.reuse_key)) return Adopt(kept, error);
  const ConnectSettings settings = settings_;
  auto connect = [settings](std::string* why) { return OpenConnection(settings, why); };
  if (!cache.MayConnect(settings_.reuse_key, connect, error)) {
    if (held_back != nullptr) *held_back = true;
    return nullptr;
  }
  MYSQL* mysql = OpenConnection(settings_, error);
  cache.Connected(settings_.reuse_key, mysql != nullptr, mysql == nullptr ? *error : "");
  if (mysql == nullptr) return nullptr;
  *opened = true;
  return Adopt(mysql, error);
}

Session* ConnectionPool::Reopen(std::string* error) {
  DropThisThread();
  MYSQL* mysql = OpenConnection(settings_, error);
  if (mysql == nullptr) return nullptr;
  if (!settings_.reuse_key.empty()) SessionCache::Instance().Connected(settings_.reuse_key, true, "");
  return Adopt(mysql, error);
}

void ConnectionPool::DropThisThread() {
  ThreadEntry* entry = t_table.Find(serial_);
  if (entry == nullptr) return;
  Session* session = entry->session;
  t_table.Remove(serial_);
  Release(session);
}

void ConnectionPool::Release(Session* session) {
  std::unique_ptr<Session> owned;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = sessions_.find(session);
    if (it == sessions_.end()) return;
    // After CloseAll the session object must stay: another thread's table
    // may still point at it.
    if (closed_) {
      if (MYSQL* mysql = session->Detach()) mysql_close(mysql);
      return;
    }
    owned = std::move(it->second);
    sessions_.erase(it);
  }
  if (MYSQL* mysql = owned->Detach()) mysql_close(mysql);
}

void ConnectionPool::Shut(bool keep_for_reuse) {
  std::vector<MYSQL*> idle;
  {
    std::lock_guard<std::mutex> lock(mu_);
    closed_ = true;
    for (auto& [raw, session] : sessions_)
      if (MYSQL* mysql = session->Detach()) idle.push_back(mysql);
  }
  const bool reuse = keep_for_reuse && !settings_.reuse_key.empty();
  for (MYSQL* mysql : idle) {
    if (reuse)
      SessionCache::Instance().Give(settings_.reuse_key, mysql);
    else
      mysql_close(mysql);
  }
}

bool ConnectionPool::Closed() {
  std::lock_guard<std::mutex> lock(mu_);
  return closed_;
}

void ConnectionPool::CloseAll() { Shut(false); }

void ConnectionPool::Retire() { Shut(true); }

void ConnectionPool::CloseEveryPool() {
  std::lock_guard<std::mutex> lock(g_pools_mu);
  for (ConnectionPool* pool : Pools()) pool->CloseAll();
}

}  // namespace dbi
