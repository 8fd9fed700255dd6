// Keys of a DSN group as other parts of the daemon read them.
#include "DbiFixture.h"

namespace {

using Options = DbiTest;

TEST_F(Options, RawAndIntegerValuesOfTheGroup) {
  AddOptions("orb",
             "korb-grace-period = 45\n"
             "Korb_Signal_Address=127.0.0.1 # loopback only\n"
             "korb-signal-rcvbuf=4M\n"
             "korb-empty=\n");
  CDBI db(logger_.get(), "orb", "orb");
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
  EXPECT_FALSE(db.GetIntegerOption("korb-signal-rcvbuf", number));
  EXPECT_FALSE(db.GetIntegerOption("korb-empty", number));
  EXPECT_EQ(-7, number);

  // An object whose group is missing has no keys at all.
  CDBI none(logger_.get(), "no-such-group", "orb");
  EXPECT_FALSE(none.GetOption("database", text));
}

}  // namespace
