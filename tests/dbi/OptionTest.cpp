// Keys of a DSN group as other parts of the daemon read them, and the
// daemon's own keys refused when they are not what they must be.
#include <fstream>
#include <iterator>

#include "DbiFixture.h"

namespace {

using Options = DbiTest;

TEST_F(Options, RawAndIntegerValuesOfTheGroup) {
  AddOptions("orb",
             "korb-grace-period = 45\n"
             "Korb_Signal_Address=127.0.0.1 # loopback only\n"
             "korb-metrics-address=\n"
             "ssl-cipher=DHE-RSA-AES256-SHA\n");
  CDBI db(logger_.get(), "orb", "orb");
  ASSERT_TRUE(db.m_bReady) << db.InvalidSetting();
  std::string text;
  ASSERT_TRUE(db.GetOption("korb-signal-address", text));
  EXPECT_EQ("127.0.0.1", text);
  EXPECT_TRUE(db.GetOption("KORB_SIGNAL_ADDRESS", text));
  EXPECT_FALSE(db.GetOption("korb-metrics-port", text));

  long long number = -7;
  EXPECT_TRUE(db.GetIntegerOption("korb-grace-period", number));
  EXPECT_EQ(45, number);
  number = -7;
  EXPECT_TRUE(db.GetIntegerOption("korb-metrics-port", number));  // absent: untouched
  EXPECT_EQ(-7, number);
  EXPECT_FALSE(db.GetIntegerOption("ssl-cipher", number));
  EXPECT_EQ(-7, number);

  // An object whose group is missing has no keys at all.
  CDBI none(logger_.get(), "no-such-group", "orb");
  EXPECT_FALSE(none.GetOption("database", text));
}

TEST_F(Options, RepeatedGroupsMergeAndARewrittenFileIsReadAfresh) {
  const std::string orb = [this] {
    std::ifstream in(OptionFile());
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }();
  auto write = [&](const std::string& extra) {
    std::ofstream out(OptionFile(), std::ios::trunc);
    out << orb << extra;
  };
  auto value = [&](const std::string& group, const std::string& key) {
    CDBI db(logger_.get(), group, "orb");
    std::string text = "(none)";
    db.GetOption(key, text);
    return text;
  };
  write("[cust]\nkorb-grace-period=1\n[other\nkorb-grace-period=9\n"
        "[cust]\nkorb-metrics-port=7\n");
  EXPECT_EQ("1", value("cust", "korb-grace-period"));  // a broken header takes no keys
  EXPECT_EQ("7", value("cust", "korb-metrics-port"));
  // Same size, other bytes, within the same clock tick: the new values.
  write("[cust]\nkorb-grace-period=2\n[other\nkorb-grace-period=9\n"
        "[cust]\nkorb-metrics-port=8\n");
  EXPECT_EQ("2", value("cust", "korb-grace-period"));
  EXPECT_EQ("8", value("cust", "korb-metrics-port"));
  write("");
  EXPECT_EQ("(none)", value("cust", "korb-grace-period"));
}

TEST_F(Options, DaemonKeysThatAreNotIntegersOrOutOfRangeLeaveTheObjectNotReady) {
  const struct {
    const char* line;
    const char* named;  // what the refusal must name
  } cases[] = {
      {"korb-install-type=two", "korb-install-type=two"},
      {"korb-site-id=abc", "korb-site-id=abc"},
      {"korb-probe-id=1.5", "korb-probe-id=1.5"},
      {"korb-msp-flag=", "korb-msp-flag="},
      {"korb-signal-rcvbuf=4M", "korb-signal-rcvbuf=4M"},
      {"korb-site-id=99999999999", "korb-site-id=99999999999"},
      {"korb-statement-timeout=0", "korb-statement-timeout=0"},
      {"korb-reconnect-window=-1", "korb-reconnect-window=-1"},
  };
  for (const auto& c : cases) {
    SetMainIdentity(korbtest::Identity());
    AddOptions("orb", std::string(c.line) + "\n");
    CDBI db(logger_.get(), "orb", "orb");
    EXPECT_FALSE(db.m_bReady) << c.line;
    EXPECT_NE(std::string::npos, db.InvalidSetting().find(c.named)) << db.InvalidSetting();
    EXPECT_EQ(1, LogLines(c.named)) << c.line;
  }
}

}  // namespace
