// The supervision tick in-process, with worker routines of the test's own:
// one that returns at once, one that ends when the test lets it, one that
// never ends while the test runs.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>

#include "DaemonProcess.h"
#include "ProcessState.h"
#include "TestDatabase.h"
#include "ThreadSupervision.h"

namespace {

using namespace std::chrono_literals;
using korbtest::CountInLog;

constexpr char kExited[] = "Some thread got exited";

class ThreadSupervisionTest : public korbtest::DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    logger_ = std::make_unique<CLogger>();
    // Where the scheduler logs, so the log helpers of the harness apply.
    logger_->InitKORBLog(InstallDir() + "/ConsoleManagement/log/", "KORB_ProbeScheduler.log", 500000, 3);
    g_pLogger = logger_.get();
    ConnectDatabase();
    g_szSupervisorExeName = korbtest::OwnExecutableName();
    g_nSupervisorPid = static_cast<int>(getpid());
  }
  void TearDown() override {
    endless_->done.Set();
    gated_->done.Set();
    g_pDBI = nullptr;
    g_pLogger = nullptr;
    db_.reset();
    logger_.reset();
    DbTest::TearDown();
  }
  void ConnectDatabase() {
    g_pDBI = nullptr;
    db_ = std::make_unique<CDBI>(g_pLogger, "orb", "orb");
    ASSERT_TRUE(db_->m_bReady);
    g_pDBI = db_.get();
  }

  // A worker routine that counts its runs and returns code once done is set.
  struct Worker {
    explicit Worker(uint32_t exit_code, bool open = false) : done(open), code(exit_code) {}
    std::atomic<int> runs{0};
    port::Event done;
    const uint32_t code;
  };
  static port::Thread::StartRoutine Run(const std::shared_ptr<Worker>& w) {
    return [w] {
      ++w->runs;
      while (w->done.Wait(60000) != port::kWaitObject0) {
      }
      return w->code;
    };
  }

  static std::vector<uint32_t> ExitCodes(const ThreadMap& threads) {
    std::vector<uint32_t> codes;
    for (const auto& [handle, record] : threads) {
      uint32_t code = port::kStillActive;
      record.thread->GetExitCode(&code);
      codes.push_back(code);
    }
    return codes;
  }
  static bool AllEnded(const ThreadMap& threads, size_t skip_first = 0) {
    const std::vector<uint32_t> codes = ExitCodes(threads);
    return std::find(codes.begin() + skip_first, codes.end(), port::kStillActive) == codes.end();
  }

  std::shared_ptr<Worker> quick_ = std::make_shared<Worker>(11, true),
                          gated_ = std::make_shared<Worker>(12),
                          endless_ = std::make_shared<Worker>(13);
  std::unique_ptr<CLogger> logger_;
  std::unique_ptr<CDBI> db_;
};

TEST_F(ThreadSupervisionTest, EndedThreadsAreLoggedRemovedAndRestartedInHandleOrder) {
  ThreadMap threads;
  ASSERT_TRUE(StartWorkerThread(threads, Run(endless_)));
  ASSERT_TRUE(StartWorkerThread(threads, Run(gated_)));
  const uint64_t endless = threads.begin()->first, gated = threads.rbegin()->first;

  // None ended: nothing logged, nothing replaced.
  const std::string log_before = korbtest::DaemonLog();
  for (int tick = 0; tick < 2; ++tick) EXPECT_EQ(SupervisionTick(threads), SupervisionResult::kContinue);
  EXPECT_EQ(korbtest::DaemonLog(), log_before);
  ASSERT_EQ(threads.size(), 2u);
  EXPECT_EQ(threads.rbegin()->first, gated);

  ASSERT_TRUE(StartWorkerThread(threads, Run(quick_)));
  const uint64_t quick = threads.rbegin()->first;
  ASSERT_TRUE(korbtest::WaitFor([&] { return AllEnded(threads, 2); }, 10s));

  // The quick one has returned: it alone is logged and replaced.
  EXPECT_EQ(SupervisionTick(threads), SupervisionResult::kContinue);
  EXPECT_EQ(CountInLog(kExited), 1);
  EXPECT_EQ(CountInLog("Re-Created the thread"), 1);
  ASSERT_EQ(threads.size(), 3u);
  EXPECT_EQ(threads.count(quick), 0u);
  EXPECT_EQ(threads.begin()->first, endless);
  EXPECT_EQ(std::next(threads.begin())->first, gated);
  ASSERT_TRUE(korbtest::WaitFor([&] { return quick_->runs == 2; }, 10s));

  // Two ended since the last tick: both go, and come back in the order of
  // their old handles (the gated one first, then the quick one).
  gated_->done.Set();
  ASSERT_TRUE(korbtest::WaitFor([&] { return AllEnded(threads, 1); }, 10s));
  EXPECT_EQ(SupervisionTick(threads), SupervisionResult::kContinue);
  EXPECT_EQ(CountInLog(kExited), 3);
  EXPECT_EQ(CountInLog("Re-Created the thread"), 3);
  ASSERT_EQ(threads.size(), 3u);
  EXPECT_EQ(threads.begin()->first, endless);
  ASSERT_TRUE(korbtest::WaitFor([&] { return AllEnded(threads, 1); }, 10s));
  EXPECT_EQ(ExitCodes(threads), (std::vector<uint32_t>{port::kStillActive, 12, 11}));
  EXPECT_EQ(gated_->runs, 2);
  EXPECT_EQ(quick_->runs, 3);
  EXPECT_EQ(endless_->runs, 1);
}

