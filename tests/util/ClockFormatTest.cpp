// The time scale, number conversions and local-time texts.
#include <climits>
#include <ctime>
#include <thread>

#include "UtilTestHelpers.h"

using utiltest::ScopedTimeScale;

namespace {

TEST(ClockTest, ScaleDividesWaitsAndRefusesWhatIsNotAPositiveFiniteNumber) {
  {
    ScopedTimeScale slow("0.5");
    EXPECT_EQ(Clock::ScaledMs(1000), 2000u);
  }
  ScopedTimeScale fast("1000");
  for (const char* bad : {"abc", "0", "-2", "inf", "nan", "1e999", "5x"}) {
    setenv("KORB_TIME_SCALE", bad, 1);
    std::string error;
    EXPECT_FALSE(Clock::Init(&error)) << bad;
    EXPECT_EQ(Clock::Scale(), 1000.0) << "a refused value changed the scale";
  }
  EXPECT_EQ(Clock::ScaledMs(300000), 300u);
  EXPECT_EQ(Clock::ScaledMs(1), 1u);  // never a zero-length wait
  EXPECT_EQ(Clock::ScaledMs(0), 0u);

  const int64_t start = Clock::NowSeconds();
  EXPECT_NEAR(static_cast<double>(start), static_cast<double>(time(nullptr)), 2.0);
  const auto real_start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const std::chrono::duration<double, std::milli> real =
      std::chrono::steady_clock::now() - real_start;
  EXPECT_NEAR(static_cast<double>(Clock::NowSeconds() - start), real.count(), 3.0);
}

TEST(FormatTest, ConversionsSaturateAndTextsAreNeverCut) {
  EXPECT_EQ(ToInt("  42abc"), 42);
  EXPECT_EQ(ToInt("99999999999"), INT_MAX);
  EXPECT_EQ(ToInt("-99999999999"), INT_MIN);
  EXPECT_EQ(ToLong("9000000000"), 9000000000L);
  const std::string big(10000, 'x');
  EXPECT_EQ(Format("[%s] %d", big.c_str(), 7).size(), big.size() + 4);
  // Texts just below, at and just above the short-text path's room.
  for (size_t length : {2046u, 2047u, 2048u, 2049u}) {
    const std::string text(length - 2, 'z');
    EXPECT_EQ(Format("<%s>", text.c_str()), "<" + text + ">") << length;
  }
  EXPECT_EQ(Format("%s", ""), "");
  EXPECT_EQ(FormatLocalTime(time(nullptr), std::string(200, 'y').c_str()), "");

  std::string now;
  const time_t before = time(nullptr);
  EXPECT_EQ(GetCurrentTime_24HourFormat(now), 19);
  struct tm parsed = {};
  ASSERT_NE(strptime(now.c_str(), "%Y-%m-%d %H:%M:%S", &parsed), nullptr) << now;
  parsed.tm_isdst = -1;
  EXPECT_NEAR(static_cast<double>(mktime(&parsed)), static_cast<double>(before), 2.0);
}

}  // namespace
