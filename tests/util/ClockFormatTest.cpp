// The time scale, and the formatting and conversion helpers.
#include <chrono>
#include <climits>
#include <ctime>
#include <regex>
#include <thread>

#include "UtilTestHelpers.h"

using utiltest::ScopedEnv;
using utiltest::ScopedTimeScale;

namespace {

TEST(ClockTest, RefusesValuesThatAreNotPositiveFiniteNumbers) {
  ScopedTimeScale known("4");
  for (const char* bad : {"abc", "0", "-2", "inf", "nan", "1e999", "5x",
                          "0x"}) {
    ScopedEnv env("KORB_TIME_SCALE", std::string(bad));
    std::string error;
    EXPECT_FALSE(Clock::Init(&error)) << bad;
    EXPECT_NE(error.find("KORB_TIME_SCALE"), std::string::npos) << error;
    EXPECT_EQ(Clock::Scale(), 4.0) << "a refused value changed the scale";
  }
}

TEST(ClockTest, DefaultsToRealTime) {
  ScopedEnv env("KORB_TIME_SCALE", std::nullopt);
  std::string error;
  ASSERT_TRUE(Clock::Init(&error));
  EXPECT_EQ(Clock::Scale(), 1.0);
  EXPECT_EQ(Clock::ScaledMs(300000), 300000u);
  EXPECT_NEAR(static_cast<double>(Clock::NowSeconds()),
              static_cast<double>(time(nullptr)), 2.0);
}

TEST(ClockTest, ScaleDividesWaitsButNeverToZero) {
  {
    ScopedTimeScale slow("0.5");
    EXPECT_EQ(Clock::ScaledMs(1000), 2000u);
  }
  ScopedTimeScale fast("1000");
  EXPECT_EQ(Clock::ScaledMs(300000), 300u);
  EXPECT_EQ(Clock::ScaledMs(1), 1u);
  EXPECT_EQ(Clock::ScaledMs(0), 0u);
}

TEST(ClockTest, ScaledSecondsRunFasterFromTheRealTime) {
  ScopedTimeScale fast("1000");
  const int64_t real_start = time(nullptr);
  const int64_t start = Clock::NowSeconds();
  EXPECT_NEAR(static_cast<double>(start), static_cast<double>(real_start), 2);
  const auto mono = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const double real_ms = std::chrono::duration<double, std::milli>(
                             std::chrono::steady_clock::now() - mono)
                             .count();
  // real_ms of real time are real_ms scaled seconds.
  EXPECT_NEAR(static_cast<double>(Clock::NowSeconds() - start), real_ms, 3.0);
}

TEST(FormatTest, LongTextIsNotCutShort) {
  const std::string big(10000, 'x');
  const std::string text = Format("[%s] %d", big.c_str(), 7);
  EXPECT_EQ(text.size(), big.size() + 4);
  EXPECT_EQ(text.substr(text.size() - 3), "] 7");
  EXPECT_EQ(Format("%s", ""), "");
}

TEST(FormatTest, ConversionsTakeTheNumericPrefixOrZero) {
  EXPECT_EQ(ToInt("  42abc"), 42);
  EXPECT_EQ(ToInt("-17"), -17);
  EXPECT_EQ(ToInt("abc"), 0);
  EXPECT_EQ(ToInt(""), 0);
  // Out-of-range text saturates instead of wrapping.
  EXPECT_EQ(ToInt("99999999999"), INT_MAX);
  EXPECT_EQ(ToInt("-99999999999"), INT_MIN);
  EXPECT_EQ(ToLong("9000000000"), 9000000000L);
  EXPECT_FLOAT_EQ(ToFloat(" 2.5kg"), 2.5f);
  EXPECT_FLOAT_EQ(ToFloat("x"), 0.0f);
}

TEST(LocalTimeTest, DateTimeTextOfNow) {
  std::string text;
  const time_t before = time(nullptr);
  EXPECT_EQ(GetCurrentTime_24HourFormat(text), 19);
  EXPECT_TRUE(std::regex_match(
      text, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)")))
      << text;
  struct tm parsed = {};
  ASSERT_NE(strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &parsed), nullptr);
  parsed.tm_isdst = -1;
  EXPECT_NEAR(static_cast<double>(mktime(&parsed)),
              static_cast<double>(before), 2.0);
  // A result that would not fit is refused rather than cut.
  EXPECT_EQ(FormatLocalTime(before, std::string(200, 'y').c_str()), "");
}

TEST(InstallLocationTest, ComesFromTheEnvironment) {
  std::string location = "stale";
  {
    ScopedEnv env("KORB_INSTALL_DIR", std::string("/opt/korb"));
    EXPECT_EQ(GetInstallLocation(location), 9);
    EXPECT_EQ(location, "/opt/korb");
  }
  ScopedEnv env("KORB_INSTALL_DIR", std::nullopt);
  EXPECT_EQ(GetInstallLocation(location), 0);
  EXPECT_EQ(location, "");
}

}  // namespace
