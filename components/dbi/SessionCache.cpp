#include "SessionCache.h"

#include <poll.h>

#include <algorithm>
#include <iterator>
#include <system_error>
#include <thread>

#include "SessionTimeouts.h"
#include "utilLib.h"

namespace dbi {

namespace {

void CloseAll(const std::vector<MYSQL*>& doomed) {
  for (MYSQL* mysql : doomed) mysql_close(mysql);
}

int64_t ScaledUs(uint64_t ms) { return static_cast<int64_t>(Clock::ScaledMs(ms)) * 1000; }

// An idle session has nothing to read. Readable data, end of file or an
// error on its socket means the server closed it or said goodbye.
bool SocketLooksAlive(MYSQL* mysql) {
  const my_socket fd = mysql_get_socket(mysql);
  if (fd < 0) return false;
  pollfd entry{fd, POLLIN, 0};
  return poll(&entry, 1, 0) == 0;
}

}  // namespace

SessionCache& SessionCache::Instance() {
  static auto* cache = new SessionCache();  // never destroyed: threads may outlive main
  return *cache;
}

void SessionCache::UsedLocked(const std::string& key, int64_t now_us) {
  auto it = last_use_.find(key);
  if (it != last_use_.end()) use_order_.erase(it->second);
  use_order_.emplace_back(key, now_us);
  last_use_[key] = std::prev(use_order_.end());
}

MYSQL* SessionCache::PopOldestLocked() {
  Kept& oldest = kept_.back();
  MYSQL* mysql = oldest.mysql;
  auto it = by_key_.find(oldest.key);
  it->second.pop_front();  // the oldest of all is the oldest of its key
  if (it->second.empty()) by_key_.erase(it);
  kept_.pop_back();
  return mysql;
}

void SessionCache::SweepLocked(int64_t now_us, std::vector<MYSQL*>* doomed) {
  const int64_t oldest_allowed = now_us - ScaledUs(kIdleCloseMs);
  while (!use_order_.empty() && use_order_.front().second < oldest_allowed) {
    last_use_.erase(use_order_.front().first);
    use_order_.pop_front();
  }
  const size_t limit = LimitLocked();
  while (!kept_.empty() && (kept_.size() > limit || kept_.back().since_us < oldest_allowed))
    doomed->push_back(PopOldestLocked());
}

MYSQL* SessionCache::Take(const std::string& key) {
  for (;;) {
    std::vector<MYSQL*> doomed;
    Kept found{"", nullptr, 0};
    const int64_t now_us = Clock::MonotonicMicros();
    {
      std::lock_guard<std::mutex> lock(mu_);
      SweepLocked(now_us, &doomed);
      UsedLocked(key, now_us);
      auto it = by_key_.find(key);
      if (it != by_key_.end()) {
        // The most recently given one: the likeliest to be alive.
        KeptList::iterator newest = it->second.back();
        it->second.pop_back();
        if (it->second.empty()) by_key_.erase(it);
        found = std::move(*newest);
        kept_.erase(newest);
      }
    }
    CloseAll(doomed);
    if (found.mysql == nullptr) return nullptr;
    // A peer that vanished without a word leaves a socket that looks
    // fine; only an answer tells, and it is waited for no longer than the
    // check bound.
    const PingResult ping =
        SocketLooksAlive(found.mysql) ? PingWithin(found.mysql, kCheckTimeoutSeconds)
                                      : PingResult::kGone;
    if (ping == PingResult::kAlive) return found.mysql;
    mysql_close(found.mysql);
    if (ping == PingResult::kSilent) {
      // Its other kept sessions are as dead; nobody connects to it again
      // before the back-off has passed, and then off the caller's thread.
      Unanswered(key, Format("no answer to a ping within %u s", kCheckTimeoutSeconds));
      return nullptr;
    }
    // gone; try the next kept one of this key
  }
}

void SessionCache::Unanswered(const std::string& key, const std::string& why) {
  std::vector<MYSQL*> doomed;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = by_key_.find(key);
    if (it != by_key_.end()) {
      for (KeptList::iterator kept : it->second) {
        doomed.push_back(kept->mysql);
        kept_.erase(kept);
      }
      by_key_.erase(it);
    }
    FailedLocked(key, why);
  }
  CloseAll(doomed);
}

