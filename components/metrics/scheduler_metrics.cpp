// The scheduler's metric families, made once in DefaultRegistry, and the
// hook functions that bump them.
#include "scheduler_metrics.h"

#include <array>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "metric_types.h"
#include "process_metrics.h"

namespace metrics {
namespace {

constexpr int kEventCount = 17;
constexpr std::array<long, 9> kSignalTypes = {1, 4, 5, 7, 10, 11, 13, 14, 17};
constexpr std::array<int, 5> kJobTypes = {10025, 10027, 10037, 17017, kInternalDeployJob};
constexpr std::array<const char*, 5> kJobTypeNames = {"patch_deploy", "patch_scan",
                                                      "cab_download", "ondemand",
                                                      "internal_deploy"};
constexpr std::array<const char*, 5> kOutcomeNames = {"open", "duplicate", "redo", "submitted",
                                                      "failed"};
constexpr std::array<const char*, 4> kPostingNames = {"scan", "deploy", "internal_deploy",
                                                      "cab_download"};
constexpr std::array<const char*, 4> kThreadNames = {
    "PerformPatchJobs", "PerformOndemandPatchJobs", "InternalDeployJobPoster",
    "PostAutomationScheduleJobs"};
// Index 1 is "failed": a statement that is never marked counts as failed.
constexpr std::array<const char*, 3> kStatementResults = {"ok", "failed", "timed_out"};

int64_t NowMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double SecondsSince(int64_t start_us) {
  return static_cast<double>(NowMicros() - start_us) / 1e6;
}

std::vector<Labels> Numbered(int count) {
  std::vector<Labels> sets;
  for (int i = 1; i <= count; ++i) sets.push_back({std::to_string(i)});
  return sets;
}

template <size_t N>
std::vector<Labels> Named(const std::array<const char*, N>& names) {
  std::vector<Labels> sets;
  for (const char* name : names) sets.push_back({name});
  return sets;
}

struct Families {
  std::vector<Counter*> event_runs;
  std::vector<Histogram*> event_lateness;
  std::vector<Histogram*> event_duration;
  std::vector<Counter*> signals;        // kSignalTypes, then "other"
  std::vector<Counter*> refused;        // Refusal order
  std::vector<Counter*> coalesced;      // as signals
  std::vector<Counter*> jobs;           // (job type + other) x outcome
  std::vector<Histogram*> posting_targets;
  std::vector<Histogram*> posting_duration;
  std::vector<Counter*> posting_stops;  // PostingStop order
  std::vector<Counter*> statements;     // kStatementResults
  Histogram* statement_duration;
  std::vector<Counter*> reconnects;     // ok, failed
  std::vector<Counter*> thread_restarts;  // kThreadNames, then "other"
  Counter* customers_served;
  std::vector<Counter*> customers_skipped;  // CustomerSkip order
  std::vector<Histogram*> fanout_duration;  // FanOutKinds() order
  Gauge* fanout_busy;
  Counter* lease_takeovers;
  Counter* lease_renew_failures;
};

// Label values of korb_msp_fanout_duration_seconds: the events, "signal",
// the worker threads, "other" last.
const std::vector<Labels>& FanOutKinds() {
  static const auto* kinds = [] {
    auto* labels = new std::vector<Labels>(Numbered(kEventCount));
    labels->push_back({"signal"});
    for (const char* name : kThreadNames) labels->push_back({name});
    labels->push_back({"other"});
    return labels;
  }();
  return *kinds;
}

int FanOutKindIndex(const std::string& kind) {
  const std::vector<Labels>& kinds = FanOutKinds();
  for (size_t i = 0; i + 1 < kinds.size(); ++i)
    if (kinds[i][0] == kind) return static_cast<int>(i);
  return static_cast<int>(kinds.size()) - 1;
}

thread_local int t_fanout_kind = -1;  // -1: "other"

// Health inputs, written by the loop and the database layer.
std::atomic<bool> g_loop_waiting{false};
std::atomic<int64_t> g_loop_left_wait_us{0};
std::atomic<int64_t> g_loop_limit_us{120 * 1000000LL};
std::atomic<const void*> g_main_database{nullptr};
std::atomic<int> g_main_database_reachable{-1};  // -1 not yet known
std::atomic<const char* (*)()> g_lease_role{nullptr};
std::atomic<const char* (*)()> g_lease_problem{nullptr};
std::atomic<uint64_t> g_lease_epoch{0};

const char* Role() {
  const char* (*role)() = g_lease_role.load();
  return role != nullptr ? role() : "single";
}

// Read on scrapes. Never destroyed: the endpoint and the worker threads
// may outlive the static objects of the process at its exit.
struct Sources {
  std::mutex mu;
  std::function<bool()> connection_error;
  std::function<uint64_t()> suppressed_lines;
};

Sources& Src() {
  static Sources* sources = new Sources();
  return *sources;
}

Families* Make() {
  Registry& r = DefaultRegistry();
  auto* f = new Families();
  g_loop_left_wait_us.store(NowMicros());
  const std::vector<Labels> events = Numbered(kEventCount);
  f->event_runs = r.AddCounters("korb_timeout_event_runs_total",
                                "Handler runs of each periodic timeout event.", {"event"},
                                events);
  f->event_lateness = r.AddHistograms(
      "korb_timeout_event_lateness_seconds",
      "Time from a timeout event's deadline to the start of its handler.", {"event"}, events,
      DurationBuckets());
  f->event_duration = r.AddHistograms("korb_timeout_event_duration_seconds",
                                      "Run time of each timeout event's handler.", {"event"},
                                      events, DurationBuckets());
  std::vector<Labels> types;
  for (long type : kSignalTypes) types.push_back({std::to_string(type)});
  types.push_back({"other"});
  f->signals = r.AddCounters("korb_signals_received_total",
                             "UDP signals received, by signal type.", {"type"}, types);
  f->refused = r.AddCounters(
      "korb_signal_datagrams_refused_total",
      "Datagrams on the signal port refused for their length, and failed receives.",
      {"reason"}, {{"length"}, {"receive_error"}, {"not_allowed"}});
  f->coalesced = r.AddCounters("korb_signals_coalesced_total",
                               "Identical signal datagrams handled together with the one "
                               "waiting right before them, by signal type.",
                               {"type"}, types);
  std::vector<Labels> jobs;
  for (size_t t = 0; t <= kJobTypeNames.size(); ++t)
    for (const char* outcome : kOutcomeNames)
      jobs.push_back({t < kJobTypeNames.size() ? kJobTypeNames[t] : "other", outcome});
  f->jobs = r.AddCounters("korb_jobs_posted_total",
                          "Job rows posted, by job type and outcome (open, duplicate posted "
                          "closed, redo of an interrupted job, submitted to the deploy "
                          "procedure, failed statement).",
                          {"job_type", "outcome"}, jobs);
  const std::vector<Labels> postings = Named(kPostingNames);
  f->posting_targets = r.AddHistograms("korb_posting_targets",
                                       "Target systems of one posting of one schedule.",
                                       {"kind"}, postings, CountBuckets());
  f->posting_duration = r.AddHistograms("korb_posting_duration_seconds",
                                        "Run time of one posting of one schedule.", {"kind"},
                                        postings, DurationBuckets());
  f->posting_stops = r.AddCounters("korb_postings_stopped_total",
                                   "Postings that stopped before their last target.",
                                   {"reason"}, {{"connection_lost"}, {"grace_period"}});
  f->statements = r.AddCounters("korb_db_statements_total", "Database statements by result.",
                                {"result"}, Named(kStatementResults));
  f->statement_duration = r.AddHistograms("korb_db_statement_duration_seconds",
                                          "Run time of database statements.", {}, {{}},
                                          DurationBuckets())[0];
  f->reconnects = r.AddCounters("korb_db_reconnects_total",
                                "Attempts to rebuild a lost database session.", {"result"},
                                {{"ok"}, {"failed"}});
  r.AddComputed("korb_db_connection_error",
                "1 once the main database connection is lost for good (the daemon ends "
                "at its next supervision tick).",
                "gauge", {}, [] {
                  std::lock_guard<std::mutex> lock(Src().mu);
                  const bool lost = Src().connection_error && Src().connection_error();
                  return std::vector<Sample>{Sample{{}, lost ? 1.0 : 0.0}};
                });
  r.AddComputed("korb_db_up",
                "1 when the main database answered its last statement, 0 when no session "
                "could be had.",
                "gauge", {}, [] {
                  return std::vector<Sample>{
                      Sample{{}, g_main_database_reachable.load() == 0 ? 0.0 : 1.0}};
                });
  std::vector<Labels> threads = Named(kThreadNames);
  threads.push_back({"other"});
  f->thread_restarts = r.AddCounters("korb_worker_thread_restarts_total",
                                     "Worker threads found ended and started again.",
                                     {"thread"}, threads);
  f->customers_served = r.AddCounters("korb_msp_customers_served_total",
                                      "Customer databases whose work ran in a fan-out pass.",
                                      {}, {{}})[0];
  f->customers_skipped = r.AddCounters(
      "korb_msp_customers_skipped_total", "Customers skipped in a fan-out pass, by reason.",
      {"reason"}, {{"no_names"}, {"no_object"}, {"not_connected"}});
  f->fanout_duration = r.AddHistograms(
      "korb_msp_fanout_duration_seconds",
      "Run time of one pass over the customer databases, by what ran it (timeout event "
      "number, signal, worker thread).",
      {"kind"}, FanOutKinds(), DurationBuckets());
  f->fanout_busy = r.AddGauges("korb_msp_fanout_workers_busy",
                               "Fan-out pool workers serving a customer now.", {}, {{}})[0];
  r.AddComputed("korb_leader",
                "1 while this instance holds the scheduler lease and may act, else 0 "
                "(a standby, or the lease is off).",
                "gauge", {}, [] {
                  return std::vector<Sample>{
                      Sample{{}, std::string(Role()) == "active" ? 1.0 : 0.0}};
                });
  r.AddComputed("korb_lease_enabled",
                "1 when the scheduler lease is on (korb-lease-duration above 0).", "gauge",
                {}, [] {
                  return std::vector<Sample>{
                      Sample{{}, std::string(Role()) == "single" ? 0.0 : 1.0}};
                });
  r.AddComputed("korb_lease_epoch",
                "The epoch of the scheduler lease this instance holds (0: none).", "gauge",
                {}, [] {
                  return std::vector<Sample>{
                      Sample{{}, static_cast<double>(g_lease_epoch.load())}};
                });
  f->lease_takeovers = r.AddCounters(
      "korb_lease_takeovers_total",
      "Grants of the scheduler lease to this instance that replaced another instance's "
      "epoch, or one of this instance's name that did not end in order.",
      {}, {{}})[0];
  f->lease_renew_failures = r.AddCounters(
      "korb_lease_renew_failures_total",
      "Renewals of the held scheduler lease that got no answer.", {}, {{}})[0];
  r.AddComputed("korb_log_lines_suppressed_total",
                "Log lines held back by the rate limiters.", "counter", {}, [] {
                  std::lock_guard<std::mutex> lock(Src().mu);
                  const double held =
                      Src().suppressed_lines ? double(Src().suppressed_lines()) : 0.0;
                  return std::vector<Sample>{Sample{{}, held}};
                });
  r.AddComputed("korb_main_loop_busy_seconds",
                "Time the main loop has been away from its wait (0 while it waits).", "gauge",
                {}, [] {
                  const bool waiting = g_loop_waiting.load();
                  return std::vector<Sample>{
                      Sample{{}, waiting ? 0.0 : SecondsSince(g_loop_left_wait_us.load())}};
                });
  RegisterProcessMetrics(r);
  RegisterBuildInfo(r, "korb");
  return f;
}

Families& F() {
  static Families* families = Make();  // never destroyed: workers outlive main
  return *families;
}

bool ValidEvent(int event) { return event >= 1 && event <= kEventCount; }

}  // namespace

void RegisterSchedulerMetrics() { F(); }

void TimeoutEventDue(int event, int64_t lateness_us) {
  if (!ValidEvent(event)) return;
  F().event_lateness[event - 1]->Observe(
      static_cast<double>(lateness_us > 0 ? lateness_us : 0) / 1e6);
}

EventRun::EventRun(int event) : event_(event), start_us_(NowMicros()) {
  if (ValidEvent(event_)) F().event_runs[event_ - 1]->Inc();
  t_fanout_kind = ValidEvent(event_) ? event_ - 1 : -1;
}

EventRun::~EventRun() {
  if (ValidEvent(event_)) F().event_duration[event_ - 1]->Observe(SecondsSince(start_us_));
}

void LoopWaiting(bool waiting) {
  if (!waiting) g_loop_left_wait_us.store(NowMicros());
  g_loop_waiting.store(waiting);
}

void SignalReceived(long type) {
  SetFanOutKind("signal");
  size_t index = kSignalTypes.size();
  for (size_t i = 0; i < kSignalTypes.size(); ++i)
    if (kSignalTypes[i] == type) index = i;
  F().signals[index]->Inc();
}

void DatagramRefused(Refusal reason) { F().refused[static_cast<size_t>(reason)]->Inc(); }

void SignalsCoalesced(long type, uint64_t count) {
  if (count == 0) return;
  size_t index = kSignalTypes.size();
  for (size_t i = 0; i < kSignalTypes.size(); ++i)
    if (kSignalTypes[i] == type) index = i;
  F().coalesced[index]->Inc(count);
}

void JobPosted(int job_type, JobOutcome outcome) {
  size_t type_index = kJobTypes.size();
  for (size_t i = 0; i < kJobTypes.size(); ++i)
    if (kJobTypes[i] == job_type) type_index = i;
  F().jobs[type_index * kOutcomeNames.size() + static_cast<size_t>(outcome)]->Inc();
}

void JobInserted(int job_type, bool inserted, bool duplicate, bool redo) {
  JobPosted(job_type, !inserted  ? JobOutcome::kFailed
                      : duplicate ? JobOutcome::kDuplicate
                      : redo      ? JobOutcome::kRedo
                                  : JobOutcome::kOpen);
}

void JobSubmitted(int job_type, int call_result) {
  JobPosted(job_type, call_result == 1 ? JobOutcome::kSubmitted : JobOutcome::kFailed);
}

PostingRun::PostingRun(PostingKind kind) : kind_(kind), start_us_(NowMicros()) {}

PostingRun::~PostingRun() {
  const size_t index = static_cast<size_t>(kind_);
  F().posting_targets[index]->Observe(static_cast<double>(targets_));
  F().posting_duration[index]->Observe(SecondsSince(start_us_));
}

void PostingStopped(PostingStop why) { F().posting_stops[static_cast<size_t>(why)]->Inc(); }

StatementRun::StatementRun(const void* database)
    : database_(database), start_us_(NowMicros()) {}

void StatementRun::Succeeded() {
  result_ = 0;
  reachable_ = 1;
}

void StatementRun::Failed(bool timed_out, bool connection_lost) {
  result_ = timed_out ? 2 : 1;
  reachable_ = connection_lost ? 0 : 1;
}

void StatementRun::Unreachable() {
  result_ = 1;
  reachable_ = 0;
}

StatementRun::~StatementRun() {
  Families& f = F();
  f.statements[static_cast<size_t>(result_)]->Inc();
  f.statement_duration->Observe(SecondsSince(start_us_));
  if (reachable_ >= 0 && database_ != nullptr && database_ == g_main_database.load())
    g_main_database_reachable.store(reachable_);
}

void Reconnect(bool succeeded) { F().reconnects[succeeded ? 0 : 1]->Inc(); }

void WorkerThreadRestarted(const char* thread) {
  size_t index = kThreadNames.size();
  for (size_t i = 0; i < kThreadNames.size(); ++i)
    if (thread != nullptr && std::string(thread) == kThreadNames[i]) index = i;
  F().thread_restarts[index]->Inc();
}

void CustomerServed() { F().customers_served->Inc(); }

void CustomerSkipped(CustomerSkip why) {
  F().customers_skipped[static_cast<size_t>(why)]->Inc();
}

FanOutPass::FanOutPass()
    : kind_(t_fanout_kind >= 0 ? t_fanout_kind : FanOutKindIndex("other")),
      start_us_(NowMicros()) {}

void SetFanOutKind(const char* kind) { t_fanout_kind = FanOutKindIndex(kind); }

void FanOutWorkerBusy(bool busy) { F().fanout_busy->Add(busy ? 1 : -1); }

FanOutPass::~FanOutPass() { F().fanout_duration[kind_]->Observe(SecondsSince(start_us_)); }

void LeaseHeld(bool held, uint64_t epoch) {
  F();
  g_lease_epoch.store(held ? epoch : 0);
}

void LeaseTakeover() { F().lease_takeovers->Inc(); }

void LeaseRenewFailed() { F().lease_renew_failures->Inc(); }

void SetLeaseRoleSource(const char* (*role)(), const char* (*problem)()) {
  g_lease_problem.store(problem);
  g_lease_role.store(role);
}

void SetMainDatabase(const void* database, std::function<bool()> connection_error) {
  F();
  {
    std::lock_guard<std::mutex> lock(Src().mu);
    Src().connection_error = std::move(connection_error);
  }
  g_main_database.store(database);
}

void SetSuppressedLinesSource(std::function<uint64_t()> read) {
  F();
  std::lock_guard<std::mutex> lock(Src().mu);
  Src().suppressed_lines = std::move(read);
}

namespace {

// The 503 reasons, the role aside.
HealthVerdict Verdict() {
  if (!g_loop_waiting.load()) {
    const int64_t away_us = NowMicros() - g_loop_left_wait_us.load();
    if (away_us > g_loop_limit_us.load())
      return {false, "main loop has not returned to its wait for " +
                         std::to_string(away_us / 1000000) + " s", ""};
  }
  bool lost_for_good = false;
  {
    std::lock_guard<std::mutex> lock(Src().mu);
    if (Src().connection_error) lost_for_good = Src().connection_error();
  }
  // The process is about to end; a server that came back does not change
  // that.
  if (lost_for_good)
    return {false, "main database connection lost for good", ""};
  if (g_main_database_reachable.load() == 0)
    return {false, "main database unreachable: its last statement found no session", ""};
  const char* (*lease_problem)() = g_lease_problem.load();
  if (const char* problem = lease_problem != nullptr ? lease_problem() : nullptr)
    return {false, problem, ""};
  return {true, "", ""};
}

}  // namespace

void SetLoopTurnLimit(double seconds) {
  g_loop_limit_us.store(static_cast<int64_t>(seconds * 1e6));
}

HealthVerdict SchedulerHealth() {
  HealthVerdict verdict = Verdict();
  verdict.role = Role();
  return verdict;
}

}  // namespace metrics
