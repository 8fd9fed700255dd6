// Fixture for the main loop's work routines, run in-process: a trace-level
// log in the test's install folder, a main database object of our own in
// g_pDBI, and customer databases on the test server.
#pragma once

#include <algorithm>
#include <map>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "DBI.h"
#include "ProcessState.h"
#include "TestDatabase.h"
#include "utilLib.h"

namespace korbtest {

using Texts = std::vector<std::string>;

// A customer of an MSP server; empty names are stored as NULL, and only a
// customer with both names gets a database of its own.
struct Customer {
  int id = 0, siteId = 1, addOnId = 0, status = 0;
  bool virtualProbe = true;
  std::string dsn = "", database = "";
};

class WorkTest : public DbTest {
 protected:
  void TearDown() override {
    g_pDBI = nullptr;
    db_.reset();
    g_pLogger = nullptr;
    logger_.reset();
    DbTest::TearDown();
  }

  void StartProcess(bool msp = false, int addOnSelector = 0) {
    Identity identity;
    identity.msp_flag = msp ? 1 : 0;
    identity.addon_selector = addOnSelector;
    SetMainIdentity(identity);
    logger_ = std::make_unique<CLogger>();
    logger_->InitKORBLog(InstallDir() + "/ConsoleManagement/log", "KORB_ProbeScheduler.log",
                         100000000, 5);
    g_pLogger = logger_.get();
    db_ = std::make_unique<CDBI>(g_pLogger, "orb", "orb");
    ASSERT_TRUE(db_->m_bReady);
    g_pDBI = db_.get();
  }

  void AddCustomer(const Customer& c) {
    auto nullable = [](const std::string& s) { return s.empty() ? "NULL" : "'" + s + "'"; };
    Exec(Format("INSERT INTO customermaster (CustomerID, DSNName, DBName, CustomerStatus, AddOnID) "
                "VALUES (%d, %s, %s, %d, %d);"
                "INSERT INTO customerdetails (CustomerID, SiteID, IsVirtualProbe) VALUES (%d, %d, %d)",
                c.id, nullable(c.dsn).c_str(), nullable(c.database).c_str(), c.status, c.addOnId,
                c.id, c.siteId, c.virtualProbe ? 1 : 0));
    if (!c.dsn.empty() && !c.database.empty()) CreateCustomerDatabase(c.database, c.dsn);
  }

  // Texts of the lines logged at level (2, 4, 8, 16), or at any level for 0.
  Texts Logged(int level) const {
    static const std::map<int, std::string> kLevels = {
        {2, "ERROR"}, {4, "WARNING"}, {8, "INFO"}, {16, "TRACE"}};
    static const std::regex kLine(R"(\[([A-Z]+)\] \[[^\]]*\] KORB_ProbeScheduler:[0-9]+ (.*))");
    Texts texts;
    std::ifstream in(InstallDir() + "/ConsoleManagement/log/KORB_ProbeScheduler.log");
    std::smatch m;
    for (std::string line; std::getline(in, line);) {
      if (std::regex_search(line, m, kLine) && (level == 0 || m[1] == kLevels.at(level))) {
        texts.push_back(m[2]);
      }
    }
    return texts;
  }
  int CountLogged(int level, const std::string& text) const {
    const Texts logged = Logged(level);
    return static_cast<int>(std::count(logged.begin(), logged.end(), text));
  }

  // Probe 1 (type 1, at 127.0.0.1) runs process processNo on port, which
  // serves task taskId of taskType with signalType.
  void AddTarget(int processNo, int port, int taskId, int taskType, int signalType,
                 const std::string& db = "orb") {
    Exec(Format("INSERT IGNORE INTO probemaster (ProbeID, HostName, ProbeType, Status) "
                "VALUES (1, '127.0.0.1', 1, 1);"
                "INSERT INTO kovaorbprocessmaster (ProbeType, ProcessNo, PortNumber) VALUES (1, %d, %d);"
                "INSERT IGNORE INTO tasklist (TaskID, TaskTypeID, TaskCategoryID, SignalType, ProcessNo) "
                "VALUES (%d, %d, %d, %d, %d);"
                "INSERT INTO processmapper (ProcessNo, TaskID) VALUES (%d, %d)",
                processNo, port, taskId, taskType, taskId, signalType, processNo, processNo, taskId),
         db);
  }

 private:
  std::unique_ptr<CLogger> logger_;
  std::unique_ptr<CDBI> db_;
};

}  // namespace korbtest
