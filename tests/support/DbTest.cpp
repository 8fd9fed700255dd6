// The per-test database fixture.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <stdexcept>

#include "HarnessInternal.h"

namespace korbtest {

namespace {

namespace fs = std::filesystem;

std::string GroupBody(const std::string& socket, const std::string& database,
                      const Identity& id) {
  return "socket=" + socket + "\nuser=root\ndatabase=" + database +
         "\nkorb-msp-flag=" + std::to_string(id.msp_flag) +
         "\nkorb-site-id=" + std::to_string(id.site_id) +
         "\nkorb-probe-id=" + std::to_string(id.probe_id) +
         "\nkorb-install-type=" + std::to_string(id.install_type) +
         "\nkorb-addon-selector=" + std::to_string(id.addon_selector) + "\n";
}

// name between `quote` characters, any quote in it doubled.
std::string Quoted(const std::string& name, char quote = '`') {
  std::string out(1, quote);
  for (char c : name) out += c == quote ? std::string(2, c) : std::string(1, c);
  return out + quote;
}

std::string Literal(const std::string& text) { return Quoted(text, '\''); }

internal::SqlResult Checked(const std::string& socket, const std::string& sql,
                           const std::string& database, const char* what) {
  internal::SqlResult result = internal::RunSql(socket, sql, database);
  if (!result.ok) throw std::runtime_error(std::string(what) + ": " + result.error);
  return result;
}

// Empties every table of orb that has rows or a used AUTO_INCREMENT;
// TRUNCATE also resets AUTO_INCREMENT, so row IDs start at 1 in every test.
// Truncating only those keeps a test's set-up at a few milliseconds.
void EmptyMainDatabase(const std::string& socket) {
  const internal::SqlResult tables = Checked(
      socket,
      "SELECT table_name, auto_increment > 1 OR engine <> 'InnoDB' FROM "
      "information_schema.tables WHERE table_schema = 'orb' AND table_type = 'BASE TABLE'",
      "", "listing tables of orb");
  std::set<std::string> dirty;
  std::string probe;
  for (const auto& row : tables.rows) {
    if (row[1] == "1") dirty.insert(row[0]);
    if (!probe.empty()) probe += " UNION ALL ";
    probe += "(SELECT " + Literal(row[0]) + " FROM " + Quoted(row[0]) + " LIMIT 1)";
  }
  if (!probe.empty())
    for (const auto& row : Checked(socket, probe, "orb", "probing tables of orb").rows)
      dirty.insert(row[0]);
  if (dirty.empty()) return;
  // A session of an earlier test stuck in a statement must turn into an
  // error here, not a hang until the ctest time-out.
  std::string sql = "SET SESSION lock_wait_timeout = 60; SET FOREIGN_KEY_CHECKS = 0";
  for (const std::string& table : dirty) sql += "; TRUNCATE TABLE " + Quoted(table);
  Checked(socket, sql, "orb", "emptying orb");
}

void DropCustomerDatabases(const std::string& socket) {
  const std::set<std::string> kept{"orb", "mysql", "information_schema",
                                   "performance_schema", "sys"};
  std::string sql;
  for (const auto& row : Checked(socket, "SHOW DATABASES", "", "listing databases").rows)
    if (kept.count(row[0]) == 0) sql += "DROP DATABASE " + Quoted(row[0]) + ";";
  if (!sql.empty()) Checked(socket, sql, "", "dropping customer databases");
}

// Loads orb once per binary. A broken sql/ file fails every test with the
// client's message, without reloading for each of them.
void EnsureMainSchema(const std::string& socket, const std::string& scratch_dir) {
  static const std::string failure = [&]() -> std::string {
    try {
      internal::LoadSchema(socket, "orb", scratch_dir);
      return "";
    } catch (const std::exception& e) {
      return e.what();
    }
  }();
  if (!failure.empty()) throw std::runtime_error("loading sql/ into orb: " + failure);
}

}  // namespace

void DbTest::SetUp() {
  MariaDbServer& server = MariaDbServer::Instance();
  if (!server.Running()) server.Start();
  const std::string& socket = server.Socket();
  EnsureMainSchema(socket, fs::path(socket).parent_path().string());
  EmptyMainDatabase(socket);
  DropCustomerDatabases(socket);

  // Inside the server's folder, so that even a killed test binary leaves
  // nothing behind.
  std::string templ = fs::path(socket).parent_path().string() + "/install.XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  install_dir_ = templ;
  fs::create_directories(install_dir_ + "/ConsoleManagement/log");
  fs::create_directories(install_dir_ + "/ConsoleManagement/config");
  option_file_ = install_dir_ + "/ConsoleManagement/config/korb-db.cnf";
  groups_.clear();
  groups_["orb"] = GroupBody(socket, "orb", Identity());
  WriteOptionFile();

  setenv("KORB_DB_CONFIG", option_file_.c_str(), 1);
  setenv("KORB_DSN", "orb", 1);
  setenv("KORB_INSTALL_DIR", install_dir_.c_str(), 1);
  setenv("KORB_LOCK_DIR", install_dir_.c_str(), 1);
}

void DbTest::TearDown() {
  if (install_dir_.empty()) return;
  std::error_code ec;
  // A failed test's install folder (logs, option file) is kept for a look
  // afterwards; the server's folder goes when the binary ends.
  if (HasFailure()) {
    std::string kept = "/tmp/korb-test-failed.XXXXXX";
    if (mkdtemp(kept.data()) != nullptr) {
      fs::copy(install_dir_, kept, fs::copy_options::recursive, ec);
      std::fprintf(stderr, "[harness] install folder of the failed test copied to %s\n",
                   kept.c_str());
    }
  }
  fs::remove_all(install_dir_, ec);
}

void DbTest::WriteOptionFile() {
  const std::string temp = option_file_ + ".new";
  {
    std::ofstream out(temp, std::ios::trunc);
    for (const auto& [dsn, body] : groups_) out << "[" << dsn << "]\n" << body << "\n";
    if (!out) throw std::runtime_error("cannot write " + temp);
  }
  // Replaced in one step: a daemon thread may read the file at any moment.
  fs::rename(temp, option_file_);
}

void DbTest::Exec(const std::string& sql, const std::string& database) {
  Query(sql, database);
}

Rows DbTest::Query(const std::string& sql, const std::string& database) {
  internal::SqlResult result =
      internal::RunSql(MariaDbServer::Instance().Socket(), sql, database);
  if (!result.ok) ADD_FAILURE() << "SQL failed: " << result.error << "\n  SQL: " << sql;
  return std::move(result.rows);
}

std::string DbTest::Scalar(const std::string& sql, const std::string& database) {
  const Rows rows = Query(sql, database);
  return rows.empty() || rows[0].empty() ? "" : rows[0][0];
}

long DbTest::Count(const std::string& sql, const std::string& database) {
  static const std::regex count_query(R"(^\s*select\s+count\s*\()", std::regex::icase);
  const Rows rows = Query(sql, database);
  if (!std::regex_search(sql, count_query)) return static_cast<long>(rows.size());
  return rows.empty() || rows[0].empty() ? 0 : std::strtol(rows[0][0].c_str(), nullptr, 10);
}

void DbTest::CreateCustomerDatabase(const std::string& name, const std::string& dsn,
                                    const Identity& identity) {
  MariaDbServer& server = MariaDbServer::Instance();
  try {
    internal::LoadSchema(server.Socket(), name, install_dir_);
  } catch (const std::exception& e) {
    ADD_FAILURE() << "CreateCustomerDatabase(" << name << "): " << e.what();
    return;
  }
  groups_[dsn] = GroupBody(server.Socket(), name, identity);
  WriteOptionFile();
}

void DbTest::AddDsnGroups(const std::vector<std::string>& dsns, const std::string& database) {
  for (const std::string& dsn : dsns)
    groups_[dsn] = GroupBody(MariaDbServer::Instance().Socket(), database, Identity());
  WriteOptionFile();
}

void DbTest::SetMainIdentity(const Identity& identity) {
  groups_["orb"] = GroupBody(MariaDbServer::Instance().Socket(), "orb", identity);
  WriteOptionFile();
}

void DbTest::AddOptions(const std::string& dsn, const std::string& lines) {
  groups_[dsn] += lines;
  WriteOptionFile();
}

void DbTest::AddUnreachableDsn(const std::string& dsn) {
  groups_[dsn] = GroupBody(install_dir_ + "/no-server.sock", "orb", Identity());
  WriteOptionFile();
}

void DbTest::RouteOverTcp(const std::string& dsn, const std::string& host, int port) {
  std::string& body = groups_[dsn];
  body = std::regex_replace(body, std::regex("(^|\n)socket=[^\n]*"),
                            "$1host=" + host + "\nport=" + std::to_string(port) +
                                "\nprotocol=TCP");
  WriteOptionFile();
}

std::vector<std::string> DbTest::ProcedureCalls(const std::string& name,
                                                const std::string& database) {
  std::string sql = "SELECT ProcName, Args FROM procedurecalllog";
  if (!name.empty()) sql += " WHERE ProcName = " + Literal(name);
  sql += " ORDER BY CallID";
  std::vector<std::string> calls;
  for (const auto& row : Query(sql, database)) calls.push_back(row[0] + "(" + row[1] + ")");
  return calls;
}

}  // namespace korbtest
