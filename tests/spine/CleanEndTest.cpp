// The clean-end record against ends that look orderly but are not: the
// main database given up on, a statement outside the posting units still
// under way when the grace period ran out, a statement of unknown outcome,
// a restart recovery that failed. Each leaves no record, so the next start
// runs restart recovery; a clean end leaves it, so the next start does not.
#include <signal.h>

#include <functional>
#include <memory>

#include "PostingEndTest.h"

namespace spinetest {
namespace {

using korbtest::CountInLog;
using korbtest::DaemonLog;
using korbtest::DaemonOptions;
using korbtest::DaemonProcess;
using korbtest::MariaDbServer;
using korbtest::WaitForLog;

constexpr char kRecoverySkipped[] = "restart recovery is not needed";
constexpr char kRecoveryRuns[] = "running restart recovery";
constexpr char kNotRecorded[] = "The end is not recorded as orderly";
constexpr char kStillBusy[] = "Worker thread still busy at the end of the grace period";
constexpr char kStopAsked[] = "Asking the worker threads to stop";

class CleanEndTest : public PostingEndTest {
 protected:
  void SetUp() override {
    PostingEndTest::SetUp();
    std::filesystem::remove(CleanEndRecord());
    logger_ = std::make_unique<CLogger>();
    logger_->InitKORBLog(InstallDir() + "/test-locks/", "locks.log", 500000, 2);
  }
  void TearDown() override {
    if (locks_) locks_->executeSQL("unlock tables");
    locks_.reset();
    logger_.reset();
    if (!original_procedure_.empty()) {
      Exec("drop procedure pm_submitschedulejobs");
      Exec(original_procedure_);
    }
    Exec("drop table if exists korbtest_hold");
    if (!MariaDbServer::Instance().Running()) MariaDbServer::Instance().Start();
    PostingEndTest::TearDown();
  }

  // The patch management schedule, which the automation thread calls at
  // its start and every 180 s, is made to write a table the test can lock.
  void MakePatchManagementNeedAHeldTable() {
    original_procedure_ = Query("show create procedure pm_submitschedulejobs")[0][2];
    Exec("create table korbtest_hold (n int not null); insert into korbtest_hold values (0)");
    Exec("drop procedure pm_submitschedulejobs");
    Exec("create procedure pm_submitschedulejobs() modifies sql data begin "
         "insert into procedurecalllog (ProcName, Args, CalledAt) "
         "values ('pm_submitschedulejobs', '', now(3)); "
         "update korbtest_hold set n = n + 1; end");
  }
  void LockTable(const std::string& table) {
    if (!locks_) {
      locks_ = std::make_unique<CDBI>(logger_.get(), "orb", "orb");
      ASSERT_TRUE(locks_->m_bReady);
    }
    ASSERT_GE(locks_->executeSQL("lock tables " + table + " write"), 0);
  }
  void UnlockTables() { ASSERT_GE(locks_->executeSQL("unlock tables"), 0); }
  // A statement of the daemon waits for a table lock.
  bool WaitForBlockedStatement() {
    return korbtest::WaitFor(
        [&] {
          return Count("select count(*) from information_schema.processlist where "
                       "state like 'Waiting for table%' and id <> connection_id()") > 0;
        },
        kStartTimeout);
  }

  // Starts the daemon and checks what its start-up said about the
  // previous run; ends it with the end signal and says whether the end
  // was recorded.
  bool StartCheckAndEnd(const char* expected_start_line) {
    std::filesystem::remove(korbtest::DaemonLogPath());
    DaemonProcess daemon;
    ExpectRunning(daemon);
    EXPECT_EQ(CountInLog(expected_start_line), 1) << DaemonLog();
    daemon.Send(1);
    EXPECT_EQ(ExitCodeOf(daemon), 0);
    return HasCleanEndRecord();
  }

