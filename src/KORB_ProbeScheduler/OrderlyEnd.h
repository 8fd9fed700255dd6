// The orderly end of the process: end signal, SIGTERM/SIGINT and the
// daily internal restart.
#pragma once

#include <cstdint>

// Asks the worker threads to stop at their next safe point and waits for
// them (and for any statement under way) up to the grace period, runs the
// teardown, and notes the orderly end for the clean-end record, which the
// entry point writes last. A worker still busy when the grace period is
// over is logged at level 2 with what it was doing; the end goes on and
// counts as unclean, so the next start runs restart recovery.
// REQUIRES: main thread, inside the main loop.
void EndInOrder();

// The grace period in unscaled milliseconds: the option korb-grace-period
// (whole seconds, 0 or more) of the main database's group, else 60 s. A
// value that is not such a number is logged at level 2 and not used. Read
// on the first call. REQUIRES: g_pDBI is made.
uint64_t GracePeriodMs();

// False (logged at level 2 and on the console) when the grace period,
// scaled, and the time the end needs after it do not fit in the stop wait
// that korb-supervisor gave this process (KORB_SUPERVISOR_STOP_WAIT_MS):
// the start is then refused rather than an orderly end killed later.
// True without that variable. REQUIRES: g_pDBI is made.
bool GracePeriodFitsSupervisor();
