// The main loop's dispatch: what each wait result, network signal type and
// timeout event leads to. Handlers run on the main thread, one at a time;
// exceptions that a handler does not catch itself pass through to the
// caller of MainScheduler.
#pragma once

#include "ThreadSupervision.h"
#include "utilLib.h"

// What the loop does once a handler has returned.
struct LoopStep {
  bool end = false;  // MainScheduler returns `result`
  int result = 0;
};

constexpr LoopStep kLoopGoesOn{};
constexpr LoopStep LoopEnds(int result) { return LoopStep{true, result}; }

// State the handlers act on besides the process-wide state.
struct LoopContext {
  CSignalHandler& signals;
  ThreadMap& threads;
};

// Result 0 of a wait: a network signal in info.
LoopStep DispatchNetworkSignal(const CSignalInfo& info, LoopContext& context);

// Results 1 to 17 of a wait. REQUIRES: 1 <= event <= 17.
LoopStep DispatchTimeoutEvent(int event, LoopContext& context);

// Install types 1 and 2 run every periodic event; others a reduced set.
bool RunsFullPeriodicWork();
// Nonzero MSP flag of the main database object.
bool IsMSPServer();
