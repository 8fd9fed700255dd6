// The daemon's side of the scheduler lease (components/lease): several
// scheduler instances, on any hosts, share one main database; exactly one
// of them is active. The others stand by: no restart recovery, no posting,
// no procedure call, no signal, no customer session until they hold the
// lease.
//
// Settings (the main DSN's group): korb-lease-duration, whole seconds a
// grant or renewal lasts, 2 to 300 (6 is a good value); 0, the default,
// leaves the lease off: one instance per database, guarded only by the
// host's lock file. Renewals
// and a standby's requests come every sixth of it; the active stops a
// third of it before the lease could expire in the database.
//
// What the rest of the daemon asks:
//   - LeaseAllowsWork(): the statement gate; false once the lease is lost
//     or its deadline passed, and every statement then fails unsent.
//   - LeaseFence(db): the statement each posting transaction runs right
//     before its commit; the transaction commits only while this
//     instance's epoch holds.
//
// When the lease is lost, the keeper's thread logs it, closes every
// database session and ends the process (exit 0); the supervisor starts a
// new one, which stands by. What can still happen after the deadline: a
// statement each thread had already sent goes on at the server (a stored
// procedure call cannot carry the epoch); no posting write of this
// instance commits, because its fence no longer holds.
//
// Thread-safe after StartSchedulerLease, which runs once on the main
// thread during start-up.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "DBI.h"

// Reads the settings and, when the lease is on, starts asking for it.
// Returns false (logged) for a bad setting or a lease table that cannot be
// used.
bool StartSchedulerLease(CDBI& main);

// True when the lease is on.
bool SchedulerLeaseEnabled();

// Blocks until this instance holds the lease (true; at once when the lease
// is off) or give_up returns true (false). give_up is asked whenever
// wake() is called and at least every second. on_granted runs on the
// keeper's thread when the lease is granted (to wake the caller's wait).
bool AwaitSchedulerLease(const std::function<bool()>& give_up);
void WakeLeaseWait();
void OnLeaseGranted(std::function<void()> callback);

// The statement gate: true while this instance may act on the database.
bool LeaseAllowsWork();

// The fence of a posting transaction on db's session; "" when the lease is
// off, or when db is a customer database on a server that cannot see the
// lease row (logged once per DSN).
std::string LeaseFence(CDBI& db);

// Ends the process as on a lost lease (logged with why): for a fence that
// found this instance's epoch ended.
[[noreturn]] void EndOnLostLease(const std::string& why);

// The epoch this instance holds (0: none, or the lease is off).
uint64_t LeaseEpoch();

// Whether the active before this one released the lease after an orderly
// end (known once this instance holds the lease).
bool PreviousActiveEndedInOrder();
// Whether that previous active was this instance (same host and lock file).
bool PreviousHolderWasThisInstance();

// This instance begins its work as the active one (after the standby).
void NoteLeaseWorkStarted();

// After the teardown and after every session is closed: releases the
// lease, so that a standby takes over at once, recording whether this end
// was orderly and clean; an instance that never began its work passes on
// what its predecessor left. Nothing when the lease is off or not held.
void ReleaseSchedulerLease(bool clean_end);

// For the health endpoint and the supervisor's status: "active",
// "standby" or "single" (the lease is off).
const char* LeaseRole();

// For the health endpoint: why this standby is not healthy (its last
// request for the lease got no answer), or nullptr.
const char* LeaseHealthProblem();
