// A statement that ends in a deadlock error gives up its session: the next
// statement runs on a new one, and nothing of the broken transaction is
// committed. On a Galera cluster that is how sessions of this process that
// a proxy spread over two nodes come together again.
#include <chrono>
#include <thread>

#include "DbiFixture.h"

namespace {

using namespace std::chrono_literals;

class DeadlockTest : public DbiTest {
 protected:
  std::string ConnectionId(CDBI& db) {
    std::string id;
    EXPECT_EQ(db.getValueFromQuery("select connection_id() as OutputValue", id), 1);
    return id;
  }
};

TEST_F(DeadlockTest, TheVictimsSessionIsReplacedAndItsTransactionCommitsNothing) {
  Exec("create table lock_pair (id int primary key, v int) engine=innodb;"
       "create table filler (id int primary key) engine=innodb;"
       "insert into lock_pair values (1, 0), (2, 0)");
  const std::string before = ConnectionId(*db_);

  // The other transaction changes many rows, so the server picks this
  // object's smaller transaction as the deadlock's victim.
  std::thread other([this] {
    Exec("begin; insert into filler select seq from seq_1_to_200;"
         "update lock_pair set v = 2 where id = 1; do sleep(1);"
         "update lock_pair set v = 2 where id = 2; do sleep(1); rollback");
  });
  ASSERT_TRUE(korbtest::WaitFor(
      [&] {
        return Count("select count(*) from information_schema.processlist "
                     "where info = 'do sleep(1)'") == 1;
      },
      5s));
  ASSERT_EQ(db_->BeginTransaction(), 1);
  EXPECT_EQ(db_->executeSQL("update lock_pair set v = 1 where id = 2"), 1);
  EXPECT_EQ(db_->executeSQL("update lock_pair set v = 1 where id = 1"), -1);
  EXPECT_EQ(db_->CommitTransaction(""), -1);
  other.join();

  EXPECT_GE(LogLines("(errno 1213)"), 1);
  const std::string after = ConnectionId(*db_);
  EXPECT_NE(after, before);
  EXPECT_EQ(Count("select count(*) from information_schema.processlist where id = " + before),
            0);
  EXPECT_EQ(Count("select count(*) from lock_pair where v = 1"), 0);
  // The new session works as any other.
  EXPECT_EQ(db_->executeSQL("update lock_pair set v = 3 where id = 1"), 1);
  EXPECT_EQ(Scalar("select v from lock_pair where id = 1"), "3");
}

}  // namespace
