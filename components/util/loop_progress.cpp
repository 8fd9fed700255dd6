#include "LoopProgress.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "utilLib.h"

namespace {

// A notice that would move the deadline later by less than this is not
// sent: it bounds the rate and costs the supervisor at most this much.
constexpr int64_t kSlackUs = 1000000;

thread_local bool t_loopThread = false;
// Written before other threads start.
int g_supervisorPid = 0;
CLogger* const* g_logger = nullptr;
int64_t g_announcedDeadlineUs = 0;  // loop thread only
LogRateLimiter g_failureLines;      // loop thread only

}  // namespace

int LoopProgressSignal() { return SIGRTMIN; }

void StartLoopProgress(int supervisorPid, CLogger* const* logger) {
  const char* asked = std::getenv("KORB_NOTIFY_SUPERVISOR");
  if (asked == nullptr || std::strcmp(asked, "1") != 0 || supervisorPid <= 0) return;
  g_supervisorPid = supervisorPid;
  g_logger = logger;
  g_announcedDeadlineUs = 0;
  t_loopThread = true;
}

void NoteLoopProgress(uint64_t mayTakeMs) {
  if (!t_loopThread) return;
  const uint64_t quietMs = std::min<uint64_t>(mayTakeMs + kLoopProgressMarginMs, INT_MAX);
  const int64_t now = Clock::MonotonicMicros();
  const int64_t deadline = now + static_cast<int64_t>(quietMs) * 1000;
  if (deadline <= g_announcedDeadlineUs + kSlackUs) return;
  sigval value{};
  value.sival_int = static_cast<int>(quietMs);
  if (sigqueue(g_supervisorPid, LoopProgressSignal(), value) == 0) {
    g_announcedDeadlineUs = deadline;
    return;
  }
  const int error = errno;
  if (g_logger == nullptr || *g_logger == nullptr) return;
  KORBLogLimited(*g_logger, g_failureLines, std::string(), __LINE__, "KORB_ProbeScheduler",
                 KORB_LOG_ERROR, "Progress notice to the supervisor (pid %d) failed: %s",
                 g_supervisorPid, std::strerror(error));
}
