// The per-target statements of a posting must read only the target's own
// rows, whatever the optimizer's statistics say: a job table with one huge
// schedule is checked with statistics from ANALYZE TABLE and with
// statistics forged to make the schedule index look the most selective.
// Rows read come from the session's handler counters, so the check holds
// for any plan that reads little, and fails for any that reads much.
#include <cstdlib>
#include <string>
#include <vector>

#include "TestDatabase.h"
#include "utilLib.h"

namespace {

constexpr int kSystems = 20000;
constexpr int kTarget = 777;
// Rows a per-target statement may read: the target's own few jobs, the
// schedule parameters, index look-ups.
constexpr long kMaxRowsRead = 100;

class PostingPlanTest : public korbtest::DbTest {
 protected:
  void SetUp() override {
    korbtest::DbTest::SetUp();
    // Schedule 1: a plain scan posted twice to every system (one open job
    // and one closed duplicate each). Schedule 2: a TPPM scan. Schedule 3:
    // a deploy with one open job per system. The target also has jobs of
    // its own in other states, and unfinished scans of 30 schedules that
    // have no parameter 564.
    Exec(Format("insert into jobsmasterlookup (SchedularID, JobParamID, JobParamValue) values "
                "(1, 564, '0'), (1, 91, '7'), (2, 564, '1'), (2, 91, '7'), (3, 89, '8');"
                "insert into jobdetails (SchedularID, JobTypeID, SystemID, Status) "
                "select 1, 10027, seq, 0 from seq_1_to_%d;"
                "insert into jobdetails (SchedularID, JobTypeID, SystemID, Status) "
                "select 1, 10027, seq, 1 from seq_1_to_%d;"
                "insert into jobdetails (SchedularID, JobTypeID, SystemID, Status) "
                "select 3, 10025, seq, 0 from seq_1_to_%d;"
                "insert into jobdetails (SchedularID, JobTypeID, SystemID, Status) values "
                "(2, 10027, %d, -3), (2, 10027, %d, -1), (1, 10027, %d, -2);"
                "insert into jobdetails (SchedularID, JobTypeID, SystemID, Status) "
                "select 100 + seq, 10027, %d, 2 from seq_1_to_30;"
                "insert into jobsmasterdetail (SchedularID, SystemID, JobTypeID, TaskID) "
                "select 1, seq, 10027, 5 from seq_1_to_%d;"
                "insert into patch_summary (SystemID) select seq from seq_1_to_%d",
                kSystems, kSystems, kSystems, kTarget, kTarget, kTarget, kTarget, kSystems,
                kSystems));
  }
  void TearDown() override {
    // Later tests of this binary start from true statistics.
    Exec("analyze table jobdetails, jobsmasterlookup");
    korbtest::DbTest::TearDown();
  }

  // Rows the server read to run `sql` once, counted on its second run in
  // the session (the first may also load the table's statistics).
  long RowsRead(std::string sql) {
    if (sql.back() == ';') sql.pop_back();
    const korbtest::Rows rows = Query(sql + "; flush status; " + sql +
                                      "; show session status like 'Handler_read%'");
    long total = 0;
    for (const auto& row : rows) total += std::strtol(row[1].c_str(), nullptr, 10);
    return total;
  }

  std::string Plan(const std::string& sql) {
    std::string text;
    for (const auto& row : Query("explain " + sql)) {
      for (const std::string& value : row) text += value + " ";
      text += "\n";
    }
    return text;
  }

  // Every statement that a scan or deploy posting runs per target system,
  // with the target and the schedules above filled in.
  static std::vector<std::string> PerTargetStatements() {
    const int s = kTarget;
    return {
        // duplicate checks
        Format("select (select count(*) from jobdetails where systemid = %d and schedularid = "
               "%d and jobtypeid = %d and status not in (-1,1,-2)) + (select count(*) from "
               "jobdetails jd inner join jobsmasterlookup jml on jml.siteid = jd.siteid and "
               "jml.schedularid = jd.schedularid where jd.systemid = %d and jd.jobtypeid = %d "
               "and jd.status not in (-1,1,-2) and jml.jobparamid = %d and jml.jobparamvalue = "
               "%d) as outputvalue", s, 1, 10027, s, 10027, 564, 0),
        Format("select count(*) as outputvalue from jobdetails where systemid = %d and "
               "jobtypeid = %d and status not in (-1,1,-2)", s, 10025),
        // interrupted job, task, parameters
        Format("select JobID as outputvalue from jobdetails where SystemID=%d and jobtypeid=%d "
               "and status = %d and SchedularID = %d", s, 10027, -3, 2),
        Format("select TaskID as outputvalue from jobsmasterdetail where systemid = %d and "
               "SchedularID = %d", s, 1),
        Format("select JobParamValue as outputvalue from jobsmasterlookup where SchedularID = "
               "%d and JobParamID = %d", 1, 564),
        // patch summary
        Format("select count(*) as outputvalue from jobdetails where systemid = %d", s),
        Format("select SystemID as outputvalue from patch_summary where SystemID=%d", s),
        Format("select * from jobdetails jd where jd.systemid = %d order by jd.jobid desc "
               "limit 1", s),
        "select max(operationid) as outputvalue from jobdetails",
    };
  }

  void ExpectEveryStatementReadsLittle() {
    for (const std::string& sql : PerTargetStatements())
      EXPECT_LE(RowsRead(sql), kMaxRowsRead) << sql << "\n" << Plan(sql);
  }
};

TEST_F(PostingPlanTest, PerTargetStatementsReadOnlyTheTargetsRows) {
  // True statistics of the skewed table.
  Exec("analyze table jobdetails, jobsmasterlookup, jobsmasterdetail, patch_summary");
  ExpectEveryStatementReadsLittle();

  // Statistics that claim every schedule prefix is unique and every system
  // holds the whole table: a plan chosen on them alone would walk the
  // schedule's 40,000 jobs for each target.
  Exec("update mysql.innodb_index_stats set stat_value = 1000000 where database_name = 'orb' "
       "and table_name = 'jobdetails' and index_name = 'ix_schedule' "
       "and stat_name like 'n_diff%';"
       "update mysql.innodb_index_stats set stat_value = 1 where database_name = 'orb' "
       "and table_name = 'jobdetails' and index_name = 'ix_system' "
       "and stat_name like 'n_diff%';"
       // Renaming evicts the table from the server's cache, so the forged
       // figures are read back.
       "rename table jobdetails to jobdetails_forged, jobdetails_forged to jobdetails");
  ExpectEveryStatementReadsLittle();
}

}  // namespace
