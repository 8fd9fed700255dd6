// What the scheduler counts, as one-line calls for the places where things
// happen. Every call is a few relaxed atomic operations: no lock, no
// allocation, no I/O, so the loop, the workers and the database layer may
// call them on every event, signal, job and statement.
//
// All families exist (at zero) from the first call of any function here,
// so a scrape shows every series before it has moved.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "http_endpoint.h"

namespace metrics {

// ---- Main loop and timeout events -----------------------------------------

// The signal receiver hands out timeout event `event` (1..17) lateness_us
// after its deadline.
void TimeoutEventDue(int event, int64_t lateness_us);

// Counts one run of timeout event `event` and observes its handler's
// duration when it goes out of scope.
class EventRun {
 public:
  explicit EventRun(int event);
  ~EventRun();
  EventRun(const EventRun&) = delete;
  EventRun& operator=(const EventRun&) = delete;

 private:
  int event_;
  int64_t start_us_;
};

// The main loop enters (true) or leaves (false) its wait.
void LoopWaiting(bool waiting);

// ---- Signals ----------------------------------------------------------------

void SignalReceived(long type);

enum class Refusal { kLength, kReceiveError, kNotAllowed };
void DatagramRefused(Refusal reason);
// count identical datagrams of a signal type were merged into one signal
// that waited right before them.
void SignalsCoalesced(long type, uint64_t count);

// ---- Postings ---------------------------------------------------------------

enum class JobOutcome { kOpen, kDuplicate, kRedo, kSubmitted, kFailed };
// job_type: the job type identifier (10025, 10027, 10037, 17017 are named,
// kInternalDeployJob stands for the internal deploy procedure's jobs; any
// other counts as "other").
constexpr int kInternalDeployJob = -1;
void JobPosted(int job_type, JobOutcome outcome);
// A direct insert of a job row: failed unless inserted, else a duplicate
// (posted closed), a redo of an interrupted job, or an open job.
void JobInserted(int job_type, bool inserted, bool duplicate, bool redo);
// A job handed to a procedure that posts it: submitted unless the call
// failed (result 1 is success).
void JobSubmitted(int job_type, int call_result);

enum class PostingKind { kScan, kDeploy, kInternalDeploy, kCabDownload };
// One posting of one schedule: observes its duration and its target count
// when it goes out of scope.
class PostingRun {
 public:
  explicit PostingRun(PostingKind kind);
  ~PostingRun();
  PostingRun(const PostingRun&) = delete;
  PostingRun& operator=(const PostingRun&) = delete;
  void Targets(size_t count) { targets_ = count; }

 private:
  PostingKind kind_;
  size_t targets_ = 0;
  int64_t start_us_;
};

enum class PostingStop { kConnectionLost, kGracePeriod };
void PostingStopped(PostingStop why);

// ---- Database -----------------------------------------------------------------

// One statement of a database object; counted with its result and duration
// when it goes out of scope. A statement that is never marked counts as
// failed.
class StatementRun {
 public:
  explicit StatementRun(const void* database);
  ~StatementRun();
  StatementRun(const StatementRun&) = delete;
  StatementRun& operator=(const StatementRun&) = delete;

  void Succeeded();
  // The server answered with an error (or the result was unusable).
  // timed_out: the statement ran out of its time limit. connection_lost:
  // the answer says the session is gone.
  void Failed(bool timed_out, bool connection_lost);
  // No session could be had for the statement.
  void Unreachable();

 private:
  const void* database_;
  int result_ = 1;  // index of the result label; failed until marked
  int reachable_ = -1;  // -1 unknown, 0 no, 1 yes
  int64_t start_us_;
};

// A lost session was rebuilt (true) or could not be (false).
void Reconnect(bool succeeded);

// ---- Worker threads and customers ---------------------------------------------

// thread: the start routine's name (PerformPatchJobs, ...); others count
// as "other".
void WorkerThreadRestarted(const char* thread);

enum class CustomerSkip { kNoNames, kNoObject, kNotConnected };
void CustomerServed();
void CustomerSkipped(CustomerSkip why);

// One pass over the customers; observes its duration, labelled with the
// calling thread's fan-out kind, when it goes out of scope.
class FanOutPass {
 public:
  FanOutPass();
  ~FanOutPass();
  FanOutPass(const FanOutPass&) = delete;
  FanOutPass& operator=(const FanOutPass&) = delete;

 private:
  int kind_;
  int64_t start_us_;
};

// Names the fan-out passes of the calling thread from now on: a worker
// thread's start routine (PerformPatchJobs, ...), "signal" for the main
// loop's signal handlers; others count as "other". A timeout event's run
// (EventRun) names its passes by the event's number.
void SetFanOutKind(const char* kind);

// A fan-out pool worker starts (true) or ends (false) a customer.
void FanOutWorkerBusy(bool busy);

// ---- Scheduler lease -------------------------------------------------------------

// This instance now holds (true) the lease of epoch, or holds it no more
// (korb_lease_epoch then 0).
void LeaseHeld(bool held, uint64_t epoch);
// A grant that replaced another instance's epoch, or an epoch of this
// instance's name that did not end in order.
void LeaseTakeover();
// A renewal of the held lease got no answer.
void LeaseRenewFailed();

// ---- Set-up by the daemon -------------------------------------------------------

// The main database object: its statements decide whether the database
// counts as reachable for the health check, and connection_error is read
// on each scrape for the korb_db_connection_error gauge.
void SetMainDatabase(const void* database, std::function<bool()> connection_error);
// Log lines held back by the rate limiters so far, read on each scrape.
void SetSuppressedLinesSource(std::function<uint64_t()> read);
// This instance's role, read on each scrape and by the health check:
// "active", "standby" or "single" (the lease is off). Until it is set the
// role is "single". problem says why the lease makes the instance
// unhealthy (a 503 reason), or returns nullptr. Both must be thread-safe
// and must not block.
void SetLeaseRoleSource(const char* (*role)(), const char* (*problem)());
// Longest time the main loop may stay away from its wait and still count
// as healthy (real seconds, already scaled).
void SetLoopTurnLimit(double seconds);

// Registers every family above plus the process set and build_info in
// DefaultRegistry (once; later calls do nothing).
void RegisterSchedulerMetrics();

// The verdict names the role (above). 503 reasons: the lease's problem
// (above), the main loop has been away from its wait for longer than
// the limit, the main database's connection is lost for good, or its last
// statement found no session (a slow or timed-out statement on a server
// that still answers is not one).
HealthVerdict SchedulerHealth();

}  // namespace metrics
