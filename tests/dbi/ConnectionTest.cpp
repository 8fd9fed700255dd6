// Sessions: configuration, identity, threads, loss of the server.
#include <cstdlib>
#include <future>
#include <thread>

#include "DbiFixture.h"

namespace {

using korbtest::MariaDbServer;
using korbtest::WaitFor;

class Connections : public DbiTest {
 protected:
  // Sessions of CDBI objects (the harness's own connection excluded).
  long OpenSessions(const std::string& database = "orb") {
    return Count("select * from information_schema.processlist where db = '" + database +
                 "' and id <> connection_id()");
  }
};

}  // namespace

TEST_F(Connections, EachThreadHasItsOwnSessionClosedWhenTheThreadEnds) {
  // The server drops the sessions of clients that just disconnected (the
  // schema load's) a moment later, so the count is awaited.
  EXPECT_TRUE(WaitFor([&] { return OpenSessions() == 1; }, std::chrono::seconds(10)))
      << OpenSessions() << " sessions";
  std::vector<std::thread> threads;
  for (int i = 0; i < 9; ++i)
    threads.emplace_back([this] { EXPECT_EQ(0, db_->executeSQL("do 1")); });
  for (auto& t : threads) t.join();
  // Nine threads came and went; only the test thread's session remains.
  EXPECT_TRUE(WaitFor([&] { return OpenSessions() == 1; }, std::chrono::seconds(10)))
      << OpenSessions() << " sessions";

  // The object goes while a thread that used it still runs.
  std::promise<void> used;
  std::promise<void> object_gone;
  std::thread holder([&] {
    db_->executeSQL("do 1");
    used.set_value();
    object_gone.get_future().wait();
  });
  used.get_future().wait();
  EXPECT_TRUE(WaitFor([&] { return OpenSessions() == 2; }, std::chrono::seconds(10)))
      << OpenSessions() << " sessions";
  // The object's idle sessions are kept for the next object of the group,
  // not closed, and the thread's end must not touch its session again.
  db_.reset();
  object_gone.set_value();
  holder.join();
  EXPECT_TRUE(WaitFor([&] { return OpenSessions() == 2; }, std::chrono::seconds(10)))
      << OpenSessions() << " sessions";
  CDBI::CloseIdleSessions();
  EXPECT_TRUE(WaitFor([&] { return OpenSessions() == 0; }, std::chrono::seconds(10)));
}

TEST_F(Connections, SessionModeAndEscapedTextRoundTrip) {
  std::string value;
  ASSERT_EQ(1, db_->getValueFromQuery("select @@session.sql_mode as outputvalue", value));
  EXPECT_EQ("NO_BACKSLASH_ESCAPES,STRICT_TRANS_TABLES,ERROR_FOR_DIVISION_BY_ZERO,"
            "NO_ENGINE_SUBSTITUTION", value);
  // A literal that ends in a backslash, as one of the daemon's statements has.
  ASSERT_EQ(1, db_->getValueFromQuery("select 'C:\\PatchManagement.war\\' as outputvalue", value));
  EXPECT_EQ("C:\\PatchManagement.war\\", value);

  Exec("CREATE TABLE IF NOT EXISTS dbi_texts (ID int PRIMARY KEY, Body text)");
  const std::string nasty = "O'Brien \\' \\\\ \"x\" '); drop table dbi_texts; -- \\";
  const std::string utf8 = "Gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x98\x80 \xE4\xB8\xAD";
  EXPECT_EQ(3, db_->executeSQL("insert into dbi_texts values (1, '" + db_->EscapeString(nasty) +
                               "'), (2, " + SqlQuote(nasty) + "), (3, " + SqlQuote(utf8) + ")"));
  std::vector<std::string> bodies;
  EXPECT_EQ(1, db_->getValueFromEachRow("select Body from dbi_texts order by ID", "Body", bodies));
  EXPECT_EQ((std::vector<std::string>{nasty, nasty, utf8}), bodies);
  EXPECT_EQ(1, Count("select * from dbi_texts where Body = " + SqlQuote(utf8)));
  // Escaping works before this thread has a session of its own, too.
  std::thread([&] { EXPECT_EQ("a''b\\", db_->EscapeString("a'b\\")); }).join();
}

TEST_F(Connections, EachGroupGivesItsIdentityAndDatabaseOrNoSession) {
  korbtest::Identity id;
  id.msp_flag = 1;
  id.site_id = 7;
  id.probe_id = 3;
  id.install_type = 2;
  id.addon_selector = 5;
  SetMainIdentity(id);
  CDBI* main = CDBI::getInstance(logger_.get(), true);
  ASSERT_NE(nullptr, main);
  EXPECT_TRUE(main->m_bReady);
  EXPECT_EQ("orb", main->DatabaseName());
  EXPECT_EQ((std::vector<int>{1, 7, 3, 2, 5}),
            (std::vector<int>{main->m_nMSPFlag, main->m_nSiteID, main->m_nProbeID,
                              main->m_nInstallType, main->m_nAddOnSelector}));
  EXPECT_EQ(main, CDBI::getInstance(nullptr, false));

  // A per-customer object: its own group (any characters in its name) and database.
  id.site_id = 44;
  CreateCustomerDatabase("cust_44", "cust-44.dsn:a_b", id);
  Exec("insert into configsettings values ('WHO', 'customer')", "cust_44");
  Exec("insert into configsettings values ('WHO', 'main')");
  auto customer = std::make_unique<CDBI>(logger_.get(), "cust-44.dsn:a_b", "");
  ASSERT_TRUE(customer->m_bReady);
  EXPECT_EQ("cust_44", customer->DatabaseName());
  EXPECT_EQ(44, customer->m_nSiteID);
  std::string who;
  EXPECT_EQ(1, customer->getConfigSetting("WHO", who));
  EXPECT_EQ("customer", who);
  EXPECT_EQ(1, db_->getConfigSetting("WHO", who));
  EXPECT_EQ("main", who);
  customer.reset();
  CDBI::CloseIdleSessions();
  EXPECT_TRUE(WaitFor([&] { return OpenSessions("cust_44") == 0; }, std::chrono::seconds(10)));

  // A missing group (names are case-sensitive), a missing file and an
  // unreachable server all leave the object not ready, and it refuses work.
  AddUnreachableDsn("nowhere");
  for (const char* dsn : {"no-such-group", "ORB", "nowhere"}) {
    CDBI db(logger_.get(), dsn, "orb");
    EXPECT_FALSE(db.m_bReady) << dsn;
    DBRows rows;
    EXPECT_EQ(-1, db.getRows("select 1 as x", {"x"}, rows)) << dsn;
  }
  setenv("KORB_DB_CONFIG", (InstallDir() + "/missing.cnf").c_str(), 1);
  EXPECT_FALSE(CDBI(logger_.get(), "orb", "orb").m_bReady);
}

