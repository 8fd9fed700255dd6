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

using Texts = std::vector<std::string>;

// A customer of an MSP server: rows in the main database and, when
// database is not empty, a database of its own behind DSN group dsn.
struct Customer {
  int id = 0;
  int siteId = 1;
  int addOnId = 0;
  int status = 0;
  bool virtualProbe = true;
  std::string dsn;       // DSNName (NULL when empty)
  std::string database;  // DBName (NULL when empty)
};

class WorkTest : public DbTest {
 protected:
  void TearDown() override;

  // Makes g_pLogger and g_pDBI; msp sets the MSP flag of the main DSN.
  void StartProcess(bool msp = false, int addOnSelector = 0);
  void AddCustomer(const Customer& customer);

  // Texts of the lines logged at level.
  Texts Logged(int level) const;
  int CountLogged(int level, const std::string& text) const;
  // Texts of all lines between the n-th line equal to from and the next
  // line equal to to.
  Texts LogBetween(const std::string& from, const std::string& to, int n = 1) const;

  // Probe 1 (type 1, at 127.0.0.1) runs process processNo on port, which
  // serves task taskId of taskType with signalType.
  void AddTarget(int processNo, int port, int taskId, int taskType, int signalType,
                 const std::string& db = "orb");

 private:
  struct Line {
    int level;
    std::string text;
  };
  std::vector<Line> Log() const;
  CLogger* logger_ = nullptr;
  std::unique_ptr<CDBI> db_;
};

}  // namespace korbtest
