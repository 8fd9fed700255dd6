// A posting installation for the benchmarks: `targets` managed systems,
// reached by a scan schedule (1) and a deploy schedule (2) through
// profile lists of 500 systems each, so no statement grows with the size.
#pragma once

#include <string>

#include "raw_session.h"

namespace bench {

constexpr int kScanSchedule = 1;
constexpr int kDeploySchedule = 2;

// Empties the job, schedule, profile and system tables and builds the
// installation.
void PreparePostingInstallation(RawSession& admin, int targets);

}  // namespace bench
