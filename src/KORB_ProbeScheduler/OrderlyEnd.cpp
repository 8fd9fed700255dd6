// An orderly end waits for the worker threads only as long as the grace
// period allows. korb-supervisor reads the same setting: its stop wait
// lies above the grace period, it extends the service manager's stop
// time-out to that wait, and it tells this process the wait, so that a
// grace period it would cut is refused at start rather than killed later.
#include "OrderlyEnd.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "CleanEndRecord.h"
#include "Initialization.h"
#include "LoopProgress.h"
#include "ProcessState.h"
#include "WorkerStop.h"
#include "scheduler_metrics.h"

namespace {

constexpr const char* kGracePeriodKey = "korb-grace-period";
constexpr long long kDefaultGraceSeconds = 60;
// Set by korb-supervisor for its scheduler: milliseconds from its end
// signal to its SIGKILL.
constexpr const char* kSupervisorStopWaitVariable = "KORB_SUPERVISOR_STOP_WAIT_MS";
// What an end needs after the grace period: teardown, the last seconds of
// a statement under way (5 s), the clean-end record.
constexpr uint64_t kTeardownMarginMs = 10000;

uint64_t ReadGracePeriodMs();

}  // namespace

uint64_t GracePeriodMs() {
  // Read once: the start checks it, the end uses it.
  static const uint64_t s_graceMs = ReadGracePeriodMs();
  return s_graceMs;
}

bool GracePeriodFitsSupervisor() {
  const uint64_t graceMs = GracePeriodMs();  // a bad value is logged at start
  const char* text = std::getenv(kSupervisorStopWaitVariable);
  if (text == nullptr || text[0] == '\0') return true;  // no supervisor of ours
  char* end = nullptr;
  errno = 0;
  const long long stopWaitMs = std::strtoll(text, &end, 10);
  if (*end != '\0' || errno != 0 || stopWaitMs < 0) {
    KLOG(KORB_LOG_ERROR, "%s='%s' is not a number of milliseconds; not checked against",
         kSupervisorStopWaitVariable, text);
    return true;
  }
  const uint64_t scaledMs = Clock::ScaledMs(graceMs);
  if (scaledMs + kTeardownMarginMs <= static_cast<uint64_t>(stopWaitMs)) return true;
  const std::string message = Format(
      "Option %s=%llu s (%llu ms at this time scale) does not fit in the "
      "supervisor's stop wait of %lld ms: an orderly end would be killed before "
      "its grace period is over. Lower the grace period or raise the "
      "supervisor's --stop-timeout-ms to at least %llu",
      kGracePeriodKey, static_cast<unsigned long long>(graceMs / 1000),
      static_cast<unsigned long long>(scaledMs), stopWaitMs,
      static_cast<unsigned long long>(scaledMs + kTeardownMarginMs));
  KLOG(KORB_LOG_ERROR, "%s", message.c_str());
  std::printf("%s\n", message.c_str());
  std::fflush(stdout);
  return false;
}

namespace {

uint64_t ReadGracePeriodMs() {
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

}  // namespace

void EndInOrder() {
  const uint64_t graceMs = GracePeriodMs();
  const uint32_t scaledMs = Clock::ScaledMs(graceMs);
  // The wait for the workers is progress of its own, not a hung loop.
  NoteLoopProgress(scaledMs);
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
    NoteUncleanEnd("cut at the end of the grace period: " + what);
  }

  DeInitializeProbeScheduler();
  // The record itself is written at the very end, once every session is
  // closed.
  NoteOrderlyEnd();
}
