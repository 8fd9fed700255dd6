// Fixture for the patch job thread tests: a real database, a real log and
// real worker threads, run with a time scale so that five-minute waits
// take a fraction of a second.
//
// Worker threads are never joined, so every thread a test starts is ended
// in TearDown through the fault hook (its outermost handler returns -1)
// before the database object and the logger it uses are destroyed.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "DBI.h"
#include "ProcessState.h"
#include "TestDatabase.h"
#include "platform.h"

namespace patchtest {

struct LogLine {
  std::string level;    // "ERROR", "WARNING", "INFO", "TRACE"
  std::string message;  // text after "source:line "
};

class PatchThreadTest : public korbtest::DbTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Applies KORB_TIME_SCALE to the process clock (default in SetUp: 1000).
  static void UseTimeScale(double scale);

  // Starts routine (PerformPatchJobs etc.) on a worker thread; name is the
  // routine's name as the fault hook knows it.
  std::shared_ptr<port::Thread> Start(const std::string& name,
                                      std::function<uint32_t()> routine);
  // Has TearDown end a thread that something else started.
  void Adopt(const std::string& name, std::shared_ptr<port::Thread> thread) {
    threads_.push_back({name, std::move(thread)});
  }
  // Ends a thread through the fault hook; true once it has ended.
  bool Stop(const std::string& name, const std::shared_ptr<port::Thread>& t);
  static bool Ended(const std::shared_ptr<port::Thread>& t,
                    uint32_t* code = nullptr);

  // Every line of the log so far, in order.
  std::vector<LogLine> Log() const;
  // Lines whose message equals text (or starts with it, when prefix).
  long CountLog(const std::string& text, bool prefix = false) const;
  bool WaitForLog(const std::string& text, long count,
                  std::chrono::milliseconds timeout, bool prefix = false) const;
  // Messages of the log that are among the given ones, in order.
  std::vector<std::string> LogSequence(
      const std::vector<std::string>& messages) const;

  // Replaces GetNextScheduleTime in database by one that answers from
  // table nextscheduleanswer (SchedularInfoID -> Answer) and records its
  // calls like the reference function.
  void InstallNextScheduleAnswers(const std::string& database = "orb");
  void SetNextScheduleAnswer(int schedularInfoId, const std::string& answer,
                             const std::string& database = "orb");

  void SetPatchScanStatus(int value, const std::string& database = "orb");

  // Reopens the main database object as that of an MSP server.
  void UseMspMainDatabase();
  // A customer of the main database with its own database and site ID.
  void AddCustomer(int customerId, int siteId, const std::string& database);

  CLogger* logger_ = nullptr;
  CDBI* db_ = nullptr;

 private:
  struct Running {
    std::string name;
    std::shared_ptr<port::Thread> thread;
  };
  std::vector<Running> threads_;
};

}  // namespace patchtest
