#include "SchedulerLease.h"

#include <cctype>
#include <map>
#include <memory>
#include <mutex>

#include "ProcessState.h"
#include "RoleNotice.h"
#include "lease_keeper.h"
#include "scheduler_metrics.h"

namespace {

constexpr const char* kDurationKey = "korb-lease-duration";
constexpr long long kDefaultDurationS = 0;
constexpr long long kMinDurationS = 2;
constexpr long long kMaxDurationS = 300;
constexpr const char* kLockName = "KORB_PROBESCHEDULER";
// After a silent loss, how long the usual end of a lost connection may take
// before the keeper ends the process itself (real time).
constexpr uint32_t kSilentEndGraceMs = 5000;

constexpr const char* kGaleraQuery = "show variables like 'wsrep_on'";

// Run right before a posting transaction's commit. On a single server a
// locking read: a takeover must wait for the commit, so the fence and a
// takeover never both commit, and renewals wait one round trip at most.
// On a Galera cluster read locks are not certified across nodes, so the
// fence writes the lease row instead: a takeover on another node then
// conflicts with it, and one of the two fails certification.
//
// The table is named with the main database, so that the postings into a
// customer database on the same server are fenced by the same row.
constexpr const char* kReadFence =
    "select epoch from `%s`.korb_scheduler_lease where name = 'scheduler' and epoch = %llu "
    "and expires_at > UTC_TIMESTAMP(6) lock in share mode";
constexpr const char* kWriteFence =
    "update `%s`.korb_scheduler_lease set fence_seq = fence_seq + 1 where name = "
    "'scheduler' and epoch = %llu and expires_at > UTC_TIMESTAMP(6)";

// A session frozen inside a posting transaction (a stopped process) holds
// the fence's lock; the server ends such a session after this long, so a
// takeover waits for it at most about one lease.
constexpr const char* kIdleTransactionLimit = "SET SESSION idle_transaction_timeout = %lld";

struct LeaseState {
  std::unique_ptr<lease::LeaseKeeper> keeper;
  bool write_fence = false;
  std::string main_database;
  CDBI* main = nullptr;  // checked: letters, digits, '_' and '$' only
  std::atomic<bool> ending{false};
  std::mutex mu;
  std::function<void()> on_granted;
  std::atomic<bool> previous_clean{false};
  std::atomic<bool> previous_was_me{false};
  std::atomic<bool> work_started{false};
  // Per customer DSN: whether its server holds the main database's lease
  // table, so that a fence on its session can read the lease row.
  std::mutex fenced_mu;
  std::map<std::string, bool> fenced_dsns;
};

LeaseState& State() {
  static auto* state = new LeaseState();  // never destroyed: threads use it to the end
  return *state;
}

bool GateCheck() { return State().keeper == nullptr || State().keeper->MayWrite(); }

// The lease is gone: nothing more of this instance may reach the database.
// The supervisor starts a new process, which stands by.
[[noreturn]] void EndAfterLoss(const std::string& why) {
  LeaseState& state = State();
  // The keeper and a posting's fence may find out at once; one ends it.
  if (state.ending.exchange(true)) {
    for (;;) port::SleepMs(1000);
  }
  metrics::LeaseHeld(false, state.keeper ? state.keeper->Epoch() : 0);
  KLOG(KORB_LOG_ERROR,
       "This instance lost the scheduler lease (epoch %llu): %s. It stops all database "
       "work and ends",
       static_cast<unsigned long long>(state.keeper ? state.keeper->Epoch() : 0),
       why.c_str());
  const int still_busy = CDBI::CloseAllSessions(0);
  if (still_busy > 0)
    KLOG(KORB_LOG_ERROR,
         "%d database statement(s) were under way when the lease was lost; their "
         "sessions are cut",
         still_busy);
  port::ExitProcess(0);
}

// No renewal got through: the database is out of reach (or silent) for
// this instance. Nothing reaches it any more (the gate is shut); the
// process ends the way it ends on a lost connection, and at the latest a
// moment later.
[[noreturn]] void EndAfterSilence(const std::string& why) {
  LeaseState& state = State();
  KLOG(KORB_LOG_ERROR,
       "This instance lost the scheduler lease (epoch %llu): %s. It stops all database "
       "work and ends",
       static_cast<unsigned long long>(state.keeper ? state.keeper->Epoch() : 0), why.c_str());
  metrics::LeaseHeld(false, state.keeper ? state.keeper->Epoch() : 0);
  CDBI::CloseAllSessions(0);
  // The main loop's check of a lost connection ends the process, at once.
  if (state.main != nullptr) state.main->DeclareConnectionLost();
  port::SleepMs(kSilentEndGraceMs);
  if (!state.ending.exchange(true)) port::ExitProcess(0);
  for (;;) port::SleepMs(1000);
}

// Tells a supervisor that asked for notices this instance's new role.
void NoteRole(RoleNotice role) {
  std::string error;
  if (!SendRoleNotice(g_nSupervisorPid, role, &error))
    KLOG(KORB_LOG_ERROR, "Role notice (%s) to the supervisor (pid %d) failed: %s",
         RoleNoticeName(static_cast<int>(role)), g_nSupervisorPid, error.c_str());
}

// A grant that replaced another instance's epoch, or an epoch of this
// instance's name that did not end in order (it expired, or its end was
// not clean); the very first grant and a return after one's own orderly
// end are not takeovers.
bool IsTakeover(const lease::LeaseRow& granted) {
  if (granted.previous_epoch == 0) return false;
  return granted.previous_holder != granted.holder || !granted.previous_clean_end;
}

std::string HolderName() {
  return port::HostName() + ":" + port::NamedMutexPath(kLockName);
}

}  // namespace

