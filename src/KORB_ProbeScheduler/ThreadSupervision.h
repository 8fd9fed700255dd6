// Worker thread records and the supervision tick (timeout event 5).
//
// The tick runs on the main thread only, and ThreadMap is touched only
// there, so neither needs a lock.
#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include "platform.h"

struct WorkerThreadRecord {
  // Null when the last (re-)creation failed: the record then counts as
  // ended, so the next tick tries again.
  std::shared_ptr<port::Thread> thread;
  port::Thread::StartRoutine routine;
};

// Worker threads by handle, in handle (= creation) order.
using ThreadMap = std::map<uint64_t, WorkerThreadRecord>;

// Starts routine on a new thread and records it. Returns false (logged)
// when the thread cannot be created; the routine is then recorded without
// a thread, so the next supervision tick starts it like a thread that
// ended.
bool StartWorkerThread(ThreadMap& threads, port::Thread::StartRoutine routine);

// Result of a supervision tick.
enum class SupervisionResult { kContinue, kConnectionLost, kSupervisorGone };

// Database connection check, supervisor watch (g_szSupervisorExeName,
// g_nSupervisorPid), and restart of ended worker threads (install types 1
// and 2 only), in that order; the first two end the tick and tell the
// main loop to return.
SupervisionResult SupervisionTick(ThreadMap& threads);

// True while the process g_nSupervisorPid runs g_szSupervisorExeName.
bool SupervisorIsAlive();

// Test hook: the next `count` worker thread creations fail as if the
// system had no resources left. Thread-safe.
void FailWorkerThreadStartsForTest(int count);
