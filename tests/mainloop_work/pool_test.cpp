// The main loop's pooled fan-outs: customers side by side on a bounded set
// of workers, each customer's statements in order on its own session, and
// one customer's exception kept inside it.
#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "CustomerFanOut.h"
#include "CustomerFanOutPool.h"
#include "ServerSessionCheck.h"
#include "WorkTest.h"

namespace korbtest {
namespace {

constexpr int kCustomers = 40;

class PoolTest : public WorkTest {
 protected:
  // kCustomers customers, each with a DSN group (and so sessions) of its
  // own, all in the one database "custs" with a table of statements run.
  void AddCustomers() {
    StartProcess(true);
    CreateCustomerDatabase("custs", "custs");
    Exec("CREATE TABLE ran (Seq INT AUTO_INCREMENT PRIMARY KEY, CustomerID INT, Step INT, "
         "Session BIGINT)",
         "custs");
    std::vector<std::string> dsns;
    for (int id = 1; id <= kCustomers; ++id) {
      dsns.push_back("c" + std::to_string(id));
      Exec(Format("INSERT INTO customermaster (CustomerID, DSNName, DBName, CustomerStatus, "
                  "AddOnID) VALUES (%d, 'c%d', 'custs', 0, 0);"
                  "INSERT INTO customerdetails (CustomerID, SiteID, IsVirtualProbe) VALUES "
                  "(%d, %d, 1)",
                  id, id, id, id));
    }
    AddDsnGroups(dsns, "custs");
  }
};

TEST_F(PoolTest, CustomersRunSideBySideEachInOrderOnItsOwnSession) {
  AddCustomers();
  const int workers = CustomerFanOutPool::Instance().Workers();
  ASSERT_GE(workers, 2);
  std::atomic<int> inFlight{0}, most{0}, started{0};
  const int together = std::min(workers, kCustomers);
  const int served = ForEachVirtualProbeCustomer(
      [&](CDBI& db) {
        const int now = ++inFlight;
        for (int seen = most.load(); now > seen && !most.compare_exchange_weak(seen, now);) {
        }
        // The first customers wait (bounded) until as many run as there
        // are workers: they can only all arrive if they run side by side.
        if (++started <= together) {
          const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
          while (most.load() < together && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        for (int step = 1; step <= 5; ++step)
          db.executeSQL(Format("insert into ran (CustomerID, Step, Session) values (%d, %d, "
                               "connection_id())",
                               db.m_nSiteID, step));
        --inFlight;
      },
      OnPool());
  EXPECT_EQ(served, kCustomers);
  EXPECT_EQ(most.load(), together);  // never more than the workers

  // Every customer's five steps, in their order, on one session of its own.
  const Rows rows = Query("SELECT CustomerID, GROUP_CONCAT(Step ORDER BY Seq), "
                          "COUNT(DISTINCT Session) FROM ran GROUP BY CustomerID",
                          "custs");
  ASSERT_EQ(rows.size(), static_cast<size_t>(kCustomers));
  for (const auto& row : rows) EXPECT_EQ((Texts{row[1], row[2]}), (Texts{"1,2,3,4,5", "1"})) << row[0];
  std::set<std::string> sessions;
  for (const auto& row : Query("SELECT DISTINCT Session FROM ran", "custs")) sessions.insert(row[0]);
  EXPECT_EQ(sessions.size(), static_cast<size_t>(kCustomers));
  CDBI::CloseIdleSessions();
}

TEST_F(PoolTest, AnExceptionStaysInsideItsCustomer) {
  AddCustomers();
  std::mutex mu;
  std::set<long> done;
  const int served = ForEachVirtualProbeCustomer(
      [&](CDBI& db) {
        if (db.m_nSiteID % 10 == 3) throw std::runtime_error("customer fault");
        db.executeSQL("do 1");
        std::lock_guard<std::mutex> lock(mu);
        done.insert(db.m_nSiteID);
      },
      OnPool("postsoftwaredeploymentjob exception"));
  EXPECT_EQ(served, kCustomers - kCustomers / 10);
  EXPECT_EQ(done.size(), static_cast<size_t>(kCustomers - kCustomers / 10));
  EXPECT_EQ(CountLogged(2, "postsoftwaredeploymentjob exception"), kCustomers / 10);

  // The bare pool: the throwing task's report runs, every other task too.
  std::atomic<int> reached{0};
  RunCustomersOnPool(
      kCustomers,
      [&](size_t i) {
        ++reached;
        if (i == 0) throw std::runtime_error("first customer fault");
      },
      [&](size_t i) { EXPECT_EQ(i, 0u); });
  EXPECT_EQ(reached.load(), kCustomers);
  CDBI::CloseIdleSessions();
}

// The test server allows 500 sessions: enough for 40 customers, not for
// 520 with the pool and the main sessions.
TEST_F(PoolTest, StartWarnsOnceWhenTheServerAllowsTooFewSessions) {
  AddCustomers();
  ASSERT_EQ(Scalar("SELECT @@max_connections"), "500");
  CheckServerSessionsForCustomers();
  EXPECT_EQ(Logged(4), Texts{});
  std::string more;
  for (int id = kCustomers + 1; id <= 520; ++id)
    more += Format("%s(%d, 'c1', 'custs', 0, 0)", more.empty() ? "" : ",", id);
  Exec("INSERT INTO customermaster (CustomerID, DSNName, DBName, CustomerStatus, AddOnID) "
       "VALUES " + more);
  CheckServerSessionsForCustomers();
  const int workers = CustomerFanOutWorkers();
  EXPECT_EQ(Logged(4),
            Texts{Format("The database server allows 500 sessions (max_connections) but 520 "
                         "customers and %d fan-out workers need about %lld; customers will be "
                         "skipped when the server refuses sessions. Raise max_connections to at "
                         "least %lld",
                         workers, SessionsNeeded(520, workers), SessionsNeeded(520, workers))});
}

}  // namespace
}  // namespace korbtest
