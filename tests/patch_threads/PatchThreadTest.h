// Fixture for the patch job thread tests: a real database, a real log and
// real worker threads, at a time scale that turns five-minute waits into
// a fraction of a second.
//
// Worker threads are never joined, so TearDown ends every thread a test
// started through the fault hook (its outermost handler returns -1) before
// the database object and the logger they use are destroyed.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <sstream>

#include "DaemonProcess.h"
#include "PatchThreads.h"
#include "ProcessState.h"
#include "TestDatabase.h"

namespace patchtest {

using korbtest::CountInLog;
using std::chrono::seconds;
using Thread = std::shared_ptr<port::Thread>;

class PatchThreadTest : public korbtest::DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    UseTimeScale(1000);
    logger_ = new CLogger();
    // The same file the daemon writes, so korbtest's log helpers read it.
    logger_->InitKORBLog(InstallDir() + "/ConsoleManagement/log",
                         "KORB_ProbeScheduler.log", 200000000, 5);
    g_pLogger = logger_;
    db_ = new CDBI(logger_, "orb", "orb");
    ASSERT_TRUE(db_->m_bReady);
    g_pDBI = db_;
    InstallNextScheduleAnswers();
    SetPatchScanStatus(1);
  }
  void TearDown() override {
    for (const auto& [name, thread] : threads_)
      EXPECT_TRUE(Stop(name, thread)) << name << " did not end";
    g_pDBI = nullptr;
    delete db_;
    g_pLogger = nullptr;
    delete logger_;
    DbTest::TearDown();
  }

  static void UseTimeScale(double scale) {
    setenv("KORB_TIME_SCALE", std::to_string(scale).c_str(), 1);
    std::string error;
    ASSERT_TRUE(Clock::Init(&error)) << error;
  }

  // name is the routine's name as the fault hook knows it.
  Thread Start(const std::string& name, uint32_t (*routine)()) {
    std::string error;
    Thread thread = port::Thread::Create(routine, &error);
    EXPECT_TRUE(thread) << error;
    if (thread) Adopt(name, thread);
    return thread;
  }
  // Has TearDown end a thread that something else started.
  void Adopt(const std::string& name, Thread thread) {
    threads_.emplace_back(name, std::move(thread));
  }
  static bool Ended(const Thread& t, uint32_t* code = nullptr) {
    uint32_t exitCode = 0;
    t->GetExitCode(&exitCode);
    if (code) *code = exitCode;
    return exitCode != port::kStillActive;
  }
  bool Stop(const std::string& name, const Thread& t) {
    if (Ended(t)) return true;
    InjectPatchThreadFaultForTest(name);
    bool ended = korbtest::WaitFor(
        [&] {
          // The hook fires at the thread's next cycle: wake whatever it
          // waits on.
          g_hPatchJobEvent.Set();
          g_hOndemandPatchJobEvent.Set();
          g_hInternalDeployEvent.Set();
          return Ended(t);
        },
        seconds(20));
    InjectPatchThreadFaultForTest("");
    return ended;
  }

  static bool WaitForLog(const std::string& text, int times) {
    return korbtest::WaitForLog(text, seconds(20), times);
  }
  // The log lines that end with one of texts, as that text, in order.
  static std::vector<std::string> LogSequence(
      const std::vector<std::string>& texts) {
    std::vector<std::string> seen;
    std::istringstream log(korbtest::DaemonLog());
    for (std::string line; std::getline(log, line);) {
      auto text = std::find_if(texts.begin(), texts.end(),
                               [&](auto& t) { return line.ends_with(t); });
      if (text != texts.end()) seen.push_back(*text);
    }
    return seen;
  }

  // Replaces GetNextScheduleTime in database by one that answers from
  // table nextscheduleanswer and records its calls like the reference one.
  void InstallNextScheduleAnswers(const std::string& database = "orb") {
    Exec("CREATE TABLE IF NOT EXISTS nextscheduleanswer (SchedularInfoID INT "
         "PRIMARY KEY, Answer VARCHAR(255) NULL);"
         "DROP FUNCTION IF EXISTS GetNextScheduleTime;"
         "CREATE FUNCTION GetNextScheduleTime(p_SchedularInfoID INT, "
         "p_LastSubmittedTime VARCHAR(64), p_Mode INT, p_SiteID INT) RETURNS "
         "VARCHAR(255) NOT DETERMINISTIC MODIFIES SQL DATA BEGIN "
         "INSERT INTO procedurecalllog (ProcName, Args, CalledAt) VALUES "
         "('GetNextScheduleTime', CONCAT_WS(', ', p_SchedularInfoID, "
         "IFNULL(p_LastSubmittedTime, ''), p_Mode, p_SiteID), NOW(3)); "
         "RETURN (SELECT Answer FROM nextscheduleanswer WHERE SchedularInfoID "
         "= p_SchedularInfoID); END",
         database);
  }
  void SetNextScheduleAnswer(int infoId, const std::string& answer,
                             const std::string& database = "orb") {
    Exec("REPLACE INTO nextscheduleanswer VALUES (" + std::to_string(infoId) +
             ", " + SqlQuote(answer) + ")",
         database);
  }
  void SetPatchScanStatus(int value, const std::string& database = "orb") {
    Exec("REPLACE INTO configsettings VALUES ('PATCH_SCAN_STATUS', '" +
             std::to_string(value) + "')",
         database);
  }

  CLogger* logger_ = nullptr;
  CDBI* db_ = nullptr;

 private:
  std::vector<std::pair<std::string, Thread>> threads_;
};

}  // namespace patchtest
