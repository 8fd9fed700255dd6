#include "MetricsEndpoint.h"

#include <memory>
#include <string>

#include "PatchThreads.h"
#include "ProcedureRunners.h"
#include "ProcessState.h"
#include "metric_types.h"
#include "scheduler_metrics.h"

namespace {

constexpr char kAddressKey[] = "korb-metrics-address";
constexpr char kPortKey[] = "korb-metrics-port";
constexpr char kDefaultAddress[] = "127.0.0.1";
// The main loop counts as stuck when it has been away from its wait this
// long (scaled like every other period).
constexpr double kLoopTurnLimitSeconds = 120;

std::unique_ptr<metrics::HttpEndpoint> g_endpoint;

}  // namespace

void StartMetricsEndpoint() {
  CDBI* db = g_pDBI;
  metrics::RegisterSchedulerMetrics();
  metrics::SetMainDatabase(db, [db] { return db->m_bConnectionError.load(); });
  metrics::SetSuppressedLinesSource([] { return LogRateLimiter::TotalSuppressed(); });
  metrics::SetLoopTurnLimit(kLoopTurnLimitSeconds / Clock::Scale());

  std::string address = kDefaultAddress;
  db->GetOption(kAddressKey, address);
  long long port = kDefaultMetricsPort;
  if (!db->GetIntegerOption(kPortKey, port) || port < 0 || port > 65535) {
    std::string text;
    db->GetOption(kPortKey, text);
    KLOG(KORB_LOG_ERROR, "Metrics endpoint not started: %s=%s is not a port number (0..65535)",
         kPortKey, text.c_str());
    return;
  }
  if (port == 0) return;
  std::string error;
  g_endpoint = metrics::HttpEndpoint::Start(address, static_cast<int>(port),
                                            [] { return metrics::DefaultRegistry().Render(); },
                                            metrics::SchedulerHealth, &error);
  if (!g_endpoint) {
    KLOG(KORB_LOG_ERROR, "Metrics endpoint not started: %s", error.c_str());
    return;
  }
  KLOG(KORB_LOG_INFO, "Metrics endpoint listening on %s port %d", address.c_str(),
       g_endpoint->Port());
}

void StopMetricsEndpoint() { g_endpoint.reset(); }

const char* WorkerThreadName(const port::Thread::StartRoutine& routine) {
  using Routine = uint32_t (*)();
  const Routine* target = routine.target<Routine>();
  if (target == nullptr) return "other";
  if (*target == PerformPatchJobs) return "PerformPatchJobs";
  if (*target == PerformOndemandPatchJobs) return "PerformOndemandPatchJobs";
  if (*target == InternalDeployJobPoster) return "InternalDeployJobPoster";
  if (*target == PostAutomationScheduleJobs) return "PostAutomationScheduleJobs";
  return "other";
}
