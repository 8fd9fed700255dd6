// An orderly end waits for the worker threads only as long as the grace
// period allows; the supervisor's stop wait and the service manager's stop
// time-out are set above it, so neither kills a process that is finishing
// a posting.
#include "OrderlyEnd.h"

#include <chrono>
#include <string>
#include <vector>

#include "CleanEndRecord.h"
#include "Initialization.h"
#include "ProcessState.h"
#include "WorkerStop.h"
#include "scheduler_metrics.h"

namespace {

constexpr const char* kGracePeriodKey = "korb-grace-period";
constexpr long long kDefaultGraceSeconds = 60;

}  // namespace

uint64_t GracePeriodMs() {
  long long seconds = kDefaultGraceSeconds;
  if (g_pDBI == nullptr) return seconds * 1000;
  long long configured = seconds;
  if (!g_pDBI->GetIntegerOption(kGracePeriodKey, configured) ||
      configured < 0) {
    std::string raw;
    g_pDBI->GetOption(kGracePeriodKey, raw);
    KLOG(KORB_LOG_ERROR,
         "Option %s='%s' is not a whole number of seconds (0 or more); the "
         "grace period stays %lld s",
         kGracePeriodKey, raw.c_str(), seconds);
    return static_cast<uint64_t>(seconds) * 1000;
  }
  // Longer than any wait can be (about 49 days); keeps the product in range.
  constexpr long long kMaxGraceSeconds = 4294967;
  if (configured > kMaxGraceSeconds) configured = kMaxGraceSeconds;
  return static_cast<uint64_t>(configured) * 1000;
}

void EndInOrder() {
  const uint64_t graceMs = GracePeriodMs();
  const uint32_t scaledMs = Clock::ScaledMs(graceMs);
  KLOG(KORB_LOG_INFO,
       "Asking the worker threads to stop; waiting up to %u ms for the "
       "postings under way",
       scaledMs);
  RequestWorkerStop();
  const std::vector<std::string> busy =
      WaitForWorkUnits(std::chrono::milliseconds(scaledMs));
  for (const std::string& what : busy) {
    metrics::PostingStopped(metrics::PostingStop::kGracePeriod);
    KLOG(KORB_LOG_ERROR,
         "Worker thread still busy at the end of the grace period of %llu "
         "s: %s",
         static_cast<unsigned long long>(graceMs / 1000), what.c_str());
  }

  DeInitializeProbeScheduler();

  if (!busy.empty()) return;
  std::string why;
  if (!WriteCleanEndRecord(&why)) {
    KLOG(KORB_LOG_ERROR,
         "Cannot record the orderly end (%s); the next start runs restart "
         "recovery",
         why.c_str());
  }
}