bool StartSchedulerLease(CDBI& main) {
  LeaseState& state = State();
  long long seconds = kDefaultDurationS;
  if (!main.GetIntegerOption(kDurationKey, seconds) ||
      (seconds != 0 && (seconds < kMinDurationS || seconds > kMaxDurationS))) {
    std::string raw;
    main.GetOption(kDurationKey, raw);
    KLOG(KORB_LOG_ERROR,
         "Option %s='%s' is not 0 or a whole number of seconds from %lld to %lld",
         kDurationKey, raw.c_str(), kMinDurationS, kMaxDurationS);
    return false;
  }
  if (seconds == 0) {
    KLOG(KORB_LOG_INFO,
         "The scheduler lease is off (%s is 0 or not set): one instance per database",
         kDurationKey);
    return true;
  }

  DBRows rows;
  if (main.getRows(kGaleraQuery, {"Value"}, rows) != 1) {
    KLOG(KORB_LOG_ERROR, "Cannot tell whether the database is a Galera cluster");
    return false;
  }
  state.write_fence = !rows.empty() && (rows[0][0] == "ON" || rows[0][0] == "1");
  state.main_database = main.DatabaseName();
  state.main = &main;
  for (char c : state.main_database + (state.main_database.empty() ? "?" : "")) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '$') {
      KLOG(KORB_LOG_ERROR,
           "The main database name '%s' cannot name the lease table in a fence",
           state.main_database.c_str());
      return false;
    }
  }
  CDBI::AddSessionStatement(Format(kIdleTransactionLimit, seconds));

  lease::KeeperSettings settings = lease::DefaultTiming(seconds * 1000);
  settings.store.option_file = CDBI::OptionFilePath();
  settings.store.dsn = main.Dsn();
  settings.store.database = main.DatabaseName();
  settings.holder = HolderName();

  lease::KeeperCallbacks callbacks;
  callbacks.on_started_leading = [&state](uint64_t epoch, const lease::LeaseRow& granted) {
    state.previous_clean.store(granted.previous_epoch != 0 && granted.previous_clean_end);
    state.previous_was_me.store(granted.previous_holder == granted.holder);
    metrics::LeaseHeld(true, epoch);
    if (IsTakeover(granted)) metrics::LeaseTakeover();
    NoteRole(RoleNotice::kActive);
    KLOG(KORB_LOG_INFO,
         "This instance now holds the scheduler lease (epoch %llu, until %s UTC); the "
         "previous holder was %s (epoch %llu), its end %s",
         static_cast<unsigned long long>(epoch), granted.expires_at.c_str(),
         granted.previous_holder.empty() ? "nobody" : granted.previous_holder.c_str(),
         static_cast<unsigned long long>(granted.previous_epoch),
         granted.previous_clean_end ? "orderly" : "not known to be orderly");
    std::function<void()> wake;
    {
      std::lock_guard<std::mutex> lock(state.mu);
      wake = state.on_granted;
    }
    if (wake) wake();
  };
  callbacks.on_lost = [](bool taken_over, const std::string& why) {
    if (taken_over) EndAfterLoss(why);
    EndAfterSilence(why);
  };
  callbacks.on_other_holder = [](const lease::LeaseRow& row) {
    KLOG(KORB_LOG_INFO,
         "Standing by: the scheduler lease is held by %s (epoch %llu, granted %s UTC, "
         "%lld ms left)",
         row.holder.c_str(), static_cast<unsigned long long>(row.epoch),
         row.granted_at.c_str(), static_cast<long long>(row.remaining_ms));
  };
  callbacks.on_call_failed = [](bool leading, const std::string& why) {
    static LogRateLimiter lines;
    if (leading) metrics::LeaseRenewFailed();
    KORBLogLimited(g_pLogger, lines, leading ? "renew" : "ask", __LINE__, KORB_LOG_SOURCE,
                   KORB_LOG_WARNING, "%s the scheduler lease failed: %s",
                   leading ? "Renewing" : "Asking for", why.c_str());
  };
  state.keeper = std::make_unique<lease::LeaseKeeper>(settings, callbacks);
  KLOG(KORB_LOG_INFO,
       "Asking for the scheduler lease as %s (lease %lld s, renewed every %lld ms, %s fence)",
       settings.holder.c_str(), seconds, static_cast<long long>(settings.renew_every_ms),
       state.write_fence ? "write" : "locking-read");
  metrics::LeaseHeld(false, 0);
  metrics::SetLeaseRoleSource(&LeaseRole, &LeaseHealthProblem);
  // Before the keeper starts: its grant's notice comes after this one.
  NoteRole(RoleNotice::kStandby);
  CDBI::SetStatementGate(&GateCheck, "this instance does not hold the scheduler lease");
  state.keeper->Start();
  return true;
}

