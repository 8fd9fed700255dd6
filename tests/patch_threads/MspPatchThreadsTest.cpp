// The patch job threads on an MSP server: one pass per customer database.
#include "PatchThreadTest.h"

namespace patchtest {
namespace {

const char kWaiting[] = "Waiting for event!!!";
const char kPassEnd[] = "InternalDeployJobPoster: WaitTimeout";

class MspPatchThreadsTest : public PatchThreadTest {
 protected:
  void SetUp() override {
    PatchThreadTest::SetUp();
    korbtest::Identity identity;
    identity.msp_flag = 1;
    SetMainIdentity(identity);
    delete db_;
    db_ = g_pDBI = new CDBI(logger_, "orb", "orb");
    ASSERT_NE(db_->m_nMSPFlag, 0);
  }
  // A customer of the main database; dsn is SQL (a quoted name or NULL).
  void AddCustomerRow(int customerId, int siteId, const std::string& dsn,
                      const std::string& database) {
    Exec(Format("INSERT INTO customermaster (CustomerID, CustomerName, "
                "DSNName, DBName, CustomerStatus, AddOnID) VALUES (%d, 'c', "
                "%s, '%s', 0, 0);"
                "INSERT INTO customerdetails (CustomerID, SiteID, "
                "IsVirtualProbe) VALUES (%d, %d, 1)",
                customerId, dsn.c_str(), database.c_str(), customerId,
                siteId));
  }
  // A customer with a database of its own, of that name.
  void AddCustomer(int customerId, int siteId, const std::string& database) {
    CreateCustomerDatabase(database, database);
    InstallNextScheduleAnswers(database);
    AddCustomerRow(customerId, siteId, SqlQuote(database), database);
  }
  // Work for every thread in a customer database: a due recurring CAB
  // schedule, a due on-demand 17017 schedule and an agentless patch ready
  // to deploy.
  void AddWorkFor(const std::string& database, int siteId) {
    SetPatchScanStatus(1, database);
    SetNextScheduleAnswer(11, "2031-02-03 04:05:06|1", database);
    Exec(Format("INSERT INTO jobsmaster (SchedularID, SiteID, "
                "JobScheduledType, ScheduledTime, SchedularInfoID) VALUES "
                "(1, %d, 1, NOW(), 11), (2, %d, 0, NOW() - INTERVAL 1 HOUR, "
                "0);"
                "INSERT INTO jobsmasterdetail (SchedularID, SystemID, "
                "JobTypeID) VALUES (1, 0, 10037), (2, 5, 17017);"
                "INSERT INTO inventorymaster (SystemID, SiteID, isVPNClient) "
                "VALUES (6, %d, 0);"
                "INSERT INTO patch_details (SiteID, PatchID) VALUES (%d, 106);"
                "INSERT INTO patch_jobdetails (SiteID, SystemID, PatchID, "
                "InternalStatus, Time) VALUES (%d, 6, 106, 3, "
                "'2020/01/01 00:00:00')",
                siteId, siteId, siteId, siteId, siteId),
         database);
  }
};

TEST_F(MspPatchThreadsTest, EachCustomerIsServedWithItsOwnSiteId) {
  UseTimeScale(300);  // waits of 1 s and 200 ms, a procedure interval of 3 s
  AddCustomer(1, 21, "cust1");
  AddCustomer(2, 22, "cust2");
  AddWorkFor("cust1", 21);
  AddWorkFor("cust2", 22);
  int64_t started = Clock::MonotonicMicros();
  Start("PerformPatchJobs", PerformPatchJobs);
  Start("PerformOndemandPatchJobs", PerformOndemandPatchJobs);
  Start("InternalDeployJobPoster", InternalDeployJobPoster);

  // The master agent procedure interval is one for all customers: the
  // first one served gets the call, the next call waits for the interval.
  auto calls = [&](const char* db) {
    return ProcedureCalls("MasteragentPatchDownload", db).size();
  };
  ASSERT_TRUE(korbtest::WaitFor(
      [&] {
        return !ProcedureCalls("postpatchinternaldeployjob", "cust2").empty();
      },
      seconds(30)));
  EXPECT_EQ(calls("cust1"), 1u);
  EXPECT_EQ(calls("cust2"), 0u);

  // CAB jobs (the schedule stays due), an on-demand job and an internal
  // deploy job in each customer's database, of that customer's site.
  for (int customer : {1, 2}) {
    const std::string db = "cust" + std::to_string(customer);
    const std::string site = std::to_string(20 + customer);
    const std::string jobs = "SELECT DISTINCT SiteID, SchedularID, JobTypeID "
                             "FROM jobdetails ORDER BY SchedularID";
    ASSERT_TRUE(korbtest::WaitFor([&] { return Count(jobs, db) == 3; },
                                  seconds(30)))
        << db;
    EXPECT_EQ(Query(jobs, db),
              (korbtest::Rows{{site, "0", "10025"},
                              {site, "1", "10037"},
                              {site, "2", "17017"}}));
  }
  EXPECT_EQ(Count("SELECT * FROM procedurecalllog"), 0);

  ASSERT_TRUE(korbtest::WaitFor(
      [&] { return calls("cust1") + calls("cust2") == 2; }, seconds(30)));
  EXPECT_GE(Clock::MonotonicMicros() - started, 2900000);
}

TEST_F(MspPatchThreadsTest, ThreadServesEveryCustomerThenWaitsOnce) {
  AddCustomer(1, 21, "cust1");
  AddCustomer(2, 22, "cust2");
  AddCustomerRow(3, 23, "NULL", "cust3");
  Start("PerformPatchJobs", PerformPatchJobs);
  const char skipped[] =
      "Unable to get the DSN name for the customer so continueing with next "
      "customer";
  ASSERT_TRUE(WaitForLog(skipped, 2));

  const char first[] =
      "Creating the connection to the database of customerId = 1";
  const char second[] =
      "Creating the connection to the database of customerId = 2";
  std::vector<std::string> seen =
      LogSequence({first, second, skipped, kWaiting});
  std::vector<std::string> pass = {first, second, skipped, kWaiting};
  ASSERT_GE(seen.size(), 2 * pass.size() - 1);
  for (size_t i = 0; i < seen.size(); ++i)
    EXPECT_EQ(seen[i], pass[i % pass.size()]) << "at " << i;
}

// The internal deploy poster posts for every customer, then wakes the
// patch threads once for the pass, not once per customer.
TEST_F(MspPatchThreadsTest, DeployPosterWakesThePatchThreadsOncePerPass) {
  UseTimeScale(300);  // a wait of 200 ms
  const std::vector<std::string> customers = {"cust1", "cust2", "cust3"};
  std::vector<std::string> pass;
  for (int i = 1; i <= 3; ++i) {
    AddCustomer(i, 20 + i, customers[i - 1]);
    AddWorkFor(customers[i - 1], 20 + i);
    pass.push_back(Format("Creating the connection to the database of customerId = %d", i));
  }
  const char woken[] = "InternalDeployJobPoster: SetEvent for JobScheduling";
  Start("InternalDeployJobPoster", InternalDeployJobPoster);
  // The first pass posts in every customer; the next one finds nothing
  // left to post and wakes nobody.
  ASSERT_TRUE(WaitForLog(kPassEnd, 2));
  for (const std::string& db : customers)
    EXPECT_EQ(Count("SELECT * FROM jobdetails WHERE JobTypeID = 10025", db), 1) << db;
  pass.push_back(woken);
  pass.push_back(kPassEnd);
  std::vector<std::string> seen = LogSequence(pass);
  ASSERT_GE(seen.size(), 9u);
  std::vector<std::string> expected = pass;
  expected.insert(expected.end(), pass.begin(), pass.begin() + 3);
  expected.push_back(kPassEnd);
  seen.resize(expected.size());
  EXPECT_EQ(seen, expected);
}

// Three hundred customers in one database, each with a DSN group (and so
// sessions) of its own and a site of its own. At time scale 1 the thread
// waits five real minutes per wait, so the last customer's on-demand
// schedule can only be posted in time if the pass does not wait per
// customer; a wake-up by the event starts the next pass, which finds every
// customer's session kept.
TEST_F(MspPatchThreadsTest, HundredsOfCustomersAreServedInOnePass) {
  UseTimeScale(1);
  constexpr int kCustomers = 300;
  CreateCustomerDatabase("custs", "custs");
  SetPatchScanStatus(1, "custs");
  std::vector<std::string> dsns;
  std::string customers, details;
  for (int id = 1; id <= kCustomers; ++id) {
    dsns.push_back("c" + std::to_string(id));
    customers += Format("%s(%d, 'c', 'c%d', 'custs', 0, 0)",
                        id == 1 ? "" : ",", id, id);
    details += Format("%s(%d, %d, 1)", id == 1 ? "" : ",", id, 1000 + id);
  }
  AddDsnGroups(dsns, "custs");
  Exec("INSERT INTO customermaster (CustomerID, CustomerName, DSNName, "
       "DBName, CustomerStatus, AddOnID) VALUES " + customers +
       "; INSERT INTO customerdetails (CustomerID, SiteID, IsVirtualProbe) "
       "VALUES " + details);
  // A due on-demand schedule of the last customer's site.
  Exec(Format("INSERT INTO jobsmaster (SchedularID, SiteID, JobScheduledType, "
              "ScheduledTime, SchedularInfoID) VALUES (7, %d, 0, NOW() - "
              "INTERVAL 1 HOUR, 0);"
              "INSERT INTO jobsmasterdetail (SchedularID, SystemID, JobTypeID) "
              "VALUES (7, 5, 17017)",
              1000 + kCustomers),
       "custs");
  const std::string last = Format(
      "Creating the connection to the database of customerId = %d", kCustomers);
  auto connects = [&] {
    return std::stol(Query("SHOW GLOBAL STATUS LIKE 'Connections'")[0][1]);
  };

  Start("PerformOndemandPatchJobs", PerformOndemandPatchJobs);
  ASSERT_TRUE(WaitForLog(kWaiting, 1));
  EXPECT_EQ(CountInLog(last), 1);
  EXPECT_EQ(Query("SELECT SiteID, SchedularID FROM jobdetails", "custs"),
            (korbtest::Rows{{std::to_string(1000 + kCustomers), "7"}}));

  // The second pass, started by the event: every customer served again on
  // its kept session.
  const long before = connects();
  g_hOndemandPatchJobEvent.Set();
  ASSERT_TRUE(WaitForLog(kWaiting, 2));
  EXPECT_EQ(CountInLog(last), 2);
  EXPECT_EQ(CountInLog("Event occured"), 1);
  EXPECT_LT(connects() - before, 10);
}

TEST_F(MspPatchThreadsTest, ThreadsIdleWhenNoCustomerCanBeServed) {
  AddUnreachableDsn("gone");
  AddCustomerRow(1, 21, "'gone'", "gone");
  int64_t started = Clock::MonotonicMicros();
  Start("PerformPatchJobs", PerformPatchJobs);
  Start("PerformOndemandPatchJobs", PerformOndemandPatchJobs);
  Start("InternalDeployJobPoster", InternalDeployJobPoster);
  ASSERT_TRUE(WaitForLog(kPassEnd, 10));
  ASSERT_TRUE(WaitForLog(kWaiting, 4));

  // Each thread waits its period (300 ms and 60 ms here) per pass.
  long periods60 =
      static_cast<long>((Clock::MonotonicMicros() - started) / 60000);
  EXPECT_LE(CountInLog(kPassEnd), periods60 + 2);
  EXPECT_LE(CountInLog(kWaiting), 2 * (periods60 / 5 + 2));
  EXPECT_EQ(CountInLog("Event occured"), 0);
}

}  // namespace
}  // namespace patchtest
