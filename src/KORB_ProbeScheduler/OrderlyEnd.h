// The orderly end of the process: end signal, SIGTERM/SIGINT and the
// daily internal restart.
#pragma once

#include <cstdint>

// Asks the worker threads to stop at their next safe point and waits for
// them up to the grace period, runs the teardown, and records a clean end
// when every worker stopped in time. A worker still busy when the grace
// period is over is logged at level 2 with what it was doing; the end goes
// on without the record, so the next start runs restart recovery.
// REQUIRES: main thread, inside the main loop.
void EndInOrder();

// The grace period in unscaled milliseconds: the option korb-grace-period
// (whole seconds, 0 or more) of the main database's group, else 60 s. A
// value that is not such a number is logged at level 2 and not used.
uint64_t GracePeriodMs();
