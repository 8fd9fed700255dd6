// One customer of an MSP server cut off without a word (its server sits
// behind a TCP relay in a network namespace of the test's own, whose port
// then drops every packet): the pass that meets the silence waits for it
// once, within the check bound; later passes skip it without waiting; the
// other customers are served in every pass, and the customer comes back
// once its link does.
#include <chrono>
#include <cstdio>
#include <set>

#include "CustomerFanOut.h"
#include "NetworkNamespace.h"
#include "WorkTest.h"

namespace korbtest {
namespace {

using Clock = std::chrono::steady_clock;

class SilentCustomerTest : public WorkTest {
 protected:
  void TearDown() override {
    relay_.reset();
    ns_.reset();
    CDBI::CloseIdleSessions();
    WorkTest::TearDown();
  }
  // Databases served in one virtual-probe pass, and how long it took.
  std::set<std::string> Pass(double* seconds) {
    std::set<std::string> served;
    const auto start = Clock::now();
    ForEachVirtualProbeCustomer([&](CDBI& db) {
      if (db.executeSQL("do 1") == 0) served.insert(db.DatabaseName());
    });
    *seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return served;
  }

  std::unique_ptr<NetworkNamespace> ns_;
  std::unique_ptr<TcpRelay> relay_;
};

TEST_F(SilentCustomerTest, SilentCustomerCostsOnePassTheCheckBoundAndIsSkippedAfterwards) {
  StartProcess(true, 0);
  AddCustomer({.id = 31, .siteId = 31, .dsn = "dsn_one", .database = "cust_one"});
  AddCustomer({.id = 32, .siteId = 32, .dsn = "dsn_far", .database = "cust_far"});
  AddCustomer({.id = 33, .siteId = 33, .dsn = "dsn_two", .database = "cust_two"});
  ns_ = std::make_unique<NetworkNamespace>();
  relay_ = std::make_unique<TcpRelay>(*ns_, MariaDbServer::Instance().Socket());
  RouteOverTcp("dsn_far", relay_->Host(), relay_->Port());
  const std::set<std::string> all{"cust_one", "cust_far", "cust_two"};
  const std::set<std::string> near{"cust_one", "cust_two"};

  double seconds = 0;
  ASSERT_EQ(Pass(&seconds), all) << ns_->Log();

  relay_->Partition();
  EXPECT_EQ(Pass(&seconds), near);
  std::printf("[ measured ] pass that met the silent customer: %.1f s\n", seconds);
  EXPECT_GE(seconds, 4.0);
  EXPECT_LE(seconds, 8.0);
  for (int pass = 0; pass < 3; ++pass) {
    EXPECT_EQ(Pass(&seconds), near);
    EXPECT_LT(seconds, 1.0) << "pass " << pass;
  }
  EXPECT_GE(CountLogged(2, "The database of customerId = 32 could not be connected so "
                           "continuing with the next customer"),
            1);

  relay_->Heal();
  EXPECT_TRUE(WaitFor([&] { return Pass(&seconds) == all; }, std::chrono::seconds(60)));
}

}  // namespace
}  // namespace korbtest
