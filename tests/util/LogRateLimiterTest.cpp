// Repeating log lines: the first few of a kind, then one per scaled
// interval with the count of those held back; kinds kept apart; bounded
// under many threads and many keys.
#include <thread>

#include "UtilTestHelpers.h"
#include "platform.h"

using utiltest::CountOf;
using utiltest::ReadFile;
using utiltest::TempDir;

namespace {

class LogRateLimiterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(logger_.InitKORBLog(dir_.path, "limited.log", 10000000, 3), 1);
  }
  std::string Log() { return ReadFile(logger_.GetLogPath()); }

  TempDir dir_;
  CLogger logger_;
};

TEST_F(LogRateLimiterTest, BurstThenOneLinePerIntervalWithTheSuppressedCount) {
  utiltest::ScopedTimeScale scale("1000");  // a minute lasts 60 ms
  LogRateLimiter limiter(3, 60000);
  const uint64_t total_before = LogRateLimiter::TotalSuppressed();
  for (int i = 0; i < 100; ++i)
    KORBLogLimited(&logger_, limiter, "", 7, "src", 2, "junk %d", i);
  std::string log = Log();
  EXPECT_EQ(CountOf(log, "junk "), 3) << log;
  EXPECT_EQ(CountOf(log, "junk 2\n"), 1) << "the burst is the first lines";
  EXPECT_EQ(LogRateLimiter::TotalSuppressed() - total_before, 97u);

  // One interval later a token is back: the next line is written, then
  // the count of everything held back since the last one written.
  port::SleepMs(80);
  KORBLogLimited(&logger_, limiter, "", 7, "src", 2, "junk %d", 100);
  KORBLogLimited(&logger_, limiter, "", 7, "src", 2, "junk %d", 101);
  log = Log();
  EXPECT_NE(log.find("junk 100\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("junk 101"), std::string::npos) << log;
  EXPECT_NE(log.find("[ERROR] [" + std::to_string(port::CurrentThreadId()) +
                     "] src:7 97 more lines like the one above were suppressed"),
            std::string::npos)
      << log;

  // A kind that stays quiet gets its whole burst back.
  port::SleepMs(250);
  for (int i = 200; i < 210; ++i)
    KORBLogLimited(&logger_, limiter, "", 7, "src", 2, "junk %d", i);
  log = Log();
  EXPECT_EQ(CountOf(log, "junk 20"), 3) << log;
  EXPECT_EQ(CountOf(log, "1 more lines like the one above"), 1) << "junk 101";
}

TEST_F(LogRateLimiterTest, KeysAreLimitedApartAndGatedLinesCostNothing) {
  LogRateLimiter limiter(2, 60000);
  for (int i = 0; i < 10; ++i) {
    KORBLogLimited(&logger_, limiter, "host-a", 1, "src", 4, "send to a failed");
    KORBLogLimited(&logger_, limiter, "host-b", 1, "src", 4, "send to b failed");
    // Level 16 is above the log's level 3: held back by the gate, not by
    // the limiter, so the key keeps its burst.
    KORBLogLimited(&logger_, limiter, "host-c", 1, "src", 16, "trace only");
  }
  logger_.SetMaxLogLevel(4);
  KORBLogLimited(&logger_, limiter, "host-c", 1, "src", 16, "trace written");
  const std::string log = Log();
  EXPECT_EQ(CountOf(log, "send to a failed"), 2) << log;
  EXPECT_EQ(CountOf(log, "send to b failed"), 2) << log;
  EXPECT_EQ(CountOf(log, "trace only"), 0) << log;
  EXPECT_EQ(CountOf(log, "trace written"), 1) << log;
}

TEST_F(LogRateLimiterTest, ManyThreadsAndManyKeysStayBounded) {
  LogRateLimiter limiter(4, 60000);
  const uint64_t total_before = LogRateLimiter::TotalSuppressed();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&limiter, this, t] {
      for (int i = 0; i < 2000; ++i)
        KORBLogLimited(&logger_, limiter, "shared", 1, "src", 2, "thread %d", t);
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(CountOf(Log(), "thread "), 4);
  EXPECT_EQ(LogRateLimiter::TotalSuppressed() - total_before, 8000u - 4u);

  // One key per sender, far more than the limiter keeps: beyond its key
  // limit new keys share one bucket, so the lines stay bounded.
  const size_t keys = 3 * LogRateLimiter::kMaxKeys;
  size_t written = 0;
  for (size_t i = 0; i < keys; ++i)
    written += limiter.Admit("peer-" + std::to_string(i)).write ? 1 : 0;
  EXPECT_LE(written, LogRateLimiter::kMaxKeys + 4);
}

}  // namespace
