// Every statement of a scan pass and of a deploy pass is made to fail in
// turn, refused by the server before it runs or reported lost after it
// ran: the failing pass posts a part of the right targets and never one
// more, the next pass completes the run with the missing targets only,
// and no system ever holds two open jobs of the schedule.
#include "PostingFaultFixture.h"

namespace faulttest {
namespace {

struct Mode {
  dbi_fault::When when;
  unsigned int error;
  const char* message;
};
const Mode kRefused{dbi_fault::When::kBeforeSending, 1205,
                    "Lock wait timeout exceeded; try restarting transaction"};
const Mode kLostAfterRunning{dbi_fault::When::kAfterRunning, 2013,
                             "Lost connection to server during query"};

class StatementSweepTest : public PostingFaultTest {
 protected:
  // Statements of one undisturbed pass of the schedule.
  int StatementsOfOnePass(const Schedule& s) {
    ResetSchedule(s);
    dbi_fault::Arm({".", 1 << 30});
    Pass(s);
    const int statements = dbi_fault::Matched();
    dbi_fault::Disarm();
    EXPECT_EQ(Posted(s), kExpected);
    return statements;
  }

  void Sweep(const Schedule& s, const Mode& mode) {
    const int statements = StatementsOfOnePass(s);
    ASSERT_GT(statements, 30);
    for (int k = 1; k <= statements; ++k) {
      SCOPED_TRACE(Format("statement %d of %d", k, statements));
      ResetSchedule(s);
      dbi_fault::Arm({".", k, 1, mode.error, mode.message, mode.when});
      Pass(s);
      ASSERT_EQ(dbi_fault::Injected(), 1);
      dbi_fault::Disarm();
      const SystemSet cut = Posted(s);
      EXPECT_TRUE(Within(cut, kExpected)) << Text(cut);
      EXPECT_EQ(SystemsWithTwoOpenJobs(s), 0);
      if (!s.recurring && cut != kExpected) {
        EXPECT_FALSE(Submitted(s));
      }

      Pass(s);
      EXPECT_EQ(Posted(s), kExpected) << "after the cut pass: " << Text(cut);
      EXPECT_EQ(SystemsPostedTwice(s), 0);
      EXPECT_EQ(SystemsWithTwoOpenJobs(s), 0);
      if (!s.recurring) {
        EXPECT_TRUE(Submitted(s));
      }
      if (HasFailure()) return;
    }
    // A failure is never taken for missing data.
    EXPECT_EQ(LogCount("ERROR", "LOCATION HAS BEEN DELETED"), 0);
    EXPECT_EQ(LogCount("ERROR", "Failed to get"), 0);
    EXPECT_EQ(LogCount("INFO", "No systemid to process"), 0);
    EXPECT_GT(LogCount("ERROR", Format("a statement failed; posting of SchedularID:%d", s.id)),
              statements / 2);
  }
};

TEST_F(StatementSweepTest, RecurringScanRefusedStatement) { Sweep(kScanRun, kRefused); }
TEST_F(StatementSweepTest, RecurringScanLostAfterRunning) { Sweep(kScanRun, kLostAfterRunning); }
TEST_F(StatementSweepTest, OnDemandDeployRefusedStatement) { Sweep(kDeployRun, kRefused); }
TEST_F(StatementSweepTest, OnDemandDeployLostAfterRunning) {
  Sweep(kDeployRun, kLostAfterRunning);
}

// The other pairing of schedule kind and thread, once each.
TEST_F(StatementSweepTest, OnDemandScanAndRecurringDeploy) {
  Sweep({kScanSchedule, kScan, false}, kRefused);
  Sweep({kDeploySchedule, kDeploy, true}, kLostAfterRunning);
}

}  // namespace
}  // namespace faulttest
