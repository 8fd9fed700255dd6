// SIGTERM and SIGINT end the scheduler the orderly way, exactly as an end
// signal does: the main loop notices the request at its next wait, runs
// the teardown and returns 0.
#pragma once

#include <string>

#include "utilLib.h"

// Routes SIGTERM and SIGINT to the termination request. Call once from the
// entry point before any other thread starts. Returns false (error filled)
// when that is not possible; the signals then keep their default action.
bool InstallTerminationRequest(std::string* error);

// The signal number of the first termination request, or 0 when none came.
// Thread-safe.
int PendingTerminationSignal();

// The receiver whose wait a termination request interrupts, or null. The
// main loop sets it before its first wait; the teardown clears it before
// the receiver is destroyed, and returns only once no request is using it.
void SetTerminationWakeTarget(CSignalHandler* handler);

// Makes timeout event `event` due at once on the wake target, when there
// is one. Thread-safe; does not block.
void MakeEventDueNow(int event);
