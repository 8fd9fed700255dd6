// The main database cut off without a word in the middle of a posting:
// its packets are dropped in a network namespace of the test's own, in
// front of a TCP relay to the server. The posting stops, the loss is found
// by the keepalives and the reconnect window, and the process ends within
// a minute; the next start completes the posting without a second open
// job for any target.
#include <chrono>

#include "NetworkNamespace.h"
#include "PostingEndTest.h"

namespace spinetest {
namespace {

using korbtest::CountInLog;
using korbtest::DaemonLog;
using korbtest::DaemonProcess;

constexpr int kTargets = 400;

class PartitionDuringPostingTest : public PostingEndTest {
 protected:
  void SetUp() override {
    PostingEndTest::SetUp();
    ns_ = std::make_unique<korbtest::NetworkNamespace>();
    relay_ = std::make_unique<korbtest::TcpRelay>(*ns_, korbtest::MariaDbServer::Instance().Socket());
  }
  void TearDown() override {
    relay_.reset();
    ns_.reset();
    PostingEndTest::TearDown();
  }
  std::unique_ptr<korbtest::NetworkNamespace> ns_;
  std::unique_ptr<korbtest::TcpRelay> relay_;
};

TEST_F(PartitionDuringPostingTest, SilentMainDatabaseEndsTheProcessAndTheNextStartCompletes) {
  AddSystems(kTargets);
  AddListedScanSchedule(kTargets);
  // The test's own statements keep using the socket; the daemon's go
  // through the relay.
  RouteOverTcp("orb", relay_->Host(), relay_->Port());
  // Each job row takes a moment, so the cut comes in the middle.
  Exec("create trigger slow_job before insert on jobdetails for each row do sleep(0.02)");

  {
    DaemonProcess daemon;
    ASSERT_TRUE(WaitForJobs(kScanSchedule, 20)) << DaemonLog();
    relay_->Partition();
    const auto cut = std::chrono::steady_clock::now();
    int code = -1;
    ASSERT_TRUE(daemon.WaitExit(std::chrono::seconds(60), &code)) << DaemonLog();
    const auto took = std::chrono::steady_clock::now() - cut;
    std::printf("[ measured ] silent main database to process end: %.1f s\n",
                std::chrono::duration<double>(took).count());
    EXPECT_EQ(code, 0);
  }
  EXPECT_EQ(CountInLog("Encountered the DB connection error!!!"), 1) << DaemonLog();
  EXPECT_EQ(CountInLog("Reconnecting to DSN 'orb' failed"), 1);
  const long posted = Jobs(kScanSchedule, "Status = 0");
  EXPECT_LT(posted, kTargets);
  EXPECT_FALSE(Submitted(kScanSchedule));

  relay_->Heal();
  WaitForOrphanedStatements();
  Exec("drop trigger slow_job");
  DaemonProcess daemon;
  ExpectRunning(daemon);
  ASSERT_TRUE(korbtest::WaitFor([&] { return Submitted(kScanSchedule); }, kStartTimeout))
      << DaemonLog();
  EXPECT_EQ(Jobs(kScanSchedule, "Status = 0"), kTargets);
  EXPECT_EQ(SystemsWithTwoOpenJobs(kScanSchedule), 0);
}

}  // namespace
}  // namespace spinetest
