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

TEST_F(MspPatchThreadsTest, ThreadWaitsAfterEachServedCustomerOnly) {
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
  std::vector<std::string> pass = {first, kWaiting, second, kWaiting, skipped};
  ASSERT_GE(seen.size(), 2 * pass.size());
  for (size_t i = 0; i < seen.size(); ++i)
    EXPECT_EQ(seen[i], pass[i % pass.size()]) << "at " << i;
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
