#include "Connections.h"

#include <errmsg.h>
#include <mysqld_error.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "ReadOnlySessions.h"
#include "utilLib.h"

namespace dbi {

namespace {

// Defaults of the client library are minutes or forever; a daemon that
// must notice a dead server within one supervision tick cannot wait that.
constexpr unsigned int kConnectTimeoutSeconds = 5;
constexpr unsigned int kReadTimeoutSeconds = 30;
constexpr unsigned int kWriteTimeoutSeconds = 30;

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
  MYSQL* mysql;
};

// The calling thread's handles. Its destructor runs when the thread ends.
struct ThreadTable {
  std::vector<ThreadEntry> entries;

  ~ThreadTable() {
    for (ThreadEntry& entry : entries) {
      std::shared_ptr<ConnectionPool> pool = entry.pool.lock();
      if (pool && pool->Release(entry.mysql)) mysql_close(entry.mysql);
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

std::string ErrorText(MYSQL* mysql) {
  return Format("%s (errno %u)", mysql_error(mysql), mysql_errno(mysql));
}

}  // namespace

MYSQL* OpenConnection(const ConnectSettings& settings, std::string* error) {
  MYSQL* mysql = mysql_init(nullptr);
  if (mysql == nullptr) {
    *error = "out of memory for a connection handle";
    return nullptr;
  }
  const my_bool reconnect = 0;  // would silently drop the session's sql_mode
  mysql_options(mysql, MYSQL_OPT_RECONNECT, &reconnect);
  mysql_options(mysql, MYSQL_READ_DEFAULT_FILE, settings.option_file.c_str());
  mysql_options(mysql, MYSQL_READ_DEFAULT_GROUP, settings.dsn.c_str());
  mysql_options(mysql, MYSQL_OPT_CONNECT_TIMEOUT, &kConnectTimeoutSeconds);
  mysql_options(mysql, MYSQL_OPT_READ_TIMEOUT, &kReadTimeoutSeconds);
  mysql_options(mysql, MYSQL_OPT_WRITE_TIMEOUT, &kWriteTimeoutSeconds);
  mysql_options(mysql, MYSQL_SET_CHARSET_NAME, "utf8mb4");
  mysql_options(mysql, MYSQL_INIT_COMMAND, kInitCommand);
  // Programs that must never write (the explain tool) ask for read-only
  // sessions; the server then refuses every write, whatever is sent.
  if (SessionsReadOnly()) mysql_options(mysql, MYSQL_INIT_COMMAND, kReadOnlySessionStatement);
  // Host, user, password and socket come from the option file group.
  const char* database = settings.database.empty() ? nullptr : settings.database.c_str();
  if (mysql_real_connect(mysql, nullptr, nullptr, nullptr, database, 0, nullptr,
                         CLIENT_MULTI_RESULTS) == nullptr) {
    *error = ErrorText(mysql);
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

ConnectionPool::ConnectionPool(ConnectSettings settings)
    : settings_(std::move(settings)), serial_(g_next_serial.fetch_add(1)) {}

ConnectionPool::~ConnectionPool() { CloseAll(); }

MYSQL* ConnectionPool::ForThisThread(std::string* error, bool* opened) {
  *opened = false;
  if (ThreadEntry* entry = t_table.Find(serial_)) return entry->mysql;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_) {
      *error = "the database object is closed";
      return nullptr;
    }
  }
  MYSQL* mysql = OpenConnection(settings_, error);
  if (mysql == nullptr) return nullptr;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_) {
      mysql_close(mysql);
      *error = "the database object is closed";
      return nullptr;
    }
    open_.insert(mysql);
  }
  t_table.Add({serial_, weak_from_this(), mysql});
  *opened = true;
  return mysql;
}

void ConnectionPool::DropThisThread() {
  ThreadEntry* entry = t_table.Find(serial_);
  if (entry == nullptr) return;
  MYSQL* mysql = entry->mysql;
  t_table.Remove(serial_);
  if (Release(mysql)) mysql_close(mysql);
}

void ConnectionPool::CloseAll() {
  std::unordered_set<MYSQL*> handles;
  {
    std::lock_guard<std::mutex> lock(mu_);
    closed_ = true;
    handles.swap(open_);
  }
  for (MYSQL* mysql : handles) mysql_close(mysql);
}

bool ConnectionPool::Release(MYSQL* mysql) {
  std::lock_guard<std::mutex> lock(mu_);
  return open_.erase(mysql) > 0;
}

}  // namespace dbi
