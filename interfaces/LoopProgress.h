// Progress notices of the main loop to a supervisor that asked for them
// (KORB_NOTIFY_SUPERVISOR=1 in the environment, as korb-supervisor sets
// it). Each notice is a queued real-time signal (LoopProgressSignal())
// whose value is the number of milliseconds within which the next notice
// is due; a supervisor that gets none for that long may take the loop for
// hung and end the process.
//
// Notices are cheap and never block: sigqueue() to the supervisor, at most
// about one a second however busy the loop is, sent only when a notice
// would move the supervisor's deadline later by more than a second (the
// deadline never moves earlier). A failed send is logged, rate-limited,
// and the loop goes on.
//
// Thread safety: StartLoopProgress() once, on the loop's thread, before
// other threads start; NoteLoopProgress() from any thread, acting only on
// the loop's thread (elsewhere it returns at once).
#pragma once

#include <cstdint>

class CLogger;

// The signal the notices use (SIGRTMIN).
int LoopProgressSignal();

// Added by the sender to every step's own bound: scheduling, the rate
// limit, a slow machine.
constexpr uint32_t kLoopProgressMarginMs = 10000;

// Makes the calling thread the loop's thread and enables the notices to
// supervisorPid when the environment asks for them. A failed send is
// logged through *logger when it is set by then.
void StartLoopProgress(int supervisorPid, CLogger* const* logger);

// The loop made progress, and its next step may take up to mayTakeMs (real
// milliseconds) before it makes progress again.
void NoteLoopProgress(uint64_t mayTakeMs);
