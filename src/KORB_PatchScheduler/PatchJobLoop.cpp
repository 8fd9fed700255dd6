// The scheduled and the on-demand patch job threads differ only in their
// event, their log lines and what one cycle posts; the waiting, the
// PATCH_SCAN_STATUS gate, the client version refresh and the MSP fan-out
// live here once.
//
// The wait result is the state that links cycles: it starts at 0 (as if
// the event had been set, so the first cycle posts at once) and in MSP
// mode holds for every customer of the pass that follows the wait.
#include "PatchJobLoop.h"

#include <memory>
#include <mutex>
#include <stdexcept>

#include "CustomerFanOut.h"
#include "PatchThreads.h"
#include "ProcessState.h"
#include "WorkerStop.h"
#include "scheduler_metrics.h"

namespace {

constexpr uint32_t kPatchJobWaitMs = 300000;

constexpr char kClientVersionQuery[] =
    "select clientversion as outputvalue from updateagentdetails limit 1";

void RefreshClientVersion(CDBI* db) {
  std::string version;
  db->getValueFromQuery(kClientVersionQuery, version);
  g_szClientVersion.Set(version);
}

// Waits for the thread's event or the five-minute period; resets the event
// after a wake by it, so a signal that arrives while posting is not lost.
uint32_t WaitForWake(port::Event& event) {
  KLOG(KORB_LOG_INFO, "Waiting for event!!!");
  uint32_t result = event.Wait(Clock::ScaledMs(kPatchJobWaitMs));
  if (result == port::kWaitObject0) {
    KLOG(KORB_LOG_INFO, "Event occured");
    event.Reset();
  }
  return result;
}

std::mutex g_faultMu;
std::string g_faultThread;

}  // namespace

void InjectPatchThreadFaultForTest(const std::string& threadName) {
  std::lock_guard<std::mutex> lock(g_faultMu);
  g_faultThread = threadName;
}

void ThrowIfFaultInjected(const char* threadName) {
  std::lock_guard<std::mutex> lock(g_faultMu);
  if (!g_faultThread.empty() && g_faultThread == threadName) {
    throw std::runtime_error("fault injected by a test");
  }
}

bool LeavesForOrderlyEnd(const char* threadName) {
  if (!WorkerStopRequested()) return false;
  KLOG(KORB_LOG_INFO, "%s: stopped for an orderly end of the process",
       threadName);
  return true;
}

int ReadPatchScanStatus(CDBI* db) {
  std::string value;
  db->getConfigSetting("PATCH_SCAN_STATUS", value);
  return ToInt(value);
}

uint32_t RunPatchJobLoop(const PatchJobLoop& loop) {
  KLOG(KORB_LOG_INFO, "%s", loop.startLine);
  metrics::SetFanOutKind(loop.threadName);
  auto event = std::make_shared<port::Event>();
  loop.slot->Store(event);
  uint32_t waitResult = port::kWaitObject0;

  try {
    if (g_pDBI->m_nMSPFlag == 0) {
      RefreshClientVersion(g_pDBI);
      for (;;) {
        ThrowIfFaultInjected(loop.threadName);
        if (LeavesForOrderlyEnd(loop.threadName)) return 0;
        if (ReadPatchScanStatus(g_pDBI) == 1) loop.post(g_pDBI, waitResult);
        waitResult = WaitForWake(*event);
      }
    }
    for (;;) {
      ThrowIfFaultInjected(loop.threadName);
      if (LeavesForOrderlyEnd(loop.threadName)) return 0;
      // One pass serves every customer in turn with the result of the
      // wait before it; the thread then waits once. A wait per customer
      // would visit each customer only once every N periods.
      ForEachVirtualProbeCustomer([&](CDBI& db) {
        ThrowIfFaultInjected(loop.threadName);
        // The remaining customers of the pass are left for the next start.
        if (WorkerStopRequested()) return;
        int status = ReadPatchScanStatus(&db);
        RefreshClientVersion(&db);
        if (status == 1) loop.post(&db, waitResult);
      });
      waitResult = WaitForWake(*event);
    }
  } catch (...) {
    KLOG(KORB_LOG_ERROR, "%s", loop.catchLine);
  }
  return static_cast<uint32_t>(-1);
}
