// What the supervisor tells the service manager: READY=1 once the first
// scheduler has reported its start-up done, STATUS= lines as the
// scheduler starts, runs and ends, STOPPING=1, and WATCHDOG=1 every half
// watchdog interval while a started scheduler is up. Without NOTIFY_SOCKET
// (run by hand, in tests without a socket) every call is a no-op.
//
// Not thread-safe: the supervisor's one thread owns it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

namespace supervisor {

class ServiceNotifier {
 public:
  using Clock = std::chrono::steady_clock;

  // Reads NOTIFY_SOCKET and the watchdog interval the manager passed.
  ServiceNotifier();

  // A scheduler process was started (pid) or could not be started.
  void SchedulerStarted(pid_t pid);
  void SchedulerNotStarted(const std::string& why, long next_try_ms);
  // The running scheduler reported its start-up done: READY=1 the first
  // time, and a watchdog ping at once.
  void SchedulerReady(pid_t pid);
  // The scheduler ended (how: "exit code N" / "signal N"); next start in
  // next_try_ms.
  void SchedulerEnded(const std::string& how, long next_try_ms);
  void Stopping(pid_t pid);

  // Milliseconds until the next watchdog ping is due (0: now); -1 when the
  // manager asked for none.
  long MillisecondsUntilPing() const;
  // Sends WATCHDOG=1 when a ping is due and the scheduler is up, and
  // schedules the next one either way.
  void PingIfDue();

 private:
  void Send(const std::string& text);
  void Ping();
  std::string Counts() const;

  bool enabled_ = false;
  Clock::duration ping_interval_{};  // zero: no watchdog
  Clock::time_point next_ping_{};
  bool ready_sent_ = false;
  bool up_ = false;  // started, reported ready, not yet ended
  int starts_ = 0;
  std::string last_end_ = "none";
};

}  // namespace supervisor
