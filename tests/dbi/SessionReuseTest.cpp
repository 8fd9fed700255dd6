// Per-customer sessions kept between objects: reuse, a server restarted
// between passes, the idle close, and the back-off of a customer whose
// server accepts connections but never answers.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "DbiFixture.h"

namespace {

using korbtest::MariaDbServer;
using korbtest::WaitFor;

// A TCP port on loopback that takes connections and never says a word, as
// a hung server or a half-dead host does.
class SilentTcpListener {
 public:
  SilentTcpListener() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd_, 16) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      ADD_FAILURE() << "listener";
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] {
      for (;;) {
        const int client = accept(fd_, nullptr, nullptr);
        if (client < 0) return;  // closed by the destructor
        accepted_ += 1;
        clients_.push_back(client);
      }
    });
  }
  ~SilentTcpListener() {
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    thread_.join();
    for (int client : clients_) close(client);
  }
  int Port() const { return port_; }
  int Accepted() const { return accepted_.load(); }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::atomic<int> accepted_{0};
  std::vector<int> clients_;  // touched by the accepting thread only
  std::thread thread_;
};

class SessionReuse : public DbiTest {
 protected:
  void TearDown() override {
    unsetenv("KORB_TIME_SCALE");
    Clock::Init(nullptr);
    DbiTest::TearDown();
  }

  static void SetScale(const char* scale) {
    setenv("KORB_TIME_SCALE", scale, 1);
    ASSERT_TRUE(Clock::Init(nullptr));
  }

  long Sessions(const std::string& database) {
    return Count("select * from information_schema.processlist where db = '" + database + "'");
  }

  // The server's id of the session that the object's statements run on.
  static std::string SessionId(CDBI& db) {
    std::string id;
    EXPECT_EQ(1, db.getValueFromQuery("select connection_id() as outputvalue", id));
    return id;
  }
};

}  // namespace

TEST_F(SessionReuse, NextObjectTakesTheSessionAndARestartedServerGivesAFreshOne) {
  CreateCustomerDatabase("cust_r", "cust_r");
  auto first = std::make_unique<CDBI>(logger_.get(), "cust_r", "");
  ASSERT_TRUE(first->m_bReady);
  EXPECT_EQ(1, first->executeSQL("insert into configsettings values ('PASS', '1')"));
  const std::string id = SessionId(*first);
  first.reset();

  auto second = std::make_unique<CDBI>(logger_.get(), "cust_r", "");
  ASSERT_TRUE(second->m_bReady);
  EXPECT_EQ(id, SessionId(*second));
  EXPECT_EQ(1, Sessions("cust_r"));
  second.reset();

  // The server restarts between two passes: the kept session is dead, and
  // the next pass must not lose a statement to it.
  MariaDbServer::Instance().Stop();
  MariaDbServer::Instance().Start();
  auto third = std::make_unique<CDBI>(logger_.get(), "cust_r", "");
  ASSERT_TRUE(third->m_bReady);
  EXPECT_EQ(1, third->executeSQL("update configsettings set SettingValue = '3' "
                                 "where SettingKey = 'PASS'"));
  EXPECT_NE(id, SessionId(*third));
  std::string mode;
  ASSERT_EQ(1, third->getValueFromQuery("select @@session.sql_mode as outputvalue", mode));
  EXPECT_NE(std::string::npos, mode.find("NO_BACKSLASH_ESCAPES"));
  EXPECT_FALSE(third->m_bConnectionError);
  EXPECT_EQ(0, LogLines("[ERROR]"));

  // A changed group (another database) is another customer: no reuse.
  CreateCustomerDatabase("cust_s", "cust_r");
  third.reset();
  auto moved = std::make_unique<CDBI>(logger_.get(), "cust_r", "");
  EXPECT_EQ("cust_s", moved->DatabaseName());
  std::string where;
  ASSERT_EQ(1, moved->getValueFromQuery("select database() as outputvalue", where));
  EXPECT_EQ("cust_s", where);
}

TEST_F(SessionReuse, KeptSessionOfACustomerNoLongerServedClosesAfterTheIdleTime) {
  SetScale("1000");  // ten scaled minutes of idle time pass in 0.6 s
  CreateCustomerDatabase("cust_gone", "cust_gone");
  CreateCustomerDatabase("cust_stays", "cust_stays");
  std::make_unique<CDBI>(logger_.get(), "cust_gone", "").reset();
  EXPECT_EQ(1, Sessions("cust_gone"));
  // The customer is removed; only the others are served from now on.
  EXPECT_TRUE(WaitFor(
      [&] {
        CDBI other(logger_.get(), "cust_stays", "");
        return Sessions("cust_gone") == 0;
      },
      std::chrono::seconds(20)));
  EXPECT_EQ(1, Sessions("cust_stays"));
}

TEST_F(SessionReuse, CustomerThatNeverAnswersIsNotTriedAgainUntilItsBackOffHasPassed) {
  SetScale("10");  // back-off of 5 s, then 10 s: 0.5 s and 1 s
  SilentTcpListener silent;
  AddOptions("hung", "host=127.0.0.1\nport=" + std::to_string(silent.Port()) +
                         "\nuser=root\ndatabase=orb\n");
  {
    CDBI db(logger_.get(), "hung", "");  // waits out the connect time-out once
    EXPECT_FALSE(db.m_bReady);
    DBRows rows;
    EXPECT_EQ(-1, db.getRows("select 1 as x", {"x"}, rows));
  }
  EXPECT_EQ(1, silent.Accepted());
  {
    CDBI db(logger_.get(), "hung", "");  // within the back-off: not tried
    EXPECT_FALSE(db.m_bReady);
  }
  EXPECT_EQ(1, silent.Accepted());

  // Once the back-off has passed the cache tries the customer again on a
  // thread of its own: the object is not held up by the connect time-out.
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  const auto start = std::chrono::steady_clock::now();
  {
    CDBI db(logger_.get(), "hung", "");
    EXPECT_FALSE(db.m_bReady);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_TRUE(WaitFor([&] { return silent.Accepted() == 2; }, std::chrono::seconds(5)));
  // While that connect waits out its time-out, and within the longer
  // back-off after it, nobody tries.
  CDBI(logger_.get(), "hung", "");
  EXPECT_EQ(2, silent.Accepted());
  EXPECT_EQ(1, LogLines("Connecting to DSN 'hung'"));
}

TEST_F(SessionReuse, CustomerWhoseServerComesBackIsServedFromTheSessionTriedInTheBackground) {
  SetScale("10");  // first back-off 0.5 s
  CreateCustomerDatabase("cust_back", "cust_back");
  // The customer's server is reached through a socket path that does not
  // exist yet: its connects fail at once.
  const std::string link = InstallDir() + "/back.sock";
  AddOptions("back", "socket=" + link + "\nuser=root\ndatabase=cust_back\n");
  {
    CDBI db(logger_.get(), "back", "");
    EXPECT_FALSE(db.m_bReady);
  }
  ASSERT_EQ(0, symlink(MariaDbServer::Instance().Socket().c_str(), link.c_str()));
  // Passes go on; once the back-off has passed, the cache's own connect
  // succeeds and a later object is served by that session.
  bool served = false;
  EXPECT_TRUE(WaitFor(
      [&] {
        CDBI db(logger_.get(), "back", "");
        served = db.m_bReady;
        return served;
      },
      std::chrono::seconds(20)));
  EXPECT_EQ(1, Sessions("cust_back"));
  EXPECT_EQ(1, LogLines("Connecting to DSN 'back'"));
}
