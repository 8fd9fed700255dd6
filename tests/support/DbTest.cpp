// The per-test database fixture.
#include <stdlib.h>

#include <cstdio>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>

#include "HarnessInternal.h"

namespace korbtest {

namespace {

namespace fs = std::filesystem;

// Databases that belong to the server itself, never dropped between tests.
bool IsSystemDatabase(const std::string& name) {
  return name == "orb" || name == "mysql" || name == "information_schema" ||
         name == "performance_schema" || name == "sys";
}

std::string IdentityKeys(const Identity& id) {
  return "korb-msp-flag=" + std::to_string(id.msp_flag) + "\n" +
         "korb-site-id=" + std::to_string(id.site_id) + "\n" +
         "korb-probe-id=" + std::to_string(id.probe_id) + "\n" +
         "korb-install-type=" + std::to_string(id.install_type) + "\n" +
         "korb-addon-selector=" + std::to_string(id.addon_selector) + "\n";
}

std::string GroupBody(const std::string& socket, const std::string& database,
                      const Identity& identity) {
  return "socket=" + socket + "\nuser=root\ndatabase=" + database + "\n" +
         IdentityKeys(identity);
}

std::string Quoted(const std::string& name) {
  std::string out = "`";
  for (char c : name) {
    if (c == '`') out += '`';
    out += c;
  }
  return out + "`";
}

std::string Literal(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += '\'';
    out += c;
  }
  return out + "'";
}

// Empties every table of orb that has rows or a used AUTO_INCREMENT;
// TRUNCATE also resets AUTO_INCREMENT, so row IDs start at 1 in every test.
// Truncating only those keeps a test's set-up at a few milliseconds.
void EmptyMainDatabase(const std::string& socket) {
  const internal::SqlResult tables = internal::RunSql(
      socket,
      "SELECT table_name, auto_increment > 1 OR engine <> 'InnoDB' FROM "
      "information_schema.tables WHERE table_schema = 'orb' AND table_type = 'BASE TABLE'",
      "");
  if (!tables.ok) throw std::runtime_error("listing tables of orb: " + tables.error);
  std::set<std::string> dirty;
  std::string probe;
  for (const auto& row : tables.rows) {
    if (row[1] == "1") dirty.insert(row[0]);
    if (!probe.empty()) probe += " UNION ALL ";
    probe += "(SELECT " + Literal(row[0]) + " FROM " + Quoted(row[0]) + " LIMIT 1)";
  }
  if (!probe.empty()) {
    const internal::SqlResult filled = internal::RunSql(socket, probe, "orb");
    if (!filled.ok) throw std::runtime_error("probing tables of orb: " + filled.error);
    for (const auto& row : filled.rows) dirty.insert(row[0]);
  }
  if (dirty.empty()) return;
  // A session of an earlier test stuck in a statement must turn into an
  // error here, not a hang until the ctest time-out.
  std::string sql = "SET SESSION lock_wait_timeout = 60; SET FOREIGN_KEY_CHECKS = 0";
  for (const std::string& table : dirty) sql += "; TRUNCATE TABLE " + Quoted(table);
  const internal::SqlResult done = internal::RunSql(socket, sql, "orb");
  if (!done.ok) throw std::runtime_error("emptying orb: " + done.error);
}

void DropCustomerDatabases(const std::string& socket) {
  const internal::SqlResult dbs = internal::RunSql(socket, "SHOW DATABASES", "");
  if (!dbs.ok) throw std::runtime_error("listing databases: " + dbs.error);
  std::string sql;
  for (const auto& row : dbs.rows) {
    if (IsSystemDatabase(row[0])) continue;
    if (!sql.empty()) sql += "; ";
    sql += "DROP DATABASE " + Quoted(row[0]);
  }
  if (sql.empty()) return;
  const internal::SqlResult done = internal::RunSql(socket, sql, "");
  if (!done.ok) throw std::runtime_error("dropping customer databases: " + done.error);
}

bool StartsWithCount(const std::string& sql) {
  std::string head;
  for (char c : sql) {
    if (std::isspace(static_cast<unsigned char>(c))) {
      if (head.empty() || head.back() == ' ') continue;
      head += ' ';
    } else {
      head += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (head.size() >= 14) break;
  }
  return head.rfind("select count(", 0) == 0 || head.rfind("select count (", 0) == 0;
}

// Loads orb once per binary. A broken sql/ file fails every test with the
// client's message, without reloading for each of them.
void EnsureMainSchema(const std::string& socket, const std::string& scratch_dir) {
  static bool attempted = false;
  static std::string failure;
  if (!attempted) {
    attempted = true;
    try {
      internal::LoadSchema(socket, "orb", scratch_dir);
    } catch (const std::exception& e) {
      failure = e.what();
    }
  }
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
  const internal::SqlResult result =
      internal::RunSql(MariaDbServer::Instance().Socket(), sql, database);
  if (!result.ok) ADD_FAILURE() << "Exec failed: " << result.error << "\n  SQL: " << sql;
}

Rows DbTest::Query(const std::string& sql, const std::string& database) {
  internal::SqlResult result =
      internal::RunSql(MariaDbServer::Instance().Socket(), sql, database);
  if (!result.ok) ADD_FAILURE() << "Query failed: " << result.error << "\n  SQL: " << sql;
  return std::move(result.rows);
}

std::string DbTest::Scalar(const std::string& sql, const std::string& database) {
  const Rows rows = Query(sql, database);
  if (rows.empty() || rows[0].empty()) return "";
  return rows[0][0];
}

long DbTest::Count(const std::string& sql, const std::string& database) {
  const Rows rows = Query(sql, database);
  if (StartsWithCount(sql)) {
    return rows.empty() || rows[0].empty() ? 0 : std::strtol(rows[0][0].c_str(), nullptr, 10);
  }
  return static_cast<long>(rows.size());
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

void DbTest::SetMainIdentity(const Identity& identity) {
  groups_["orb"] = GroupBody(MariaDbServer::Instance().Socket(), "orb", identity);
  WriteOptionFile();
}

void DbTest::AddUnreachableDsn(const std::string& dsn) {
  groups_[dsn] = GroupBody(install_dir_ + "/no-server.sock", "orb", Identity());
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