 private:
  std::unique_ptr<CLogger> logger_;
  std::unique_ptr<CDBI> locks_;
  std::string original_procedure_;
};

// Reproduction (a): the server stops, the daemon gives up on it, then an
// orderly end comes before the supervision tick would notice.
TEST_F(CleanEndTest, AnEndAfterTheMainDatabaseWasGivenUpOnIsNotRecorded) {
  const std::vector<std::pair<const char*, std::function<void(DaemonProcess&)>>> ends = {
      {"end signal", [](DaemonProcess& d) { d.Send(1); }},
      {"SIGTERM", [](DaemonProcess& d) { d.SendSignal(SIGTERM); }},
  };
  for (const auto& [name, end] : ends) {
    SCOPED_TRACE(name);
    std::filesystem::remove(korbtest::DaemonLogPath());
    // The signalling event every 0.2 s finds the server gone at once.
    DaemonOptions options;
    options.time_scale = 100;
    DaemonProcess daemon(options);
    ExpectRunning(daemon);
    MariaDbServer::Instance().Stop();
    ASSERT_TRUE(WaitForLog("Reconnecting to DSN 'orb' failed", kStartTimeout)) << DaemonLog();
    end(daemon);
    EXPECT_EQ(ExitCodeOf(daemon), 0);
    // The loss wakes the supervision check at once, so the process may have
    // ended on it before the end request came; either way, once.
    const int teardowns = CountInLog("Unloaded the module succesfully...");
    EXPECT_EQ(teardowns + CountInLog("Encountered the DB connection error!!!"), 1)
        << DaemonLog();
    EXPECT_EQ(CountInLog(kNotRecorded), teardowns) << DaemonLog();
    EXPECT_FALSE(HasCleanEndRecord());
    MariaDbServer::Instance().Start();

    EXPECT_TRUE(StartCheckAndEnd(kRecoveryRuns));
  }
  // The clean end just recorded spares the next start its recovery.
  EXPECT_TRUE(StartCheckAndEnd(kRecoverySkipped));
}

// Reproduction (b) and its like: work outside the posting units that is
// still under way when the grace period runs out is cut, and the end is
// not recorded; the same work finishing within the grace period is waited
// for, and the end is recorded.
TEST_F(CleanEndTest, WorkOutsideThePostingsIsWaitedForAndCutWorkIsNotRecorded) {
  MakePatchManagementNeedAHeldTable();
  AddOptions("orb", "korb-grace-period=2\n");
  struct Case {
    const char* table;  // a statement of a worker needs it
    const char* busy;   // what the end reports as cut
  };
  for (const Case& c : {Case{"korbtest_hold", "patch management schedule"},
                        // Read by the patch job threads when they start.
                        Case{"updateagentdetails", "statement outside a unit of work: select "
                                                   "clientversion"}}) {
    SCOPED_TRACE(c.table);
    std::filesystem::remove(korbtest::DaemonLogPath());
    LockTable(c.table);
    {
      DaemonProcess daemon;
      ASSERT_TRUE(WaitForBlockedStatement()) << DaemonLog();
      daemon.Send(1);
      EXPECT_EQ(ExitCodeOf(daemon), 0);
    }
    UnlockTables();
    WaitForOrphanedStatements();
    EXPECT_GE(CountInLog(kStillBusy), 1) << DaemonLog();
    EXPECT_GE(CountInLog(c.busy), 1) << DaemonLog();
    EXPECT_EQ(CountInLog(kNotRecorded), 1) << DaemonLog();
    EXPECT_FALSE(HasCleanEndRecord());
    EXPECT_TRUE(StartCheckAndEnd(kRecoveryRuns));
  }

  // Held only until the stop was asked: the end waits for the call.
  AddOptions("orb", "korb-grace-period=600\n");
  std::filesystem::remove(korbtest::DaemonLogPath());
  const long calls_before = std::stol(Scalar("select n from korbtest_hold"));
  LockTable("korbtest_hold");
  DaemonProcess daemon;
  ASSERT_TRUE(WaitForBlockedStatement()) << DaemonLog();
  daemon.Send(1);
  ASSERT_TRUE(WaitForLog(kStopAsked, kEndTimeout)) << DaemonLog();
  UnlockTables();
  EXPECT_EQ(ExitCodeOf(daemon), 0);
  EXPECT_EQ(CountInLog(kStillBusy), 0) << DaemonLog();
  EXPECT_EQ(CountInLog(kNotRecorded), 0) << DaemonLog();
  EXPECT_TRUE(HasCleanEndRecord());
  EXPECT_EQ(Scalar("select n from korbtest_hold"), std::to_string(calls_before + 1));
}

// A statement that got no answer within the statement time-out may or may
// not have run: the run's end is not recorded, although the end itself
// waited for everything.
TEST_F(CleanEndTest, AStatementOfUnknownOutcomeMakesTheEndUnclean) {
  MakePatchManagementNeedAHeldTable();
  AddOptions("orb", "korb-statement-timeout=1\n");
  LockTable("korbtest_hold");
  DaemonProcess daemon;
  ASSERT_TRUE(WaitForLog("the outcome is unknown", kStartTimeout)) << DaemonLog();
  UnlockTables();
  daemon.Send(1);
  EXPECT_EQ(ExitCodeOf(daemon), 0);
  EXPECT_EQ(CountInLog(kStillBusy), 0) << DaemonLog();
  EXPECT_EQ(CountInLog("statement(s) of unknown outcome, the first in: "
                       "PostAutomationScheduleJobs: patch management schedule"),
            1)
      << DaemonLog();
  EXPECT_FALSE(HasCleanEndRecord());
}

// A recovery whose statements fail is run again at the next start, and
// only a recovery that completed lets a clean end be recorded.
TEST_F(CleanEndTest, AFailedRecoveryIsRunAgainAtTheNextStart) {
  Exec("insert into softwaremeterdetail (ID, SystemID, CollectionStatus) values (1, 1, 2)");
  Exec("rename table softwaremeterdetail to korbtest_metering_away");
  const std::unique_ptr<void, std::function<void(void*)>> restore(this, [this](void*) {
    if (Count("select count(*) from information_schema.tables where table_schema = 'orb' "
              "and table_name = 'korbtest_metering_away'") == 1)
      Exec("rename table korbtest_metering_away to softwaremeterdetail");
  });
  EXPECT_FALSE(StartCheckAndEnd(kRecoveryRuns));
  EXPECT_EQ(CountInLog("Restart recovery did not complete; the next start runs it again"), 1);
  EXPECT_EQ(CountInLog(kNotRecorded), 1);

  Exec("rename table korbtest_metering_away to softwaremeterdetail");
  EXPECT_TRUE(StartCheckAndEnd(kRecoveryRuns));
  EXPECT_EQ(CountInLog("Restart recovery did not complete"), 0);
  EXPECT_EQ(Scalar("select CollectionStatus from softwaremeterdetail where ID = 1"), "0");
  EXPECT_TRUE(StartCheckAndEnd(kRecoverySkipped));
}

}  // namespace
}  // namespace spinetest
