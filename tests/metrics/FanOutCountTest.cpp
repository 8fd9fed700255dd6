// Customers served and skipped by reason, and the pass duration, for one
// pass of the per-customer fan-out on an MSP server.
#include "../mainloop_work/WorkTest.h"
#include "CustomerFanOut.h"
#include "MetricsTest.h"

namespace metricstest {
namespace {

using FanOutCountTest = korbtest::WorkTest;

std::string Skipped(const char* reason) {
  return std::string("korb_msp_customers_skipped_total{reason=\"") + reason + "\"}";
}

TEST_F(FanOutCountTest, ServedAndSkippedCustomersOfOnePass) {
  StartProcess(true);
  AddCustomer({.id = 1, .siteId = 11});  // no names
  AddCustomer({.id = 2, .siteId = 12, .dsn = "dsn_a", .database = "cust_a"});
  AddCustomer({.id = 3, .siteId = 13, .dsn = "dsn_gone"});
  AddUnreachableDsn("dsn_gone");
  Exec("UPDATE customermaster SET DBName = 'cust_gone' WHERE CustomerID = 3");
  SeriesDelta served("korb_msp_customers_served_total");
  SeriesDelta no_names(Skipped("no_names")), not_connected(Skipped("not_connected"));
  SeriesDelta passes("korb_msp_fanout_duration_seconds_count");

  int worked = 0;
  EXPECT_EQ(ForEachVirtualProbeCustomer([&](CDBI&) { ++worked; }), 1);
  EXPECT_EQ(worked, 1);
  EXPECT_EQ(served.Get(), 1);
  EXPECT_EQ(no_names.Get(), 1);
  EXPECT_EQ(not_connected.Get(), 1);
  EXPECT_EQ(passes.Get(), 1);
}

}  // namespace
}  // namespace metricstest
