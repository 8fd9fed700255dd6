// The record that the previous run of the process ended in order.
//
// An orderly end that completed (worker threads stopped within the grace
// period, teardown done) leaves a small file; the next start consumes it
// and runs restart recovery only when it was not there. The file lives
// beside the log folder, <install>/ConsoleManagement/state/, rather than in
// the database: it must be writable when the end was caused by the
// database, it describes this process on this machine, and unlike /run it
// survives a reboot after a clean stop.
#pragma once

#include <string>

// What the previous run left behind.
enum class PreviousEnd {
  kClean,        // the record was there and is consumed
  kNoRecord,     // crash, kill, lost database, grace period exceeded, first start
  kUnreadable,   // no install location, or the record cannot be removed
};

// <install>/ConsoleManagement/state/KORB_ProbeScheduler.clean-end, or ""
// when the install location is unknown.
std::string CleanEndRecordPath();

// Removes the record and says what it told. A record that cannot be
// removed counts as no record (kUnreadable, *why filled): a later crash
// must never look like a clean end.
PreviousEnd ConsumeCleanEndRecord(std::string* why);

// Writes the record atomically (a temporary file in the same folder,
// flushed to disk, renamed over the record). Returns false and fills *why
// on failure; the next start then runs the recovery.
bool WriteCleanEndRecord(std::string* why);
