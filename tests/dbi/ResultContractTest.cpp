// What callers rely on in the results of the query operations.
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

TEST_F(ResultContract, ValueFromQueryWritesTheOutputValueColumn) {
  std::string value = "stale";
  EXPECT_EQ(1, db_->getValueFromQuery("select Name as outputvalue from dbi_items where ID = 1",
                                      value));
  EXPECT_EQ("alpha", value);
  // Any case of the column name will do.
  EXPECT_EQ(1, db_->getValueFromQuery("select Score as OutputValue from dbi_items where ID = 2",
                                      value));
  EXPECT_EQ("20", value);
  EXPECT_EQ(1, db_->getValueFromQuery("select ID, Name as OUTPUTVALUE from dbi_items where ID = 3",
                                      value));
  EXPECT_EQ("gamma", value);
}

TEST_F(ResultContract, ValueFromQueryClearsAndFailsWithoutAValue) {
  std::string value = "stale";
  EXPECT_EQ(-1, db_->getValueFromQuery("select Name as outputvalue from dbi_items where ID = 2",
                                       value));
  EXPECT_EQ("", value);  // NULL

  value = "stale";
  EXPECT_EQ(-1, db_->getValueFromQuery("select Name as outputvalue from dbi_items where ID = 9",
                                       value));
  EXPECT_EQ("", value);  // no row
  EXPECT_EQ(0, LogLines("[ERROR]")) << "an empty result is no failure";

  value = "stale";
  EXPECT_EQ(-1, db_->getValueFromQuery("select Name as something from dbi_items", value));
  EXPECT_EQ("", value);
  EXPECT_EQ(1, LogLines("getValueFromQuery failed: column 'outputvalue' is not in the result"));

  EXPECT_EQ(-1, db_->getValueFromQuery("select nosuch as outputvalue from dbi_items", value));
  EXPECT_EQ(1, LogLines("getValueFromQuery failed: Unknown column 'nosuch'"));
  EXPECT_EQ(1, LogLines("(errno 1054). Statement: select nosuch as outputvalue from dbi_items"));
}

TEST_F(ResultContract, RowsComeInTheCallersColumnOrder) {
  DBRows rows;
  EXPECT_EQ(1, db_->getRows("select ID, Name, Score from dbi_items order by ID",
                            {"score", "NAME", "id"}, rows));
  EXPECT_EQ((DBRows{{"10", "alpha", "1"}, {"20", "", "2"}, {"", "gamma", "3"}}), rows);

  DBRow row{"stale"};
  EXPECT_EQ(1, db_->getRow("select ID, Name from dbi_items where ID >= 2 order by ID",
                           {"Name", "ID"}, row));
  EXPECT_EQ((DBRow{"", "2"}), row);
}

TEST_F(ResultContract, EmptyResultIsSuccessButFailureIsNot) {
  DBRows rows{{"stale"}};
  EXPECT_EQ(1, db_->getRows("select ID from dbi_items where ID > 100", {"ID"}, rows));
  EXPECT_TRUE(rows.empty());
  DBRow row{"stale"};
  EXPECT_EQ(1, db_->getRow("select ID from dbi_items where ID > 100", {"ID"}, row));
  EXPECT_TRUE(row.empty());

  rows = {{"stale"}};
  EXPECT_EQ(-1, db_->getRows("select ID from no_such_table", {"ID"}, rows));
  EXPECT_TRUE(rows.empty());
  EXPECT_EQ(-1, db_->getRows("select ID from dbi_items", {"ID", "Missing"}, rows));
  EXPECT_TRUE(rows.empty());
  EXPECT_EQ(1, LogLines("getRows failed: column 'Missing' is not in the result"));
}

TEST_F(ResultContract, ValueFromEachRowAppends) {
  std::vector<std::string> values{"0"};
  EXPECT_EQ(1, db_->getValueFromEachRow("select ID from dbi_items order by ID", "id", values));
  EXPECT_EQ(1, db_->getValueFromEachRow("select Name from dbi_items order by ID", "Name", values));
  EXPECT_EQ((std::vector<std::string>{"0", "1", "2", "3", "alpha", "", "gamma"}), values);
  EXPECT_EQ(-1, db_->getValueFromEachRow("select ID from dbi_items", "Name", values));
  EXPECT_EQ(7u, values.size());
}

TEST_F(ResultContract, ExecuteReportsAffectedRowsOrFailure) {
  EXPECT_EQ(2, db_->executeSQL("update dbi_items set Score = 5 where ID < 3"));
  EXPECT_EQ(0, db_->executeSQL("delete from dbi_items where ID = 99"));
  EXPECT_EQ(-1, db_->executeSQL("insert into dbi_items (ID) values (1)"));  // duplicate key
  // Strict mode: a value that does not fit is refused, not cut.
  EXPECT_EQ(-1, db_->executeSQL("insert into dbi_items (ID, Name) values (7, '" +
                                std::string(41, 'x') + "')"));
  EXPECT_EQ(3, Count("select count(*) from dbi_items"));
  EXPECT_EQ(2, LogLines("executeSQL failed:"));
}

TEST_F(ResultContract, ProceduresHaveAllTheirResultSetsRead) {
  Exec("CREATE OR REPLACE PROCEDURE dbi_two_sets() BEGIN "
       "SELECT ID FROM dbi_items; SELECT Name AS outputvalue FROM dbi_items WHERE ID = 1; "
       "UPDATE dbi_items SET Score = 99 WHERE ID = 1; END");
  Exec("CREATE OR REPLACE PROCEDURE dbi_fails_late() BEGIN "
       "SELECT ID FROM dbi_items; SELECT * FROM no_such_table; END");
  EXPECT_EQ(1, db_->executeSQLProcedure("call dbi_two_sets();"));
  EXPECT_EQ("99", Scalar("select Score from dbi_items where ID = 1"));

  // A call whose first set is read by getRows leaves the session usable.
  DBRows rows;
  EXPECT_EQ(1, db_->getRows("call dbi_two_sets()", {"ID"}, rows));
  EXPECT_EQ(3u, rows.size());
  std::string value;
  EXPECT_EQ(1, db_->getValueFromQuery("select 'next' as outputvalue", value));
  EXPECT_EQ("next", value);

  EXPECT_EQ(-1, db_->executeSQLProcedure("call dbi_fails_late();"));
  EXPECT_EQ(1, LogLines("executeSQLProcedure failed: Table 'orb.no_such_table' doesn't exist"));
  EXPECT_EQ(1, db_->getValueFromQuery("select 'still fine' as outputvalue", value));
  EXPECT_EQ(-1, db_->executeSQLProcedure("call dbi_no_such_procedure()"));
}

TEST_F(ResultContract, TextIsUtf8BothWays) {
  const std::string text = "Grüße \xF0\x9F\x98\x80 \xE4\xB8\xAD";  // umlauts, emoji, CJK
  EXPECT_EQ(1, db_->executeSQL("insert into dbi_items (ID, Name) values (10, " + SqlQuote(text) +
                               ")"));
  std::string value;
  EXPECT_EQ(1, db_->getValueFromQuery("select Name as outputvalue from dbi_items where ID = 10",
                                      value));
  EXPECT_EQ(text, value);
  EXPECT_EQ("1", Scalar("select count(*) from dbi_items where Name = " + SqlQuote(text)));
}

}  // namespace
