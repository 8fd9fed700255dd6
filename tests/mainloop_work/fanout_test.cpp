// The three per-customer forms on an MSP server: which customers each one
// serves, with which database and site, and how unusable customers are
// skipped.
#include <set>
#include <utility>

#include "CustomerFanOut.h"
#include "ModuleSignalling.h"
#include "ProcessState.h"
#include "WorkTest.h"

namespace korbtest {
namespace {

using std::chrono::milliseconds;
using Calls = std::vector<std::string>;
using Served = std::set<std::pair<std::string, int>>;

constexpr char kDsnLookupFailed[] =
    "Unable to get the DSN name for the customer so continueing with next customer";
constexpr char kDbNameLookupFailed[] =
    "Unable to get the Database name for the customer so continueing with the next customer";
constexpr char kCustomer6NotConnected[] =
    "The database of customerId = 6 could not be connected so continuing with the next customer";
constexpr char kPostPatchDeployCall[] = "call Postpatchdeploy();";

class FanOutTest : public WorkTest {
 protected:
  // Customers of every kind; the ones with a database get a due job whose
  // signal goes to a listener of their own.
  void AddCustomers(int addOnSelector) {
    Identity msp;
    msp.msp_flag = 1;
    msp.addon_selector = addOnSelector;
    StartProcess(msp);
    AddCustomer({.id = 1, .siteId = 11, .dsn = "", .database = ""});  // no DSN name
    AddCustomer({.id = 2, .siteId = 12, .dsn = "dsn_a", .database = "cust_a"});
    AddCustomer({.id = 3, .siteId = 13, .virtualProbe = false, .dsn = "dsn_b",
                 .database = "cust_b"});
    AddCustomer({.id = 4, .siteId = 14, .status = 1, .dsn = "dsn_inactive", .database = ""});
    AddCustomer({.id = 5, .siteId = 15, .addOnId = 3, .dsn = "dsn_d", .database = "cust_d"});
    AddUnreachableDsn("dsn_gone");
    Exec("INSERT INTO customermaster (CustomerID, DSNName, DBName, CustomerStatus, AddOnID) "
         "VALUES (6, 'dsn_gone', 'cust_gone', 0, 0), (7, 'dsn_a', NULL, 0, 0);"
         "INSERT INTO customerdetails (CustomerID, SiteID, IsVirtualProbe) VALUES (6, 16, 1), "
         "(7, 17, 1)");
    SeedDueJob("cust_a", listenerA_.Port());
    SeedDueJob("cust_b", listenerB_.Port());
    SeedDueJob("cust_d", listenerD_.Port());
  }

  void SeedDueJob(const std::string& db, int port) {
    AddProbe(1, 1, 1, db);
    AddProcess(1, 1, port, db);
    AddTask(1, 3, 7, 33, 1, db);
    Exec("INSERT INTO jobtypemaster (JobTypeID, IsSignalRequiredForJob) VALUES (100, 1);"
         "INSERT INTO jobdetails (JobID, JobTypeID, ScheduleTime, Status) "
         "VALUES (1, 100, NOW() - INTERVAL 1 MINUTE, 0);"
         "INSERT INTO probescheduledetail (ProbeID, TaskTypeID, TaskCategoryID, "
         "ProbeSchedulerID) VALUES (1, 3, 7, 1)",
         db);
  }

  Served VirtualProbeCustomers() {
    Served served;
    const int count = ForEachVirtualProbeCustomer(
        [&served](CDBI& db) { served.insert({db.DatabaseName(), db.m_nSiteID}); });
    EXPECT_EQ(count, static_cast<int>(served.size()));
    return served;
  }

  Served JobPopulateCustomers() {
    Served served;
    ForEachJobPopulateCustomer(
        [&served](CDBI& db) { served.insert({db.DatabaseName(), db.m_nSiteID}); });
    return served;
  }

  size_t Signals(UdpListener& listener) { return listener.Drain(milliseconds(100)).size(); }

