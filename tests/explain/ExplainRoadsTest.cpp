// korb-explain on every road a posting takes, each forecast held against
// what the real daemon then writes: recurring schedules through the
// next-run question, listed target sets, and system ID for systems that
// are included, excluded, skipped, refused, held back and duplicates. And
// the read-only twin of GetNextScheduleTime against the function itself.
#include "ExplainFixture.h"
#include "NextScheduleTime.h"

namespace {

using explaintest::ExplainTest;
using explaintest::Lines;
using explaintest::ToolRun;
using korbtest::ChildProcess;

class ExplainRoadsTest : public ExplainTest {
 protected:
  // A recurring schedule run once an hour ago (schedule info s), with
  // profile 900 + s.
  void AddRecurring(int s, int jobTypeId, const std::string& inclusion) {
    AddSchedule(s, jobTypeId, inclusion);
    Exec(Format("insert into schedularinfo (SchedularInfoID, RecurrenceType, StartTime) "
                "values (%d, 0, now() - interval 1 hour);"
                "update jobsmaster set JobScheduledType = 1, SchedularInfoID = %d, "
                "ScheduledTime = null where SchedularID = %d", s, s, s));
  }

  // "schedule system outcome redo" of every target `system ID` forecasts.
  std::set<std::string> SystemForecast(int system, Lines extra = {}) {
    Lines args = {"--json", "system", std::to_string(system)};
    args.insert(args.end(), extra.begin(), extra.end());
    ToolRun run = Explain(args);
    EXPECT_EQ(run.code, 0) << run.err;
    Lines lines = Jq(run.out, ".schedules[] | select(.targeted) | \"\\(.schedule) " +
                                  std::to_string(system) +
                                  " \\(.outcome) \\(.redo_of // 0)\"");
    return {lines.begin(), lines.end()};
  }
  std::set<std::string> SystemWritten(int system, int firstJob, const std::string& db = "orb") {
    std::set<std::string> rows;
    for (const auto& row : Query(Format("select SchedularID, SystemID, if(Status = 1, "
                                        "'duplicate', 'open'), RedoID from jobdetails where "
                                        "SystemID = %d and JobID > %d", system, firstJob), db))
      rows.insert(row[0] + " " + row[1] + " " + row[2] + " " + row[3]);
    return rows;
  }
};

TEST_F(ExplainRoadsTest, TheReadOnlyTwinAnswersAsGetNextScheduleTime) {
  // Once, every 10 minutes, daily, weekly, ended, not yet started, none.
  Exec("insert into schedularinfo (SchedularInfoID, RecurrenceType, StartTime, EndTime, "
       "IntervalSeconds, TimeOfDay, WeekDays) values "
       "(1, 0, now() - interval 1 hour, null, null, null, null),"
       "(2, 1, now() - interval 1 day, null, 600, null, null),"
       "(3, 2, now() - interval 3 day, null, null, '03:00:00', null),"
       "(4, 3, now() - interval 30 day, null, null, '12:00:00', 'Mon,Thu'),"
       "(5, 1, now() - interval 2 day, now() - interval 1 day, 3600, null, null),"
       "(6, 0, now() + interval 1 day, null, null, null, null)");
  CDBI db(nullptr, "orb", "orb");
  ASSERT_TRUE(db.m_bReady);
  const Lines lastSubmitted = {"0000-00-00 00:00:00", "", "not a time", "it's",
                               "2000-01-01 00:00:00", "2999-01-01 00:00:00"};
  int compared = 0;
  for (int info = 1; info <= 7; ++info) {
    Lines lasts = lastSubmitted;
    lasts.push_back(Scalar(Format("select date_format(ScheduleRunNotAfter(%d, now()), "
                                  "'%%Y-%%m-%%d %%H:%%i:%%s')", info)));
    for (const std::string& last : lasts) {
      std::string real, twin;
      int realResult = db.getValueFromQuery(NextScheduleTimeCall(info, last, &db), real);
      int twinResult = db.getValueFromQuery(ReadOnlyNextScheduleTimeQuery(info, last, &db), twin);
      EXPECT_EQ(twinResult, realResult) << info << " '" << last << "'";
      EXPECT_EQ(twin, real) << info << " '" << last << "'";
      ++compared;
    }
  }
  EXPECT_EQ(compared, 49);
  // The function really was called each time; the twin never records.
  EXPECT_EQ(Count("select count(*) from procedurecalllog where ProcName = 'GetNextScheduleTime'"),
            49);

  // The thread's split: blanks around the flag, no flag, an apostrophe.
  EXPECT_TRUE(SplitNextScheduleAnswer("2026-01-01 00:00:00| 1 ").Due());
  EXPECT_EQ(SplitNextScheduleAnswer("2026-01-01 00:00:00|0").time, "2026-01-01 00:00:00");
  EXPECT_FALSE(SplitNextScheduleAnswer("2026-01-01 00:00:00|2").Due());
  EXPECT_FALSE(SplitNextScheduleAnswer("2026-01-01 00:00:00").hasFlag);
  EXPECT_FALSE(SplitNextScheduleAnswer("2026'|1").Due());
  EXPECT_FALSE(SplitNextScheduleAnswer("-1").Due());
}

TEST_F(ExplainRoadsTest, RecurringAndListedSchedulesAreForecastAsTheDaemonPosts) {
  for (int id = 1; id <= 5; ++id) AddSystem(id, "corp", id == 5 ? 4 : 1);
  SetProfileValue(20, 60, "1,2,5");
  AddRecurring(1, 10027, "20");  // scans 1, 2, 5
  AddRecurring(2, 10025, "20");  // deploys 1, 2 (5 collects data by type 4)
  AddJob(100, 2, 2, 10025, -3);  // redone
  // On demand, target mode 0: the schedule's own list, one row not a number.
  Exec("insert into jobsmaster (SchedularID, JobScheduledType, ScheduledTime) values "
       "(3, 0, now() - interval 1 minute);"
       "insert into jobsmasterdetail (SchedularID, SystemID, JobTypeID, TaskID) values "
       "(3, 3, 10027, 7), (3, 4, 10027, 8), (3, 4, 10037, 0)");
  AddJob(101, 77, 4, 10027, 0);  // another schedule's open scan: not a duplicate here
  AddJob(102, 78, 4, 10037, 0);  // an open CAB download: the listed one is a duplicate

  ToolRun due = Explain({"--json", "due"});
  Lines kinds = Jq(due.out, ".schedules[] | \"\\(.schedule) \\(.job_type) \\(.kind)\"");
  EXPECT_EQ(std::set<std::string>(kinds.begin(), kinds.end()),
            (std::set<std::string>{"1 10027 recurring", "2 10025 recurring",
                                   "3 10027 on demand", "3 10037 on demand"}));
  ToolRun recurring = Explain({"--json", "schedule", "1"});
  EXPECT_EQ(Jq(recurring.out, ".next_run | \"\\(.flag) \\(.due)\""), Lines{"0 true"});

  std::map<int, std::set<std::string>> forecast;
  for (int s = 1; s <= 3; ++s) forecast[s] = Forecast(s);
  EXPECT_EQ(forecast[1], (std::set<std::string>{"1 open 0", "2 open 0", "5 open 0"}));
  EXPECT_EQ(forecast[2], (std::set<std::string>{"1 open 0", "2 open 100"}));
  EXPECT_EQ(forecast[3], (std::set<std::string>{"3 open 0", "4 open 0", "4 duplicate 0"}))
      << "listed scan and CAB download rows of schedule 3";

  RunDaemonUntilPosted("orb", "select count(*) from jobsmaster where LastSubmittedTime = 0 or "
                              "SchedularID not in (select SchedularID from jobdetails)");
  for (int s = 1; s <= 3; ++s) EXPECT_EQ(Written(s, 102), forecast[s]) << "schedule " << s;
  // Asked again, the schedules are no longer due: the next run lies ahead
  // or is gone, and the on-demand one is submitted.
  due = Explain({"--json", "due"});
  EXPECT_EQ(Jq(due.out, "[.schedules[] | select(.due)] | length"), Lines{"0"});
}

TEST_F(ExplainRoadsTest, SystemVerdictsAreWhatTheDaemonThenWrites) {
  for (int id = 1; id <= 6; ++id) AddSystem(id, id == 5 ? "lab" : "corp");
  Exec("update inventorymaster set managenode = 0 where SystemID = 6");
  SetProfileValue(20, 60, "1,2,3,4,6");
  SetProfileValue(21, 58, "lab");
  SetProfileValue(23, 48, "2");
  SetProfileValue(24, 59, "77");   // a deleted location
  SetProfileValue(25, 60, "5;7");  // a bad item
  AddSchedule(1, 10027, "20", "23");
  AddSchedule(2, 10027, "25");
  AddSchedule(3, 10025, "24");
  AddSchedule(4, 10027, "21");
  AddSchedule(5, 10027, "21");
  Exec("update jobsmaster set SiteID = 2 where SchedularID = 5");
  AddJob(100, 1, 3, 10027, -2);  // skipped
  AddJob(101, 1, 1, 10027, 2);   // open: the next one is a duplicate
  AddJob(102, 1, 4, 10027, -3);  // redone

  struct Want {
    int system, schedule;
    const char* verdict;
    const char* reason;  // a part of the reason
  };
  const std::vector<Want> wants = {
      {1, 1, "included", "system list of profile 20 (column 60)"},
      {2, 1, "excluded", "excluded by the system list of profile 23 (column 48)"},
      {3, 1, "skipped", "status -2"},
      {4, 1, "included", "system list of profile 20"},
      {5, 1, "not included", "no inclusion list of profile 901"},
      {6, 1, "not managed", "managenode 0"},
      {5, 2, "refused", "value '5;7' holds '5;7'"},
      {1, 3, "held back", "location IDs 77 resolve to no system"},
      {5, 4, "included", "domain 'lab' of profile 21 (column 58)"},
      {5, 5, "outside the site", "the patch threads serve site 1"},
  };
  std::map<int, std::set<std::string>> forecast;
  for (int system = 1; system <= 6; ++system) forecast[system] = SystemForecast(system);
  for (const Want& w : wants) {
    ToolRun run = Explain({"--json", "system", std::to_string(w.system)});
    Lines got = Jq(run.out, Format(".schedules[] | select(.schedule == %d) | .verdict, .reason",
                                   w.schedule));
    ASSERT_EQ(got.size(), 2u) << run.out;
    EXPECT_EQ(got[0], w.verdict) << w.system << "/" << w.schedule << ": " << got[1];
    EXPECT_NE(got[1].find(w.reason), std::string::npos) << got[1];
  }
  EXPECT_EQ(forecast[1], (std::set<std::string>{"1 1 duplicate 0"}));
  EXPECT_EQ(forecast[4], (std::set<std::string>{"1 4 open 102"}));
  EXPECT_EQ(forecast[5], (std::set<std::string>{"4 5 open 0"}));
  ToolRun one = Explain({"--json", "system", "1"});
  EXPECT_EQ(Jq(one.out, ".schedules[] | select(.schedule == 1) | .duplicate_of, "
                        "(.open_jobs[] | \"\\(.job) \\(.status)\"), .last_job.job"),
            (Lines{"101", "101 2", "101"}));

  // The table says the same.
  ToolRun table = Explain({"system", "2"});
  EXPECT_EQ(table.code, 0);
  EXPECT_NE(table.out.find("excluded by the system list of profile 23 (column 48)"),
            std::string::npos) << table.out;

  RunDaemonUntilPosted("orb", "select count(*) from jobsmaster where SchedularID in (1, 4) "
                              "and LastSubmittedTime = 0");
  for (int system = 1; system <= 6; ++system)
    EXPECT_EQ(SystemWritten(system, 102), forecast[system]) << "system " << system;
}

TEST_F(ExplainRoadsTest, TheMspCustomersSystemIsForecastAsTheDaemonPosts) {
  korbtest::Identity msp;
  msp.msp_flag = 1;
  SetMainIdentity(msp);
  CreateCustomerDatabase("cust_a", "cust_a");
  Exec("insert into customermaster (CustomerID, CustomerName, DSNName, DBName, CustomerStatus, "
       "AddOnID) values (1, 'A', 'cust_a', 'cust_a', 0, 0);"
       "insert into customerdetails (CustomerID, SiteID, IsVirtualProbe) values (1, 7, 1)");
  for (int id = 1; id <= 2; ++id) AddSystem(id, "corp", 1, "cust_a");
  SetProfileValue(20, 60, "1", "cust_a");
  AddSchedule(1, 10027, "20", "-", "cust_a");
  AddSchedule(2, 10025, "20", "-", "cust_a");
  Exec("update jobsmaster set SiteID = 7 where SchedularID = 1", "cust_a");
  AddJob(100, 9, 1, 10025, 0, "cust_a");  // an open deploy elsewhere

  std::set<std::string> forecast = SystemForecast(1, {"--customer", "cust_a"});
  EXPECT_EQ(forecast, (std::set<std::string>{"1 1 open 0"}));  // 2 is of site 1
  EXPECT_TRUE(SystemForecast(2, {"--customer", "cust_a"}).empty());
  RunDaemonUntilPosted("cust_a", "select count(*) from jobsmaster where SchedularID = 1 and "
                                 "LastSubmittedTime = 0");
  EXPECT_EQ(SystemWritten(1, 100, "cust_a"), forecast);
}

TEST_F(ExplainRoadsTest, ThePackagedExplainAccountCannotWrite) {
  std::ifstream sql(std::string(KORB_SOURCE_DIR) + "/sql/explain_account.sql");
  ASSERT_TRUE(sql) << "sql/explain_account.sql";
  std::stringstream text;
  text << sql.rdbuf();
  Exec("drop user if exists 'korb_explain'@'localhost'");
  Exec(text.str());
  // The tool's own file: the daemon's group with the account swapped in.
  std::ifstream daemonFile(OptionFile());
  std::string own;
  std::string socket;
  for (std::string line; std::getline(daemonFile, line);) {
    if (line.rfind("socket=", 0) == 0 && socket.empty()) socket = line;
    own += (line == "user=root" ? "user=korb_explain\npassword=change-me" : line) + "\n";
  }
  const std::string ownPath = InstallDir() + "/korb-explain.cnf";
  std::ofstream(ownPath) << own;
  AddSystem(1);
  SetProfileValue(20, 60, "1");
  Exec("insert into schedularinfo (SchedularInfoID, RecurrenceType, StartTime) values "
       "(1, 0, now() - interval 1 hour)");
  AddSchedule(1, 10027, "20");
  Exec("update jobsmaster set JobScheduledType = 1, SchedularInfoID = 1 where SchedularID = 1");

  ToolRun mine = Explain({"--json", "schedule", "1"}, {{"KORB_EXPLAIN_CONFIG", ownPath}});
  ASSERT_EQ(mine.code, 0) << mine.err;
  EXPECT_EQ(Jq(mine.out, ".read_from | .option_file, .account.user, .account.can_write"),
            (Lines{ownPath, "korb_explain@localhost", "false"}));
  EXPECT_EQ(mine.err.find("warning"), std::string::npos) << mine.err;
  // It still forecasts the next run and the targets.
  EXPECT_EQ(Jq(mine.out, ".next_run.due, .postings[0].target_count"), (Lines{"true", "1"}));

  // The daemon's account can write, and the tool says so.
  ToolRun daemons = Explain({"--json", "system", "1"});
  EXPECT_EQ(Jq(daemons.out, ".read_from.account.can_write"), Lines{"true"});
  EXPECT_NE(daemons.err.find("warning: the database account root@localhost can write"),
            std::string::npos) << daemons.err;

  // The account itself, outside any read-only session, is refused every
  // write and the recording function.
  const Lines account = {"/usr/bin/mariadb", "--no-defaults", "--" + socket,
                         "--user=korb_explain", "--password=change-me", "-e"};
  Lines insert = account;
  insert.push_back("insert into orb.configsettings values ('X', '1')");
  Lines record = account;
  record.push_back("select orb.GetNextScheduleTime(1, '', 1, 1)");
  ChildProcess client(insert);
  ChildProcess call(record);
  int code = 0;
  ASSERT_TRUE(client.WaitExit(std::chrono::milliseconds(20000), &code));
  EXPECT_NE(code, 0) << client.Stdout();
  EXPECT_NE(client.Stderr().find("denied"), std::string::npos) << client.Stderr();
  ASSERT_TRUE(call.WaitExit(std::chrono::milliseconds(20000), &code));
  EXPECT_NE(code, 0);
  EXPECT_NE(call.Stderr().find("denied"), std::string::npos) << call.Stderr();
  EXPECT_EQ(Count("select count(*) from configsettings where SettingKey = 'X'"), 0);
}

}  // namespace
