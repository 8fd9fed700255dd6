// Agent reachability: which systems are marked unreachable, and what the
// reverse-ping time-out check writes.
#include "AgentReachability.h"
#include "WorkTest.h"

namespace korbtest {
namespace {

class ReachabilityTest : public WorkTest {
 protected:
  // A system of site 1 pinged every 60 s that last answered secondsAgo.
  void AddSystem(int id, int secondsAgo, const std::string& extra = "", const std::string& db = "orb") {
    Exec(Format("INSERT INTO inventorymaster (SystemID, isVPNClient) VALUES (%d, 1);"
                "INSERT INTO pingcollectiondetails (SystemID, LastResponseTime) "
                "VALUES (%d, NOW() - INTERVAL %d SECOND);",
                id, id, secondsAgo) + extra,
         db);
  }
  void Setting(const std::string& key, const std::string& value, const std::string& db = "orb") {
    Exec("REPLACE INTO configsettings VALUES ('" + key + "', '" + value + "')", db);
  }
  // Systems marked unreachable ("101,104"), each with its description and
  // operation record; resets them for the next run.
  std::string TakeUnreachable(const std::string& db = "orb") {
    const char* const ids = "SELECT COALESCE(GROUP_CONCAT(SystemID ORDER BY SystemID), '') FROM ";
    const std::string marked = Scalar(std::string(ids) + "inventorymaster WHERE SystemStatus = 0", db);
    EXPECT_EQ(Scalar(std::string(ids) + "inventorymasteroperations WHERE OperationCode = 2", db), marked);
    EXPECT_EQ(Count("SELECT * FROM inventorymaster WHERE SystemStatus = 0 AND "
                    "NOT ErrorDescription <=> 'Unable to reach the system'", db), 0);
    Exec("UPDATE inventorymaster SET SystemStatus = 1; DELETE FROM inventorymasteroperations", db);
    return marked;
  }
};

TEST_F(ReachabilityTest, SettingsChooseTheSystemsAndTheThreshold) {
  StartProcess();
  AddSystem(101, 150);
  AddSystem(102, 150, "UPDATE inventorymaster SET configpoll = 1 WHERE SystemID = 102");
  AddSystem(103, 90);
  AddSystem(104, 200);
  AddSystem(105, 150, "UPDATE inventorymaster SET isVPNClient = 0 WHERE SystemID = 105");
  AddSystem(106, 150, "UPDATE inventorymaster SET DataCollectionType = 6 WHERE SystemID = 106");
  AddSystem(107, 150, "UPDATE inventorymaster SET SiteID = 2 WHERE SystemID = 107;"
                      "UPDATE pingcollectiondetails SET SiteID = 2 WHERE SystemID = 107");

  updateAgentStatus();  // ENABLE_REVERSE_PING missing: nothing is judged
  EXPECT_EQ(TakeUnreachable(), "");

  Setting("ENABLE_REVERSE_PING", "1");  // systems polled by configuration left alone
  updateAgentStatus();
  EXPECT_EQ(TakeUnreachable(), "101,104");

  Setting("ENABLE_REVERSE_PING", "0");  // every VPN system past 2 intervals
  updateAgentStatus();
  EXPECT_EQ(TakeUnreachable(), "101,102,104");

  Setting("AGENT_DOWN_STATUS_UPDATE_FACTOR", "3");
  updateAgentStatus();
  EXPECT_EQ(TakeUnreachable(), "104");

  Setting("AGENT_DOWN_STATUS_UPDATE_FACTOR", "1");  // one interval is the least
  updateAgentStatus();
  EXPECT_EQ(TakeUnreachable(), "101,102,103,104");

  // Too long for a setting: refused, the default applies; said once
  // however many events read it.
  Setting("AGENT_DOWN_STATUS_UPDATE_FACTOR", "3.00000000");
  for (int run = 0; run < 3; ++run) {
    updateAgentStatus();
    EXPECT_EQ(TakeUnreachable(), "101,102,104");
  }
  EXPECT_EQ(Logged(2), Texts{"Configsettings value of AGENT_DOWN_STATUS_UPDATE_FACTOR is longer "
                             "than 9 characters and is ignored"});

  // Values that are no factor: the default of 2 applies, with one line per
  // value however often it is read (nan and inf would break the statement,
  // 0 or less would mark every system, and so would 1e-9, which the
  // statement would print as 0.000000).
  for (const char* bad : {"nan", "inf", "-1", "0", "abc", "1e-9", "0.999"}) {
    Setting("AGENT_DOWN_STATUS_UPDATE_FACTOR", bad);
    updateAgentStatus();
    EXPECT_EQ(TakeUnreachable(), "101,102,104") << bad;
    updateAgentStatus();
    EXPECT_EQ(TakeUnreachable(), "101,102,104") << bad;
    EXPECT_EQ(CountLogged(2, Format("AGENT_DOWN_STATUS_UPDATE_FACTOR '%s' is not a number of at "
                                    "least 1; 2.0 is used instead", bad)), 1) << bad;
  }
}

TEST_F(ReachabilityTest, CustomerDatabasesUseOneAndAHalfIntervalsAndTheirOwnSite) {
  StartProcess(true);
  AddCustomer({.id = 1, .siteId = 12, .dsn = "c1", .database = "cust_one"});
  Setting("ENABLE_REVERSE_PING", "0", "cust_one");
  Setting("AGENT_DOWN_STATUS_UPDATE_FACTOR", "3", "cust_one");  // not read here
  AddSystem(201, 100, "", "cust_one");
  AddSystem(202, 80, "", "cust_one");
  Exec("UPDATE inventorymaster SET SiteID = 12; UPDATE pingcollectiondetails SET SiteID = 12", "cust_one");
  AddSystem(203, 500, "", "cust_one");  // site 1 is not the customer's
  Setting("ENABLE_REVERSE_PING", "0");
  AddSystem(301, 500);

  updateAgentStatus();
  EXPECT_EQ(Scalar("SELECT SiteID FROM inventorymasteroperations", "cust_one"), "12");
  EXPECT_EQ(TakeUnreachable("cust_one"), "201");
  EXPECT_EQ(TakeUnreachable(), "");
}

TEST_F(ReachabilityTest, TimedOutReversePingsRecordZeroAndExcludePendingJobs) {
  StartProcess();
  Setting("ENABLE_REVERSE_PING", "0");
  // 301 is overdue; 302 was attempted recently, 303 is not polled by
  // configuration, 304 is known dead.
  const int attemptedSecondsAgo[] = {200, 60, 200, 200};
  for (int i = 0; i < 4; ++i) {
    Exec(Format("INSERT INTO inventorymaster (SystemID, isVPNClient, configpoll) VALUES (%d, 1, %d);"
                "INSERT INTO datamaster (DataID, MonitoringID, ParamID) VALUES (%d, %d, 84);"
                "INSERT INTO pingcollectiondetails (SystemID, PingCollectionAttemptTime, "
                "ReversePingStatus, IsNodeDead) VALUES (%d, NOW() - INTERVAL %d SECOND, 1, %d)",
                301 + i, i == 2 ? 0 : 1, 71 + i, 301 + i, 301 + i, attemptedSecondsAgo[i],
                i == 3 ? 1 : 0));
  }
  Exec("INSERT INTO jobdetails (JobID, SystemID, JobTypeID, Status) VALUES (1, 301, 10032, 0), "
       "(2, 301, 10046, 3), (3, 301, 14005, 2), (4, 301, 10032, 1), (5, 301, 999, 0), (6, 302, 10032, 0)");

  updateUnreachableVpnClients();
  updateUnreachableVpnClients();  // the stamped attempt keeps 301 out

  EXPECT_EQ(Query("SELECT DataID, Data, Day = DAY(NOW()) FROM coredatapoints"),
            (Rows{{"71", "0.00", "1"}}));
  EXPECT_EQ(Query("SELECT SystemID, ReversePingStatus, PingCollectionAttemptTime > NOW() - "
                  "INTERVAL 30 SECOND FROM pingcollectiondetails ORDER BY SystemID"),
            (Rows{{"301", "0", "1"}, {"302", "1", "0"}, {"303", "1", "0"}, {"304", "1", "0"}}));
  EXPECT_EQ(Query("SELECT SystemID, OperationCode FROM inventorymasteroperations"),
            (Rows{{"301", "5"}}));
  const std::string excluded = "Job excluded as device is unreachable";
  EXPECT_EQ(Query("SELECT JobID, Status, StatusDescription FROM jobdetails ORDER BY JobID"),
            (Rows{{"1", "-6", excluded}, {"2", "-6", excluded}, {"3", "-6", excluded},
                  {"4", "1", "NULL"}, {"5", "0", "NULL"}, {"6", "0", "NULL"}}));

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
}

}  // namespace
}  // namespace korbtest