TEST_F(Connections, FiveThreadsAtOnce) {
  Exec("CREATE TABLE IF NOT EXISTS dbi_hammer (ID int AUTO_INCREMENT PRIMARY KEY, "
       "Worker int, N int)");
  constexpr int kThreads = 5;
  constexpr int kRounds = 150;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int w = 0; w < kThreads; ++w) {
    threads.emplace_back([&, w] {
      for (int n = 0; n < kRounds; ++n) {
        std::string value;
        DBRows rows;
        failures += db_->executeSQL(Format("insert into dbi_hammer (Worker, N) values (%d, %d)",
                                           w, n)) != 1;
        failures += db_->getValueFromQuery(Format("select count(*) as outputvalue from "
                                                  "dbi_hammer where Worker = %d", w), value) != 1 ||
                    value != std::to_string(n + 1);
        failures += db_->getRows(Format("select N from dbi_hammer where Worker = %d and N = %d",
                                        w, n), {"N"}, rows) != 1 || rows.size() != 1;
        // A failing call now and then: its error must not leak into other threads.
        failures += n % 25 == 0 && db_->executeSQLProcedure("call dbi_noop()") != -1;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(0, failures.load());
  EXPECT_EQ(kThreads * kRounds, Count("select count(*) from dbi_hammer"));
  EXPECT_FALSE(db_->m_bConnectionError);
  // Only the deliberate calls of a missing procedure were logged.
  EXPECT_EQ(kThreads * (kRounds / 25), LogLines("[ERROR]"));
}

TEST_F(Connections, LostServerIsRebuiltWithinTheReconnectWindowAndStatementsAreNotRepeated) {
  AddOptions("orb", "korb-reconnect-window=60\n");
  db_ = std::make_unique<CDBI>(logger_.get(), "orb", "orb");
  Exec("CREATE TABLE IF NOT EXISTS dbi_once (ID int AUTO_INCREMENT PRIMARY KEY)");
  ASSERT_EQ(1, db_->executeSQL("insert into dbi_once values ()"));

  // A restart between two statements: the first one after it fails and is
  // not sent again; the session is rebuilt for the next one.
  MariaDbServer::Instance().Stop();
  MariaDbServer::Instance().Start();
  EXPECT_EQ(-1, db_->executeSQL("insert into dbi_once values ()"));
  EXPECT_FALSE(db_->m_bConnectionError);
  EXPECT_EQ(1, db_->executeSQL("insert into dbi_once values ()"));
  EXPECT_EQ(2, Count("select count(*) from dbi_once"));
  std::string value;
  ASSERT_EQ(1, db_->getValueFromQuery("select @@session.sql_mode as outputvalue", value));
  EXPECT_NE(std::string::npos, value.find("NO_BACKSLASH_ESCAPES"));

  // The server is down for a while (a cluster's proxy switching nodes):
  // the object keeps trying within its window and goes on without a
  // connection error.
  MariaDbServer::Instance().Stop();
  std::thread restarter([] {
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the outage itself
    MariaDbServer::Instance().Start();
  });
  EXPECT_EQ(-1, db_->executeSQL("insert into dbi_once values ()"));
  restarter.join();
  EXPECT_FALSE(db_->m_bConnectionError);
  EXPECT_EQ(1, LogLines("Reconnected to DSN 'orb' after"));
  EXPECT_EQ(1, db_->executeSQL("insert into dbi_once values ()"));
  EXPECT_EQ(3, Count("select count(*) from dbi_once"));
}

TEST_F(Connections, ServerGoneLongerThanTheWindowSetsConnectionError) {
  AddOptions("orb", "korb-reconnect-window=1\n");
  db_ = std::make_unique<CDBI>(logger_.get(), "orb", "orb");
  std::string value;
  ASSERT_EQ(1, db_->getValueFromQuery("select 1 as outputvalue", value));
  MariaDbServer::Instance().Stop();
  EXPECT_EQ(-1, db_->executeSQL("do 1"));
  EXPECT_TRUE(db_->m_bConnectionError);
  EXPECT_EQ(1, LogLines("Reconnecting to DSN 'orb' failed"));
  EXPECT_EQ(-1, db_->getValueFromQuery("select 1 as outputvalue", value));
  // A thread that opens its first session now fails the same way.
  std::thread([&] {
    DBRows rows;
    EXPECT_EQ(-1, db_->getRows("select 1 as x", {"x"}, rows));
  }).join();
  MariaDbServer::Instance().Start();
  EXPECT_TRUE(db_->m_bConnectionError);  // stays set
}