  UdpListener listenerA_;
  UdpListener listenerB_;
  UdpListener listenerD_;
};

TEST_F(FanOutTest, PlainCustomersAreServedAndUnusableOnesSkippedOnce) {
  AddCustomers(0);

  // Virtual-probe form: only customer 2 is active, plain, with a virtual
  // probe and usable names and connection; it gets its own site.
  EXPECT_EQ(VirtualProbeCustomers(), (Served{{"cust_a", 12}}));
  EXPECT_EQ(CountLogged(2, kDsnLookupFailed), 1);
  EXPECT_EQ(CountLogged(2, kDbNameLookupFailed), 1);
  EXPECT_EQ(CountLogged(2, kCustomer6NotConnected), 1);
  for (int id : {2, 6}) {
    EXPECT_EQ(CountLogged(8, "Creating the connection to the database of customerId = " +
                                 std::to_string(id)), 1);
  }
  for (int id : {1, 3, 4, 5, 7}) {
    EXPECT_EQ(CountLogged(8, "Creating the connection to the database of customerId = " +
                                 std::to_string(id)), 0);
  }

  // Job-populate form: the same customers, site left as constructed.
  EXPECT_EQ(JobPopulateCustomers(), (Served{{"cust_a", 1}}));
  EXPECT_EQ(CountLogged(2, kCustomer6NotConnected), 2);

  // Procedure form: customers without a virtual probe too; a failed name
  // lookup never falls back to the previous customer's names.
  MSPDynamicQueryExecution(kPostPatchDeployCall);
  EXPECT_EQ(ProcedureCalls("", "cust_a"), Calls{"Postpatchdeploy()"});
  EXPECT_EQ(ProcedureCalls("", "cust_b"), Calls{"Postpatchdeploy()"});
  EXPECT_EQ(ProcedureCalls("", "cust_d"), Calls{});
  EXPECT_EQ(ProcedureCalls(), Calls{});
  EXPECT_EQ(CountLogged(2, "MSPDynamicQueryExecution: unable to get the DSN name of "
                           "customerId = 1 so continuing with the next customer"), 1);
  EXPECT_EQ(CountLogged(2, "MSPDynamicQueryExecution: unable to get the Database name of "
                           "customerId = 7 so continuing with the next customer"), 1);
  EXPECT_EQ(CountLogged(2, kCustomer6NotConnected), 3);

  // Signalling form: the same customers as the procedure form.
  SignallingRelatedMSPModules();
  EXPECT_EQ(Signals(listenerA_), 1u);
  EXPECT_EQ(Signals(listenerB_), 1u);
  EXPECT_EQ(Signals(listenerD_), 0u);
  EXPECT_EQ(CountLogged(16, "SignallingRelatedModules - START "), 2);
  EXPECT_EQ(CountLogged(16, "SignallingRelatedModules - END "), 2);
  EXPECT_EQ(CountLogged(16, "SignallingRelatedMSPModules - EXIT "), 1);
  EXPECT_EQ(CountLogged(2, kCustomer6NotConnected), 4);
  EXPECT_EQ(CountLogged(2, "No database names for CustomerID 1 so it is not signalled"), 1);
  EXPECT_EQ(CountLogged(2, "No database names for CustomerID 7 so it is not signalled"), 1);
  // No customer of another kind was ever opened.
  for (int id : {4, 5}) {
    EXPECT_EQ(CountLogged(2, "The database of customerId = " + std::to_string(id) +
                                 " could not be connected so continuing with the next customer"),
              0);
  }
}

TEST_F(FanOutTest, SelectorFiveServesOnlyAddOnCustomers) {
  AddCustomers(5);

  EXPECT_EQ(VirtualProbeCustomers(), (Served{{"cust_d", 15}}));
  EXPECT_EQ(JobPopulateCustomers(), (Served{{"cust_d", 1}}));
  MSPDynamicQueryExecution(kPostPatchDeployCall);
  EXPECT_EQ(ProcedureCalls("", "cust_d"), Calls{"Postpatchdeploy()"});
  EXPECT_EQ(ProcedureCalls("", "cust_a"), Calls{});
  EXPECT_EQ(ProcedureCalls("", "cust_b"), Calls{});
  SignallingRelatedMSPModules();
  EXPECT_EQ(Signals(listenerD_), 1u);
  EXPECT_EQ(Signals(listenerA_), 0u);
  EXPECT_EQ(Signals(listenerB_), 0u);
  // Nothing about the plain customers was logged.
  EXPECT_EQ(CountLogged(2, kDsnLookupFailed), 0);
}

TEST_F(FanOutTest, WithoutCustomersNothingIsOpened) {
  Identity msp;
  msp.msp_flag = 1;
  StartProcess(msp);

  EXPECT_EQ(VirtualProbeCustomers(), Served{});
  MSPDynamicQueryExecution(kPostPatchDeployCall);
  SignallingRelatedMSPModules();
  EXPECT_EQ(LogBetween("SignallingRelatedMSPModules - START ",
                       "SignallingRelatedMSPModules - EXIT "),
            Calls{});
  EXPECT_EQ(LogTexts(2), Calls{});
  EXPECT_EQ(ProcedureCalls(), Calls{});
}

}  // namespace
}  // namespace korbtest
