// Deadlines of the signal handler's periodic timeout events.
//
// Deadlines are absolute monotonic microseconds. A fired event's next
// deadline is its previous deadline plus its period, so handling latency
// never accumulates; when the caller fell behind by several periods, the
// missed ones are skipped and the event fires once, not in a burst.
// Thread-safe: the waiting thread takes due events while other threads
// reset or disable them.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

class TimeoutTable {
 public:
  // periods_s[k-1] is event k's period in seconds, divided by scale; a
  // period <= 0 leaves the event disabled. First deadlines are one period
  // after start_us.
  TimeoutTable(const std::vector<int>& periods_s, double scale,
               int64_t start_us);

  // Event numbers run from 1 to Count().
  int Count() const;

  // Returns the due event (deadline <= now_us) with the earliest deadline,
  // ties going to the lower number, and schedules its next deadline.
  // Returns 0 when nothing is due. *deadline_us (when given) gets the
  // deadline the returned event was due at.
  int TakeDue(int64_t now_us, int64_t* deadline_us = nullptr);

  // Earliest deadline of any enabled event; false when none is enabled.
  bool EarliestDeadline(int64_t* deadline_us) const;

  // Makes enabled event k due at now_us, or just after the event reset
  // before it, so events reset one after another fire in that order even
  // within one clock tick. False for an unknown or disabled event.
  bool Reset(int k, int64_t now_us);
  // Stops event k for good. False for an unknown event.
  bool Disable(int k);

 private:
  struct Entry {
    int64_t period_us;
    int64_t deadline_us;
    bool enabled;
  };
  mutable std::mutex mu_;
  std::vector<Entry> entries_;
  int64_t last_reset_us_ = 0;
};
