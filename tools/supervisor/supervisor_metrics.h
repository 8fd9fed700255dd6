// The supervisor's own metrics: whether a scheduler runs, how often it was
// started again, how the last one ended and the pause before the next
// start, served with the process figures on a port of its own
// (--metrics-address, --metrics-port; port 0, the default, serves none).
// /healthz answers 200 while a scheduler runs, 503 otherwise.
//
// Calls come from the supervisor's one thread; scrapes read atomics from
// the endpoint's thread.
#pragma once

#include <memory>
#include <string>

namespace metrics {
class Counter;
class Gauge;
class HttpEndpoint;
}  // namespace metrics

namespace supervisor {

class SupervisorMetrics {
 public:
  // Opens the endpoint unless port is 0; a failure is returned in *error
  // and leaves the counting in place without the endpoint.
  SupervisorMetrics(const std::string& address, int port, std::string* error);
  ~SupervisorMetrics();
  SupervisorMetrics(const SupervisorMetrics&) = delete;
  SupervisorMetrics& operator=(const SupervisorMetrics&) = delete;

  // The bound port (0 when none).
  int Port() const;

  void SchedulerStarted();
  // code: exit status, or 128 + signal number.
  void SchedulerEnded(int code);
  // The pause before the next start (0 once a scheduler runs).
  void Backoff(long delay_ms);

 private:
  metrics::Gauge* up_;
  metrics::Counter* restarts_;
  metrics::Gauge* last_exit_code_;
  metrics::Gauge* backoff_seconds_;
  bool started_once_ = false;
  std::unique_ptr<metrics::HttpEndpoint> endpoint_;
};

}  // namespace supervisor
