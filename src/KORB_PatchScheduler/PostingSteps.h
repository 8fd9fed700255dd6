// Steps that the patch scan and patch deploy posting passes share.
//
// A posting stops at its first failed statement (error, time-out, lost
// connection): whatever it read after a failure could be an empty answer
// standing for a list it could not read, and a missing exclusion or
// duplicate count would widen what it writes. What it posted before stays;
// the caller posts the schedule again at its next pass, and that posting
// skips the targets that already hold a job of the run (PostedInThisRun).
#pragma once

#include <string>
#include <unordered_set>

#include "DBI.h"
#include "StatementWatch.h"

// Systems with a job of this type and schedule waiting for a redo (-3).
std::unordered_set<int> ReadInterruptedSystems(int jobTypeId, int schedularId,
                                               CDBI* db);

// For a system in `interrupted`: fails its waiting job and returns that
// job's ID as the RedoID of the new job (0 when the job is gone). Returns 0
// at once for any other system. When the look-up fails nothing is written
// (the caller's watch shows the failure).
int RedoInterruptedJob(int systemId, int jobTypeId, int schedularId,
                       const std::unordered_set<int>& interrupted, CDBI* db,
                       const StatementWatch& watch);

// Systems that already hold a job of this type for the schedule's current
// run (the job's ScheduleTime is the schedule's ScheduledTime) that has
// not failed or been sent back for a redo: a posting that completes a run
// cut short leaves them alone.
std::unordered_set<int> PostedInThisRun(int jobTypeId, int schedularId,
                                        CDBI* db);

// Before the per-target loop: true, with the one level 2 line naming the
// posting, the schedule, the statement and the server's error, when a
// statement of the posting has failed.
bool FailedBeforeTargets(const char* posting, int schedularId,
                         const StatementWatch& watch);

// The per-target loop of one posting. Before each target it reports the
// progress to the orderly-end wait, and it stops the posting once the
// database connection is lost for good (m_bConnectionError: the one
// reconnect failed), rather than running the remaining targets' statements
// into errors, or once a statement of the posting failed. The stop is
// logged once, at level 2, with the targets posted and not posted.
//
// With the scheduler lease on, each target's statements form one
// transaction that commits only while this instance's epoch holds: the
// lease's fence runs right before the commit (Next commits the previous
// target's, Finish the last one's). A fence that no longer holds ends the process: the
// lease is another instance's. A transaction that cannot begin or commit
// stops the posting like a lost connection; the next pass posts what is
// missing.
class TargetLoop {
 public:
  // posting names the routine in the log ("PostScanJob").
  TargetLoop(const char* posting, int schedularId, size_t targets, CDBI* db,
             const StatementWatch& watch);
  ~TargetLoop();  // rolls back a target whose transaction is still open
  TargetLoop(const TargetLoop&) = delete;
  TargetLoop& operator=(const TargetLoop&) = delete;
  // True when the next target is to be posted.
  bool Next();
  // After the last target: a failure during it is logged too. True when
  // the posting completed.
  bool Finish();

 private:
  bool Stops();
  bool CommitTarget();
  bool BeginTarget();
  void StopAfterTransactionFailure(const char* what);
  const char* posting_;
  bool in_transaction_ = false;
  int schedularId_;
  size_t targets_;
  size_t started_ = 0;
  bool stopped_ = false;
  CDBI* db_;
  const StatementWatch& watch_;
};
