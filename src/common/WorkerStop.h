// Orderly stop of the worker threads.
//
// The main loop asks the workers to stop before an orderly end and then
// waits, bounded by a grace period, until no worker is inside a piece of
// work that must not be cut: one schedule's posting, one internal deploy
// row, one job submission with its distribution. Workers mark such work
// with a WorkUnit; once a stop has been asked no new unit starts, so each
// worker stops at its next safe point, between two units, and leaves its
// loop. A database statement outside any unit is a unit of its own for
// as long as it runs (see WatchDatabaseWork).
//
// Thread-safe throughout. The stop is one-way for the life of the process.
#pragma once

#include <chrono>
#include <string>
#include <vector>

// One piece of work on the calling thread. Started() is false, and nothing
// is recorded, when a stop has already been asked: the caller then skips
// the work. A unit begun while the thread already runs one joins it (it
// starts, but the outer unit alone is waited for).
class WorkUnit {
 public:
  explicit WorkUnit(const std::string& what);
  ~WorkUnit();
  WorkUnit(const WorkUnit&) = delete;
  WorkUnit& operator=(const WorkUnit&) = delete;

  bool Started() const { return started_; }

 private:
  bool started_ = false;
  bool outer_ = false;
};

// Replaces the description of the calling thread's current unit (for
// example with a posting's progress); does nothing outside a unit.
void NoteWorkProgress(const std::string& what);

// True once RequestWorkerStop has been called.
bool WorkerStopRequested();

// Asks every worker to stop at its next safe point and wakes the patch job
// threads from their waits.
void RequestWorkerStop();

// Blocks until no unit runs or `grace` has passed (steady clock). Returns
// the descriptions of the units still running, empty when all ended.
std::vector<std::string> WaitForWorkUnits(std::chrono::milliseconds grace);

// Makes every database statement of the process take part in the stop:
// a statement sent outside any unit counts as a unit of its own while it
// runs, so the end waits for it too; once a stop has been asked, only
// the statements of units under way are sent, every other one is
// refused; and a statement whose outcome is unknown (its session was
// lost under it, or no answer came in time) is recorded as cut work. The
// stop request also ends the opening of customer sessions. Call once, on
// the main thread, before any other thread uses the database.
void WatchDatabaseWork();

// Work cut over the life of the process so far: how many statements
// ended with an unknown outcome, and what the first of them was part of.
struct CutWork {
  size_t count = 0;
  std::string first;
};
CutWork WorkCutSoFar();
