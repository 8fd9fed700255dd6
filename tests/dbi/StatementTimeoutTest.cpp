// A statement that outlasts the statement time-out is of unknown outcome
// (a slow one that completes is a success: SilentServerTest, over TCP with
// keepalives).
#include "DbiFixture.h"

namespace {

using StatementTimeout = DbiTest;

TEST_F(StatementTimeout, StatementOutlastingTheTimeOutIsLoggedAsOfUnknownOutcome) {
  AddOptions("orb", "korb-statement-timeout=2\n");
  db_ = std::make_unique<CDBI>(logger_.get(), "orb", "orb");
  Exec("CREATE TABLE IF NOT EXISTS dbi_slow (ID int PRIMARY KEY)");
  // The server completes the insert after the client has given up on it.
  EXPECT_EQ(-1, db_->executeSQL("insert into dbi_slow select 1 from dual where sleep(4) = 0"));
  EXPECT_EQ(1, LogLines("the outcome is unknown (the server may have completed it)"));
  EXPECT_FALSE(db_->m_bConnectionError);
  EXPECT_TRUE(korbtest::WaitFor([&] { return Count("select * from dbi_slow") == 1; },
                                std::chrono::seconds(20)));
  // The session was rebuilt for the next statement.
  EXPECT_EQ(1, db_->executeSQL("insert into dbi_slow values (2)"));
}

}  // namespace
