// Agent reachability: which systems are marked unreachable, and what the
// reverse-ping time-out check writes.
#include "AgentReachability.h"
#include "ProcessState.h"
#include "WorkTest.h"

namespace korbtest {
namespace {

using Texts = std::vector<std::string>;

struct VpnSystem {
  int id = 0;
  int secondsSinceResponse = 0;
  int configpoll = 0;
  int vpn = 1;
  int collectionType = 1;
  int site = 1;
};

class ReachabilityTest : public WorkTest {
 protected:
  void AddSystem(const VpnSystem& s, const std::string& db = "orb") {
    const std::string id = std::to_string(s.id);
    const std::string site = std::to_string(s.site);
    Exec("INSERT INTO inventorymaster (SystemID, SiteID, isVPNClient, configpoll, "
         "DataCollectionType, SystemStatus) VALUES (" + id + ", " + site + ", " +
         std::to_string(s.vpn) + ", " + std::to_string(s.configpoll) + ", " +
         std::to_string(s.collectionType) + ", 1);"
         "INSERT INTO pingcollectiondetails (SystemID, SiteID, LastResponseTime, "
         "PingCollectionPollInterval) VALUES (" + id + ", " + site + ", NOW() - INTERVAL " +
         std::to_string(s.secondsSinceResponse) + " SECOND, 60)",
         db);
  }

  void Setting(const std::string& key, const std::string& value, const std::string& db = "orb") {
    Exec("REPLACE INTO configsettings VALUES ('" + key + "', '" + value + "')", db);
  }

  // SystemIDs now marked unreachable, each with its operation record.
  Texts Unreachable(const std::string& db = "orb") {
    Texts ids;
    for (const auto& row : Query("SELECT SystemID, ErrorDescription FROM inventorymaster WHERE "
                                 "SystemStatus = 0 ORDER BY SystemID", db)) {
      EXPECT_EQ(row[1], "Unable to reach the system");
      ids.push_back(row[0]);
    }
    Texts recorded;
    for (const auto& row : Query("SELECT SystemID FROM inventorymasteroperations WHERE "
                                 "OperationCode = 2 ORDER BY SystemID", db)) {
      recorded.push_back(row[0]);
    }
    EXPECT_EQ(recorded, ids);
    return ids;
  }

