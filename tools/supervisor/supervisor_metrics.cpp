#include "supervisor_metrics.h"

#include "http_endpoint.h"
#include "metric_types.h"
#include "process_metrics.h"

namespace supervisor {

SupervisorMetrics::SupervisorMetrics(const std::string& address, int port, std::string* error) {
  metrics::Registry& r = metrics::DefaultRegistry();
  up_ = r.AddGauges("korb_supervisor_scheduler_up", "1 while a scheduler process runs.", {},
                    {{}})[0];
  restarts_ = r.AddCounters("korb_supervisor_scheduler_restarts_total",
                            "Scheduler starts after the first one.", {}, {{}})[0];
  last_exit_code_ = r.AddGauges(
      "korb_supervisor_scheduler_last_exit_code",
      "Exit status of the last scheduler that ended (128 + signal number when a signal "
      "ended it; -1 before any ended).",
      {}, {{}})[0];
  last_exit_code_->Set(-1);
  backoff_seconds_ = r.AddGauges("korb_supervisor_backoff_seconds",
                                 "Pause before the next scheduler start (0 while one runs).",
                                 {}, {{}})[0];
  metrics::RegisterProcessMetrics(r);
  metrics::RegisterBuildInfo(r, "korb_supervisor");
  if (port == 0) return;
  metrics::Gauge* up = up_;
  endpoint_ = metrics::HttpEndpoint::Start(
      address, port, [] { return metrics::DefaultRegistry().Render(); },
      [up] {
        return up->Value() > 0 ? metrics::HealthVerdict{true, "", ""}
                               : metrics::HealthVerdict{false, "no scheduler is running", ""};
      },
      error);
}

SupervisorMetrics::~SupervisorMetrics() = default;

int SupervisorMetrics::Port() const { return endpoint_ ? endpoint_->Port() : 0; }

void SupervisorMetrics::SchedulerStarted() {
  if (started_once_) restarts_->Inc();
  started_once_ = true;
  up_->Set(1);
  backoff_seconds_->Set(0);
}

void SupervisorMetrics::SchedulerEnded(int code) {
  up_->Set(0);
  last_exit_code_->Set(code);
}

void SupervisorMetrics::Backoff(long delay_ms) {
  backoff_seconds_->Set(static_cast<double>(delay_ms) / 1000.0);
}

}  // namespace supervisor
