#include "WorkTest.h"

#include <fstream>

#include "ProcessState.h"

namespace korbtest {

namespace {

constexpr char kSource[] = " KORB_ProbeScheduler:";

int LevelOf(const std::string& name) {
  if (name == "ERROR") return 2;
  if (name == "WARNING") return 4;
  if (name == "INFO") return 8;
  if (name == "TRACE") return 16;
  return std::atoi(name.c_str());
}

std::string Nullable(const std::string& text) {
  return text.empty() ? "NULL" : "'" + text + "'";
}

}  // namespace

void WorkTest::StartProcess(const Identity& identity) {
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
  logger_ = nullptr;
  DbTest::TearDown();
}

std::vector<LogLine> WorkTest::Log() const {
  std::vector<LogLine> lines;
  std::ifstream in(InstallDir() + "/ConsoleManagement/log/KORB_ProbeScheduler.log");
  std::string line;
  while (std::getline(in, line)) {
    const size_t open = line.find(" [");
    const size_t close = line.find(']', open);
    const size_t source = line.find(kSource);
    if (open == std::string::npos || close == std::string::npos ||
        source == std::string::npos) {
      continue;
    }
    const size_t text = line.find(' ', source + sizeof(kSource) - 1);
    if (text == std::string::npos) continue;
    lines.push_back({LevelOf(line.substr(open + 2, close - open - 2)), line.substr(text + 1)});
  }
  return lines;
}

std::vector<std::string> WorkTest::LogTexts(int level) const {
  std::vector<std::string> texts;
  for (const LogLine& line : Log()) {
    if (line.level == level) texts.push_back(line.text);
  }
  return texts;
}

int WorkTest::CountLogged(int level, const std::string& text) const {
  int count = 0;
  for (const LogLine& line : Log()) {
    if (line.level == level && line.text == text) ++count;
  }
  return count;
}

std::vector<std::string> WorkTest::LogBetween(const std::string& from, const std::string& to,
                                              int n) const {
  std::vector<std::string> texts;
  bool inside = false;
  for (const LogLine& line : Log()) {
    if (!inside) {
      inside = line.text == from && --n == 0;
      continue;
    }
    if (line.text == to) break;
    texts.push_back(line.text);
  }
  return texts;
}

void WorkTest::AddCustomer(const Customer& c) {
  Exec("INSERT INTO customermaster (CustomerID, DSNName, DBName, CustomerStatus, AddOnID) "
       "VALUES (" + std::to_string(c.id) + ", " + Nullable(c.dsn) + ", " +
       Nullable(c.database) + ", " + std::to_string(c.status) + ", " +
       std::to_string(c.addOnId) + ")");
  Exec("INSERT INTO customerdetails (CustomerID, SiteID, IsVirtualProbe) VALUES (" +
       std::to_string(c.id) + ", " + std::to_string(c.siteId) + ", " +
       (c.virtualProbe ? "1" : "0") + ")");
  if (!c.database.empty()) CreateCustomerDatabase(c.database, c.dsn);
}

void WorkTest::AddProbe(int probeId, int probeType, int status,
                        const std::string& database) {
  Exec("INSERT INTO probemaster (ProbeID, HostName, ProbeType, Status) VALUES (" +
       std::to_string(probeId) + ", '127.0.0.1', " + std::to_string(probeType) + ", " +
       std::to_string(status) + ")",
       database);
}

void WorkTest::AddProcess(int probeType, int processNo, int port,
                          const std::string& database) {
  Exec("INSERT INTO kovaorbprocessmaster (ProbeType, ProcessNo, PortNumber) VALUES (" +
       std::to_string(probeType) + ", " + std::to_string(processNo) + ", " +
       std::to_string(port) + ")",
       database);
}

void WorkTest::AddTask(int taskId, int taskType, int category, int signalType, int processNo,
                       const std::string& database) {
  Exec("INSERT INTO tasklist (TaskID, TaskTypeID, TaskCategoryID, SignalType, ProcessNo) "
       "VALUES (" + std::to_string(taskId) + ", " + std::to_string(taskType) + ", " +
       std::to_string(category) + ", " + std::to_string(signalType) + ", " +
       std::to_string(processNo) + ");"
       "INSERT INTO processmapper (ProcessNo, TaskID) VALUES (" + std::to_string(processNo) +
       ", " + std::to_string(taskId) + ")",
       database);
}

}  // namespace korbtest
