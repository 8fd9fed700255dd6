#include "lease_keeper.h"

#include <algorithm>
#include <chrono>

namespace lease {

namespace {
constexpr char kTakenOver[] = "another instance holds it now, or it expired in the database";
}  // namespace

KeeperSettings DefaultTiming(int64_t duration_ms) {
  KeeperSettings settings;
  settings.duration_ms = duration_ms;
  settings.renew_every_ms = std::max<int64_t>(100, duration_ms / 6);
  settings.retry_every_ms = settings.renew_every_ms;
  settings.margin_ms = std::max<int64_t>(200, duration_ms / 3);
  // A call that gets no answer within half the margin still leaves the
  // holder time to stop before the server's expiry.
  settings.store.timeout_s =
      static_cast<unsigned int>(std::max<int64_t>(1, settings.margin_ms / 2000));
  return settings;
}

LeaseKeeper::LeaseKeeper(KeeperSettings settings, KeeperCallbacks callbacks)
    : settings_(std::move(settings)),
      callbacks_(std::move(callbacks)),
      store_(settings_.store) {}

LeaseKeeper::~LeaseKeeper() { Stop(); }

int64_t LeaseKeeper::NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void LeaseKeeper::Start() {
  std::lock_guard<std::mutex> lock(mu_);
  if (thread_.joinable()) return;
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
}

void LeaseKeeper::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void LeaseKeeper::Nudge() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    ++nudges_;
  }
  cv_.notify_all();
}

bool LeaseKeeper::MayWrite() const {
  return leading_.load(std::memory_order_acquire) && !lost_.load(std::memory_order_acquire) &&
         NowUs() < deadline_us_.load(std::memory_order_acquire);
}

int64_t LeaseKeeper::MillisecondsLeft() const {
  if (!leading_.load()) return 0;
  return (deadline_us_.load() - NowUs()) / 1000;
}

bool LeaseKeeper::WaitUntilLeading(const std::function<bool()>& give_up,
                                   int64_t check_every_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    if (leading_.load()) return true;
    lock.unlock();
    const bool quit = give_up();
    lock.lock();
    if (quit) return false;
    if (leading_.load()) return true;
    const uint64_t seen = nudges_;
    cv_.wait_for(lock, std::chrono::milliseconds(check_every_ms),
                 [&] { return leading_.load() || nudges_ != seen; });
  }
}

void LeaseKeeper::Run() {
  std::unique_lock<std::mutex> lock(mu_);
  StandBy(lock);
  if (!stop_ && leading_.load()) Lead(lock);
}

void LeaseKeeper::StandBy(std::unique_lock<std::mutex>& lock) {
  bool row_known = false;
  LeaseRow last_seen;
  bool seen_any = false;
  while (!stop_) {
    lock.unlock();
    Outcome outcome = Outcome::kFailed;
    uint64_t epoch = 0;
    LeaseRow granted;
    LeaseRow holder_row;
    bool read_holder = false;
    const int64_t sent_us = NowUs();
    if (!row_known) row_known = store_.EnsureRow() == Outcome::kDone;
    if (row_known) {
      // While another holder's lease runs, the request is not made at all:
      // the read takes no lock, where the request would wait for (and on
      // Galera conflict with) every fence of the active. The request alone
      // decides a grant.
      read_holder = store_.Read(&holder_row) == Outcome::kDone;
      if (read_holder && holder_row.holder != settings_.holder && holder_row.remaining_ms > 0) {
        outcome = Outcome::kRefused;
      } else {
        outcome = store_.TryAcquire(settings_.holder, settings_.duration_ms, &epoch, &granted);
        if (outcome == Outcome::kRefused)
          read_holder = store_.Read(&holder_row) == Outcome::kDone;
      }
    }
    const std::string error = store_.Error();
    requests_failing_.store(outcome == Outcome::kFailed, std::memory_order_release);
    lock.lock();
    if (outcome == Outcome::kDone) {
      if (stop_) {
        // Asked to stop while the grant was on its way: give it back.
        lock.unlock();
        store_.Release(settings_.holder, epoch, false);
        lock.lock();
        return;
      }
      epoch_.store(epoch, std::memory_order_release);
      deadline_us_.store(sent_us + (settings_.duration_ms - settings_.margin_ms) * 1000,
                         std::memory_order_release);
      lost_.store(false);
      leading_.store(true, std::memory_order_release);
      lock.unlock();
      if (callbacks_.on_started_leading) callbacks_.on_started_leading(epoch, granted);
      lock.lock();
      cv_.notify_all();
      return;
    }
    lock.unlock();
    if (outcome == Outcome::kFailed) {
      row_known = false;
      if (callbacks_.on_call_failed) callbacks_.on_call_failed(false, error);
    } else if (read_holder && callbacks_.on_other_holder &&
               (!seen_any || holder_row.holder != last_seen.holder ||
                holder_row.epoch != last_seen.epoch)) {
      seen_any = true;
      last_seen = holder_row;
      callbacks_.on_other_holder(holder_row);
    }
    lock.lock();
    cv_.wait_for(lock, std::chrono::milliseconds(settings_.retry_every_ms),
                 [this] { return stop_; });
  }
}

