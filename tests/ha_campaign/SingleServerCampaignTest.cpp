// The fault campaign (Campaign.h) against one server: three instances,
// faults of the active (SIGKILL, freezes past the lease and at a fence,
// a freeze shorter than the safety margin, its database port dropped) and
// a restart of the server.
//
//   KORB_CAMPAIGN_ROUNDS  rounds (default 6: one of each fault)
//   KORB_CAMPAIGN_SEED    seed of the fault choice and timing (default: time)
//   KORB_CAMPAIGN_TARGETS systems per schedule (default 1500)
//   KORB_CAMPAIGN_LEASE   korb-lease-duration of the instances (default 3)
// scripts/ha-campaign.sh runs it with many rounds. Normal build only: the
// moments the faults hit depend on the daemon's speed.
#include <thread>

#include "Campaign.h"
#include "TestDatabase.h"
#include "utilLib.h"

namespace {

using campaign::Fault;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitizerBuild = true;
#else
constexpr bool kSanitizerBuild = false;
#endif

class SingleServerCampaignTest : public korbtest::DbTest, public campaign::Backend {
 protected:
  void SetUp() override {
    if (kSanitizerBuild) GTEST_SKIP() << "the fault campaign runs in the normal build only";
    DbTest::SetUp();
  }

  std::string Name() const override { return "single-server"; }
  void Exec(const std::string& sql) override { DbTest::Exec(sql); }
  std::string Scalar(const std::string& sql) override { return DbTest::Scalar(sql); }
  std::string RelayTarget() override { return korbtest::MariaDbServer::Instance().Socket(); }
  void AddInstance(const std::string& name, const std::string& host, int port,
                   const std::string& extra_lines) override {
    DbTest::Exec(Format("create user if not exists korb_%s@localhost", name.c_str()));
    DbTest::Exec(Format("grant all on *.* to korb_%s@localhost", name.c_str()));
    AddOptions("orb_" + name, Format("host=%s\nport=%d\nprotocol=TCP\nuser=korb_%s\n"
                                     "database=orb\n%s",
                                     host.c_str(), port, name.c_str(), extra_lines.c_str()));
  }
  std::string ScratchDir() override { return InstallDir(); }
  std::vector<Fault> Faults() const override {
    return {Fault::kKill,        Fault::kFreeze,    Fault::kFreezeAtFence,
            Fault::kShortFreeze, Fault::kPartition, Fault::kDatabaseRestart};
  }
  void DatabaseFault(Fault, const std::string&, std::mt19937& random) override {
    korbtest::MariaDbServer::Instance().Stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(200 + random() % 1500));
    korbtest::MariaDbServer::Instance().Start();
  }
};

TEST_F(SingleServerCampaignTest, NoDoubleNoLossNoStaleCommit) {
  campaign::Campaign run(*this, campaign::SettingsFromEnvironment(6));
  EXPECT_EQ(run.Run(), 0);
}

}  // namespace
