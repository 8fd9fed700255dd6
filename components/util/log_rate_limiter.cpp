// Rate limiting of repeating log lines: a token bucket per key.
//
// Buckets refill on the monotonic clock, one line per scaled interval, so
// the limit follows KORB_TIME_SCALE like every other period of the daemon.
#include <atomic>
#include <cstdarg>
#include <unordered_map>

#include "utilLib.h"

namespace {

std::atomic<uint64_t> g_total_suppressed{0};

}  // namespace

struct LogRateLimiter::Impl {
  struct Bucket {
    int tokens;
    int64_t refilled_us;   // time the last token came back (or the start)
    uint64_t suppressed;   // held back since the last line written
  };

  Impl(int burst_lines, uint32_t interval) : burst(burst_lines), interval_ms(interval) {}

  const int burst;
  const uint32_t interval_ms;
  std::mutex mu;  // guards buckets
  std::unordered_map<std::string, Bucket> buckets;

  // REQUIRES: mu held.
  Bucket& Find(const std::string& key, int64_t now_us);
  void Refill(Bucket& bucket, int64_t now_us) const;
};

LogRateLimiter::Impl::Bucket& LogRateLimiter::Impl::Find(const std::string& key,
                                                         int64_t now_us) {
  auto it = buckets.find(key);
  if (it != buckets.end()) return it->second;
  if (buckets.size() >= kMaxKeys) {
    // Forget keys that are back at a full bucket with nothing pending:
    // they would behave the same when they come back.
    for (auto at = buckets.begin(); at != buckets.end();) {
      Refill(at->second, now_us);
      if (at->second.tokens >= burst && at->second.suppressed == 0)
        at = buckets.erase(at);
      else
        ++at;
    }
  }
  // Still full: a key set this large is itself a flood (for example one
  // key per sender), so every new key shares one bucket.
  const std::string slot = buckets.size() >= kMaxKeys ? std::string() : key;
  return buckets.try_emplace(slot, Bucket{burst, now_us, 0}).first->second;
}

void LogRateLimiter::Impl::Refill(Bucket& bucket, int64_t now_us) const {
  if (bucket.tokens >= burst) {
    bucket.refilled_us = now_us;
    return;
  }
  const int64_t interval_us =
      static_cast<int64_t>(Clock::ScaledMs(interval_ms)) * 1000;
  const int64_t elapsed = now_us - bucket.refilled_us;
  if (interval_us <= 0 || elapsed < interval_us) return;
  const int64_t earned = elapsed / interval_us;
  if (earned >= burst - bucket.tokens) {
    bucket.tokens = burst;
    bucket.refilled_us = now_us;
  } else {
    bucket.tokens += static_cast<int>(earned);
    bucket.refilled_us += earned * interval_us;
  }
}

LogRateLimiter::LogRateLimiter(int burst, uint32_t intervalMs)
    : impl_(std::make_unique<Impl>(burst > 0 ? burst : 1,
                                   intervalMs > 0 ? intervalMs : 1)) {}

LogRateLimiter::~LogRateLimiter() = default;

LogRateLimiter::Decision LogRateLimiter::Admit(const std::string& key) {
  const int64_t now = Clock::MonotonicMicros();
  std::lock_guard<std::mutex> lock(impl_->mu);
  Impl::Bucket& bucket = impl_->Find(key, now);
  impl_->Refill(bucket, now);
  if (bucket.tokens <= 0) {
    ++bucket.suppressed;
    g_total_suppressed.fetch_add(1, std::memory_order_relaxed);
    return Decision{false, 0};
  }
  --bucket.tokens;
  const Decision decision{true, bucket.suppressed};
  bucket.suppressed = 0;
  return decision;
}

uint64_t LogRateLimiter::TotalSuppressed() {
  return g_total_suppressed.load(std::memory_order_relaxed);
}

void KORBLogLimited(CLogger* logger, LogRateLimiter& limiter,
                    const std::string& key, int sourceLine,
                    const char* sourceFile, int level, const char* fmt, ...) {
  if (logger == nullptr || !logger->IsEnabled(level)) return;
  const LogRateLimiter::Decision decision = limiter.Admit(key);
  if (!decision.write) return;
  va_list ap;
  va_start(ap, fmt);
  logger->KORBLogV(sourceLine, sourceFile, level, fmt, ap);
  va_end(ap);
  if (decision.suppressed > 0)
    logger->KORBLog(sourceLine, sourceFile, level,
                    "%llu more lines like the one above were suppressed",
                    static_cast<unsigned long long>(decision.suppressed));
}
