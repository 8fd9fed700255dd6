// Root access to the private server: one short connection per call, so a
// server restart in a test never leaves the harness with a dead handle.
#include <mysql.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <regex>
#include <stdexcept>

#include "HarnessInternal.h"

namespace korbtest::internal {

namespace {

void InitLibraryOnce() {
  static std::once_flag once;
  std::call_once(once, [] { mysql_library_init(0, nullptr, nullptr); });
}

std::string ErrorText(MYSQL* mysql) {
  return std::string(mysql_error(mysql)) + " (errno " + std::to_string(mysql_errno(mysql)) + ")";
}

}  // namespace

SqlResult RunSql(const std::string& socket, const std::string& sql,
                 const std::string& database) {
  InitLibraryOnce();
  SqlResult result;
  MYSQL* mysql = mysql_init(nullptr);
  if (mysql == nullptr) {
    result.error = "mysql_init failed";
    return result;
  }
  const unsigned int timeout = 120;
  mysql_options(mysql, MYSQL_OPT_READ_TIMEOUT, &timeout);
  mysql_options(mysql, MYSQL_OPT_WRITE_TIMEOUT, &timeout);
  mysql_options(mysql, MYSQL_SET_CHARSET_NAME, "utf8mb4");
  const std::string init = std::string("SET SESSION sql_mode='") + kSessionMode + "'";
  mysql_options(mysql, MYSQL_INIT_COMMAND, init.c_str());
  if (mysql_real_connect(mysql, nullptr, "root", nullptr,
                         database.empty() ? nullptr : database.c_str(), 0,
                         socket.c_str(), CLIENT_MULTI_STATEMENTS) == nullptr) {
    result.error = "connect: " + ErrorText(mysql);
    mysql_close(mysql);
    return result;
  }
  result.ok = mysql_real_query(mysql, sql.data(), sql.size()) == 0;
  if (!result.ok) result.error = ErrorText(mysql);
  while (result.ok) {
    MYSQL_RES* res = mysql_store_result(mysql);
    if (res != nullptr) {
      result.rows.clear();
      const unsigned int n = mysql_num_fields(res);
      while (MYSQL_ROW row = mysql_fetch_row(res)) {
        const unsigned long* lengths = mysql_fetch_lengths(res);
        std::vector<std::string> values;
        for (unsigned int i = 0; i < n; ++i)
          values.push_back(row[i] == nullptr ? "NULL" : std::string(row[i], lengths[i]));
        result.rows.push_back(std::move(values));
      }
      mysql_free_result(res);
    }
    const int next = res == nullptr && mysql_field_count(mysql) != 0 ? 1 : mysql_next_result(mysql);
    if (next < 0) break;
    if (next > 0) {
      result.ok = false;
      result.error = ErrorText(mysql);
    }
  }
  mysql_close(mysql);
  return result;
}

void LoadSchema(const std::string& socket, const std::string& database,
                const std::string& scratch_dir) {
  const SqlResult created = RunSql(socket, "DROP DATABASE IF EXISTS `" + database +
                                               "`; CREATE DATABASE `" + database +
                                               "` CHARACTER SET utf8mb4", "");
  if (!created.ok)
    throw std::runtime_error("creating database " + database + ": " + created.error);

  namespace fs = std::filesystem;
  std::vector<fs::path> files;
  const std::regex pattern("[0-9][0-9]_.*\\.sql");
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(fs::path(SourceDir()) / "sql", ec)) {
    if (entry.is_regular_file() &&
        std::regex_match(entry.path().filename().string(), pattern))
      files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  const std::string output = scratch_dir + "/load-" + database + ".log";
  for (const fs::path& file : files) {
    std::error_code ignored;
    fs::remove(output, ignored);
    RunOrThrow({"mariadb", "--no-defaults", "--user=root", "--socket=" + socket,
                "--default-character-set=utf8mb4",
                std::string("--init-command=SET SESSION sql_mode='") + kSessionMode + "'",
                "--database=" + database},
               file.string(), output);
  }
}

}  // namespace korbtest::internal
