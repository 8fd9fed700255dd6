// Units are kept by thread in one map under one mutex; the condition
// variable is signalled whenever an outer unit ends, so the main loop's
// bounded wait blocks instead of polling.
#include "WorkerStop.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "ProcessState.h"

namespace {

std::mutex g_mu;
std::condition_variable g_unitEnded;
bool g_stopRequested = false;                        // guarded by g_mu
std::map<std::thread::id, std::string> g_running;   // guarded by g_mu

CutWork g_cut;                                       // guarded by g_mu

thread_local int t_depth = 0;  // units open on this thread
// A statement sent outside any unit is running on this thread and holds
// this thread's entry of g_running.
thread_local bool t_statement = false;

// Long enough to tell statements apart in the log, short enough for a
// line.
constexpr size_t kStatementTextInLog = 160;

bool BeginStatement(const std::string& statement) {
  if (t_depth > 0) return true;  // part of a unit under way: it finishes
  std::lock_guard<std::mutex> lock(g_mu);
  if (g_stopRequested) return false;
  g_running[std::this_thread::get_id()] =
      "statement outside a unit of work: " + statement.substr(0, kStatementTextInLog);
  t_statement = true;
  return true;
}

void EndStatement(bool outcome_unknown) {
  if (!outcome_unknown && !t_statement) return;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    if (outcome_unknown) {
      auto it = g_running.find(std::this_thread::get_id());
      if (g_cut.count++ == 0 && it != g_running.end()) g_cut.first = it->second;
    }
    if (!t_statement) return;
    t_statement = false;
    g_running.erase(std::this_thread::get_id());
  }
  g_unitEnded.notify_all();
}

}  // namespace

WorkUnit::WorkUnit(const std::string& what) {
  if (t_depth > 0) {
    started_ = true;
    ++t_depth;
    return;
  }
  std::lock_guard<std::mutex> lock(g_mu);
  if (g_stopRequested) return;
  g_running[std::this_thread::get_id()] = what;
  started_ = true;
  outer_ = true;
  ++t_depth;
}

WorkUnit::~WorkUnit() {
  if (!started_) return;
  --t_depth;
  if (!outer_) return;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    g_running.erase(std::this_thread::get_id());
  }
  g_unitEnded.notify_all();
}

void NoteWorkProgress(const std::string& what) {
  if (t_depth == 0) return;
  std::lock_guard<std::mutex> lock(g_mu);
  auto it = g_running.find(std::this_thread::get_id());
  if (it != g_running.end()) it->second = what;
}

bool WorkerStopRequested() {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_stopRequested;
}

void RequestWorkerStop() {
  {
    std::lock_guard<std::mutex> lock(g_mu);
    g_stopRequested = true;
  }
  // A worker that checked the request just before it was made is past that
  // check and about to wait: its event ends the wait at once.
  CDBI::StopNewCustomerSessions();
  g_hPatchJobEvent.Set();
  g_hOndemandPatchJobEvent.Set();
  g_hInternalDeployEvent.Set();
}

std::vector<std::string> WaitForWorkUnits(std::chrono::milliseconds grace) {
  std::unique_lock<std::mutex> lock(g_mu);
  g_unitEnded.wait_for(lock, grace, [] { return g_running.empty(); });
  std::vector<std::string> busy;
  for (const auto& entry : g_running) busy.push_back(entry.second);
  return busy;
}

void WatchDatabaseWork() {
  CDBI::StatementObserver observer;
  observer.begin = BeginStatement;
  observer.end = EndStatement;
  CDBI::SetStatementObserver(observer);
}

CutWork WorkCutSoFar() {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_cut;
}
