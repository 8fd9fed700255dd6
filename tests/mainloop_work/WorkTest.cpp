#include "WorkTest.h"

#include <fstream>
#include <map>

#include "ProcessState.h"

namespace korbtest {

namespace {

std::string Nullable(const std::string& text) { return text.empty() ? "NULL" : "'" + text + "'"; }

}  // namespace

void WorkTest::StartProcess(bool msp, int addOnSelector) {
  Identity identity;
  identity.msp_flag = msp ? 1 : 0;
  identity.addon_selector = addOnSelector;
  SetMainIdentity(identity);
  logger_ = new CLogger();
  logger_->InitKORBLog(InstallDir() + "/ConsoleManagement/log", "KORB_ProbeScheduler.log",
                       100000000, 5);
  g_pLogger = logger_;
  db_ = std::make_unique<CDBI>(logger_, "orb", "orb");
  ASSERT_TRUE(db_->m_bReady);
  g_pDBI = db_.get();
}

void WorkTest::TearDown() {
  g_pDBI = nullptr;
  db_.reset();
  g_pLogger = nullptr;
  delete logger_;
  DbTest::TearDown();
}

void WorkTest::AddCustomer(const Customer& c) {
  Exec(Format("INSERT INTO customermaster (CustomerID, DSNName, DBName, CustomerStatus, AddOnID) "
              "VALUES (%d, %s, %s, %d, %d);"
              "INSERT INTO customerdetails (CustomerID, SiteID, IsVirtualProbe) VALUES (%d, %d, %d)",
              c.id, Nullable(c.dsn).c_str(), Nullable(c.database).c_str(), c.status, c.addOnId,
              c.id, c.siteId, c.virtualProbe ? 1 : 0));
  if (!c.dsn.empty() && !c.database.empty()) CreateCustomerDatabase(c.database, c.dsn);
}

// Lines look like "<date> <time> [LEVEL] [tid] KORB_ProbeScheduler:<line> <text>".
std::vector<WorkTest::Line> WorkTest::Log() const {
  static const std::map<std::string, int> kLevels = {
      {"ERROR", 2}, {"WARNING", 4}, {"INFO", 8}, {"TRACE", 16}};
  static const std::string kSource = " KORB_ProbeScheduler:";
  std::vector<Line> lines;
  std::ifstream in(InstallDir() + "/ConsoleManagement/log/KORB_ProbeScheduler.log");
  for (std::string line; std::getline(in, line);) {
    const size_t open = line.find(" [");
    const size_t close = line.find(']', open);
    const size_t source = line.find(kSource);
    const size_t text = line.find(' ', source + kSource.size());
    if (open == std::string::npos || source == std::string::npos || text == std::string::npos) {
      continue;
    }
    const auto level = kLevels.find(line.substr(open + 2, close - open - 2));
    lines.push_back({level == kLevels.end() ? 0 : level->second, line.substr(text + 1)});
  }
  return lines;
}

Texts WorkTest::Logged(int level) const {
  Texts texts;
  for (const Line& line : Log()) {
    if (line.level == level) texts.push_back(line.text);
  }
  return texts;
}

int WorkTest::CountLogged(int level, const std::string& text) const {
  int count = 0;
  for (const std::string& logged : Logged(level)) count += logged == text ? 1 : 0;
  return count;
}

Texts WorkTest::LogBetween(const std::string& from, const std::string& to, int n) const {
  Texts texts;
  bool inside = false;
  for (const Line& line : Log()) {
    if (inside && line.text == to) break;
    if (inside) texts.push_back(line.text);
    if (!inside && line.text == from) inside = --n == 0;
  }
  return texts;
}

void WorkTest::AddTarget(int processNo, int port, int taskId, int taskType, int signalType,
                         const std::string& db) {
  Exec(Format("INSERT IGNORE INTO probemaster (ProbeID, HostName, ProbeType, Status) "
              "VALUES (1, '127.0.0.1', 1, 1);"
              "INSERT INTO kovaorbprocessmaster (ProbeType, ProcessNo, PortNumber) VALUES (1, %d, %d);"
              "INSERT IGNORE INTO tasklist (TaskID, TaskTypeID, TaskCategoryID, SignalType, ProcessNo) "
              "VALUES (%d, %d, %d, %d, %d);"
              "INSERT INTO processmapper (ProcessNo, TaskID) VALUES (%d, %d)",
              processNo, port, taskId, taskType, taskId, signalType, processNo, processNo, taskId),
       db);
}

}  // namespace korbtest