TEST_F(ThreadSupervisionTest, OnlyInstallTypesOneAndTwoRestartThreads) {
  for (int install_type : {2, 0, 3}) {
    korbtest::Identity identity;
    identity.install_type = install_type;
    SetMainIdentity(identity);
    ConnectDatabase();
    const int exited_before = CountInLog(kExited);
    ThreadMap threads;
    ASSERT_TRUE(StartWorkerThread(threads, Run(quick_)));
    const uint64_t handle = threads.begin()->first;
    ASSERT_TRUE(korbtest::WaitFor([&] { return AllEnded(threads); }, 10s));
    EXPECT_EQ(SupervisionTick(threads), SupervisionResult::kContinue);
    const bool restarts = install_type == 2;
    EXPECT_EQ(CountInLog(kExited) - exited_before, restarts ? 1 : 0) << install_type;
    EXPECT_EQ(threads.count(handle), restarts ? 0u : 1u) << install_type;
  }
}

TEST_F(ThreadSupervisionTest, ThreadThatCouldNotBeStartedIsStartedAtTheNextTick) {
  ThreadMap threads;
  FailWorkerThreadStartsForTest(1);
  EXPECT_FALSE(StartWorkerThread(threads, Run(gated_)));
  ASSERT_EQ(threads.size(), 1u);

  // Treated like an ended thread whose re-creation failed: each tick tries
  // again until the thread runs, and then leaves it alone.
  FailWorkerThreadStartsForTest(1);
  EXPECT_EQ(SupervisionTick(threads), SupervisionResult::kContinue);
  EXPECT_EQ(CountInLog("Re-Created the thread"), 0);
  EXPECT_EQ(SupervisionTick(threads), SupervisionResult::kContinue);
  EXPECT_EQ(CountInLog("Re-Created the thread"), 1);
  ASSERT_TRUE(korbtest::WaitFor([&] { return gated_->runs == 1; }, 10s));
  EXPECT_EQ(SupervisionTick(threads), SupervisionResult::kContinue);
  EXPECT_EQ(CountInLog(kExited), 2);
  ASSERT_EQ(threads.size(), 1u);
  EXPECT_EQ(ExitCodes(threads), std::vector<uint32_t>{port::kStillActive});
}

TEST_F(ThreadSupervisionTest, LostConnectionComesBeforeTheSupervisorWatch) {
  ThreadMap threads;
  ASSERT_TRUE(StartWorkerThread(threads, Run(quick_)));
  ASSERT_TRUE(korbtest::WaitFor([&] { return AllEnded(threads); }, 10s));
  const uint64_t handle = threads.begin()->first;

  g_nSupervisorPid = 1;  // not this test binary
  g_pDBI->m_bConnectionError = true;
  EXPECT_EQ(SupervisionTick(threads), SupervisionResult::kConnectionLost);
  EXPECT_EQ(CountInLog("Encountered the DB connection error!!!"), 1);
  EXPECT_EQ(CountInLog("Seems service is not running"), 0);

  // A supervisor under another pid, or none of that name at all.
  g_pDBI->m_bConnectionError = false;
  EXPECT_EQ(SupervisionTick(threads), SupervisionResult::kSupervisorGone);
  g_szSupervisorExeName = "no-such-supervisor-program";
  g_nSupervisorPid = static_cast<int>(getpid());
  EXPECT_EQ(SupervisionTick(threads), SupervisionResult::kSupervisorGone);
  EXPECT_EQ(CountInLog("Seems service is not running .Exiting the application"), 2);

  // Neither end restarts anything.
  EXPECT_EQ(CountInLog(kExited), 0);
  EXPECT_EQ(threads.count(handle), 1u);
}

}  // namespace
