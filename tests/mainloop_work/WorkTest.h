// Fixture for the main loop's work routines, run in-process: a trace-level
// log in the test's install folder, a main database object of our own in
// g_pDBI, and customer databases on the test server.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "DBI.h"
#include "TestDatabase.h"
#include "utilLib.h"

namespace korbtest {

struct LogLine {
  int level = 0;
  std::string text;
};

// One customer of an MSP server: its rows in the main database and, when
// database is not empty, a database of its own reached through DSN group
// dsn.
struct Customer {
  int id = 0;
  int siteId = 1;
  int addOnId = 0;
  int status = 0;
  bool virtualProbe = true;
  std::string dsn;       // DSNName (NULL when empty)
  std::string database;  // DBName; created on the server when not empty
};

class WorkTest : public DbTest {
 protected:
  void TearDown() override;

  // Makes g_pLogger and g_pDBI with the given identity of the main DSN.
  void StartProcess(const Identity& identity = Identity());

  // Lines this process logged, in order.
  std::vector<LogLine> Log() const;
  // Texts of the lines of one level.
  std::vector<std::string> LogTexts(int level) const;
  int CountLogged(int level, const std::string& text) const;
  // Texts logged at any level between the n-th line equal to from and the
  // next line equal to to (both excluded).
  std::vector<std::string> LogBetween(const std::string& from, const std::string& to,
                                      int n = 1) const;

  void AddCustomer(const Customer& customer);

  // A suite process of probe type probeType listening on port, on a probe
  // at 127.0.0.1 with ID probeId and the given status.
  void AddProbe(int probeId, int probeType, int status = 1,
                const std::string& database = "orb");
  void AddProcess(int probeType, int processNo, int port,
                  const std::string& database = "orb");
  // A task served by processNo, mapped through processmapper.
  void AddTask(int taskId, int taskType, int category, int signalType, int processNo,
               const std::string& database = "orb");

 private:
  CLogger* logger_ = nullptr;
  std::unique_ptr<CDBI> db_;
};

}  // namespace korbtest
