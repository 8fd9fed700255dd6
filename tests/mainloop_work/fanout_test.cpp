// The three per-customer forms on an MSP server: whom each one serves,
// with which database and site, and how unusable customers are skipped.
#include <set>
#include <utility>

#include "CustomerFanOut.h"
#include "ModuleSignalling.h"
#include "WorkTest.h"

namespace korbtest {
namespace {

using Served = std::set<std::pair<std::string, int>>;

class FanOutTest : public WorkTest {
 protected:
  // Customers of every kind; those with a database have a due job whose
  // signal goes to a listener of their own.
  void AddCustomers(int addOnSelector) {
    StartProcess(true, addOnSelector);
    AddCustomer({.id = 1, .siteId = 11, .dsn = "", .database = ""});  // no names
    AddCustomer({.id = 2, .siteId = 12, .dsn = "dsn_a", .database = "cust_a"});
    AddCustomer({.id = 3, .siteId = 13, .virtualProbe = false, .dsn = "dsn_b", .database = "cust_b"});
    AddCustomer({.id = 4, .siteId = 14, .status = 1, .dsn = "dsn_x", .database = ""});
    AddCustomer({.id = 5, .siteId = 15, .addOnId = 3, .dsn = "dsn_d", .database = "cust_d"});
    AddCustomer({.id = 6, .siteId = 16, .dsn = "dsn_gone", .database = ""});
    AddUnreachableDsn("dsn_gone");  // its server cannot be reached
    Exec("UPDATE customermaster SET DBName = 'cust_gone' WHERE CustomerID = 6");
    const std::pair<const char*, UdpListener*> due[] = {
        {"cust_a", &a_}, {"cust_b", &b_}, {"cust_d", &d_}};
    for (const auto& [db, listener] : due) {
      AddTarget(1, listener->Port(), 1, 3, 33, db);
      Exec("INSERT INTO jobtypemaster (JobTypeID) VALUES (100);"
           "INSERT INTO jobdetails (JobTypeID, ScheduleTime) VALUES (100, NOW() - INTERVAL 1 MINUTE);"
           "INSERT INTO probescheduledetail (ProbeID, TaskTypeID, TaskCategoryID, ProbeSchedulerID) "
           "VALUES (1, 3, 1, 1)",
           db);
    }
  }

  // Customers served by each form.
  Served VirtualProbeForm() {
    Served served;
    ForEachVirtualProbeCustomer([&](CDBI& db) { served.insert({db.DatabaseName(), db.m_nSiteID}); });
    return served;
  }
  Served JobPopulateForm() {
    Served served;
    ForEachJobPopulateCustomer([&](CDBI& db) { served.insert({db.DatabaseName(), db.m_nSiteID}); });
    return served;
  }
  std::set<std::string> ProcedureForm() {
    MSPDynamicQueryExecution("call Postpatchdeploy();");
    std::set<std::string> served;
    for (const char* db : {"cust_a", "cust_b", "cust_d"}) {
      if (!ProcedureCalls("", db).empty()) served.insert(db);
    }
    EXPECT_EQ(ProcedureCalls(), Texts{});
    return served;
  }
  std::vector<size_t> SignallingForm() {
    SignallingRelatedMSPModules();
    std::vector<size_t> signals;
    for (UdpListener* l : {&a_, &b_, &d_}) signals.push_back(l->Drain(std::chrono::milliseconds(100)).size());
    return signals;
  }
  // Lines about customer id at any level.
  int Mentions(int id) {
    int count = 0;
    for (int level : {2, 8, 16}) {
      for (const std::string& line : Logged(level)) {
        const std::string padded = line + " ";
        count += padded.find(Format("ustomerId = %d ", id)) != std::string::npos ||
                 padded.find(Format("CustomerID %d ", id)) != std::string::npos;
      }
    }
    return count;
  }
  int NotConnected(int id) {
    return CountLogged(2, Format("The database of customerId = %d could not be connected so "
                                 "continuing with the next customer", id));
  }

  UdpListener a_, b_, d_;
};

TEST_F(FanOutTest, PlainCustomersAreServedAndUnusableOnesSkippedWithOneLine) {
  AddCustomers(0);

  EXPECT_EQ(VirtualProbeForm(), (Served{{"cust_a", 12}}));
  EXPECT_EQ(CountLogged(2, "Unable to get the DSN name for the customer so continueing with next customer"), 1);
  EXPECT_EQ(NotConnected(6), 1);
  // The same customers; the site stays as the object was made.
  EXPECT_EQ(JobPopulateForm(), (Served{{"cust_a", 1}}));
  // Customers without a virtual probe too; a failed lookup never reuses
  // the previous customer's names (each database got exactly one call).
  EXPECT_EQ(ProcedureForm(), (std::set<std::string>{"cust_a", "cust_b"}));
  EXPECT_EQ(ProcedureCalls("", "cust_a"), Texts{"Postpatchdeploy()"});
  EXPECT_EQ(CountLogged(2, "MSPDynamicQueryExecution: unable to get the DSN name of customerId = 1 "
                           "so continuing with the next customer"), 1);
  EXPECT_EQ(SignallingForm(), (std::vector<size_t>{1, 1, 0}));
  EXPECT_EQ(CountLogged(16, "SignallingRelatedModules - START "), 2);
  EXPECT_EQ(CountLogged(2, "No database names for CustomerID 1 so it is not signalled"), 1);
  // Customer 6 is logged once per pass; inactive and add-on customers never.
  EXPECT_EQ(NotConnected(6), 4);
  EXPECT_EQ(Mentions(4) + Mentions(5), 0);
}

TEST_F(FanOutTest, SelectorFiveServesOnlyAddOnCustomers) {
  AddCustomers(5);
  EXPECT_EQ(VirtualProbeForm(), (Served{{"cust_d", 15}}));
  EXPECT_EQ(JobPopulateForm(), (Served{{"cust_d", 1}}));
  EXPECT_EQ(ProcedureForm(), std::set<std::string>{"cust_d"});
  EXPECT_EQ(SignallingForm(), (std::vector<size_t>{0, 0, 1}));
  EXPECT_EQ(Logged(2), Texts{});
}

}  // namespace
}  // namespace korbtest
