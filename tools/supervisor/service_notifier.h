// What the supervisor tells the service manager: READY=1 once the first
// scheduler has reported its start-up done, STATUS= lines as the
// scheduler starts, runs (active or standing by, under the scheduler
// lease) and ends, STOPPING=1, and WATCHDOG=1 every half
// watchdog interval as long as the supervisor's own loop runs (also while
// it waits out a back-off or a stop): the watchdog watches the supervisor;
// the supervisor watches the scheduler's loop itself. Without
// NOTIFY_SOCKET (run by hand, in tests without a socket) every call is a
// no-op.
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
  // The running scheduler's role under the scheduler lease ("active" or
  // "standby"): the STATUS= line says it from now on, READY=1 aside.
  void SchedulerRole(pid_t pid, const std::string& role);
  // The scheduler ended (how: "exit code N" / "signal N"); next start in
  // next_try_ms.
  void SchedulerEnded(const std::string& how, long next_try_ms);
  // STOPPING=1; with a scheduler running (pid > 0) also asks the manager
  // for stop_wait_ms and the reaping after it (EXTEND_TIMEOUT_USEC), so
  // the unit's stop time-out never cuts the stop wait.
  void Stopping(pid_t pid, long stop_wait_ms);

  // Milliseconds until the next watchdog ping is due (0: now); -1 when the
  // manager asked for none.
  long MillisecondsUntilPing() const;
  // Sends WATCHDOG=1 when a ping is due and schedules the next one.
  void PingIfDue();

 private:
  void Send(const std::string& text);
  void Ping();
  std::string Counts() const;
  std::string Running(pid_t pid) const;

  bool enabled_ = false;
  Clock::duration ping_interval_{};  // zero: no watchdog
  Clock::time_point next_ping_{};
  bool ready_sent_ = false;
  int starts_ = 0;
  std::string last_end_ = "none";
  std::string role_;   // of the running scheduler; "" while it said none
  std::string since_;  // when it started running or took its role
};

}  // namespace supervisor
