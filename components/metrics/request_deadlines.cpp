#include "request_deadlines.h"

#include <sys/socket.h>

namespace metrics {

RequestDeadlines::RequestDeadlines(std::chrono::milliseconds limit)
    : limit_(limit), thread_([this] { Run(); }) {}

RequestDeadlines::~RequestDeadlines() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  changed_.notify_one();
  thread_.join();
}

void RequestDeadlines::Arm(const void* key, int fd) {
  std::lock_guard<std::mutex> lock(mu_);
  const auto found = by_key_.find(key);
  if (found != by_key_.end()) armed_.erase(found->second);
  const bool was_empty = armed_.empty();
  armed_.push_back(Entry{key, fd, std::chrono::steady_clock::now() + limit_});
  by_key_[key] = std::prev(armed_.end());
  // A later deadline never moves the earliest one; only an empty list
  // leaves the thread waiting without a time-out.
  if (was_empty) changed_.notify_one();
}

void RequestDeadlines::Forget(const void* key) {
  std::lock_guard<std::mutex> lock(mu_);
  const auto found = by_key_.find(key);
  if (found == by_key_.end()) return;
  armed_.erase(found->second);
  by_key_.erase(found);
}

void RequestDeadlines::Run() {
  std::unique_lock<std::mutex> lock(mu_);
  while (!stopping_) {
    if (armed_.empty()) {
      changed_.wait(lock);
      continue;
    }
    const auto deadline = armed_.front().deadline;
    if (std::chrono::steady_clock::now() < deadline) {
      changed_.wait_until(lock, deadline);
      continue;
    }
    // The library sees the end of the stream and closes the connection
    // (its close notice then finds nothing to forget).
    const Entry expired = armed_.front();
    armed_.pop_front();
    by_key_.erase(expired.key);
    shutdown(expired.fd, SHUT_RDWR);
  }
}

}  // namespace metrics
