// The start-up notice to a supervisor that asked for one: korb-supervisor
// sets KORB_NOTIFY_SUPERVISOR=1 in the scheduler's environment and turns
// the notice into its service manager's readiness. The suite's own
// supervisor sets nothing and gets nothing.
#pragma once

// Sends SIGUSR1 to supervisorPid when KORB_NOTIFY_SUPERVISOR is 1. Call
// once, after a successful initialisation. Logs a failed send.
void NotifySupervisorReady(int supervisorPid);
