#include "lease_store.h"

#include <errmsg.h>
#include <mysql.h>
#include <mysqld_error.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>

#include "lease_table.h"
#include "utilLib.h"

namespace lease {

namespace {

constexpr const char* kInitCommand =
    "SET SESSION sql_mode='STRICT_TRANS_TABLES,ERROR_FOR_DIVISION_BY_ZERO,"
    "NO_BACKSLASH_ESCAPES,NO_ENGINE_SUBSTITUTION', innodb_lock_wait_timeout=1";
constexpr const char* kReadOnlyCommand = "SET SESSION TRANSACTION READ ONLY";

constexpr const char* kEnsureRow =
    "INSERT IGNORE INTO korb_scheduler_lease (name) VALUES ('scheduler')";

// The prev_* assignments come first: they take the old values whether the
// server assigns left to right or all at once (SIMULTANEOUS_ASSIGNMENT).
constexpr const char* kAcquire =
    "UPDATE korb_scheduler_lease SET prev_holder = holder, prev_epoch = epoch, "
    "prev_clean_end = clean_end, holder = %s, epoch = epoch + 1, clean_end = 0, "
    "granted_at = UTC_TIMESTAMP(6), renewed_at = UTC_TIMESTAMP(6), "
    "expires_at = UTC_TIMESTAMP(6) + INTERVAL %lld MICROSECOND "
    "WHERE name = 'scheduler' AND (expires_at < UTC_TIMESTAMP(6) OR holder = %s)";

constexpr const char* kRenew =
    "UPDATE korb_scheduler_lease SET renewed_at = UTC_TIMESTAMP(6), "
    "expires_at = UTC_TIMESTAMP(6) + INTERVAL %lld MICROSECOND "
    "WHERE name = 'scheduler' AND holder = %s AND epoch = %llu "
    "AND expires_at >= UTC_TIMESTAMP(6)";

constexpr const char* kRelease =
    "UPDATE korb_scheduler_lease SET expires_at = UTC_TIMESTAMP(6) - INTERVAL 1 "
    "MICROSECOND, clean_end = %d WHERE name = 'scheduler' AND holder = %s AND epoch = %llu";

constexpr const char* kRead =
    "SELECT holder, epoch, COALESCE(DATE_FORMAT(granted_at, '%Y-%m-%d %H:%i:%s'), ''), "
    "DATE_FORMAT(expires_at, '%Y-%m-%d %H:%i:%s'), "
    "TIMESTAMPDIFF(MICROSECOND, UTC_TIMESTAMP(6), expires_at) DIV 1000, clean_end, "
    "prev_holder, prev_epoch, prev_clean_end FROM korb_scheduler_lease "
    "WHERE name = 'scheduler'";

// A dead peer is noticed by the kernel within about idle + count * interval.
constexpr int kKeepIdleS = 2;
constexpr int kKeepIntervalS = 1;
constexpr int kKeepCount = 2;

}  // namespace

std::string QuoteForLease(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    quoted += c;
    if (c == '\'') quoted += '\'';
  }
  quoted += '\'';
  return quoted;
}

struct LeaseStore::Connection {
  MYSQL* mysql = nullptr;
  ~Connection() {
    if (mysql != nullptr) mysql_close(mysql);
  }
};

LeaseStore::LeaseStore(StoreSettings settings) : settings_(std::move(settings)) {}

LeaseStore::~LeaseStore() = default;

void LeaseStore::Close() { connection_.reset(); }

bool LeaseStore::Connect() {
  if (connection_) return true;
  auto connection = std::make_unique<Connection>();
  connection->mysql = mysql_init(nullptr);
  if (connection->mysql == nullptr) {
    error_ = "out of memory for a connection handle";
    return false;
  }
  MYSQL* mysql = connection->mysql;
  const my_bool reconnect = 0;
  const unsigned int timeout = settings_.timeout_s;
  mysql_options(mysql, MYSQL_OPT_RECONNECT, &reconnect);
  mysql_options(mysql, MYSQL_READ_DEFAULT_FILE, settings_.option_file.c_str());
  mysql_options(mysql, MYSQL_READ_DEFAULT_GROUP, settings_.dsn.c_str());
  mysql_options(mysql, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
  mysql_options(mysql, MYSQL_OPT_READ_TIMEOUT, &timeout);
  mysql_options(mysql, MYSQL_OPT_WRITE_TIMEOUT, &timeout);
  mysql_options(mysql, MYSQL_SET_CHARSET_NAME, "utf8mb4");
  mysql_options(mysql, MYSQL_INIT_COMMAND, kInitCommand);
  if (settings_.read_only) mysql_options(mysql, MYSQL_INIT_COMMAND, kReadOnlyCommand);
  const char* database = settings_.database.empty() ? nullptr : settings_.database.c_str();
  if (mysql_real_connect(mysql, nullptr, nullptr, nullptr, database, 0, nullptr,
                         CLIENT_FOUND_ROWS) == nullptr) {
    error_ = Format("connect: %s (errno %u)", mysql_error(mysql), mysql_errno(mysql));
    return false;
  }
  // A unix socket has no keepalives; a TCP session gets them, so a peer
  // that vanished is noticed between two calls too.
  const int fd = static_cast<int>(mysql_get_socket(mysql));
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
      (address.ss_family == AF_INET || address.ss_family == AF_INET6)) {
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleS, sizeof(kKeepIdleS));
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalS, sizeof(kKeepIntervalS));
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof(kKeepCount));
    const unsigned int user_timeout_ms = settings_.timeout_s * 1000;
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout_ms, sizeof(user_timeout_ms));
  }
  connection_ = std::move(connection);
  return true;
}