void SessionCache::KeepLocked(const std::string& key, MYSQL* mysql,
                              std::vector<MYSQL*>* doomed) {
  if (closed_) {
    doomed->push_back(mysql);
    return;
  }
  const int64_t now_us = Clock::MonotonicMicros();
  UsedLocked(key, now_us);
  kept_.push_front({key, mysql, now_us});
  by_key_[key].push_back(kept_.begin());
  SweepLocked(now_us, doomed);
}

void SessionCache::Give(const std::string& key, MYSQL* mysql) {
  std::vector<MYSQL*> doomed;
  {
    std::lock_guard<std::mutex> lock(mu_);
    KeepLocked(key, mysql, &doomed);
  }
  CloseAll(doomed);
}

bool SessionCache::MayConnect(const std::string& key, const Connector& connect,
                              std::string* why) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_) {
      *why = "the process is ending: no new customer session is opened";
      return false;
    }
    auto it = back_off_.find(key);
    if (it == back_off_.end()) return true;
    BackOff& entry = it->second;
    const int64_t wait_us = entry.retry_at_us - Clock::MonotonicMicros();
    if (entry.retrying || wait_us > 0 || closed_ ||
        retries_under_way_ >= kMaxRetriesUnderWay) {
      *why = entry.retrying
                 ? Format("being tried again after %d failed connect(s); last: %s",
                          entry.failures, entry.error.c_str())
                 : Format("not tried again for %lld ms after %d failed connect(s); last: %s",
                          static_cast<long long>(std::max<int64_t>(wait_us, 0) / 1000),
                          entry.failures, entry.error.c_str());
      return false;
    }
    entry.retrying = true;
    ++retries_under_way_;
    *why = Format("tried again in the background after %d failed connect(s); last: %s",
                  entry.failures, entry.error.c_str());
  }
  Retry(key, connect);
  return false;
}

void SessionCache::Retry(const std::string& key, const Connector& connect) {
  auto attempt = [this, key, connect] {
    std::string error;
    MYSQL* mysql = connect(&error);
    std::vector<MYSQL*> doomed;
    {
      std::lock_guard<std::mutex> lock(mu_);
      --retries_under_way_;
      back_off_[key].retrying = false;
      if (mysql == nullptr) {
        FailedLocked(key, error);
      } else {
        back_off_.erase(key);
        KeepLocked(key, mysql, &doomed);
      }
    }
    CloseAll(doomed);
  };
  try {
    // Detached: a connect may take its whole time-out, and the process
    // must not wait for it to end. The thread touches only the cache,
    // which is never destroyed.
    std::thread(std::move(attempt)).detach();
  } catch (const std::system_error&) {
    // No thread now: the next caller past the back-off asks again.
    std::lock_guard<std::mutex> lock(mu_);
    --retries_under_way_;
    back_off_[key].retrying = false;
  }
}

void SessionCache::Connected(const std::string& key, bool ok, const std::string& error) {
  std::lock_guard<std::mutex> lock(mu_);
  if (ok)
    back_off_.erase(key);
  else
    FailedLocked(key, error);
}

void SessionCache::FailedLocked(const std::string& key, const std::string& error) {
  BackOff& entry = back_off_[key];
  uint64_t delay_ms = kFirstBackOffMs;
  for (int i = 0; i < entry.failures && delay_ms < kMaxBackOffMs; ++i) delay_ms *= 2;
  entry.failures += 1;
  entry.retry_at_us = Clock::MonotonicMicros() + ScaledUs(std::min(delay_ms, kMaxBackOffMs));
  entry.error = error;
}

void SessionCache::CloseIdle(bool closed_for_good) {
  std::vector<MYSQL*> doomed;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_for_good) closed_ = true;
    for (Kept& kept : kept_) doomed.push_back(kept.mysql);
    kept_.clear();
    by_key_.clear();
  }
  CloseAll(doomed);
}

size_t SessionCache::IdleLimit() {
  std::lock_guard<std::mutex> lock(mu_);
  return LimitLocked();
}

size_t SessionCache::IdleCount() {
  std::lock_guard<std::mutex> lock(mu_);
  return kept_.size();
}

}  // namespace dbi
