// Database statements counted by result, with their durations.
#include "DBI.h"
#include "MetricsTest.h"

namespace metricstest {
namespace {

using StatementCountTest = korbtest::DbTest;

TEST_F(StatementCountTest, EachResultCountedOnceWithItsDuration) {
  CDBI db(nullptr, "orb", "orb");
  ASSERT_TRUE(db.m_bReady);
  SeriesDelta ok("korb_db_statements_total{result=\"ok\"}");
  SeriesDelta failed("korb_db_statements_total{result=\"failed\"}");
  SeriesDelta timed_out("korb_db_statements_total{result=\"timed_out\"}");
  SeriesDelta durations("korb_db_statement_duration_seconds_count");

  std::string value;
  EXPECT_EQ(db.getValueFromQuery("select 1 as outputvalue", value), 1);
  EXPECT_EQ(db.executeSQL("update no_such_table set x = 1"), -1);
  EXPECT_EQ(db.executeSQLProcedure(
                "SET STATEMENT max_statement_time=0.05 FOR SELECT SLEEP(3)"),
            -1);
  EXPECT_EQ(ok.Get(), 1);
  EXPECT_EQ(failed.Get(), 1);
  EXPECT_EQ(timed_out.Get(), 1);
  EXPECT_EQ(durations.Get(), 3);
}

}  // namespace
}  // namespace metricstest
