#include "MetricsEndpoint.h"

#include <memory>
#include <string>

#include "PatchThreads.h"
#include "ProcedureRunners.h"
#include "ProcessState.h"
#include "metric_types.h"
#include "scheduler_metrics.h"
#include "web_config.h"

namespace {

constexpr char kAddressKey[] = "korb-metrics-address";
constexpr char kPortKey[] = "korb-metrics-port";
constexpr char kWebConfigKey[] = "korb-metrics-web-config";
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
  // A web configuration that cannot be used leaves the endpoint closed,
  // never open with less protection than the file asks for.
  std::string web_config;
  db->GetOption(kWebConfigKey, web_config);
  metrics::EndpointSecurity security;
  if (!web_config.empty() && !metrics::LoadWebConfig(web_config, &security, &error)) {
    KLOG(KORB_LOG_ERROR, "Metrics endpoint not started: %s", error.c_str());
    return;
  }
  g_endpoint = metrics::HttpEndpoint::Start(address, static_cast<int>(port),
                                            [] { return metrics::DefaultRegistry().Render(); },
                                            metrics::SchedulerHealth, security, &error);
  if (!g_endpoint) {
    KLOG(KORB_LOG_ERROR, "Metrics endpoint not started: %s", error.c_str());
    return;
  }
  KLOG(KORB_LOG_INFO, "Metrics endpoint listening on %s port %d", address.c_str(),
       g_endpoint->Port());
  if (!web_config.empty()) {
    KLOG(KORB_LOG_INFO, "Metrics endpoint uses %s: TLS %s, basic authentication %s",
         web_config.c_str(), security.Tls() ? "on" : "off",
         security.users.empty() ? "off" : "on");
  } else if (!g_endpoint->Loopback()) {
    KLOG(KORB_LOG_WARNING,
         "Metrics endpoint on %s is reachable from other hosts without TLS or "
         "authentication; %s names a web configuration file that adds them",
         address.c_str(), kWebConfigKey);
  }
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
