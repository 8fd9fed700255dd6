// Start-up, restart recovery and teardown of the scheduler process.
#pragma once

// Builds the process-wide state (log, main database object, log limits,
// signal receiver, job handler details, active probes) and runs restart
// recovery. With the scheduler lease on, it stands by between the signal
// receiver and the recovery until this instance holds the lease. Returns 1
// on success, 0 when the instance ended while standing by (end signal,
// SIGTERM/SIGINT, supervisor gone), -1 on any failure (already logged).
// Objects made before a failure stay as they are; the caller ends the
// process. REQUIRES: called once, on the main thread, before any worker
// thread exists.
int InitializeProbeScheduler(int signalIdentifier);

// Reads LOG_LEVEL and LOG_SIZE through g_pDBI and applies them to
// g_pLogger (and g_nLogLevel, g_nLogSize): a level below 1 becomes 3, a
// size below 500000 becomes 500000; neither has an upper bound.
void ApplyConfiguredLogLimits();

// Consumes the orderly-end record of the previous run and, unless it was
// there, runs ResetPatchMgmtJob and ResetMeteringJob (main database of a
// non-MSP installation only). Logs at level 8 which case applied. A
// recovery that did not complete makes this run's end unclean, so the
// next start runs it again.
void RecoverAfterUncleanEnd();

// Repairs patch deploy rows and jobs a previous run left half-done. True
// when every statement ran (each failure is logged by the database layer).
bool ResetPatchMgmtJob();
// Returns interrupted metering collections to their initial state. True
// when the statement ran.
bool ResetMeteringJob();

// Orderly teardown before an internal restart or an end signal: destroys
// the signal receiver. The logger and the database object stay.
void DeInitializeProbeScheduler();
