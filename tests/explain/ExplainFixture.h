// The fixture of the korb-explain tests: the tool as a child process, jq
// over its JSON, rows for schedules, profiles, systems and jobs, and the
// real daemon run until it has posted.
#pragma once

#include <algorithm>
#include <csignal>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "DaemonProcess.h"
#include "DBI.h"
#include "TestDatabase.h"
#include "utilLib.h"

namespace explaintest {

using korbtest::ChildProcess;
using korbtest::EnvChanges;
using std::chrono::milliseconds;
using Lines = std::vector<std::string>;

struct ToolRun {
  int code = -1;
  std::string out;
  std::string err;
};

class ExplainTest : public korbtest::DbTest {
 protected:
  ToolRun Explain(const Lines& args, const EnvChanges& env = {}) {
    Lines argv = {korbtest::BinaryDir() + "/tools/explain/korb-explain"};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess tool(argv, env);
    ToolRun run;
    EXPECT_TRUE(tool.WaitExit(milliseconds(60000), &run.code));
    run.out = tool.Stdout();
    run.err = tool.Stderr();
    return run;
  }

  // jq's raw output lines for filter over a JSON document.
  Lines Jq(const std::string& json, const std::string& filter) {
    const std::string file = InstallDir() + "/report.json";
    std::ofstream(file) << json;
    ChildProcess jq({"/usr/bin/jq", "-r", filter, file});
    int code = -1;
    EXPECT_TRUE(jq.WaitExit(milliseconds(10000), &code));
    EXPECT_EQ(code, 0) << jq.Stderr() << json;
    Lines lines;
    std::istringstream in(jq.Stdout());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  void AddSystem(int id, const std::string& domain = "corp", int dataCollectionType = 1,
                 const std::string& db = "orb") {
    Exec(Format("insert into inventorymaster (SystemID, SystemName, ipaddress, domainname, "
                "DataCollectionType) values (%d, 'host-%d', '10.0.0.%d', '%s', %d)",
                id, id, id, domain.c_str(), dataCollectionType), db);
  }
  // A due on-demand schedule whose profile is 900 + s.
  void AddSchedule(int s, int jobTypeId, const std::string& inclusion,
                   const std::string& exclusion = "-", const std::string& db = "orb") {
    Exec(Format("insert into jobsmaster (SchedularID, JobScheduledType, ScheduledTime) "
                "values (%d, 0, now() - interval 1 hour);"
                "insert into jobsmasterdetail (SchedularID, SystemID, JobTypeID) "
                "values (%d, 0, %d);"
                "insert into jobsmasterlookup (SchedularID, JobParamID, JobParamValue) "
                "values (%d, %d, '%d');"
                "insert into orbprofilevalues (ProfileID, ColumnID, ProfileValues) "
                "values (%d, 69, '%s')",
                s, s, jobTypeId, s, jobTypeId == 10027 ? 91 : 89, 900 + s, 900 + s,
                inclusion.c_str()), db);
    if (exclusion != "-")
      Exec(Format("insert into orbprofilevalues (ProfileID, ColumnID, ProfileValues) "
                  "values (%d, 70, '%s')", 900 + s, exclusion.c_str()), db);
  }
  void SetProfileValue(int profile, int column, const std::string& value,
                       const std::string& db = "orb") {
    Exec(Format("insert into orbprofilevalues (ProfileID, ColumnID, ProfileValues) "
                "values (%d, %d, %s)", profile, column, SqlQuote(value).c_str()), db);
  }
  void AddJob(int jobId, int s, int system, int jobTypeId, int status,
              const std::string& db = "orb") {
    Exec(Format("insert into jobdetails (JobID, SchedularID, SystemID, JobTypeID, Status, "
                "ScheduleTime, SubmissionTime) values (%d, %d, %d, %d, %d, now(), now())",
                jobId, s, system, jobTypeId, status), db);
  }

  // "system outcome redo" per forecast target of a schedule.
  std::set<std::string> Forecast(int s, const Lines& extra = {}) {
    Lines args = {"--json", "schedule", std::to_string(s), "--limit", "0"};
    args.insert(args.end(), extra.begin(), extra.end());
    ToolRun run = Explain(args);
    EXPECT_EQ(run.code, 0) << run.err;
    Lines lines = Jq(run.out, ".postings[].targets[] | \"\\(.system) \\(.outcome) "
                              "\\(.redo_of // 0)\"");
    EXPECT_EQ(Jq(run.out, "[.postings[].target_count] | add"),
              Lines{std::to_string(lines.size())});
    return {lines.begin(), lines.end()};
  }
  // The same for the rows a pass wrote (jobs above firstJob).
  std::set<std::string> Written(int s, int firstJob, const std::string& db = "orb") {
    std::set<std::string> rows;
    for (const auto& row : Query(Format("select SystemID, if(Status = 1, 'duplicate', 'open'), "
                                        "RedoID from jobdetails where SchedularID = %d and "
                                        "JobID > %d", s, firstJob), db))
      rows.insert(row[0] + " " + row[1] + " " + row[2]);
    return rows;
  }

  // Table lines whose blank-separated words begin with those of row.
  static int TableRowsStartingWith(const std::string& text, const std::string& row) {
    auto words = [](const std::string& line) {
      Lines out;
      std::istringstream in(line);
      for (std::string word; in >> word;) out.push_back(word);
      return out;
    };
    const Lines want = words(row);
    int found = 0;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
      Lines have = words(line);
      found += have.size() >= want.size() && std::equal(want.begin(), want.end(), have.begin());
    }
    return found;
  }

  // Runs the daemon until the count query `pending` gives 0; by default
  // until every schedule is submitted.
  void RunDaemonUntilPosted(const std::string& db = "orb",
                            const std::string& pending =
                                "select count(*) from jobsmaster where "
                                "LastSubmittedTime = '0000-00-00 00:00:00'") {
    Exec("replace into configsettings values ('PATCH_SCAN_STATUS', '1')", db);
    korbtest::UdpListener jobHandler;
    Exec(Format("insert into jobhandlermaster (HostName, PortNumber) values ('127.0.0.1', %d)",
                jobHandler.Port()));
    korbtest::DaemonOptions options;
    options.time_scale = 100;
    korbtest::DaemonProcess daemon(options);
    EXPECT_TRUE(korbtest::WaitFor(
        [&] {
          return Count(pending, db) == 0;
        },
        milliseconds(60000)))
        << korbtest::DaemonLog();
    daemon.SendSignal(SIGTERM);
    EXPECT_TRUE(daemon.WaitExit(milliseconds(60000)));
  }
};

}  // namespace explaintest
