// Steps that the patch scan and patch deploy posting passes share.
#pragma once

#include <string>
#include <unordered_set>

#include "DBI.h"

// Systems with a job of this type and schedule waiting for a redo (-3).
std::unordered_set<int> ReadInterruptedSystems(int jobTypeId, int schedularId,
                                               CDBI* db);

// For a system in `interrupted`: fails its waiting job and returns that
// job's ID as the RedoID of the new job (0 when the job is gone). Returns 0
// at once for any other system.
int RedoInterruptedJob(int systemId, int jobTypeId, int schedularId,
                       const std::unordered_set<int>& interrupted, CDBI* db);
