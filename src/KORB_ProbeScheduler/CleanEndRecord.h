// The record that the previous run of the process ended in order.
//
// A run that ended in order, with nothing left half-done, leaves a small
// file; the next start consumes it and runs restart recovery only when it
// was not there. The file lives beside the log folder,
// <install>/ConsoleManagement/state/, rather than in the database: it must
// be writable when the end was caused by the database, it describes this
// process on this machine, and unlike /run it survives a reboot after a
// clean stop.
//
// The record is written only when, over the whole run, the main loop
// ended in order (end signal, SIGTERM/SIGINT, daily restart), no work was
// cut (a unit still running when the grace period ran out, a statement of
// unknown outcome: see WorkCutSoFar), the main database connection was
// never given up, restart recovery (when it ran) completed, and no
// statement was still under way when the sessions were closed. It is
// written last, after every session is closed.
//
// Thread-safe. Everything about the record is here; the rest of the
// process only reports what makes an end unclean.
#pragma once

#include <string>

// What the previous run left behind.
enum class PreviousEnd {
  kClean,        // the record was there and is consumed, durably
  kNoRecord,     // crash, kill, lost database, cut work, first start
  kUnreadable,   // no install location, or the removal cannot be made durable
};

// <install>/ConsoleManagement/state/KORB_ProbeScheduler.clean-end, or ""
// when the install location is unknown.
std::string CleanEndRecordPath();

// Removes the record, makes the removal durable (the folder is synced)
// and says what it told. A record whose removal cannot be made durable
// counts as no record (kUnreadable, *why filled): a later crash must never
// look like a clean end.
PreviousEnd ConsumeCleanEndRecord(std::string* why);

// Something that makes this run's end unclean, whatever comes later (the
// next start then runs restart recovery). The first reason is kept for
// the log.
void NoteUncleanEnd(const std::string& why);

// The main loop ended in order. REQUIRES: after the workers were waited
// for.
void NoteOrderlyEnd();

// At the very end of the process, after every session was closed
// (statementsUnderWay: sessions still in use then). Writes the record
// when the end was orderly and clean; otherwise logs at level 8 why the
// next start runs restart recovery (unless the end was not orderly). A
// record that cannot be written is logged at level 2. Returns whether the
// end was orderly and clean (whether or not the file could be written).
bool RecordEndIfClean(int statementsUnderWay);
