// The main loop: waits for UDP signals and timeout events and runs the
// matching handler, one at a time.
#pragma once

#include <vector>

// The 17 timeout periods in seconds; event k has the k-th period.
std::vector<int> TimeoutPeriods();

// Starts the worker threads and loops until the process is to end.
// Returns 0 after an orderly end or a vanished supervisor, -1 when the
// database connection is lost. Exceptions that no handler catches leave
// this function (the entry point turns them into exit code -1).
int MainScheduler();
