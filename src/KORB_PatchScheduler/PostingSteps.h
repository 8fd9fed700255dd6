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

// The per-target loop of one posting. Before each target it reports the
// progress to the orderly-end wait, and it stops the posting once the
// database connection is lost for good (m_bConnectionError: the one
// reconnect failed), rather than running the remaining targets' statements
// into errors; a connection rebuilt by the reconnect goes on. The stop is
// logged once, at level 2, with the targets posted and not posted.
class TargetLoop {
 public:
  // posting names the routine in the log ("PostScanJob").
  TargetLoop(const char* posting, int schedularId, size_t targets, CDBI* db);
  // True when the next target is to be posted.
  bool Next();
  // After the last target: a connection lost during it is logged too.
  void Finish();

 private:
  bool LostConnection();
  const char* posting_;
  int schedularId_;
  size_t targets_;
  size_t started_ = 0;
  bool stopped_ = false;
  CDBI* db_;
};
