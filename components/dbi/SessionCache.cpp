#include "SessionCache.h"

#include <poll.h>

#include <algorithm>

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

void SessionCache::SweepLocked(int64_t now_us, std::vector<MYSQL*>* doomed) {
  const int64_t oldest_allowed = now_us - ScaledUs(kIdleCloseMs);
  while (!kept_.empty() &&
         (kept_.size() > kMaxIdle || kept_.back().since_us < oldest_allowed)) {
    doomed->push_back(kept_.back().mysql);
    kept_.pop_back();
  }
}

MYSQL* SessionCache::Take(const std::string& key) {
  for (;;) {
    std::vector<MYSQL*> doomed;
    Kept found{"", nullptr, 0};
    const int64_t now_us = Clock::MonotonicMicros();
    {
      std::lock_guard<std::mutex> lock(mu_);
      SweepLocked(now_us, &doomed);
      auto it = std::find_if(kept_.begin(), kept_.end(),
                             [&key](const Kept& kept) { return kept.key == key; });
      if (it != kept_.end()) {
        found = std::move(*it);
        kept_.erase(it);
      }
    }
    CloseAll(doomed);
    if (found.mysql == nullptr) return nullptr;
    const bool idle_long = now_us - found.since_us > kPingAfterMs * 1000;
    if (SocketLooksAlive(found.mysql) && (!idle_long || mysql_ping(found.mysql) == 0))
      return found.mysql;
    mysql_close(found.mysql);  // gone; try the next kept one of this key
  }
}

void SessionCache::Give(const std::string& key, MYSQL* mysql) {
  std::vector<MYSQL*> doomed;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_) {
      doomed.push_back(mysql);
    } else {
      const int64_t now_us = Clock::MonotonicMicros();
      kept_.push_front({key, mysql, now_us});
      SweepLocked(now_us, &doomed);
    }
  }
  CloseAll(doomed);
}

bool SessionCache::MayConnect(const std::string& key, std::string* why) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = back_off_.find(key);
  if (it == back_off_.end()) return true;
  const int64_t wait_us = it->second.retry_at_us - Clock::MonotonicMicros();
  if (wait_us <= 0) return true;
  *why = Format("not tried again for %lld ms after %d failed connect(s); last: %s",
                static_cast<long long>(wait_us / 1000), it->second.failures,
                it->second.error.c_str());
  return false;
}

void SessionCache::Connected(const std::string& key, bool ok, const std::string& error) {
  std::lock_guard<std::mutex> lock(mu_);
  if (ok) {
    back_off_.erase(key);
    return;
  }
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
  }
  CloseAll(doomed);
}

size_t SessionCache::IdleCount() {
  std::lock_guard<std::mutex> lock(mu_);
  return kept_.size();
}

}  // namespace dbi
