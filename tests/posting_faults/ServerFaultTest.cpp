// Real server faults during a posting: a lock wait time-out on each table
// that target selection reads, and the server stopped in the middle of the
// per-target loop. The cut pass posts a part of the right targets and
// reports the failure as one; the next pass completes the run.
#include <thread>

#include "PostingFaultFixture.h"

namespace faulttest {
namespace {

class ServerFaultTest : public PostingFaultTest {
 protected:
  // A session of the test's own, for the locks.
  CDBI& Holder() {
    if (!holder_) {
      holder_ = std::make_unique<CDBI>(nullptr, "orb", "orb");
      EXPECT_TRUE(holder_->m_bReady);
    }
    return *holder_;
  }
  void DropHolder() { holder_.reset(); }

 private:
  std::unique_ptr<CDBI> holder_;
};

TEST_F(ServerFaultTest, LockWaitTimeOutOnEachSelectionTableStopsThePosting) {
  // The posting's session gives up on a held table after one second.
  ASSERT_GE(db()->executeSQL("set session lock_wait_timeout = 1"), 0);
  for (const Schedule& s : {kScanRun, kDeployRun}) {
    for (const char* table : {"jobsmasterlookup", "orbprofilevalues", "locationviewdetails",
                              "ipbreakdownlist", "jobdetails", "inventorymaster"}) {
      SCOPED_TRACE(Format("%d %s", s.jobTypeId, table));
      ResetSchedule(s);
      const std::string stopped =
          Format("a statement failed; posting of SchedularID:%d stopped", s.id);
      const int before = LogCount("ERROR", stopped);
      ASSERT_GE(Holder().executeSQL(Format("lock tables %s write", table)), 0);
      Pass(s);
      ASSERT_GE(Holder().executeSQL("unlock tables"), 0);

      const SystemSet cut = Posted(s);
      EXPECT_TRUE(cut.empty()) << Text(cut);
      if (!s.recurring) {
        EXPECT_FALSE(Submitted(s));
      }
      EXPECT_EQ(LogCount("ERROR", stopped), before + 1);
      EXPECT_EQ(LogCount("ERROR", stopped + " before its targets, posted again at the next "
                                  "pass: Lock wait timeout exceeded; try restarting "
                                  "transaction (errno 1205). Statement: "),
                before + 1);

      Pass(s);
      EXPECT_EQ(Posted(s), kExpected);
      EXPECT_EQ(SystemsPostedTwice(s), 0);
      if (!s.recurring) {
        EXPECT_TRUE(Submitted(s));
      }
    }
  }
  EXPECT_EQ(LogCount("ERROR", "LOCATION HAS BEEN DELETED"), 0);
  EXPECT_EQ(LogCount("ERROR", "Failed to get"), 0);
  EXPECT_EQ(LogCount("INFO", "No systemid to process"), 0);
}

// Many targets, so that the server goes while the loop runs: the posting
// is held at a target (deploys at the submission lock, scans at the
// summary table) and the server is stopped under it.
TEST_F(ServerFaultTest, ServerStoppedMidPostingIsCompletedAtTheNextPass) {
  constexpr int kTargets = 120;
  std::string list;
  for (int system = 101; system < 101 + kTargets; ++system) {
    AddSystem(system);
    list += (list.empty() ? "" : ",") + std::to_string(system);
  }
  SetProfileValue(21, 60, list);
  Exec("update orbprofilevalues set ProfileValues = '20,21' where ProfileID = 900 and "
       "ColumnID = 69");
  SystemSet expected = kExpected;
  for (int system = 101; system < 101 + kTargets; ++system) expected.insert(system);
  // A lost server is given up on after one second.
  const std::string options = "korb-reconnect-window=1\n";

  for (const Schedule& s : {kDeployRun, kScanRun}) {
    SCOPED_TRACE(s.jobTypeId);
    OpenDatabase({}, options);
    ResetSchedule(s);
    std::thread pass([&] { Pass(s); });
    ASSERT_TRUE(korbtest::WaitFor([&] { return Posted(s).size() >= 20; },
                                  std::chrono::seconds(30)));
    if (s.jobTypeId == kDeploy) {
      std::string got;
      Holder().getValueFromQuery("select get_lock('orb.deploy-submission', 60) as outputvalue",
                                 got);
      EXPECT_EQ(got, "1");
    } else {
      EXPECT_GE(Holder().executeSQL("lock tables patch_summary write"), 0);
    }
    korbtest::MariaDbServer::Instance().Stop();
    pass.join();
    korbtest::MariaDbServer::Instance().Start();
    DropHolder();
    EXPECT_TRUE(db()->m_bConnectionError);

    const SystemSet cut = Posted(s);
    EXPECT_TRUE(Within(cut, expected)) << Text(cut);
    EXPECT_LT(cut.size(), expected.size());
    EXPECT_EQ(SystemsWithTwoOpenJobs(s), 0);
    if (!s.recurring) {
      EXPECT_FALSE(Submitted(s));
    }

    // The daemon would end and start again; here the next pass runs on a
    // new database object of the same thread.
    OpenDatabase({}, options);
    Pass(s);
    EXPECT_EQ(Posted(s), expected);
    EXPECT_EQ(SystemsPostedTwice(s), 0);
    EXPECT_EQ(SystemsWithTwoOpenJobs(s), 0);
    if (!s.recurring) {
      EXPECT_TRUE(Submitted(s));
    }
  }
}

}  // namespace
}  // namespace faulttest
