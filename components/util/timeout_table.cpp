#include "timeout_table.h"

#include <cmath>

namespace {

// Shorter periods would make the scaled events fire back to back; longer
// ones would overflow deadline arithmetic (a century is plenty).
constexpr double kMinPeriodUs = 1000.0;
constexpr double kMaxPeriodUs = 100.0 * 365 * 24 * 3600 * 1e6;

int64_t ScaledPeriodUs(int period_s, double scale) {
  double us = static_cast<double>(period_s) * 1e6 / scale;
  if (!(us >= kMinPeriodUs)) us = kMinPeriodUs;
  if (us > kMaxPeriodUs) us = kMaxPeriodUs;
  return static_cast<int64_t>(std::llround(us));
}

}  // namespace

TimeoutTable::TimeoutTable(const std::vector<int>& periods_s, double scale,
                           int64_t start_us) {
  entries_.reserve(periods_s.size());
  for (int period_s : periods_s) {
    Entry entry;
    entry.enabled = period_s > 0;
    entry.period_us = entry.enabled ? ScaledPeriodUs(period_s, scale) : 0;
    entry.deadline_us = start_us + entry.period_us;
    entries_.push_back(entry);
  }
}

int TimeoutTable::Count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<int>(entries_.size());
}

int TimeoutTable::TakeDue(int64_t now_us, int64_t* deadline_us) {
  std::lock_guard<std::mutex> lock(mu_);
  Entry* due = nullptr;
  int due_k = 0;
  for (size_t i = 0; i < entries_.size(); ++i) {
    Entry& e = entries_[i];
    if (!e.enabled || e.deadline_us > now_us) continue;
    if (due == nullptr || e.deadline_us < due->deadline_us) {
      due = &e;
      due_k = static_cast<int>(i) + 1;
    }
  }
  if (due == nullptr) return 0;
  if (deadline_us != nullptr) *deadline_us = due->deadline_us;
  int64_t next = due->deadline_us + due->period_us;
  if (next <= now_us) {
    const int64_t missed = (now_us - due->deadline_us) / due->period_us;
    next = due->deadline_us + (missed + 1) * due->period_us;
  }
  due->deadline_us = next;
  return due_k;
}

bool TimeoutTable::EarliestDeadline(int64_t* deadline_us) const {
  std::lock_guard<std::mutex> lock(mu_);
  bool any = false;
  for (const Entry& e : entries_) {
    if (!e.enabled) continue;
    if (!any || e.deadline_us < *deadline_us) *deadline_us = e.deadline_us;
    any = true;
  }
  return any;
}

bool TimeoutTable::Reset(int k, int64_t now_us) {
  std::lock_guard<std::mutex> lock(mu_);
  if (k < 1 || k > static_cast<int>(entries_.size())) return false;
  Entry& e = entries_[static_cast<size_t>(k - 1)];
  if (!e.enabled) return false;
  e.deadline_us = now_us > last_reset_us_ ? now_us : last_reset_us_ + 1;
  last_reset_us_ = e.deadline_us;
  return true;
}

bool TimeoutTable::Disable(int k) {
  std::lock_guard<std::mutex> lock(mu_);
  if (k < 1 || k > static_cast<int>(entries_.size())) return false;
  entries_[static_cast<size_t>(k - 1)].enabled = false;
  return true;
}
