// Customers served and skipped by reason, and the pass duration, for one
// pass of the per-customer fan-out on an MSP server.
#include "../mainloop_work/WorkTest.h"
#include "CustomerFanOut.h"
#include "MetricsTest.h"
#include "ModuleSignalling.h"
#include "scheduler_metrics.h"

#include <thread>

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
  SeriesDelta passes("korb_msp_fanout_duration_seconds_count{kind=\"other\"}");

  int worked = 0;
  EXPECT_EQ(ForEachVirtualProbeCustomer([&](CDBI&) { ++worked; }), 1);
  EXPECT_EQ(worked, 1);
  EXPECT_EQ(served.Get(), 1);
  EXPECT_EQ(no_names.Get(), 1);
  EXPECT_EQ(not_connected.Get(), 1);
  EXPECT_EQ(passes.Get(), 1);
}

// Event 17's signalling counts its customers, and each pass is labelled
// with what ran it; the pool's busy workers are back to 0 after the pass.
TEST_F(FanOutCountTest, SignallingPassesCountCustomersUnderTheirKind) {
  StartProcess(true);
  AddCustomer({.id = 2, .siteId = 12, .dsn = "dsn_a", .database = "cust_a"});
  AddCustomer({.id = 3, .siteId = 13, .dsn = "dsn_b", .database = "cust_b"});
  SeriesDelta served("korb_msp_customers_served_total");
  SeriesDelta event17("korb_msp_fanout_duration_seconds_count{kind=\"17\"}");
  SeriesDelta thread("korb_msp_fanout_duration_seconds_count{kind=\"PerformPatchJobs\"}");
  {
    metrics::EventRun run(17);
    SignallingRelatedMSPModules();
  }
  EXPECT_EQ(served.Get(), 2);
  EXPECT_EQ(event17.Get(), 1);
  std::thread([] {
    metrics::SetFanOutKind("PerformPatchJobs");
    ForEachVirtualProbeCustomer([](CDBI&) {});
  }).join();
  EXPECT_EQ(thread.Get(), 1);
  EXPECT_EQ(served.Get(), 4);
  EXPECT_EQ(SeriesValue(ScrapeSelf(), "korb_msp_fanout_workers_busy"), 0);
}

}  // namespace
}  // namespace metricstest