bool LeaseStore::Change(const char* what, const std::string& statement, uint64_t* matched) {
  last_errno_ = 0;
  if (!Connect()) return false;
  MYSQL* mysql = connection_->mysql;
  if (mysql_real_query(mysql, statement.data(), statement.size()) != 0) {
    last_errno_ = mysql_errno(mysql);
    error_ = Format("%s: %s (errno %u)", what, mysql_error(mysql), last_errno_);
    // Whatever the error, the next call starts on a new session: a session
    // that timed out may still be waiting for its answer.
    Close();
    return false;
  }
  const my_ulonglong rows = mysql_affected_rows(mysql);
  if (rows == static_cast<my_ulonglong>(-1)) {
    error_ = Format("%s: no row count", what);
    Close();
    return false;
  }
  *matched = rows;
  return true;
}

Outcome LeaseStore::EnsureRow() {
  uint64_t matched = 0;
  if (Change("create the lease row", kEnsureRow, &matched)) return Outcome::kDone;
  if (last_errno_ != ER_NO_SUCH_TABLE) return Outcome::kFailed;
  // A schema from before the lease: the table is made here (the account
  // needs CREATE on the main database), then the row.
  const std::string no_table = error_;
  if (!Change("create the lease table", kCreateLeaseTable, &matched)) {
    error_ = no_table + "; " + error_;
    return Outcome::kFailed;
  }
  return Change("create the lease row", kEnsureRow, &matched) ? Outcome::kDone
                                                              : Outcome::kFailed;
}

Outcome LeaseStore::TryAcquire(const std::string& holder, int64_t duration_ms,
                               uint64_t* epoch, LeaseRow* granted) {
  const std::string name = QuoteForLease(holder);
  uint64_t matched = 0;
  if (!Change("acquire the lease",
              Format(kAcquire, name.c_str(), static_cast<long long>(duration_ms) * 1000,
                     name.c_str()),
              &matched))
    return Outcome::kFailed;
  if (matched == 0) return Outcome::kRefused;
  // Only the holder changes the row from here on, so this read sees the
  // grant just made (or a later takeover, which the epoch shows).
  LeaseRow row;
  if (Read(&row) != Outcome::kDone) return Outcome::kFailed;
  if (row.holder != holder) return Outcome::kRefused;
  *epoch = row.epoch;
  if (granted != nullptr) *granted = row;
  return Outcome::kDone;
}

Outcome LeaseStore::Renew(const std::string& holder, uint64_t epoch, int64_t duration_ms) {
  uint64_t matched = 0;
  if (!Change("renew the lease",
              Format(kRenew, static_cast<long long>(duration_ms) * 1000,
                     QuoteForLease(holder).c_str(), static_cast<unsigned long long>(epoch)),
              &matched))
    return Outcome::kFailed;
  return matched == 1 ? Outcome::kDone : Outcome::kRefused;
}

Outcome LeaseStore::Release(const std::string& holder, uint64_t epoch, bool clean_end) {
  uint64_t matched = 0;
  if (!Change("release the lease",
              Format(kRelease, clean_end ? 1 : 0, QuoteForLease(holder).c_str(),
                     static_cast<unsigned long long>(epoch)),
              &matched))
    return Outcome::kFailed;
  return matched == 1 ? Outcome::kDone : Outcome::kRefused;
}

Outcome LeaseStore::Read(LeaseRow* row) {
  if (!Connect()) return Outcome::kFailed;
  MYSQL* mysql = connection_->mysql;
  if (mysql_query(mysql, kRead) != 0) {
    error_ = Format("read the lease: %s (errno %u)", mysql_error(mysql), mysql_errno(mysql));
    Close();
    return Outcome::kFailed;
  }
  MYSQL_RES* result = mysql_store_result(mysql);
  if (result == nullptr) {
    error_ = Format("read the lease: %s (errno %u)", mysql_error(mysql), mysql_errno(mysql));
    Close();
    return Outcome::kFailed;
  }
  MYSQL_ROW values = mysql_fetch_row(result);
  if (values == nullptr || mysql_num_fields(result) != 9) {
    mysql_free_result(result);
    error_ = "read the lease: no lease row";
    return Outcome::kFailed;
  }
  auto text = [&](int i) { return std::string(values[i] != nullptr ? values[i] : ""); };
  auto number = [&](int i) {
    return values[i] != nullptr ? std::strtoll(values[i], nullptr, 10) : 0LL;
  };
  row->holder = text(0);
  row->epoch = static_cast<uint64_t>(number(1));
  row->granted_at = text(2);
  row->expires_at = text(3);
  row->remaining_ms = number(4);
  row->clean_end = number(5) != 0;
  row->previous_holder = text(6);
  row->previous_epoch = static_cast<uint64_t>(number(7));
  row->previous_clean_end = number(8) != 0;
  mysql_free_result(result);
  return Outcome::kDone;
}

}  // namespace lease
