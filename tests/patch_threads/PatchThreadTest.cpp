#include "PatchThreadTest.h"

#include <stdlib.h>

#include <fstream>

#include "PatchThreads.h"

namespace patchtest {

namespace {

// "YYYY-MM-DD HH:MM:SS.mmm [LEVEL] [tid] source:line message"
bool ParseLine(const std::string& line, LogLine* out) {
  size_t open = line.find('[');
  size_t close = line.find(']', open);
  if (open == std::string::npos || close == std::string::npos) return false;
  out->level = line.substr(open + 1, close - open - 1);
  size_t tidEnd = line.find("] ", close + 1);
  if (tidEnd == std::string::npos) return false;
  size_t sourceEnd = line.find(' ', tidEnd + 2);
  if (sourceEnd == std::string::npos) return false;
  out->message = line.substr(sourceEnd + 1);
  return true;
}

bool Matches(const std::string& message, const std::string& text,
             bool prefix) {
  return prefix ? message.rfind(text, 0) == 0 : message == text;
}

}  // namespace

void PatchThreadTest::SetUp() {
  DbTest::SetUp();
  UseTimeScale(1000);
  logger_ = new CLogger();
  logger_->InitKORBLog(InstallDir() + "/ConsoleManagement/log",
                       "KORB_ProbeScheduler.log", 200000000, 5);
  g_pLogger = logger_;
  db_ = new CDBI(logger_, "orb", "orb");
  ASSERT_TRUE(db_->m_bReady);
  g_pDBI = db_;
  InstallNextScheduleAnswers();
  SetPatchScanStatus(1);
}

void PatchThreadTest::TearDown() {
  for (const Running& running : threads_) {
    EXPECT_TRUE(Stop(running.name, running.thread))
        << running.name << " did not end";
  }
  threads_.clear();
  g_pDBI = nullptr;
  delete db_;
  g_pLogger = nullptr;
  delete logger_;
  DbTest::TearDown();
}

void PatchThreadTest::UseTimeScale(double scale) {
  setenv("KORB_TIME_SCALE", std::to_string(scale).c_str(), 1);
  std::string error;
  ASSERT_TRUE(Clock::Init(&error)) << error;
}

std::shared_ptr<port::Thread> PatchThreadTest::Start(
    const std::string& name, std::function<uint32_t()> routine) {
  std::string error;
  std::shared_ptr<port::Thread> thread =
      port::Thread::Create(std::move(routine), &error);
  EXPECT_TRUE(thread) << error;
  if (thread) threads_.push_back({name, thread});
  return thread;
}

bool PatchThreadTest::Ended(const std::shared_ptr<port::Thread>& t,
                            uint32_t* code) {
  uint32_t exitCode = 0;
  t->GetExitCode(&exitCode);
  if (code) *code = exitCode;
  return exitCode != port::kStillActive;
}

bool PatchThreadTest::Stop(const std::string& name,
                           const std::shared_ptr<port::Thread>& t) {
  if (Ended(t)) return true;
  InjectPatchThreadFaultForTest(name);
  bool ended = korbtest::WaitFor(
      [&] {
        // Wake whatever the thread waits on; the hook fires at its next
        // cycle.
        g_hPatchJobEvent.Set();
        g_hOndemandPatchJobEvent.Set();
        g_hInternalDeployEvent.Set();
        return Ended(t);
      },
      std::chrono::seconds(20));
  InjectPatchThreadFaultForTest("");
  return ended;
}

std::vector<LogLine> PatchThreadTest::Log() const {
  std::vector<LogLine> lines;
  std::ifstream in(logger_->GetLogPath());
  std::string line;
  while (std::getline(in, line)) {
    LogLine parsed;
    if (ParseLine(line, &parsed)) lines.push_back(std::move(parsed));
  }
  return lines;
}

long PatchThreadTest::CountLog(const std::string& text, bool prefix) const {
  long count = 0;
  for (const LogLine& line : Log())
    if (Matches(line.message, text, prefix)) ++count;
  return count;
}

bool PatchThreadTest::WaitForLog(const std::string& text, long count,
                                 std::chrono::milliseconds timeout,
                                 bool prefix) const {
  return korbtest::WaitFor([&] { return CountLog(text, prefix) >= count; },
                           timeout);
}

std::vector<std::string> PatchThreadTest::LogSequence(
    const std::vector<std::string>& messages) const {
  std::vector<std::string> sequence;
  for (const LogLine& line : Log()) {
    for (const std::string& message : messages) {
      if (line.message == message) {
        sequence.push_back(message);
        break;
      }
    }
  }
  return sequence;
}

void PatchThreadTest::InstallNextScheduleAnswers(const std::string& database) {
  Exec(
      "CREATE TABLE IF NOT EXISTS nextscheduleanswer (SchedularInfoID INT "
      "PRIMARY KEY, Answer VARCHAR(255) NULL);"
      "DROP FUNCTION IF EXISTS GetNextScheduleTime;"
      "CREATE FUNCTION GetNextScheduleTime(p_SchedularInfoID INT, "
      "p_LastSubmittedTime VARCHAR(64), p_Mode INT, p_SiteID INT) RETURNS "
      "VARCHAR(255) NOT DETERMINISTIC MODIFIES SQL DATA BEGIN "
      "INSERT INTO procedurecalllog (ProcName, Args, CalledAt) VALUES "
      "('GetNextScheduleTime', CONCAT_WS(', ', p_SchedularInfoID, "
      "IFNULL(p_LastSubmittedTime, ''), p_Mode, p_SiteID), NOW(3)); "
      "RETURN (SELECT Answer FROM nextscheduleanswer WHERE SchedularInfoID = "
      "p_SchedularInfoID); END",
      database);
}

void PatchThreadTest::SetNextScheduleAnswer(int schedularInfoId,
                                            const std::string& answer,
                                            const std::string& database) {
  Exec("REPLACE INTO nextscheduleanswer VALUES (" +
           std::to_string(schedularInfoId) + ", " + SqlQuote(answer) + ")",
       database);
}

void PatchThreadTest::SetPatchScanStatus(int value,
                                         const std::string& database) {
  Exec("REPLACE INTO configsettings VALUES ('PATCH_SCAN_STATUS', '" +
           std::to_string(value) + "')",
       database);
}

void PatchThreadTest::UseMspMainDatabase() {
  korbtest::Identity identity;
  identity.msp_flag = 1;
  SetMainIdentity(identity);
  delete db_;
  db_ = new CDBI(logger_, "orb", "orb");
  g_pDBI = db_;
  ASSERT_TRUE(db_->m_bReady);
  ASSERT_NE(db_->m_nMSPFlag, 0);
}

void PatchThreadTest::AddCustomer(int customerId, int siteId,
                                  const std::string& database) {
  CreateCustomerDatabase(database, database);
  InstallNextScheduleAnswers(database);
  Exec("INSERT INTO customermaster (CustomerID, CustomerName, DSNName, "
       "DBName, CustomerStatus, AddOnID) VALUES (" +
       std::to_string(customerId) + ", 'c', '" + database + "', '" +
       database + "', 0, 0);" +
       "INSERT INTO customerdetails (CustomerID, SiteID, IsVirtualProbe) "
       "VALUES (" + std::to_string(customerId) + ", " +
       std::to_string(siteId) + ", 1)");
}

}  // namespace patchtest
