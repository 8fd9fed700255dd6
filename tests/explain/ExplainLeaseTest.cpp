// korb-explain lease and the lease line of `due`, read with the packaged
// read-only account: before any grant, while a real scheduler holds the
// lease (holder, epoch and times as the database has them), and after its
// orderly end released it.
#include <fstream>

#include "ExplainFixture.h"

namespace {

using namespace explaintest;
using namespace std::chrono_literals;

class ExplainLeaseTest : public ExplainTest {
 protected:
  void SetUp() override {
    ExplainTest::SetUp();
    std::ifstream sql(std::string(KORB_SOURCE_DIR) + "/sql/explain_account.sql");
    std::stringstream text;
    text << sql.rdbuf();
    Exec("drop user if exists 'korb_explain'@'localhost'");
    Exec(text.str());
    // The tool's own file: the daemon's group with the account swapped in.
    std::ifstream daemonFile(OptionFile());
    std::string own;
    for (std::string line; std::getline(daemonFile, line);)
      own += (line == "user=root" ? "user=korb_explain\npassword=change-me" : line) + "\n";
    own_config_ = InstallDir() + "/korb-explain.cnf";
    std::ofstream(own_config_) << own;
  }

  ToolRun ExplainReadOnly(const Lines& args) {
    ToolRun run = Explain(args, {{"KORB_EXPLAIN_CONFIG", own_config_}});
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.err.find("warning"), std::string::npos) << run.err;
    return run;
  }

  // The lease row's time column as the report shows it (UTC, ms).
  std::string DbTime(const std::string& column) {
    return Scalar("select date_format(" + column +
                  ", '%Y-%m-%d %H:%i:%s.%f') from korb_scheduler_lease")
        .substr(0, 23);
  }

  std::string own_config_;
};

TEST_F(ExplainLeaseTest, HolderEpochAndTimesOnTheDatabasesClock) {
  ToolRun never = ExplainReadOnly({"--json", "lease"});
  EXPECT_EQ(Jq(never.out, ".command, .lease.state, .lease.epoch"),
            (Lines{"lease", "never granted", "0"}));

  Exec("insert into jobhandlermaster (HostName, PortNumber) values ('127.0.0.1', 7301)");
  AddOptions("orb", "korb-lease-duration=6\nkorb-metrics-port=0\n");
  auto daemon = std::make_unique<korbtest::DaemonProcess>();
  ASSERT_TRUE(korbtest::WaitForLog("now holds the scheduler lease", 60s)) << korbtest::DaemonLog();

  ToolRun held = ExplainReadOnly({"--json", "lease"});
  EXPECT_EQ(Jq(held.out, ".lease.state, .lease.epoch, .lease.granted_at, .lease.clock"),
            (Lines{"held", "1", DbTime("granted_at"), "the database's, UTC"}));
  const std::string holder = Jq(held.out, ".lease.holder").at(0);
  EXPECT_NE(holder.find(InstallDir() + "/lock/"), std::string::npos) << holder;
  EXPECT_EQ(holder, Scalar("select holder from korb_scheduler_lease"));
  const long remaining = std::atol(Jq(held.out, ".lease.remaining_ms").at(0).c_str());
  EXPECT_GT(remaining, 0);
  EXPECT_LE(remaining, 6000);
  // Renewed after it was granted, and it expires after that.
  EXPECT_EQ(Jq(held.out, "(.lease.renewed_at >= .lease.granted_at) and "
                         "(.lease.expires_at > .lease.renewed_at)"),
            Lines{"true"});

  // The text form and the line in `due`.
  ToolRun text = ExplainReadOnly({"lease"});
  EXPECT_NE(text.out.find("holder: " + holder), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("state: held"), std::string::npos) << text.out;
  ToolRun due = ExplainReadOnly({"--json", "due"});
  const std::string line = Jq(due.out, ".scheduler_lease").at(0);
  EXPECT_EQ(line.rfind("held by " + holder + " (epoch 1) since " + DbTime("granted_at") +
                       " UTC, renewed ", 0),
            0u)
      << line;

  // An orderly end releases it; the report says so and who held it.
  daemon->Send(1);
  int code = -1;
  ASSERT_TRUE(daemon->WaitExit(30s, &code)) << korbtest::DaemonLog();
  ToolRun released = ExplainReadOnly({"--json", "lease"});
  EXPECT_EQ(Jq(released.out, ".lease.state, .lease.holder, .lease.ended_in_order, "
                             ".lease.expired_at"),
            (Lines{"released", holder, "true", DbTime("expires_at")}));
  EXPECT_EQ(Jq(released.out, ".lease | has(\"remaining_ms\")"), Lines{"false"});
}

TEST_F(ExplainLeaseTest, AnInstallationWithoutTheLeaseTableIsToldSo) {
  Exec("rename table korb_scheduler_lease to korb_scheduler_lease_away");
  ToolRun run = Explain({"--json", "lease"});
  Exec("rename table korb_scheduler_lease_away to korb_scheduler_lease");
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(Jq(run.out, ".lease.state"), Lines{"no lease table"});
  ToolRun refused = Explain({"lease", "--customer", "x"});
  EXPECT_EQ(refused.code, 2);
  EXPECT_NE(refused.err.find("lease takes no --customer"), std::string::npos) << refused.err;
}

}  // namespace