void LeaseKeeper::Lose(bool taken_over, const std::string& why) {
  lost_.store(true, std::memory_order_release);
  if (callbacks_.on_lost) callbacks_.on_lost(taken_over, why);
}

bool LeaseKeeper::TakenOver() {
  LeaseRow row;
  return store_.Read(&row) == Outcome::kDone &&
         (row.holder != settings_.holder || row.epoch != epoch_.load() || row.remaining_ms <= 0);
}

void LeaseKeeper::Lead(std::unique_lock<std::mutex>& lock) {
  int64_t last_sent_us = deadline_us_.load() - (settings_.duration_ms - settings_.margin_ms) * 1000;
  bool last_failed = false;
  bool last_failure_answered = false;
  while (!stop_) {
    // Wake for the next renewal, or at the deadline when renewals fail.
    const int64_t deadline_us = deadline_us_.load();
    const int64_t wake_us = std::min(last_sent_us + settings_.renew_every_ms * 1000, deadline_us);
    const int64_t wait_us = wake_us - NowUs();
    if (wait_us > 0)
      cv_.wait_for(lock, std::chrono::microseconds(wait_us), [this] { return stop_; });
    if (stop_) return;
    lock.unlock();
    // Past the deadline (a freeze, or renewals that got no answer) the
    // instance may not act any more (MayWrite); one more renewal tells
    // whether the lease was taken over meanwhile, still ours, or unknown.
    // When the renewals before failed, the database is out of reach: the
    // sessions are closed now, before the lease could expire there.
    const bool late = NowUs() >= deadline_us_.load();
    // Late after a freeze (the renewals before it got through), first a
    // plain read (it takes no lock, so nothing it could conflict with): a
    // lease that another instance holds now, or that expired in the
    // database, ends this one at once. A renewal could not tell that when
    // it fails, and on Galera it fails often right then: the new holder's
    // fences write the row it would change. The same holds when the last
    // renewal failed with the server's own answer (a lock wait, a
    // deadlock): the server is there, so the read is quick. Only a server
    // that did not answer ends the lease without asking again.
    if (late && (!last_failed || last_failure_answered)) {
      if (TakenOver()) {
        Lose(true, kTakenOver);
        lock.lock();
        return;
      }
    }
    if (late && last_failed) {
      Lose(false, "it was not renewed before this instance's own deadline");
      lock.lock();
      return;
    }
    const int64_t sent_us = NowUs();
    last_sent_us = sent_us;
    const Outcome outcome =
        store_.Renew(settings_.holder, epoch_.load(), settings_.duration_ms);
    if (outcome == Outcome::kFailed) {
      renew_failures_.fetch_add(1);
      // A freeze may have come between the deadline check and the answer:
      // then the renewal was sent late, and it failed; the read above
      // tells a takeover from a loss of touch.
      if (late || NowUs() >= deadline_us_.load()) {
        if (store_.LastFailureWasAnswered() && TakenOver())
          Lose(true, kTakenOver);
        else
          Lose(false, "it was not renewed before this instance's own deadline");
        lock.lock();
        return;
      }
    }
    last_failure_answered = outcome == Outcome::kFailed && store_.LastFailureWasAnswered();
    last_failed = outcome == Outcome::kFailed;
    if (outcome == Outcome::kDone) {
      // Never moves the deadline back: a renewal answered late was sent
      // late too, and counts from when it was sent.
      const int64_t next = sent_us + (settings_.duration_ms - settings_.margin_ms) * 1000;
      if (next > deadline_us_.load()) deadline_us_.store(next, std::memory_order_release);
    } else if (outcome == Outcome::kRefused) {
      Lose(true, kTakenOver);
      lock.lock();
      return;
    } else {
      if (callbacks_.on_call_failed) callbacks_.on_call_failed(true, store_.Error());
    }
    // A freeze between the deadline check and the renewal: the renewal
    // may have come back refused or succeeded late; either way the check
    // at the top of the loop and MayWrite() hold.
    lock.lock();
  }
}

Outcome LeaseKeeper::Release(bool clean_end, std::string* error) {
  const bool was_leading = leading_.load() && !lost_.load();
  Stop();
  if (!was_leading) {
    if (error != nullptr) *error = "this instance does not hold the lease";
    return Outcome::kRefused;
  }
  leading_.store(false, std::memory_order_release);
  if (NowUs() >= deadline_us_.load() && TakenOver()) {
    // Past the deadline (a freeze, or renewals that did not get through)
    // and the end came before this thread decided: a lease taken over
    // meanwhile is lost, not released.
    lost_.store(true, std::memory_order_release);
    lost_at_end_.store(true, std::memory_order_release);
    store_.Close();
    if (error != nullptr) *error = kTakenOver;
    return Outcome::kRefused;
  }
  const Outcome outcome = store_.Release(settings_.holder, epoch_.load(), clean_end);
  if (error != nullptr) *error = store_.Error();
  store_.Close();
  return outcome;
}

}  // namespace lease
