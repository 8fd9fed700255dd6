#include "service_notifier.h"

#include <systemd/sd-daemon.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>

#include "utilLib.h"

namespace supervisor {

namespace {

std::string Now() {
  return FormatLocalTime(std::time(nullptr), "%Y-%m-%d %H:%M:%S");
}

}  // namespace

ServiceNotifier::ServiceNotifier() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  enabled_ = socket != nullptr && *socket != '\0';
  if (!enabled_) return;
  uint64_t usec = 0;
  // Also checks WATCHDOG_PID: the interval is only ours when it names us.
  if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
    ping_interval_ = std::chrono::microseconds(usec / 2);
    next_ping_ = Clock::now() + ping_interval_;
  }
}

void ServiceNotifier::Send(const std::string& text) {
  if (enabled_) sd_notify(0, text.c_str());
}

std::string ServiceNotifier::Counts() const {
  return "restarts " + std::to_string(starts_ > 0 ? starts_ - 1 : 0) +
         ", last end: " + last_end_;
}

// "running" for a scheduler without a role (the lease is off).
std::string ServiceNotifier::Running(pid_t pid) const {
  const std::string state = role_.empty() ? "running" : role_;
  return "STATUS=scheduler pid " + std::to_string(pid) + " " + state + " since " + since_ +
         "; " + Counts();
}

void ServiceNotifier::SchedulerStarted(pid_t pid) {
  ++starts_;
  role_.clear();
  since_.clear();
  Send("STATUS=scheduler pid " + std::to_string(pid) + " starting; " +
       Counts());
}

void ServiceNotifier::SchedulerNotStarted(const std::string& why,
                                          long next_try_ms) {
  Send("STATUS=scheduler not started (" + why + "); next try in " +
       std::to_string(next_try_ms) + " ms; " + Counts());
}

void ServiceNotifier::SchedulerReady(pid_t pid) {
  if (role_.empty()) since_ = Now();
  std::string status = Running(pid);
  if (!ready_sent_) {
    status = "READY=1\n" + status;
    ready_sent_ = true;
  }
  Send(status);
  if (ping_interval_ != Clock::duration::zero()) Ping();
}

void ServiceNotifier::SchedulerRole(pid_t pid, const std::string& role) {
  role_ = role;
  since_ = Now();
  Send(Running(pid));
}

void ServiceNotifier::SchedulerEnded(const std::string& how, long next_try_ms) {
  last_end_ = how;
  Send("STATUS=scheduler ended with " + how + " at " + Now() +
       "; next start in " + std::to_string(next_try_ms) + " ms; " + Counts());
}

void ServiceNotifier::Stopping(pid_t pid, long stop_wait_ms) {
  // The supervisor waits up to 10 s more for the reaping after a SIGKILL.
  constexpr long long kAfterStopWaitMs = 15000;
  std::string status = "STOPPING=1\nSTATUS=stopping: ";
  status += pid > 0 ? "end signal sent to scheduler pid " + std::to_string(pid)
                    : std::string("no scheduler running");
  if (pid > 0)
    status += "\nEXTEND_TIMEOUT_USEC=" +
              std::to_string((stop_wait_ms + kAfterStopWaitMs) * 1000LL);
  Send(status);
}

long ServiceNotifier::MillisecondsUntilPing() const {
  if (!enabled_ || ping_interval_ == Clock::duration::zero()) return -1;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(next_ping_ -
                                                           Clock::now());
  return left.count() > 0 ? static_cast<long>(left.count()) : 0;
}

void ServiceNotifier::PingIfDue() {
  if (MillisecondsUntilPing() == 0) Ping();
}

void ServiceNotifier::Ping() {
  Send("WATCHDOG=1");
  next_ping_ = Clock::now() + ping_interval_;
}

}  // namespace supervisor
