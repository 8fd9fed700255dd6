// The daemon's metrics endpoint: GET /metrics and GET /healthz on the
// address and port that the main DSN group names (korb-metrics-address,
// default 127.0.0.1; korb-metrics-port, default 9471, 0 for none), with
// TLS and basic authentication when korb-metrics-web-config names a web
// configuration file (web_config.h). Bound beyond loopback without one it
// serves plain HTTP to anyone, and says so at level 4.
#pragma once

#include "platform.h"

constexpr int kDefaultMetricsPort = 9471;

// Registers the scheduler's metrics and, unless the port is 0, opens the
// endpoint. A bad value, a web configuration that cannot be used or a port
// that cannot be opened is logged at level 2 and leaves the daemon running
// without the endpoint. REQUIRES: g_pDBI
// made; called on the main thread.
void StartMetricsEndpoint();

// Closes the endpoint (nothing when none is open).
void StopMetricsEndpoint();

// Name of a worker thread's start routine for the restart counter
// ("other" for a routine that is not one of the four).
const char* WorkerThreadName(const port::Thread::StartRoutine& routine);
