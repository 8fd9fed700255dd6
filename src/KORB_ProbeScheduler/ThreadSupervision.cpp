// Supervision tick: the process must not outlive its supervisor nor keep
// running on a database connection that cannot be re-established, and the
// four long-lived worker threads are restarted whenever one has ended
// (returned or failed alike), at most one tick after it ended.
#include "ThreadSupervision.h"

#include <atomic>
#include <string>
#include <vector>

#include "LoopDispatch.h"
#include "MetricsEndpoint.h"
#include "ProcessState.h"
#include "scheduler_metrics.h"

namespace {

std::atomic<int> g_failingStartsForTest{0};

std::shared_ptr<port::Thread> CreateWorker(
    const port::Thread::StartRoutine& routine, std::string* error) {
  int failing = g_failingStartsForTest.load();
  while (failing > 0) {
    if (g_failingStartsForTest.compare_exchange_weak(failing, failing - 1)) {
      *error = "failure injected by a test";
      return nullptr;
    }
  }
  return port::Thread::Create(routine, error);
}

}  // namespace

bool SupervisorIsAlive() {
  std::vector<uint32_t> ids;
  GetProcessID(g_szSupervisorExeName, ids);
  for (uint32_t id : ids) {
    if (static_cast<int>(id) == g_nSupervisorPid) return true;
  }
  return false;
}

namespace {

bool HasEnded(const WorkerThreadRecord& record) {
  if (record.thread == nullptr) return true;
  uint32_t code = 0;
  // A failed query counts as a running thread.
  return record.thread->GetExitCode(&code) && code != port::kStillActive;
}

void RestartEndedThreads(ThreadMap& threads) {
  ThreadMap ended;
  for (const auto& [handle, record] : threads) {
    if (HasEnded(record)) {
      KLOG(KORB_LOG_ERROR, "Some thread got exited");
      ended.emplace(handle, record);
    }
  }
  for (const auto& entry : ended) threads.erase(entry.first);

  for (auto& [old_handle, record] : ended) {
    std::string error;
    std::shared_ptr<port::Thread> thread = CreateWorker(record.routine, &error);
    if (thread == nullptr) {
      // Keep the routine under its old handle with no thread: the record
      // counts as ended and the next tick tries again.
      KLOG(KORB_LOG_ERROR, "Re-creation of a worker thread failed: %s",
           error.c_str());
      threads.emplace(old_handle, WorkerThreadRecord{nullptr, record.routine});
      continue;
    }
    threads.emplace(thread->Handle(),
                    WorkerThreadRecord{thread, record.routine});
    KLOG(KORB_LOG_INFO, "Re-Created the thread");
    metrics::WorkerThreadRestarted(WorkerThreadName(record.routine));
  }
}

}  // namespace

bool StartWorkerThread(ThreadMap& threads, port::Thread::StartRoutine routine) {
  std::string error;
  std::shared_ptr<port::Thread> thread = CreateWorker(routine, &error);
  if (thread == nullptr) {
    KLOG(KORB_LOG_ERROR, "Creation of a worker thread failed: %s",
         error.c_str());
    // Recorded without a thread, like a failed re-creation, so the next
    // tick starts it. Real handles count up from 1 and never reach the
    // top bit, so these keys cannot meet one.
    static uint64_t s_unstarted = 0;
    threads.emplace((uint64_t{1} << 63) | ++s_unstarted,
                    WorkerThreadRecord{nullptr, std::move(routine)});
    return false;
  }
  threads.emplace(thread->Handle(),
                  WorkerThreadRecord{thread, std::move(routine)});
  return true;
}

void FailWorkerThreadStartsForTest(int count) {
  g_failingStartsForTest.store(count);
}

SupervisionResult SupervisionTick(ThreadMap& threads) {
  if (g_pDBI->m_bConnectionError) {
    KLOG(KORB_LOG_ERROR, "Encountered the DB connection error!!!");
    return SupervisionResult::kConnectionLost;
  }
  if (!SupervisorIsAlive()) {
    KLOG(KORB_LOG_ERROR,
         "Seems service is not running .Exiting the application");
    return SupervisionResult::kSupervisorGone;
  }
  if (RunsFullPeriodicWork()) {
    try {
      RestartEndedThreads(threads);
    } catch (...) {
      KLOG(KORB_LOG_ERROR, "DiscoveryScanner : Exception in the middle");
    }
  }
  return SupervisionResult::kContinue;
}
