#include "TerminationRequest.h"

#include <atomic>
#include <mutex>

#include "platform.h"

namespace {

// The new-job signalling event is never disabled, so making it due always
// ends a blocked wait; the loop then sees the request before dispatching.
constexpr int kWakeEvent = 17;

std::atomic<int> g_nTerminationSignal{0};
std::mutex g_wakeMutex;
CSignalHandler* g_pWakeTarget = nullptr;  // guarded by g_wakeMutex

void OnTerminationSignal(int signo) {
  std::lock_guard<std::mutex> lock(g_wakeMutex);
  int none = 0;
  g_nTerminationSignal.compare_exchange_strong(none, signo);
  if (g_pWakeTarget != nullptr) g_pWakeTarget->ResetEvent(kWakeEvent);
}

}  // namespace

bool InstallTerminationRequest(std::string* error) {
  return port::InstallTerminationHandler(OnTerminationSignal, error);
}

int PendingTerminationSignal() { return g_nTerminationSignal.load(); }

void SetTerminationWakeTarget(CSignalHandler* handler) {
  std::lock_guard<std::mutex> lock(g_wakeMutex);
  g_pWakeTarget = handler;
}

void MakeEventDueNow(int event) {
  std::lock_guard<std::mutex> lock(g_wakeMutex);
  if (g_pWakeTarget != nullptr) g_pWakeTarget->ResetEvent(event);
}
