// Command line and environment of korb-supervisor.
#pragma once

#include <string>

namespace supervisor {

struct Options {
  std::string scheduler_path;     // --scheduler, $KORB_SCHEDULER_PATH
  int identifier = 0;             // --identifier, $KORB_SIGNAL_IDENTIFIER
  // --signal-host; empty: where the scheduler listens (see StopPathFor).
  std::string signal_host;
  long min_backoff_ms = 1000;     // first delay after a quick failure
  long max_backoff_ms = 60000;    // the delay doubles up to this
  long healthy_run_ms = 60000;    // a run this long resets the delay
  // --stop-timeout-ms, end signal to SIGKILL; -1: follows the scheduler's
  // grace period (see StopPathFor).
  long stop_timeout_ms = -1;
  std::string metrics_address = "127.0.0.1";  // --metrics-address
  int metrics_port = 0;           // --metrics-port; 0: no endpoint
};

// Fills options from argv, then the environment for what argv leaves
// out; the scheduler path defaults to KORB_ProbeScheduler beside this
// program. Returns false with *error for a bad or missing value.
bool ParseOptions(int argc, char** argv, Options* options, std::string* error);

extern const char* const kUsage;

// How the scheduler is reached and waited for when it is to end.
struct StopPath {
  std::string signal_host;  // where the end signal goes
  long stop_timeout_ms = 0;  // end signal to SIGKILL
};

// The command line's values, else what the scheduler's own settings say:
// the address its receiver binds (KORB_SIGNAL_BIND, else korb-signal-
// address of its option group; all interfaces means 127.0.0.1) and a stop
// wait of its grace period (korb-grace-period, default 60 s, scaled by
// KORB_TIME_SCALE) plus kStopMarginMs for its teardown, at least 90 s.
// Read again before each start of the scheduler, which reads the same
// settings at its start. An option file that cannot be read leaves the
// defaults (the scheduler would not start with it either).
StopPath StopPathFor(const Options& options);

// Time the scheduler needs after its grace period: the teardown, a
// statement's last seconds, the clean-end record.
constexpr long kStopMarginMs = 30000;

// The variable that tells the scheduler its supervisor's stop wait, so
// that it refuses a grace period the supervisor would cut.
extern const char* const kStopWaitVariable;

}  // namespace supervisor