void EndOnLostLease(const std::string& why) { EndAfterLoss(why); }

bool SchedulerLeaseEnabled() { return State().keeper != nullptr; }

void OnLeaseGranted(std::function<void()> callback) {
  LeaseState& state = State();
  std::lock_guard<std::mutex> lock(state.mu);
  state.on_granted = std::move(callback);
}

bool AwaitSchedulerLease(const std::function<bool()>& give_up) {
  LeaseState& state = State();
  if (state.keeper == nullptr) return true;
  return state.keeper->WaitUntilLeading(give_up, 1000);
}

void WakeLeaseWait() {
  if (State().keeper != nullptr) State().keeper->Nudge();
}

bool LeaseAllowsWork() { return GateCheck(); }

namespace {

constexpr const char* kLeaseTableQuery =
    "select count(*) as outputvalue from information_schema.tables where table_schema = "
    "'%s' and table_name = 'korb_scheduler_lease'";

// Whether a fence can run on db's session: a customer database on a server
// of its own cannot see the main database's lease row, and a transaction
// cannot span two servers. Asked once per DSN; a failed question fences
// (the commit then fails, and the posting stops for this pass).
bool SessionSeesLease(CDBI& db) {
  LeaseState& state = State();
  if (&db == state.main || db.Dsn() == state.main->Dsn()) return true;
  {
    std::lock_guard<std::mutex> lock(state.fenced_mu);
    auto known = state.fenced_dsns.find(db.Dsn());
    if (known != state.fenced_dsns.end()) return known->second;
  }
  std::string count;
  if (db.getValueFromQuery(Format(kLeaseTableQuery, state.main_database.c_str()), count) != 1)
    return true;
  const bool sees = count != "0";
  if (!sees)
    KLOG(KORB_LOG_WARNING,
         "The database %s (DSN %s) is on a server without the scheduler lease table "
         "%s.korb_scheduler_lease: its postings cannot be fenced and commit without the "
         "lease's check",
         db.DatabaseName().c_str(), db.Dsn().c_str(), state.main_database.c_str());
  std::lock_guard<std::mutex> lock(state.fenced_mu);
  state.fenced_dsns.emplace(db.Dsn(), sees);
  return sees;
}

}  // namespace

std::string LeaseFence(CDBI& db) {
  LeaseState& state = State();
  if (state.keeper == nullptr) return "";
  if (!SessionSeesLease(db)) return "";
  return Format(state.write_fence ? kWriteFence : kReadFence, state.main_database.c_str(),
                static_cast<unsigned long long>(state.keeper->Epoch()));
}

uint64_t LeaseEpoch() { return State().keeper ? State().keeper->Epoch() : 0; }

bool PreviousActiveEndedInOrder() { return State().previous_clean.load(); }

bool PreviousHolderWasThisInstance() { return State().previous_was_me.load(); }

void NoteLeaseWorkStarted() { State().work_started.store(true); }

void ReleaseSchedulerLease(bool clean) {
  LeaseState& state = State();
  if (state.keeper == nullptr) return;
  if (!state.keeper->Leading()) {
    state.keeper->Stop();
    return;
  }
  const bool clean_end = state.work_started.load() ? clean : state.previous_clean.load();
  std::string error;
  const uint64_t epoch = state.keeper->Epoch();
  const lease::Outcome outcome = state.keeper->Release(clean_end, &error);
  metrics::LeaseHeld(false, epoch);
  if (state.keeper->LostAtEnd())
    KLOG(KORB_LOG_ERROR,
         "This instance lost the scheduler lease (epoch %llu): %s. It stops all database "
         "work and ends",
         static_cast<unsigned long long>(epoch), error.c_str());
  else if (outcome == lease::Outcome::kDone)
    KLOG(KORB_LOG_INFO, "Released the scheduler lease (epoch %llu, end %s)",
         static_cast<unsigned long long>(epoch), clean_end ? "orderly" : "not orderly");
  else
    KLOG(KORB_LOG_ERROR,
         "Releasing the scheduler lease (epoch %llu) failed: %s; a standby takes over when "
         "it expires",
         static_cast<unsigned long long>(epoch),
         error.empty() ? "it was no longer this instance's" : error.c_str());
}

const char* LeaseHealthProblem() {
  LeaseState& state = State();
  if (state.keeper == nullptr || state.keeper->Leading() || !state.keeper->RequestsFailing())
    return nullptr;
  return "main database unreachable: this standby's last request for the scheduler lease got "
         "no answer";
}

const char* LeaseRole() {
  LeaseState& state = State();
  if (state.keeper == nullptr) return "single";
  return state.keeper->MayWrite() ? "active" : "standby";
}
