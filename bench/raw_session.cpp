#include "raw_session.h"

#include <mysql.h>

#include <cstdio>
#include <cstdlib>

namespace bench {

namespace {
constexpr char kSessionInit[] =
    "SET SESSION sql_mode='STRICT_TRANS_TABLES,ERROR_FOR_DIVISION_BY_ZERO,"
    "NO_BACKSLASH_ESCAPES,NO_ENGINE_SUBSTITUTION'";
}  // namespace

RawSession::~RawSession() { Close(); }

void RawSession::Close() {
  if (mysql_ != nullptr) mysql_close(mysql_);
  mysql_ = nullptr;
}

bool RawSession::Fail(const std::string& what) {
  error_ = what + ": " + (mysql_ != nullptr ? mysql_error(mysql_) : "no session");
  return false;
}

bool RawSession::Connect(const std::string& option_file, const std::string& group) {
  Close();
  mysql_ = mysql_init(nullptr);
  if (mysql_ == nullptr) return Fail("mysql_init");
  mysql_options(mysql_, MYSQL_READ_DEFAULT_FILE, option_file.c_str());
  mysql_options(mysql_, MYSQL_READ_DEFAULT_GROUP, group.c_str());
  mysql_options(mysql_, MYSQL_SET_CHARSET_NAME, "utf8mb4");
  mysql_options(mysql_, MYSQL_INIT_COMMAND, kSessionInit);
  const unsigned int connect_timeout = 5;
  mysql_options(mysql_, MYSQL_OPT_CONNECT_TIMEOUT, &connect_timeout);
  if (mysql_real_connect(mysql_, nullptr, nullptr, nullptr, nullptr, 0, nullptr,
                         CLIENT_MULTI_STATEMENTS | CLIENT_MULTI_RESULTS) == nullptr)
    return Fail("connect to group [" + group + "]");
  return true;
}

bool RawSession::Run(const std::string& sql) {
  if (mysql_ == nullptr) return Fail("run");
  if (mysql_real_query(mysql_, sql.data(), sql.size()) != 0) return Fail(sql.substr(0, 200));
  for (;;) {
    MYSQL_RES* res = mysql_store_result(mysql_);
    if (res != nullptr) mysql_free_result(res);
    const int next = mysql_next_result(mysql_);
    if (next < 0) return true;
    if (next > 0) return Fail(sql.substr(0, 200));
  }
}

std::vector<std::string> RawSession::Column(const std::string& sql) {
  std::vector<std::string> values;
  if (mysql_ == nullptr || mysql_real_query(mysql_, sql.data(), sql.size()) != 0) {
    Fail(sql.substr(0, 200));
    return values;
  }
  for (;;) {
    MYSQL_RES* res = mysql_store_result(mysql_);
    if (res != nullptr) {
      values.clear();
      while (MYSQL_ROW row = mysql_fetch_row(res)) {
        const unsigned long* lengths = mysql_fetch_lengths(res);
        values.emplace_back(row[0] == nullptr ? "" : std::string(row[0], lengths[0]));
      }
      mysql_free_result(res);
    }
    if (mysql_next_result(mysql_) != 0) break;
  }
  return values;
}

std::string RawSession::Scalar(const std::string& sql) {
  const std::vector<std::string> values = Column(sql);
  return values.empty() ? "" : values[0];
}

void MustRun(RawSession& session, const std::string& sql) {
  if (session.Run(sql)) return;
  std::fprintf(stderr, "korb-bench: set-up failed: %s\n", session.error().c_str());
  std::exit(2);
}

}  // namespace bench