  void Reset(const std::string& db = "orb") {
    Exec("UPDATE inventorymaster SET SystemStatus = 1, ErrorDescription = NULL;"
         "DELETE FROM inventorymasteroperations", db);
  }
};

TEST_F(ReachabilityTest, ReversePingSettingChoosesTheSystemsJudged) {
  StartProcess();
  AddSystem({.id = 101, .secondsSinceResponse = 150});
  AddSystem({.id = 102, .secondsSinceResponse = 150, .configpoll = 1});
  AddSystem({.id = 103, .secondsSinceResponse = 90});
  AddSystem({.id = 104, .secondsSinceResponse = 150, .vpn = 0});
  AddSystem({.id = 105, .secondsSinceResponse = 150, .collectionType = 6});
  AddSystem({.id = 106, .secondsSinceResponse = 150, .site = 2});

  // Without the setting nothing is judged.
  updateAgentStatus();
  EXPECT_EQ(Unreachable(), Texts{});

  // Reverse ping on: systems polled by configuration are left alone.
  Setting("ENABLE_REVERSE_PING", "1");
  updateAgentStatus();
  EXPECT_EQ(Unreachable(), Texts{"101"});

  // Reverse ping off: every VPN system of the site past twice its interval.
  Reset();
  Setting("ENABLE_REVERSE_PING", "0");
  updateAgentStatus();
  EXPECT_EQ(Unreachable(), (Texts{"101", "102"}));
  EXPECT_EQ(Count("SELECT * FROM inventorymasteroperations WHERE SiteID <> 1"), 0);
}

TEST_F(ReachabilityTest, TheDownFactorSetsTheThreshold) {
  StartProcess();
  Setting("ENABLE_REVERSE_PING", "0");
  AddSystem({.id = 101, .secondsSinceResponse = 150});
  AddSystem({.id = 102, .secondsSinceResponse = 200});
  AddSystem({.id = 103, .secondsSinceResponse = 30});

  Setting("AGENT_DOWN_STATUS_UPDATE_FACTOR", "3");
  updateAgentStatus();
  EXPECT_EQ(Unreachable(), Texts{"102"});

  // A value too long for a setting is refused and the default 2 applies.
  Reset();
  Setting("AGENT_DOWN_STATUS_UPDATE_FACTOR", "3.00000000");
  updateAgentStatus();
  EXPECT_EQ(Unreachable(), (Texts{"101", "102"}));
  EXPECT_EQ(CountLogged(2, "Configsettings value of AGENT_DOWN_STATUS_UPDATE_FACTOR is longer "
                           "than 9 characters and is ignored"),
            1);

  // Text that is not a number is a factor of 0: any response in the past.
  Reset();
  Setting("AGENT_DOWN_STATUS_UPDATE_FACTOR", "abc");
  updateAgentStatus();
  EXPECT_EQ(Unreachable(), (Texts{"101", "102", "103"}));
}

TEST_F(ReachabilityTest, CustomerDatabasesUseOneAndAHalfIntervalsAndTheirOwnSite) {
  Identity msp;
  msp.msp_flag = 1;
  StartProcess(msp);
  AddCustomer({.id = 1, .siteId = 12, .dsn = "c1", .database = "cust_one"});
  Setting("ENABLE_REVERSE_PING", "0", "cust_one");
  Setting("AGENT_DOWN_STATUS_UPDATE_FACTOR", "3", "cust_one");  // not read here
  AddSystem({.id = 201, .secondsSinceResponse = 100, .site = 12}, "cust_one");
  AddSystem({.id = 202, .secondsSinceResponse = 80, .site = 12}, "cust_one");
  AddSystem({.id = 203, .secondsSinceResponse = 500, .site = 1}, "cust_one");
  Setting("ENABLE_REVERSE_PING", "0");
  AddSystem({.id = 301, .secondsSinceResponse = 500});

  updateAgentStatus();
  EXPECT_EQ(Unreachable("cust_one"), Texts{"201"});
  EXPECT_EQ(Scalar("SELECT SiteID FROM inventorymasteroperations", "cust_one"), "12");
  EXPECT_EQ(Unreachable(), Texts{});

  // Without the setting the customer is left as it is.
  Reset("cust_one");
  Exec("DELETE FROM configsettings", "cust_one");
  updateAgentStatus();
  EXPECT_EQ(Unreachable("cust_one"), Texts{});
}

TEST_F(ReachabilityTest, TimedOutReversePingsRecordZeroAndExcludePendingJobs) {
  StartProcess();
  Setting("ENABLE_REVERSE_PING", "0");
  // 301 is overdue; 302 was attempted recently, 303 is not polled by
  // configuration, 304 is known dead.
  const int attemptedSecondsAgo[] = {200, 60, 200, 200};
  for (int i = 0; i < 4; ++i) {
    const std::string id = std::to_string(301 + i);
    Exec("INSERT INTO inventorymaster (SystemID, isVPNClient, configpoll) VALUES (" + id +
         ", 1, " + (i == 2 ? "0" : "1") + ");"
         "INSERT INTO datamaster (DataID, MonitoringID, ParamID) VALUES (" + std::to_string(71 + i) +
         ", " + id + ", 84);"
         "INSERT INTO pingcollectiondetails (SystemID, PingCollectionAttemptTime, "
         "PingCollectionPollInterval, ReversePingStatus, IsNodeDead) VALUES (" + id +
         ", NOW() - INTERVAL " + std::to_string(attemptedSecondsAgo[i]) + " SECOND, 60, 1, " +
         (i == 3 ? "1" : "0") + ")");
  }
  Exec("INSERT INTO jobdetails (JobID, SystemID, JobTypeID, Status) VALUES "
       "(1, 301, 10032, 0), (2, 301, 10046, 3), (3, 301, 14005, 2), (4, 301, 10032, 1), "
       "(5, 301, 999, 0), (6, 302, 10032, 0)");
  const Rows jobsBefore = Query("SELECT JobID, Status FROM jobdetails WHERE JobID > 3 ORDER BY JobID");

  updateUnreachableVpnClients();

  EXPECT_EQ(Query("SELECT DataID, Data, Day = DAY(NOW()) FROM coredatapoints"),
            (Rows{{"71", "0.00", "1"}}));
  EXPECT_EQ(Query("SELECT SystemID, ReversePingStatus, PingCollectionAttemptTime > NOW() - "
                  "INTERVAL 30 SECOND FROM pingcollectiondetails ORDER BY SystemID"),
            (Rows{{"301", "0", "1"}, {"302", "1", "0"}, {"303", "1", "0"}, {"304", "1", "0"}}));
  EXPECT_EQ(Query("SELECT SystemID, OperationCode FROM inventorymasteroperations"),
            (Rows{{"301", "5"}}));
  EXPECT_EQ(Query("SELECT JobID, Status, StatusDescription FROM jobdetails WHERE JobID <= 3"),
            (Rows{{"1", "-6", "Job excluded as device is unreachable"},
                  {"2", "-6", "Job excluded as device is unreachable"},
                  {"3", "-6", "Job excluded as device is unreachable"}}));
  EXPECT_EQ(Query("SELECT JobID, Status FROM jobdetails WHERE JobID > 3 ORDER BY JobID"),
            jobsBefore);

  // The stamped attempt keeps the system out of the next run.
  updateUnreachableVpnClients();
  EXPECT_EQ(Count("SELECT * FROM coredatapoints"), 1);

  // Reverse ping on, the setting missing, or an MSP server: nothing runs.
  Exec("UPDATE pingcollectiondetails SET PingCollectionAttemptTime = NOW() - INTERVAL 1 HOUR");
  Setting("ENABLE_REVERSE_PING", "1");
  updateUnreachableVpnClients();
  Exec("DELETE FROM configsettings");
  updateUnreachableVpnClients();
  Setting("ENABLE_REVERSE_PING", "0");
  g_pDBI->m_nMSPFlag = 1;
  updateUnreachableVpnClients();
  g_pDBI->m_nMSPFlag = 0;
  EXPECT_EQ(Count("SELECT * FROM coredatapoints"), 1);
  EXPECT_EQ(Count("SELECT * FROM inventorymasteroperations"), 1);
}

}  // namespace
}  // namespace korbtest
