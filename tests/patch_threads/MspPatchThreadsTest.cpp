// The patch job threads on an MSP server: one pass per customer database.
#include <string>
#include <vector>

#include "PatchThreadTest.h"
#include "PatchThreads.h"

namespace patchtest {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

class MspPatchThreadsTest : public PatchThreadTest {
 protected:
  void SetUp() override {
    PatchThreadTest::SetUp();
    UseMspMainDatabase();
  }
  // Work for every thread in a customer database, all of the given site: a
  // due recurring CAB schedule, a due on-demand 17017 schedule and an
  // agentless patch ready to deploy.
  void AddWorkFor(const std::string& database, int siteId) {
    std::string site = std::to_string(siteId);
    SetPatchScanStatus(1, database);
    SetNextScheduleAnswer(11, "2031-02-03 04:05:06|1", database);
    Exec("INSERT INTO jobsmaster (SchedularID, SiteID, JobScheduledType, "
         "ScheduledTime, SchedularInfoID) VALUES (1, " + site +
         ", 1, NOW(), 11), (2, " + site + ", 0, NOW() - INTERVAL 1 HOUR, 0);"
         "INSERT INTO jobsmasterdetail (SchedularID, SystemID, JobTypeID) "
         "VALUES (1, 0, 10037), (2, 5, 17017);"
         "INSERT INTO inventorymaster (SystemID, SiteID, isVPNClient) VALUES "
         "(6, " + site + ", 0);"
         "INSERT INTO patch_details (SiteID, PatchID) VALUES (" + site +
         ", 106);"
         "INSERT INTO patch_jobdetails (SiteID, SystemID, PatchID, "
         "InternalStatus, Time) VALUES (" + site +
         ", 6, 106, 3, '2020/01/01 00:00:00')",
         database);
  }
  long PostsIn(const std::string& database) {
    return Count("SELECT * FROM procedurecalllog WHERE ProcName = "
                 "'postpatchinternaldeployjob'",
                 database);
  }
};

TEST_F(MspPatchThreadsTest, EachCustomerIsServedWithItsOwnSiteId) {
  AddCustomer(1, 21, "cust1");
  AddCustomer(2, 22, "cust2");
  AddWorkFor("cust1", 21);
  AddWorkFor("cust2", 22);

  Start("PerformPatchJobs", PerformPatchJobs);
  Start("PerformOndemandPatchJobs", PerformOndemandPatchJobs);
  Start("InternalDeployJobPoster", InternalDeployJobPoster);

  for (const auto& [database, site] :
       std::vector<std::pair<std::string, std::string>>{{"cust1", "21"},
                                                       {"cust2", "22"}}) {
    ASSERT_TRUE(korbtest::WaitFor(
        [&, db = database] {
          return Count("SELECT * FROM jobdetails WHERE JobTypeID IN (10037, "
                       "17017)", db) == 2 &&
                 PostsIn(db) == 1;
        },
        seconds(30)))
        << database;
    EXPECT_EQ(Query("SELECT SiteID, SchedularID, JobTypeID FROM jobdetails "
                    "WHERE JobTypeID IN (10037, 17017) ORDER BY SchedularID",
                    database),
              (korbtest::Rows{{site, "1", "10037"}, {site, "2", "17017"}}));
    EXPECT_EQ(Scalar("SELECT Args FROM procedurecalllog WHERE ProcName = "
                     "'GetNextScheduleTime' LIMIT 1",
                     database),
              "11, 0000-00-00 00:00:00, 1, " + site);
    EXPECT_EQ(Scalar("SELECT Args FROM procedurecalllog WHERE ProcName = "
                     "'postpatchinternaldeployjob'",
                     database)
                  .rfind(site + ", 106, 6, 0, InternalPatchDeployJob_", 0),
              0u);
  }
  EXPECT_EQ(Count("SELECT * FROM procedurecalllog"), 0);
}

TEST_F(MspPatchThreadsTest, ThreadWaitsAfterEachServedCustomerOnly) {
  AddCustomer(1, 21, "cust1");
  AddCustomer(2, 22, "cust2");
  Exec("INSERT INTO customermaster (CustomerID, DSNName, DBName) VALUES "
       "(3, NULL, 'cust3');"
       "INSERT INTO customerdetails (CustomerID, SiteID, IsVirtualProbe) "
       "VALUES (3, 23, 1)");
  Start("PerformPatchJobs", PerformPatchJobs);
  const std::string skipped =
      "Unable to get the DSN name for the customer so continueing with next "
      "customer";
  ASSERT_TRUE(WaitForLog(skipped, 2, seconds(20)));

  const std::string first = "Creating the connection to the database of "
                            "customerId = 1";
  const std::string second = "Creating the connection to the database of "
                             "customerId = 2";
  const std::string waiting = "Waiting for event!!!";
  std::vector<std::string> seen =
      LogSequence({first, second, skipped, waiting});
  std::vector<std::string> pass = {first, waiting, second, waiting, skipped};
  ASSERT_GE(seen.size(), 2 * pass.size());
  for (size_t i = 0; i < seen.size(); ++i)
    EXPECT_EQ(seen[i], pass[i % pass.size()]) << "at " << i;
}

TEST_F(MspPatchThreadsTest, ThreadsIdleWhenNoCustomerCanBeServed) {
  // One customer whose database cannot be reached; none served.
  AddUnreachableDsn("gone");
  Exec("INSERT INTO customermaster (CustomerID, DSNName, DBName) VALUES "
       "(1, 'gone', 'gone');"
       "INSERT INTO customerdetails (CustomerID, SiteID, IsVirtualProbe) "
       "VALUES (1, 21, 1)");
  int64_t started = Clock::MonotonicMicros();
  Start("PerformPatchJobs", PerformPatchJobs);
  Start("PerformOndemandPatchJobs", PerformOndemandPatchJobs);
  Start("InternalDeployJobPoster", InternalDeployJobPoster);
  ASSERT_TRUE(WaitForLog("InternalDeployJobPoster: WaitTimeout", 10,
                         seconds(20)));
  ASSERT_TRUE(WaitForLog("Waiting for event!!!", 4, seconds(20)));

  // Each thread waits its period (300 ms and 60 ms here) per pass.
  long periods60 = static_cast<long>(
      (Clock::MonotonicMicros() - started) / 60000);
  EXPECT_LE(CountLog("InternalDeployJobPoster: WaitTimeout"), periods60 + 2);
  EXPECT_LE(CountLog("Waiting for event!!!"), 2 * (periods60 / 5 + 2));
  EXPECT_EQ(CountLog("Event occured"), 0);
}

TEST_F(MspPatchThreadsTest, MasterAgentProcedureIntervalIsSharedByCustomers) {
  UseTimeScale(100);  // one-minute waits take 600 ms, the interval 9 s
  AddCustomer(1, 21, "cust1");
  AddCustomer(2, 22, "cust2");
  AddWorkFor("cust1", 21);
  AddWorkFor("cust2", 22);
  Start("InternalDeployJobPoster", InternalDeployJobPoster);
  ASSERT_TRUE(korbtest::WaitFor([&] { return PostsIn("cust2") == 1; },
                                seconds(20)));

  EXPECT_EQ(ProcedureCalls("MasteragentPatchDownload", "cust1").size(), 1u);
  EXPECT_TRUE(ProcedureCalls("MasteragentPatchDownload", "cust2").empty());
}

}  // namespace
}  // namespace patchtest
