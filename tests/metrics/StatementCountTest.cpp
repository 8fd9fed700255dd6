// Database statements counted by result, with their durations.
#include "DBI.h"
#include "scheduler_metrics.h"
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

// The health decision of a process whose main database object is db: 503
// from the moment the connection is lost for good, also once the server
// is back, since the process is about to end.
TEST_F(StatementCountTest, HealthSays503WhileTheConnectionIsLostForGood) {
  AddOptions("orb", "korb-reconnect-window=1\n");
  CDBI db(nullptr, "orb", "orb");
  ASSERT_TRUE(db.m_bReady);
  metrics::SetMainDatabase(&db, [&db] { return db.m_bConnectionError.load(); });
  std::string value;
  EXPECT_EQ(db.getValueFromQuery("select 1 as outputvalue", value), 1);
  EXPECT_TRUE(metrics::SchedulerHealth().healthy);

  korbtest::MariaDbServer::Instance().Stop();
  EXPECT_EQ(db.executeSQL("do 1"), -1);
  korbtest::MariaDbServer::Instance().Start();
  ASSERT_TRUE(db.m_bConnectionError);
  EXPECT_EQ(db.executeSQL("do 1"), -1);  // no new session once given up on
  const metrics::HealthVerdict verdict = metrics::SchedulerHealth();
  EXPECT_FALSE(verdict.healthy);
  EXPECT_NE(verdict.reason.find("lost for good"), std::string::npos) << verdict.reason;
  // The next process, so to speak: a new object that reaches the server.
  CDBI next(nullptr, "orb", "orb");
  metrics::SetMainDatabase(&next, [&next] { return next.m_bConnectionError.load(); });
  EXPECT_EQ(next.getValueFromQuery("select 1 as outputvalue", value), 1);
  EXPECT_TRUE(metrics::SchedulerHealth().healthy);
  metrics::SetMainDatabase(nullptr, [] { return false; });
}

}  // namespace
}  // namespace metricstest
