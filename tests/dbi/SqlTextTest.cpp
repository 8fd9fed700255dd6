// The guards for values that go into statements.
#include <gtest/gtest.h>

#include "DBI.h"

namespace {

TEST(SqlText, IsIntegerAcceptsPlainDecimalsOnly) {
  for (const char* ok : {"0", "7", "-12", "007", "123456789012345678", "-123456789012345678"})
    EXPECT_TRUE(IsInteger(ok)) << ok;
  for (const char* bad : {"", "-", "+5", " 5", "5 ", "1.0", "1e3", "0x10", "12a",
                          "1234567890123456789", "1;drop", "--1", "1,2"})
    EXPECT_FALSE(IsInteger(bad)) << bad;
}

TEST(SqlText, SanitizeIntegerListKeepsNumbersAndReportsTheRest) {
  std::vector<std::string> rejected;
  EXPECT_EQ("1,-2,3,40",
            SanitizeIntegerList(" 1, -2 ,3,,x, 40,1) or (1=1,\t", &rejected));
  EXPECT_EQ((std::vector<std::string>{"x", "1) or (1=1"}), rejected);
  EXPECT_EQ("", SanitizeIntegerList("", nullptr));
  EXPECT_EQ("", SanitizeIntegerList("'a','b'", nullptr));
  EXPECT_EQ("5", SanitizeIntegerList("5", nullptr));
}

TEST(SqlText, SqlQuoteDoublesQuotesOnly) {
  EXPECT_EQ("''", SqlQuote(""));
  EXPECT_EQ("'it''s'", SqlQuote("it's"));
  EXPECT_EQ("'C:\\dir\\'", SqlQuote("C:\\dir\\"));
  EXPECT_EQ("''''''", SqlQuote("''"));
}

}  // namespace
