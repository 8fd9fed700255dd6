// The checks that hold a pending internal deploy row back for a pass.
#pragma once

#include <string>
#include <vector>

#include "DBI.h"

// One row of patch_jobdetails waiting to become an internal deploy job.
// The texts are kept as read, for the log lines.
struct PendingDeployRow {
  std::string systemText;
  std::string patchText;
  std::string profileText;
  int systemId = 0;
  int patchId = 0;
  int profileId = 0;
  int internalStatus = 0;
  int priority = 0;
};

// True when the system is still downloading a Service Pack or Update
// Rollup; the row's status text then says so and it is not posted now.
bool ServicePackDownloadInProgress(const PendingDeployRow& row, CDBI* db);

// True when the row may be posted as far as the system's data collector is
// concerned: no data collector (ID 1 or less), or every file of the patch
// downloaded there. A data collector that has not heard of the patch yet
// gets one dcinformer row per file.
bool DataCollectorReady(const PendingDeployRow& row, CDBI* db);

// The dcinformer insert statements for value groups, each statement at
// most maxLength characters unless one group alone is longer (it then gets
// a statement of its own). Groups keep their order; none is dropped.
std::vector<std::string> BuildDcInformerInserts(
    const std::vector<std::string>& groups, size_t maxLength);
