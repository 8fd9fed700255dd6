// korb-explain against a real database and, afterwards, the real daemon on
// the same data: the targets and outcomes it forecasts are the rows the
// daemon writes; it never writes; its JSON and table agree; exit codes.
#include "ExplainFixture.h"
#include "ReadOnlySessions.h"

namespace {

using explaintest::ExplainTest;
using explaintest::Lines;
using explaintest::ToolRun;
using korbtest::EnvChanges;

TEST_F(ExplainTest, ForecastTargetsAndOutcomesAreWhatTheDaemonThenWrites) {
  for (int id = 1; id <= 9; ++id) AddSystem(id, id == 8 ? "lab" : "corp", id == 9 ? 4 : 1);
  Exec("insert into locationviewdetails (LocationID, SystemID) values (30, 3), (30, 4)");
  SetProfileValue(20, 60, "1,2");     // systems
  SetProfileValue(21, 59, "30");      // a location
  SetProfileValue(22, 58, "lab");     // a domain
  SetProfileValue(23, 48, "2");       // excludes system 2
  SetProfileValue(24, 59, "77");      // a deleted location
  SetProfileValue(25, 60, "5, 6;7");  // a refused item
  SetProfileValue(26, 60, "1,2,3,5");
  SetProfileValue(27, 48, "2,3,4");   // keeps schedule 5 off schedule 3's deploys
  // Schedule by schedule: systems, profile list, location, exclusion,
  // exclusion only, skip list with redo and duplicates, deleted location
  // with exclusion, refused item; scans and deploys.
  AddSchedule(1, 10027, "20");
  AddSchedule(2, 10027, "20,22");
  AddSchedule(3, 10025, "21");
  AddSchedule(4, 10027, "20,21", "23");
  AddSchedule(5, 10025, "", "27");
  AddSchedule(6, 10027, "26");
  AddSchedule(7, 10027, "24", "23");
  AddSchedule(8, 10025, "25");
  AddJob(100, 6, 1, 10027, -2);  // skipped
  AddJob(101, 6, 2, 10027, -3);  // redone
  AddJob(102, 6, 3, 10027, 0);   // an open scan of this schedule: duplicate
  // An open deploy elsewhere: a duplicate (status 2, which the restart
  // recovery of the daemon leaves alone).
  AddJob(103, 99, 5, 10025, 2);
  AddJob(104, 6, 5, 10027, -3);  // redone, and then a duplicate of 105
  AddJob(105, 6, 5, 10027, 2);

  std::map<int, std::set<std::string>> forecast;
  for (int s = 1; s <= 8; ++s) forecast[s] = Forecast(s);
  EXPECT_EQ(forecast[1], (std::set<std::string>{"1 open 0", "2 open 0"}));
  EXPECT_EQ(forecast[6], (std::set<std::string>{"2 open 101", "3 duplicate 0",
                                                "5 duplicate 104"}));
  EXPECT_TRUE(forecast[7].empty());
  EXPECT_TRUE(forecast[8].empty());

  // Schedule 8 is refused and stays due.
  RunDaemonUntilPosted("orb", "select count(*) from jobsmaster where LastSubmittedTime = 0 and "
                              "SchedularID <> 8");
  for (int s = 1; s <= 8; ++s) EXPECT_EQ(Written(s, 105), forecast[s]) << "schedule " << s;
}

TEST_F(ExplainTest, JsonAndTableCarryTheSameFactsAndRefusalsAreNamed) {
  for (int id = 1; id <= 3; ++id) AddSystem(id);
  SetProfileValue(20, 60, "1,3");
  SetProfileValue(21, 48, "2;3");
  AddSchedule(1, 10027, "20");
  AddSchedule(2, 10027, "20", "21");

  // Quotes, backslashes, control characters and UTF-8 survive the JSON.
  const std::string name = "night \"db\" \\ run\t\x01 f\xC3\xBCr alle";
  Exec("update jobsmaster set SchedularName = " + SqlQuote(name) + " where SchedularID = 1");
  ToolRun json = Explain({"--json", "schedule", "1"});
  EXPECT_EQ(Jq(json.out, ".name"), Lines{name});
  ToolRun table = Explain({"schedule", "1"});
  ASSERT_EQ(json.code, 0);
  ASSERT_EQ(table.code, 0);
  // Every fact of the document shows in the table: plain lines, and each
  // target as a row of its values.
  for (const std::string& line :
       Jq(json.out, ".postings[0] | \"query: \\(.query)\", \"profile: \\(.profile)\", "
                    "\"target_count: \\(.target_count)\""))
    EXPECT_NE(table.out.find(line), std::string::npos) << line << "\n" << table.out;
  Lines rows = Jq(json.out, ".postings[0].targets[] | \"\\(.system) \\(.name) \\(.ip) "
                            "\\(.outcome)\"");
  ASSERT_EQ(rows.size(), 2u);
  for (const std::string& row : rows) EXPECT_EQ(TableRowsStartingWith(table.out, row), 1) << row;

  // A byte that is not UTF-8 (a Latin-1 name in a column that holds bytes)
  // becomes U+FFFD; the document stays valid for jq.
  Exec("alter table inventorymaster modify SystemName varbinary(255) null;"
       "update inventorymaster set SystemName = concat('h', unhex('E9'), 'te') "
       "where SystemID = 1");
  for (const Lines& args : {Lines{"--json", "system", "1"}, Lines{"--json", "schedule", "1"}}) {
    ToolRun latin = Explain(args);
    ASSERT_EQ(latin.code, 0) << latin.err;
    EXPECT_EQ(Jq(latin.out, "[.. | strings | select(startswith(\"h\") and endswith(\"te\"))]"
                            " | unique[]"),
              Lines{"h\xEF\xBF\xBDte"}) << args[1];
  }

  ToolRun refused = Explain({"--json", "schedule", "2"});
  EXPECT_EQ(Jq(refused.out, ".postings[0] | .selection, .refusal, .target_count, "
                            "(.lists[] | select(.refused != []) | .refused[])"),
            (Lines{"refused",
                   "profiles 21 column 48 value '2;3' holds '2;3', which is not an integer "
                   "ID: nothing is posted",
                   "0", "2;3 (not an integer)"}));
}

TEST_F(ExplainTest, CustomerSchedulesAndTheCustomersTheFanOutServes) {
  korbtest::Identity msp;
  msp.msp_flag = 1;
  SetMainIdentity(msp);
  CreateCustomerDatabase("cust_a", "cust_a");
  AddUnreachableDsn("cust_dead");
  Exec("insert into customermaster (CustomerID, CustomerName, DSNName, DBName, CustomerStatus, "
       "AddOnID) values (1, 'A', 'cust_a', 'cust_a', 0, 0), (2, 'Gone', 'cust_b', 'cust_b', 1, 0),"
       " (3, 'AddOn', 'cust_c', 'cust_c', 0, 4), (4, 'Dead', 'cust_dead', 'cust_dead', 0, 0);"
       "insert into customerdetails (CustomerID, SiteID, IsVirtualProbe) values "
       "(1, 7, 1), (2, 1, 1), (3, 1, 1), (4, 1, 1)");
  for (int id = 1; id <= 3; ++id) AddSystem(id, "corp", 1, "cust_a");
  SetProfileValue(20, 60, "1,3", "cust_a");
  AddSchedule(1, 10027, "20", "-", "cust_a");
  Exec("update jobsmaster set SiteID = 7", "cust_a");

  EXPECT_EQ(Forecast(1, {"--customer", "cust_a"}),
            (std::set<std::string>{"1 open 0", "3 open 0"}));
  ToolRun due = Explain({"--json", "due", "--customer", "cust_a"});
  EXPECT_EQ(Jq(due.out, ".read_from.site_id, (.schedules[] | \"\\(.schedule) \\(.due)\")"),
            (Lines{"7", "1 false"}));  // PATCH_SCAN_STATUS is not yet 1

  ToolRun customers = Explain({"--json", "customers"});
  ASSERT_EQ(customers.code, 0) << customers.err;
  Lines served = Jq(customers.out, ".customers[] | \"\\(.customer) \\(.served) \\(.reachable)\"");
  EXPECT_EQ(served, (Lines{"1 true true", "2 false null", "3 false null", "4 false false"}));
  EXPECT_EQ(Jq(customers.out, ".customers[1,2].skip_reason"),
            (Lines{"CustomerStatus 1: only 0 is served",
                   "AddOnID 4: add-on selector 0 serves customers without an add-on only"}));

  Exec("replace into configsettings values ('PATCH_SCAN_STATUS', '1')", "cust_a");
  RunDaemonUntilPosted("cust_a");
  EXPECT_EQ(Written(1, 0, "cust_a"), (std::set<std::string>{"1 open 0", "3 open 0"}));
}

TEST_F(ExplainTest, NeverWrites) {
  AddSystem(1);
  SetProfileValue(20, 60, "1");
  AddSchedule(1, 10027, "20");
  AddJob(100, 1, 1, 10027, -3);
  Exec("insert into schedularinfo (SchedularInfoID, RecurrenceType, StartTime) values "
       "(5, 0, now() - interval 1 day);"
       "insert into jobsmaster (SchedularID, JobScheduledType, SchedularInfoID) values (2, 1, 5);"
       "insert into jobsmasterdetail (SchedularID, JobTypeID) values (2, 10027)");
  const std::string counts = "select (select count(*) from jobdetails) + "
                             "(select count(*) from procedurecalllog) + "
                             "(select count(*) from jobsmaster where LastSubmittedTime > 0)";
  const long before = Count(counts);

  Exec("set global log_output = 'TABLE'; truncate mysql.general_log; set global general_log = 1");
  for (const Lines& args : {Lines{"schedule", "1"}, Lines{"schedule", "2"}, Lines{"due"},
                            Lines{"customers"}, Lines{"system", "1"}})
    EXPECT_EQ(Explain(args).code, 0);
  Exec("set global general_log = 0");
  EXPECT_EQ(Count(counts), before);
  EXPECT_EQ(Count("select count(*) from mysql.general_log where command_type = 'Query' and "
                  "argument rlike '^[[:space:]]*(insert|update|delete|replace|call|create|"
                  "drop|alter|truncate|lock)'"), 0);
  // Each of the tool's sessions (all but the test's own, which switched
  // the log off) was made read-only when it opened.
  const std::string toolSessions =
      "from mysql.general_log where thread_id not in (select thread_id from "
      "mysql.general_log where argument like 'set global general_log%') and ";
  EXPECT_EQ(Count("select count(*) " + toolSessions + "command_type = 'Connect'"),
            Count("select count(*) " + toolSessions +
                  "argument = 'SET SESSION TRANSACTION READ ONLY'"));
  EXPECT_GE(Count("select count(*) " + toolSessions + "command_type = 'Connect'"), 4);

  // A session of such a process refuses a write outright.
  SetSessionsReadOnly(true);
  {
    CDBI db(nullptr, "orb", "orb");
    ASSERT_TRUE(db.m_bReady);
    EXPECT_EQ(db.executeSQL("delete from jobdetails"), -1);
  }
  SetSessionsReadOnly(false);
  EXPECT_EQ(Count(counts), before);
}

TEST_F(ExplainTest, ExitCodes) {
  AddUnreachableDsn("dead");
  const std::string noFile = InstallDir() + "/no-such.cnf";
  struct Case {
    Lines args;
    EnvChanges env;
    int code;
    const char* says;
  };
  const std::vector<Case> cases = {
      {{"--help"}, {}, 0, ""},
      {{"--version"}, {}, 0, ""},
      {{}, {}, 2, "no command given"},
      {{"schedule"}, {}, 2, "schedule needs one schedule ID"},
      {{"schedule", "x1"}, {}, 2, "schedule needs one schedule ID"},
      {{"schedule", "1", "--limit", "-1"}, {}, 2, "--limit must be"},
      {{"due", "--limit", "3"}, {}, 2, "--limit applies to schedule only"},
      {{"frobnicate"}, {}, 2, "unknown command"},
      {{"due"}, {{"KORB_DB_CONFIG", noFile}}, 2, "cannot read option file"},
      {{"due"}, {{"KORB_DSN", "nosuch"}}, 2, "group [nosuch] not found"},
      {{"schedule", "42"}, {}, 1, "schedule 42 not found"},
      {{"system"}, {}, 2, "system needs one system ID"},
      {{"system", "42"}, {}, 1, "system 42 not found"},
      {{"due", "--customer", "nosuch"}, {}, 1, "no customer in customermaster"},
      {{"due"}, {{"KORB_DSN", "dead"}}, 3, "unreachable"},
  };
  for (const Case& c : cases) {
    ToolRun run = Explain(c.args, c.env);
    EXPECT_EQ(run.code, c.code) << c.says << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
  }
}

}  // namespace
