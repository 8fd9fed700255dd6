// A server that stops answering without closing the connection: the
// server sits behind a TCP relay in a network namespace of the test's own,
// whose port is then made silent (packets dropped both ways). Kept
// sessions fail their check within its bound and back their customer off;
// a statement under way is ended by the keepalives within 30 s, while a
// slower statement on a live link completes.
#include <atomic>
#include <chrono>
#include <thread>

#include "DbiFixture.h"
#include "NetworkNamespace.h"

namespace {

using Clock = std::chrono::steady_clock;
using korbtest::MariaDbServer;
using korbtest::NetworkNamespace;
using korbtest::TcpRelay;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class SilentServer : public DbiTest {
 protected:
  void SetUp() override {
    DbiTest::SetUp();
    ns_ = std::make_unique<NetworkNamespace>();
    relay_ = std::make_unique<TcpRelay>(*ns_, MariaDbServer::Instance().Socket());
  }
  void TearDown() override {
    relay_.reset();
    ns_.reset();
    DbiTest::TearDown();
  }
  // A customer group "cust" on orb, reached through the relay.
  void AddRelayedGroup(const std::string& dsn, TcpRelay& relay) {
    AddOptions(dsn, "socket=" + MariaDbServer::Instance().Socket() + "\nuser=root\ndatabase=orb\n");
    RouteOverTcp(dsn, relay.Host(), relay.Port());
  }

  std::unique_ptr<NetworkNamespace> ns_;
  std::unique_ptr<TcpRelay> relay_;
};

TEST_F(SilentServer, KeptSessionThatGetsNoAnswerCostsOneCheckAndIsBackedOff) {
  AddRelayedGroup("cust", *relay_);
  {
    CDBI first(logger_.get(), "cust", "orb");
    ASSERT_TRUE(first.m_bReady) << ns_->Log();
    ASSERT_EQ(0, first.executeSQL("do 1"));
  }  // its session is kept for the next object

  relay_->Partition();
  auto start = Clock::now();
  {
    CDBI silent(logger_.get(), "cust", "orb");
    EXPECT_FALSE(silent.m_bReady);
    EXPECT_EQ(-1, silent.executeSQL("do 1"));
  }
  const double check = SecondsSince(start);
  EXPECT_GE(check, 4.0);
  EXPECT_LE(check, 8.0);

  // Within the back-off nobody waits for it again.
  start = Clock::now();
  for (int i = 0; i < 5; ++i) {
    CDBI skipped(logger_.get(), "cust", "orb");
    EXPECT_FALSE(skipped.m_bReady);
  }
  EXPECT_LT(SecondsSince(start), 1.0);

  // Once the link answers again, the retry off the callers' threads brings
  // a session back.
  relay_->Heal();
  EXPECT_TRUE(korbtest::WaitFor(
      [&] {
        CDBI again(logger_.get(), "cust", "orb");
        return again.m_bReady.load();
      },
      std::chrono::seconds(40)));
}

TEST_F(SilentServer, SlowStatementOnALiveLinkCompletesAndASilentOneEndsWithin30s) {
  TcpRelay silent_relay(*ns_, MariaDbServer::Instance().Socket());
  AddRelayedGroup("live", *relay_);
  AddRelayedGroup("cut", silent_relay);
  CDBI live(logger_.get(), "live", "orb");
  CDBI cut(logger_.get(), "cut", "orb");
  ASSERT_TRUE(live.m_bReady);
  ASSERT_TRUE(cut.m_bReady);

  // Longer than the keepalive's dead-peer bound: a peer that acknowledges
  // its probes is alive however long the statement takes.
  std::string slow;
  std::thread slow_statement(
      [&] { EXPECT_EQ(1, live.getValueFromQuery("select sleep(35) as outputvalue", slow)); });

  std::atomic<bool> started{false};
  double lost_after = 0;
  std::thread cut_statement([&] {
    started = true;
    const auto start = Clock::now();
    std::string value;
    EXPECT_EQ(-1, cut.getValueFromQuery("select sleep(120) as outputvalue", value));
    lost_after = SecondsSince(start);
  });
  ASSERT_TRUE(korbtest::WaitFor([&] {
    return started && Count("select count(*) from information_schema.processlist "
                            "where info = 'select sleep(120) as outputvalue'") == 1;
  }, std::chrono::seconds(10)));
  silent_relay.Partition();
  cut_statement.join();
  slow_statement.join();
  EXPECT_EQ("0", slow);
  EXPECT_GE(lost_after, 10.0);
  EXPECT_LE(lost_after, 40.0);
  // The silent customer is given up on for this object: no reconnect in
  // line, later statements fail at once.
  EXPECT_TRUE(cut.m_bConnectionError);
  const auto start = Clock::now();
  EXPECT_EQ(-1, cut.executeSQL("do 1"));
  EXPECT_LT(SecondsSince(start), 1.0);
  EXPECT_EQ(1, LogLines("DSN 'cut' (database 'orb') stopped answering"));
  EXPECT_FALSE(live.m_bConnectionError);
  EXPECT_EQ(0, live.executeSQL("do 1"));
  // The server's side of the cut session still runs its sleep; end it so
  // the next test's set-up does not wait for it.
  const std::string id = Scalar("select id from information_schema.processlist "
                                "where info = 'select sleep(120) as outputvalue'");
  if (!id.empty()) Exec("kill query " + id);
}

}  // namespace
