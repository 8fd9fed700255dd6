// Start-up, restart recovery and teardown of the scheduler process.
#pragma once

// Builds the process-wide state (log, main database object, log limits,
// signal receiver, job handler details, active probes) and runs restart
// recovery. Returns 1 on success, -1 on any failure (already logged).
int InitializeProbeScheduler(int signalIdentifier);

// Repairs patch deploy rows and jobs a previous run left half-done.
void ResetPatchMgmtJob();
// Returns interrupted metering collections to their initial state.
void ResetMeteringJob();

// Orderly teardown before an internal restart or an end signal.
void DeInitializeProbeScheduler();
