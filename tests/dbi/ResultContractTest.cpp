// What callers rely on in the results of the query operations and of the
// operations that wrap one suite table each.
#include "DbiFixture.h"

namespace {

class ResultContract : public DbiTest {
 protected:
  void SetUp() override {
    DbiTest::SetUp();
    Exec("CREATE TABLE IF NOT EXISTS dbi_items (ID int PRIMARY KEY, Name varchar(40) NULL, "
         "Score int NULL)");
    Exec("INSERT INTO dbi_items VALUES (1, 'alpha', 10), (2, NULL, 20), (3, 'gamma', NULL)");
  }
};

TEST_F(ResultContract, ValueFromQueryReadsOutputValueOrClearsAndFails) {
  std::string value;
  // Any case of the column name will do.
  EXPECT_EQ(1, db_->getValueFromQuery("select ID, Name as OutputValue from dbi_items where ID = 3",
                                      value));
  EXPECT_EQ("gamma", value);
  for (const char* no_value : {"select Name as outputvalue from dbi_items where ID = 2",  // NULL
                               "select Name as outputvalue from dbi_items where ID = 9",  // no row
                               "select Name as something from dbi_items",
                               "select nosuch as outputvalue from dbi_items"}) {
    value = "stale";
    EXPECT_EQ(-1, db_->getValueFromQuery(no_value, value)) << no_value;
    EXPECT_EQ("", value) << no_value;
  }
  // Only the last two are failures worth a log line; an empty result is not.
  EXPECT_EQ(2, LogLines("[ERROR]"));
  EXPECT_EQ(1, LogLines("(errno 1054). Statement: select nosuch as outputvalue from dbi_items"));
}

TEST_F(ResultContract, RowsComeInTheCallersColumnOrderAndEmptyIsSuccess) {
  DBRows rows;
  EXPECT_EQ(1, db_->getRows("select ID, Name, Score from dbi_items order by ID",
                            {"score", "NAME", "id"}, rows));
  EXPECT_EQ((DBRows{{"10", "alpha", "1"}, {"20", "", "2"}, {"", "gamma", "3"}}), rows);
  DBRow row{"stale"};
  EXPECT_EQ(1, db_->getRow("select ID, Name from dbi_items where ID >= 2 order by ID",
                           {"Name", "ID"}, row));
  EXPECT_EQ((DBRow{"", "2"}), row);
  EXPECT_EQ(1, db_->getRow("select ID from dbi_items where ID > 100", {"ID"}, row));
  EXPECT_TRUE(row.empty());
  EXPECT_EQ(1, db_->getRows("select ID from dbi_items where ID > 100", {"ID"}, rows));
  EXPECT_TRUE(rows.empty());

  rows = {{"stale"}};
  EXPECT_EQ(-1, db_->getRows("select ID from no_such_table", {"ID"}, rows));
  EXPECT_TRUE(rows.empty());
  rows = {{"stale"}};
  EXPECT_EQ(-1, db_->getRows("select ID from dbi_items", {"ID", "Missing"}, rows));
  EXPECT_TRUE(rows.empty());

  std::vector<std::string> values{"0"};
  EXPECT_EQ(1, db_->getValueFromEachRow("select ID from dbi_items order by ID", "id", values));
  EXPECT_EQ(1, db_->getValueFromEachRow("select Name from dbi_items order by ID", "Name", values));
  EXPECT_EQ((std::vector<std::string>{"0", "1", "2", "3", "alpha", "", "gamma"}), values);
  EXPECT_EQ(-1, db_->getValueFromEachRow("select ID from dbi_items", "Name", values));
  EXPECT_EQ(7u, values.size());
}

TEST_F(ResultContract, ExecuteAndProceduresReportRowsOrFailure) {
  EXPECT_EQ(2, db_->executeSQL("update dbi_items set Score = 5 where ID < 3"));
  EXPECT_EQ(0, db_->executeSQL("delete from dbi_items where ID = 99"));
  EXPECT_EQ(-1, db_->executeSQL("insert into dbi_items (ID) values (1)"));  // duplicate key
  // Strict mode: a value that does not fit is refused, not cut.
  EXPECT_EQ(-1, db_->executeSQL("insert into dbi_items (ID, Name) values (7, '" +
                                std::string(41, 'x') + "')"));
  EXPECT_EQ(3, Count("select count(*) from dbi_items"));

  // Every result set of a call is read, so the session stays usable.
  Exec("CREATE OR REPLACE PROCEDURE dbi_two_sets() BEGIN "
       "SELECT ID FROM dbi_items; SELECT Name AS outputvalue FROM dbi_items WHERE ID = 1; "
       "UPDATE dbi_items SET Score = 99 WHERE ID = 1; END");
  Exec("CREATE OR REPLACE PROCEDURE dbi_fails_late() BEGIN "
       "SELECT ID FROM dbi_items; SELECT * FROM no_such_table; END");
  EXPECT_EQ(1, db_->executeSQLProcedure("call dbi_two_sets();"));
  EXPECT_EQ("99", Scalar("select Score from dbi_items where ID = 1"));
  DBRows rows;
  EXPECT_EQ(1, db_->getRows("call dbi_two_sets()", {"ID"}, rows));
  EXPECT_EQ(3u, rows.size());
  std::string value;
  EXPECT_EQ(1, db_->getValueFromQuery("select 'next' as outputvalue", value));
  EXPECT_EQ(-1, db_->executeSQLProcedure("call dbi_fails_late();"));
  EXPECT_EQ(-1, db_->executeSQLProcedure("call dbi_no_such_procedure()"));
  EXPECT_EQ(1, db_->getValueFromQuery("select 'still fine' as outputvalue", value));
}

TEST_F(ResultContract, SuiteTableOperations) {
  Exec("insert into configsettings values ('LOG_LEVEL', '4'), ('EMPTY', NULL), "
       "('it''s', 'quoted')");
  std::string value = "stale";
  EXPECT_EQ(1, db_->getConfigSetting("LOG_LEVEL", value));
  EXPECT_EQ("4", value);
  EXPECT_EQ(-1, db_->getConfigSetting("MISSING", value));
  EXPECT_EQ("", value);
  EXPECT_EQ(-1, db_->getConfigSetting("EMPTY", value));
  // A key holding a quote is a value, not statement text.
  EXPECT_EQ(1, db_->getConfigSetting("it's", value));
  EXPECT_EQ("quoted", value);
  EXPECT_EQ(-1, db_->getConfigSetting("x' or '1'='1", value));

  // Only closing states stamp FinishedTime.
  Exec("insert into jobdetails (JobTypeID, Status) values (1, 0), (1, 0), (1, 0)");
  EXPECT_EQ(1, db_->UpdateJobStatus(1, JOB_STATUS_FAILED, nullptr, 0, ""));
  EXPECT_EQ(1, db_->UpdateJobStatus(2, JOB_STATUS_RUNNING, "it's running", 0, ""));
  EXPECT_EQ(1, db_->UpdateJobStatus(3, JOB_STATUS_EXCLUDED, "", 0, ""));
  EXPECT_EQ((korbtest::Rows{{"1", "-1", "1"}, {"2", "3", "0"}, {"3", "-6", "1"}}),
            Query("select JobID, Status, FinishedTime is not null from jobdetails order by JobID"));
  EXPECT_EQ("it's running", Scalar("select StatusDescription from jobdetails where JobID = 2"));

  std::string host = "stale";
  long port = 7;
  EXPECT_EQ(-1, db_->GetJobHandlerDetails(host, port));
  Exec("insert into jobhandlermaster (HostName, PortNumber) values ('jh.local', 4711)");
  EXPECT_EQ(0, db_->GetJobHandlerDetails(host, port));
  EXPECT_EQ("jh.local", host);
  EXPECT_EQ(4711, port);

  db_->m_nSiteID = 12;
  db_->RecordInventoryMasterOperation(5000000000L, 2);
  EXPECT_EQ((korbtest::Rows{{"12", "5000000000", "2", "1"}}),
            Query("select SiteID, SystemID, OperationCode, OperationTime > now() - interval 1 "
                  "hour from inventorymasteroperations"));
  EXPECT_EQ(0, LogLines("[ERROR]"));
}

TEST(SqlText, IntegerGuards) {
  for (const char* ok : {"0", "7", "-12", "007", "123456789012345678", "-123456789012345678"})
    EXPECT_TRUE(IsInteger(ok)) << ok;
  for (const char* bad : {"", "-", "+5", " 5", "5 ", "1.0", "1e3", "0x10", "12a",
                          "1234567890123456789", "1;drop", "--1", "1,2"})
    EXPECT_FALSE(IsInteger(bad)) << bad;

  std::vector<std::string> rejected;
  EXPECT_EQ("1,-2,3,40", SanitizeIntegerList(" 1, -2 ,3,,x, 40,1) or (1=1,\t", &rejected));
  EXPECT_EQ((std::vector<std::string>{"x", "1) or (1=1"}), rejected);
  EXPECT_EQ("", SanitizeIntegerList("", nullptr));
  EXPECT_EQ("", SanitizeIntegerList("'a','b'", nullptr));
}

}  // namespace
