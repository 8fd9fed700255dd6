// Command line and environment of korb-supervisor.
#pragma once

#include <string>

namespace supervisor {

struct Options {
  std::string scheduler_path;     // --scheduler, $KORB_SCHEDULER_PATH
  int identifier = 0;             // --identifier, $KORB_SIGNAL_IDENTIFIER
  std::string signal_host = "127.0.0.1";  // --signal-host
  long min_backoff_ms = 1000;     // first delay after a quick failure
  long max_backoff_ms = 60000;    // the delay doubles up to this
  long healthy_run_ms = 60000;    // a run this long resets the delay
  // End signal to SIGKILL. Longer than the scheduler's default grace
  // period for its own teardown (60 s), so an orderly end is never cut.
  long stop_timeout_ms = 90000;
  std::string metrics_address = "127.0.0.1";  // --metrics-address
  int metrics_port = 0;           // --metrics-port; 0: no endpoint
};

// Fills options from argv, then the environment for what argv leaves
// out; the scheduler path defaults to KORB_ProbeScheduler beside this
// program. Returns false with *error for a bad or missing value.
bool ParseOptions(int argc, char** argv, Options* options, std::string* error);

extern const char* const kUsage;

}  // namespace supervisor
