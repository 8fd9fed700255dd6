// The three per-customer forms on an MSP server: whom each one serves,
// with which database and site, and how unusable customers are skipped.
#include <algorithm>
#include <fstream>
#include <set>
#include <utility>

#include "CustomerFanOut.h"
#include "ModuleSignalling.h"
#include "WorkTest.h"

namespace korbtest {
namespace {

using Served = std::set<std::pair<std::string, int>>;

Texts Sorted(Texts texts) {
  std::sort(texts.begin(), texts.end());
  return texts;
}

class FanOutTest : public WorkTest {
 protected:
  // Customers of every kind; those with a database have a due job whose
  // signal goes to a listener of their own.
  void AddCustomers(int addOnSelector) {
    StartProcess(true, addOnSelector);
    AddCustomer({.id = 1, .siteId = 11});  // no names
    AddCustomer({.id = 2, .siteId = 12, .dsn = "dsn_a", .database = "cust_a"});
    AddCustomer({.id = 3, .siteId = 13, .virtualProbe = false, .dsn = "dsn_b", .database = "cust_b"});
    AddCustomer({.id = 4, .siteId = 14, .status = 1, .dsn = "dsn_x"});
    AddCustomer({.id = 5, .siteId = 15, .addOnId = 3, .dsn = "dsn_d", .database = "cust_d"});
    AddCustomer({.id = 6, .siteId = 16, .dsn = "dsn_gone"});
    AddUnreachableDsn("dsn_gone");  // its server cannot be reached
    Exec("UPDATE customermaster SET DBName = 'cust_gone' WHERE CustomerID = 6");
    for (const auto& [db, listener] : {std::pair{"cust_a", &a_}, {"cust_b", &b_}, {"cust_d", &d_}}) {
      AddTarget(1, listener->Port(), 1, 3, 33, db);
      Exec("INSERT INTO jobtypemaster (JobTypeID) VALUES (100);"
           "INSERT INTO jobdetails (JobTypeID, ScheduleTime) VALUES (100, NOW() - INTERVAL 1 MINUTE);"
           "INSERT INTO probescheduledetail (ProbeID, TaskTypeID, TaskCategoryID, ProbeSchedulerID) "
           "VALUES (1, 3, 1, 1)",
           db);
    }
  }

  // Customers served by the virtual-probe and the job-populate forms.
  Served CustomerForms() {
    Served served;
    ForEachVirtualProbeCustomer([&](CDBI& db) { served.insert({db.DatabaseName(), db.m_nSiteID}); });
    ForEachJobPopulateCustomer([&](CDBI& db) { served.insert({db.DatabaseName(), -db.m_nSiteID}); });
    return served;
  }
  // For customer databases a, b and d: calls of the procedure form and
  // signals of the signalling form ("1/1": one of each). The main database
  // gets no call.
  Texts OtherForms() {
    MSPDynamicQueryExecution("call Postpatchdeploy();");
    SignallingRelatedMSPModules();
    EXPECT_EQ(ProcedureCalls(), Texts{});
    Texts served;
    for (const auto& [db, listener] : {std::pair{"cust_a", &a_}, {"cust_b", &b_}, {"cust_d", &d_}}) {
      served.push_back(Format("%zu/%zu", ProcedureCalls("", db).size(),
                              listener->Drain(std::chrono::milliseconds(100)).size()));
    }
    return served;
  }

  UdpListener a_, b_, d_;
};

TEST_F(FanOutTest, PlainCustomersAreServedAndUnusableOnesSkippedWithOneLine) {
  AddCustomers(0);
  // The job-populate form (negated site) keeps the site the object was made with.
  EXPECT_EQ(CustomerForms(), (Served{{"cust_a", 12}, {"cust_a", -1}}));
  // Customers without a virtual probe too; a failed lookup never reuses
  // the previous customer's names.
  EXPECT_EQ(OtherForms(), (Texts{"1/1", "1/1", "0/0"}));
  // One line per skipped customer and pass; the inactive customer 4 and
  // the add-on customer 5 are never looked at. The pooled forms serve
  // their customers side by side, so the lines of one pass come in any
  // order.
  const std::string gone = "The database of customerId = 6 could not be connected so continuing "
                           "with the next customer";
  Texts logged = Logged(2);
  std::sort(logged.begin(), logged.end());
  EXPECT_EQ(logged,
            Sorted(Texts{"Unable to get the DSN name for the customer so continueing with next customer", gone,
                   "Unable to get the DSN name for the customer so continueing with next customer", gone,
                   "MSPDynamicQueryExecution: unable to get the DSN name of customerId = 1 so "
                   "continuing with the next customer", gone,
                   "No database names for CustomerID 1 so it is not signalled", gone}));
}

TEST_F(FanOutTest, SelectorFiveServesOnlyAddOnCustomers) {
  AddCustomers(5);
  EXPECT_EQ(CustomerForms(), (Served{{"cust_d", 15}, {"cust_d", -1}}));
  EXPECT_EQ(OtherForms(), (Texts{"0/0", "0/0", "1/1"}));
  EXPECT_EQ(Logged(2), Texts{});
}

TEST_F(FanOutTest, RepeatedPassesHoldBackAnUnreachableCustomerAndItsLines) {
  StartProcess(true, 0);
  AddCustomer({.id = 21, .siteId = 21, .dsn = "dsn_ok", .database = "cust_ok"});
  AddCustomer({.id = 22, .siteId = 22});  // no names
  AddCustomer({.id = 23, .siteId = 23, .dsn = "dsn_down"});
  AddUnreachableDsn("dsn_down");
  Exec("UPDATE customermaster SET DBName = 'cust_down' WHERE CustomerID = 23");
  constexpr int kPasses = 30;
  int served = 0;
  for (int pass = 0; pass < kPasses; ++pass)
    served += ForEachVirtualProbeCustomer([](CDBI& db) { db.executeSQL("do 1"); });
  EXPECT_EQ(kPasses, served);
  // The unreachable customer was tried once; the passes within its
  // back-off skipped it without trying.
  std::ifstream in(InstallDir() + "/ConsoleManagement/log/KORB_ProbeScheduler.log");
  int connects = 0;
  for (std::string line; std::getline(in, line);)
    connects += line.find("Connecting to DSN 'dsn_down'") != std::string::npos;
  EXPECT_EQ(1, connects);
  // A few skip lines of each kind, not one per pass.
  const int unnamed = CountLogged(2, "Unable to get the DSN name for the customer so continueing "
                                     "with next customer");
  const int down = CountLogged(2, "The database of customerId = 23 could not be connected so "
                                  "continuing with the next customer");
  EXPECT_GE(unnamed, 1);
  EXPECT_LE(unnamed, 6);
  EXPECT_GE(down, 1);
  EXPECT_LE(down, 6);
  // The reachable customer's passes shared one session.
  EXPECT_EQ(1, Count("select * from information_schema.processlist where db = 'cust_ok'"));
  CDBI::CloseIdleSessions();
}

}  // namespace
}  // namespace korbtest
