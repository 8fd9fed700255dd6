// The lease keeper: one thread that asks for the scheduler lease while
// this instance stands by, and renews it while the instance is active.
//
// Which clock decides what:
//   - Expiry is decided on the database's clock (LeaseStore): a grant or
//     renewal is good until the server's now + duration.
//   - The holder stops on its own monotonic clock: its deadline is the
//     moment it *sent* its last successful renewal (or grant) + duration -
//     margin. The server ran the statement after it was sent, so the
//     server's expiry always lies at least `margin` beyond the deadline,
//     whatever either wall clock does (steps of the host's wall clock
//     change nothing: no wall time of this host is used at all).
//
// Once the deadline passes without a renewal, or a renewal finds the lease
// taken over, the keeper calls on_lost once, from its thread, and renews
// no more; the instance must stop all database work there. MayWrite() is
// the cheap check for everything else: it turns false at the deadline
// even when the keeper's thread has not yet run (after a freeze, for one).
//
// Thread-safe: Leading, Epoch and MayWrite may be called from any thread;
// Start, WaitUntilLeading, Release and Stop from one owner thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "lease_store.h"

namespace lease {

struct KeeperSettings {
  StoreSettings store;
  std::string holder;           // this instance's name (host and lock file)
  int64_t duration_ms = 6000;   // how long a grant or renewal lasts
  int64_t renew_every_ms = 1000;
  int64_t margin_ms = 2000;     // the holder stops this long before expiry
  int64_t retry_every_ms = 1000;  // a standby asks this often
};

// Durations derived from one setting: renew and retry at a sixth of the
// lease, stop a third of it before expiry.
KeeperSettings DefaultTiming(int64_t duration_ms);

struct KeeperCallbacks {
  // This instance now holds epoch; previous is the row the grant replaced
  // (its previous_* fields). Called on the keeper's thread.
  std::function<void(uint64_t epoch, const LeaseRow& granted)> on_started_leading;
  // The lease is lost (why says how); called once, on the keeper's thread.
  // taken_over: the database said so (another instance holds it or it has
  // expired there); otherwise no renewal got through before the deadline.
  std::function<void(bool taken_over, const std::string& why)> on_lost;
  // A standby saw another holder (called when holder or epoch changes).
  std::function<void(const LeaseRow& row)> on_other_holder;
  // A renewal or a request failed without an answer (why: the error).
  std::function<void(bool leading, const std::string& why)> on_call_failed;
};

class LeaseKeeper {
 public:
  LeaseKeeper(KeeperSettings settings, KeeperCallbacks callbacks);
  ~LeaseKeeper();  // stops the thread (never releases)
  LeaseKeeper(const LeaseKeeper&) = delete;
  LeaseKeeper& operator=(const LeaseKeeper&) = delete;

  // Starts the thread; it asks for the lease at once.
  void Start();

  // Blocks until this instance leads (true) or `give_up` returns true
  // (false); give_up is asked at least every check_every_ms and whenever
  // Nudge() is called.
  bool WaitUntilLeading(const std::function<bool()>& give_up, int64_t check_every_ms);
  // Wakes WaitUntilLeading to ask give_up again.
  void Nudge();

  bool Leading() const { return leading_.load(std::memory_order_acquire); }
  uint64_t Epoch() const { return epoch_.load(std::memory_order_acquire); }
  // Leading and the deadline not yet passed.
  bool MayWrite() const;
  // Milliseconds left before the holder's own deadline (<= 0: passed).
  int64_t MillisecondsLeft() const;
  // Renewals that failed so far.
  uint64_t RenewFailures() const { return renew_failures_.load(); }
  // True while a standby's last request got no answer (the database is out
  // of its reach).
  bool RequestsFailing() const { return requests_failing_.load(std::memory_order_acquire); }

  // Ends the lease after an orderly teardown: stops the thread, then one
  // release statement (recording clean_end). Returns that statement's
  // outcome; kRefused when the lease was no longer ours. Past the
  // holder's deadline the row is read first: a lease taken over meanwhile
  // is not released, LostAtEnd() says so and *error why.
  Outcome Release(bool clean_end, std::string* error);
  bool LostAtEnd() const { return lost_at_end_.load(std::memory_order_acquire); }

  // Stops the thread without releasing (a standby that ends).
  void Stop();
  // Reads the row: true when another instance holds it now, or it expired
  // in the database. Called from outside only after Stop().
  bool TakenOver();

  const KeeperSettings& Settings() const { return settings_; }

 private:
  void Run();
  void StandBy(std::unique_lock<std::mutex>& lock);
  void Lead(std::unique_lock<std::mutex>& lock);
  void Lose(bool taken_over, const std::string& why);
  static int64_t NowUs();

  const KeeperSettings settings_;
  const KeeperCallbacks callbacks_;
  LeaseStore store_;  // the keeper thread's, and Release's after it stopped

  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  uint64_t nudges_ = 0;
  std::thread thread_;

  std::atomic<bool> leading_{false};
  std::atomic<bool> lost_{false};
  std::atomic<bool> lost_at_end_{false};
  std::atomic<uint64_t> epoch_{0};
  std::atomic<int64_t> deadline_us_{0};
  std::atomic<uint64_t> renew_failures_{0};
  std::atomic<bool> requests_failing_{false};
};

}  // namespace lease
