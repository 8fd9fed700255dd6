// The wake-and-post loop shared by the scheduled and the on-demand patch
// job threads, and the pieces of it that the internal deploy poster reuses.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "DBI.h"
#include "platform.h"

struct PatchJobLoop {
  const char* threadName;  // for the fault hook
  const char* startLine;   // logged at level 8 when the thread starts
  const char* catchLine;   // logged at level 2 before the thread ends
  port::EventSlot* slot;   // where the thread's own event is published
  // One cycle's posting on db, run only while PATCH_SCAN_STATUS is 1.
  // waitResult is the result of the previous wait (0 at thread start).
  std::function<void(CDBI* db, uint32_t waitResult)> post;
};

// Runs the thread until an exception escapes (then logs catchLine and
// returns (uint32_t)-1) or an orderly end asks it to stop (returns 0); the
// stop is noticed between cycles, never inside one schedule's posting.
// Single-database mode works on g_pDBI; MSP mode serves every
// virtual-probe customer in turn and then waits once per pass.
uint32_t RunPatchJobLoop(const PatchJobLoop& loop);

// True, logged at level 8, once an orderly end of the process has asked
// the worker threads to stop: the calling thread leaves its loop.
bool LeavesForOrderlyEnd(const char* threadName);

// PATCH_SCAN_STATUS of db as an integer (0 when missing).
int ReadPatchScanStatus(CDBI* db);

// Throws when a test asked this thread to fail (see
// InjectPatchThreadFaultForTest).
void ThrowIfFaultInjected(const char* threadName);
