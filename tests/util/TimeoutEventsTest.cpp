// Timeout events under a time scale: order, no drift, reset and disable.
// At scale 1000 a period of N seconds lasts N real milliseconds.
#include <chrono>
#include <future>
#include <thread>

#include "UtilTestHelpers.h"

using utiltest::FreeUdpPort;
using Ms = std::chrono::duration<double, std::milli>;
using SteadyClock = std::chrono::steady_clock;

namespace {

std::vector<int> Periods(std::initializer_list<std::pair<int, int>> set) {
  std::vector<int> periods(17, 0);
  for (auto [k, seconds] : set) periods[static_cast<size_t>(k - 1)] = seconds;
  return periods;
}

class TimeoutEventsTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("KORB_SIGNAL_BIND", "127.0.0.1", 1); }
  void TearDown() override { unsetenv("KORB_SIGNAL_BIND"); }
  utiltest::ScopedTimeScale scale_{"1000"};
  CSignalInfo info_;
};

TEST_F(TimeoutEventsTest, EarliestDeadlineFirstThenLowerNumberThenDatagrams) {
  const auto periods = Periods({{2, 50}, {3, 50}, {9, 86400}, {12, 86400}});
  CSignalHandler handler(FreeUdpPort(), &periods);
  ASSERT_EQ(static_cast<EObjectStatus>(handler), OBJECT_READY);

  // Same period from the same start: due together, lower number first.
  EXPECT_EQ(handler.WaitForSignal(info_), 2);
  EXPECT_EQ(handler.WaitForSignal(info_), 3);
  handler.DisableTimeoutEvent(2);
  handler.DisableTimeoutEvent(3);

  // Right after an event a waiting datagram goes first; then reset order
  // decides between events made due at once.
  CSignalInfo sent;
  sent.SetSignalType(13);
  CUDPClient(handler.Port(), "127.0.0.1").SendUDPSignal(sent);
  handler.ResetEvent(12);
  handler.ResetEvent(9);
  EXPECT_EQ(handler.WaitForSignal(info_), 0);
  EXPECT_STREQ(info_.GetSignalType(), "13");
  EXPECT_EQ(handler.WaitForSignal(info_), 12);
  EXPECT_EQ(handler.WaitForSignal(info_), 9);
}

TEST_F(TimeoutEventsTest, LateHandlingSkipsMissedPeriodsWithoutDrift) {
  const auto periods = Periods({{1, 200}});
  const auto start = SteadyClock::now();
  CSignalHandler handler(FreeUdpPort(), &periods);
  ASSERT_EQ(handler.WaitForSignal(info_), 1);
  EXPECT_GE(Ms(SteadyClock::now() - start).count(), 199.0);

  // A handler that overruns 2.5 periods: deadlines 400 and 600 are missed.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ASSERT_EQ(handler.WaitForSignal(info_), 1);  // once, at once
  const double late = Ms(SteadyClock::now() - start).count();
  ASSERT_EQ(handler.WaitForSignal(info_), 1);
  const double fired = Ms(SteadyClock::now() - start).count();
  // Back on the grid of the start (800 ms): neither a burst of the missed
  // ones nor a full period after the late one.
  EXPECT_GE(fired, 799.0) << "late one at " << late;
  EXPECT_LT(fired, late + 160.0);
}

TEST_F(TimeoutEventsTest, DisabledEventsNeverFireAndResetWakesTheWait) {
  const auto periods = Periods({{1, 30}, {2, 60}, {6, 86400}});
  CSignalHandler handler(FreeUdpPort(), &periods);
  EXPECT_EQ(handler.DisableTimeoutEvent(1), 1);
  EXPECT_EQ(handler.ResetEvent(1), -1);
  for (int k : {0, 18}) {
    EXPECT_EQ(handler.ResetEvent(k), -1);
    EXPECT_EQ(handler.DisableTimeoutEvent(k), -1);
  }
  EXPECT_EQ(handler.ResetEvent(3), -1);  // a period of 0 never fires

  // Event 2 is disabled while the wait is already armed for it; only a
  // reset from this thread ends the wait.
  auto result = std::async(std::launch::async, [&] {
    CSignalInfo info;
    return handler.WaitForSignal(info);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(handler.DisableTimeoutEvent(2), 1);
  EXPECT_EQ(result.wait_for(std::chrono::milliseconds(150)),
            std::future_status::timeout);
  EXPECT_EQ(handler.ResetEvent(6), 1);
  ASSERT_EQ(result.wait_for(std::chrono::seconds(10)),
            std::future_status::ready);
  EXPECT_EQ(result.get(), 6);
}

}  // namespace
