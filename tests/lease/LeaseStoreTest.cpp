// The lease's statements and its keeper against the test server: grants,
// refusals, renewals, expiry on the server's clock, and the holder that
// stops on its own clock before the server's expiry.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "TestDatabase.h"
#include "lease_keeper.h"
#include "lease_store.h"
#include "utilLib.h"

namespace {

using namespace std::chrono_literals;
using lease::LeaseKeeper;
using lease::LeaseRow;
using lease::LeaseStore;
using lease::Outcome;

class LeaseStoreTest : public korbtest::DbTest {
 protected:
  lease::StoreSettings Settings() const {
    lease::StoreSettings settings;
    settings.option_file = OptionFile();
    settings.dsn = "orb";
    settings.database = "orb";
    return settings;
  }
};

TEST_F(LeaseStoreTest, OneHolderAtATimeAndEveryGrantRaisesTheEpoch) {
  LeaseStore a(Settings());
  LeaseStore b(Settings());
  ASSERT_EQ(a.EnsureRow(), Outcome::kDone) << a.Error();
  ASSERT_EQ(b.EnsureRow(), Outcome::kDone) << b.Error();  // never changes a lease

  uint64_t epoch_a = 0;
  uint64_t epoch_b = 0;
  LeaseRow granted;
  ASSERT_EQ(a.TryAcquire("host-a", 60000, &epoch_a, &granted), Outcome::kDone) << a.Error();
  EXPECT_EQ(epoch_a, 1u);
  EXPECT_EQ(granted.previous_epoch, 0u);
  EXPECT_EQ(b.TryAcquire("host-b", 60000, &epoch_b, nullptr), Outcome::kRefused);
  // Renewing changes nothing a row count could miss: matched rows decide.
  EXPECT_EQ(a.Renew("host-a", epoch_a, 60000), Outcome::kDone);
  EXPECT_EQ(a.Renew("host-a", epoch_a, 60000), Outcome::kDone);
  EXPECT_EQ(b.Renew("host-b", epoch_a, 60000), Outcome::kRefused);
  EXPECT_EQ(a.Renew("host-a", epoch_a + 1, 60000), Outcome::kRefused);

  // An orderly release hands over at once and says so to the successor.
  ASSERT_EQ(a.Release("host-a", epoch_a, true), Outcome::kDone);
  ASSERT_EQ(b.TryAcquire("host-b", 60000, &epoch_b, &granted), Outcome::kDone);
  EXPECT_EQ(epoch_b, 2u);
  EXPECT_EQ(granted.previous_holder, "host-a");
  EXPECT_EQ(granted.previous_epoch, epoch_a);
  EXPECT_TRUE(granted.previous_clean_end);
  // The former holder can neither renew nor release what it gave away.
  EXPECT_EQ(a.Renew("host-a", epoch_a, 60000), Outcome::kRefused);
  EXPECT_EQ(a.Release("host-a", epoch_a, true), Outcome::kRefused);

  // A holder name is one instance: its new process takes its lease back
  // at once, as a new epoch, and learns that the old one did not end in order.
  uint64_t again = 0;
  ASSERT_EQ(b.TryAcquire("host-b", 60000, &again, &granted), Outcome::kDone);
  EXPECT_EQ(again, 3u);
  EXPECT_FALSE(granted.previous_clean_end);
  EXPECT_EQ(b.Renew("host-b", epoch_b, 60000), Outcome::kRefused);

  // Quotes in a holder name stay inside the statement.
  uint64_t odd = 0;
  EXPECT_EQ(a.TryAcquire("it's' OR '1'='1", 1000, &odd, nullptr), Outcome::kRefused);
  EXPECT_EQ(Scalar("select holder from korb_scheduler_lease"), "host-b");
}

TEST_F(LeaseStoreTest, ExpiryIsTheServersAndAnExpiredLeaseCannotBeRenewed) {
  LeaseStore a(Settings());
  LeaseStore b(Settings());
  ASSERT_EQ(a.EnsureRow(), Outcome::kDone);
  uint64_t epoch = 0;
  ASSERT_EQ(a.TryAcquire("host-a", 300, &epoch, nullptr), Outcome::kDone);
  uint64_t other = 0;
  EXPECT_EQ(b.TryAcquire("host-b", 300, &other, nullptr), Outcome::kRefused);
  // The server decides: move its expiry into the past as its clock sees it.
  Exec("update korb_scheduler_lease set expires_at = UTC_TIMESTAMP(6) - interval 1 second");
  EXPECT_EQ(a.Renew("host-a", epoch, 60000), Outcome::kRefused);
  LeaseRow row;
  ASSERT_EQ(b.TryAcquire("host-b", 60000, &other, &row), Outcome::kDone);
  EXPECT_EQ(other, epoch + 1);
  EXPECT_FALSE(row.previous_clean_end);
  ASSERT_EQ(a.Read(&row), Outcome::kDone);
  EXPECT_GT(row.remaining_ms, 50000);
}

// A schema from before the lease: the store makes the table and its row;
// an account that may not create it fails, and never grants.
TEST_F(LeaseStoreTest, AMissingTableIsMadeAndAnAccountWithoutCreateFails) {
  Exec("rename table korb_scheduler_lease to korb_scheduler_lease_away");
  LeaseStore a(Settings());
  uint64_t epoch = 0;
  EXPECT_EQ(a.EnsureRow(), Outcome::kDone) << a.Error();
  EXPECT_EQ(a.TryAcquire("host-a", 1000, &epoch, nullptr), Outcome::kDone) << a.Error();
  EXPECT_EQ(epoch, 1u);
  EXPECT_EQ(Scalar("select holder from korb_scheduler_lease"), "host-a");

  Exec("drop table korb_scheduler_lease;"
       "drop user if exists 'korb_dml'@'localhost';"
       "create user 'korb_dml'@'localhost';"
       "grant select, insert, update, delete on orb.* to 'korb_dml'@'localhost'");
  AddOptions("orb_dml", Format("socket=%s\nuser=korb_dml\ndatabase=orb\n",
                               korbtest::MariaDbServer::Instance().Socket().c_str()));
  lease::StoreSettings settings = Settings();
  settings.dsn = "orb_dml";
  LeaseStore b(settings);
  EXPECT_EQ(b.EnsureRow(), Outcome::kFailed);
  EXPECT_EQ(b.TryAcquire("host-b", 1000, &epoch, nullptr), Outcome::kFailed);
  EXPECT_NE(b.Error().find("korb_scheduler_lease"), std::string::npos) << b.Error();
  Exec("rename table korb_scheduler_lease_away to korb_scheduler_lease;"
       "drop user 'korb_dml'@'localhost'");
}

// The keeper of a lease taken over by another instance (here: by the test,
// as a takeover would) hears of it at its next renewal and stops writing.
TEST_F(LeaseStoreTest, KeeperLosesATakenLeaseWithinOneRenewal) {
  lease::KeeperSettings settings = lease::DefaultTiming(2000);
  settings.store = Settings();
  settings.holder = "keeper-a";
  std::atomic<int> started{0};
  std::atomic<int> lost{0};
  lease::KeeperCallbacks callbacks;
  callbacks.on_started_leading = [&](uint64_t, const LeaseRow&) { ++started; };
  callbacks.on_lost = [&](bool, const std::string&) { ++lost; };
  LeaseKeeper keeper(settings, callbacks);
  keeper.Start();
  ASSERT_TRUE(keeper.WaitUntilLeading([] { return false; }, 100));
  EXPECT_TRUE(keeper.MayWrite());
  EXPECT_EQ(started.load(), 1);
  const uint64_t epoch = keeper.Epoch();
  Exec("update korb_scheduler_lease set holder = 'keeper-b', epoch = epoch + 1");
  ASSERT_TRUE(korbtest::WaitFor([&] { return lost.load() == 1; },
                                std::chrono::milliseconds(settings.renew_every_ms * 3)));
  EXPECT_FALSE(keeper.MayWrite());
  std::string error;
  EXPECT_EQ(keeper.Release(true, &error), Outcome::kRefused);
  EXPECT_EQ(Scalar("select holder from korb_scheduler_lease"), "keeper-b");
  EXPECT_EQ(Scalar("select epoch from korb_scheduler_lease"), std::to_string(epoch + 1));
}

// A takeover while the holder's renewals wait on a lock of the row (on
// Galera: the new holder's fences) and fail past its deadline: the server
// still answers, so the holder reads the row and hears of the takeover,
// instead of counting itself merely out of touch.
TEST_F(LeaseStoreTest, KeeperWhoseRenewalsFailOnALockStillHearsOfTheTakeover) {
  lease::KeeperSettings settings = lease::DefaultTiming(3000);
  settings.store = Settings();
  settings.holder = "keeper-a";
  std::atomic<int> lost{0};
  std::atomic<bool> taken_over{false};
  lease::KeeperCallbacks callbacks;
  callbacks.on_lost = [&](bool taken, const std::string&) {
    taken_over = taken;
    ++lost;
  };
  LeaseKeeper keeper(settings, callbacks);
  keeper.Start();
  ASSERT_TRUE(keeper.WaitUntilLeading([] { return false; }, 100));
  std::thread locker([this] {
    Exec("update korb_scheduler_lease set holder = 'keeper-b', epoch = epoch + 1, "
         "expires_at = utc_timestamp(6) + interval 1 minute; "
         "begin; select epoch from korb_scheduler_lease for update; do sleep(4); rollback");
  });
  const bool ended = korbtest::WaitFor([&] { return lost.load() == 1; }, 4s);
  locker.join();
  ASSERT_TRUE(ended);
  EXPECT_TRUE(taken_over.load());
  EXPECT_FALSE(keeper.MayWrite());
  EXPECT_EQ(Scalar("select holder from korb_scheduler_lease"), "keeper-b");
}

// A server that stops answering: the holder gives up on its own clock, a
// margin before the lease could expire in the database.
TEST_F(LeaseStoreTest, KeeperStopsBeforeTheServersExpiryWhenTheServerIsSilent) {
  lease::KeeperSettings settings = lease::DefaultTiming(3000);
  settings.store = Settings();
  settings.holder = "keeper-a";
  std::atomic<int64_t> lost_at_ms{0};
  lease::KeeperCallbacks callbacks;
  callbacks.on_lost = [&](bool, const std::string&) {
    lost_at_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now().time_since_epoch())
                     .count();
  };
  LeaseKeeper keeper(settings, callbacks);
  keeper.Start();
  ASSERT_TRUE(keeper.WaitUntilLeading([] { return false; }, 100));
  // The lease as the server last extended it, measured from here.
  LeaseStore reader(Settings());
  LeaseRow row;
  ASSERT_EQ(reader.Read(&row), Outcome::kDone);
  const int64_t now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now().time_since_epoch())
                             .count();
  const int pid = korbtest::MariaDbServer::Instance().Pid();
  ASSERT_GT(pid, 0);
  ASSERT_EQ(kill(pid, SIGSTOP), 0);
  const bool stopped_in_time = korbtest::WaitFor([&] { return lost_at_ms.load() != 0; }, 6s);
  kill(pid, SIGCONT);
  ASSERT_TRUE(stopped_in_time);
  EXPECT_FALSE(keeper.MayWrite());
  // Renewals while stopped could not extend it: the server's expiry lies at
  // or after the last answered one.
  EXPECT_LT(lost_at_ms.load(), now_ms + row.remaining_ms);
  EXPECT_GT(keeper.RenewFailures(), 0u);
}

}  // namespace
