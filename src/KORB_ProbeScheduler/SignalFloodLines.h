// The log lines of valid network signals under a flood. A peer gone wrong
// may send one signal type thousands of times a second; the receiver
// merges identical datagrams and holds repeats, and these functions keep
// the lines of what still gets handled to a few per type: the first 32
// signals of a type are logged, then one per scaled 10 s. Signals handled
// without their lines and datagrams merged are said in one line after the
// next logged signal of the type (when signals went unlogged), or once the
// type has been quiet for 2 scaled seconds.
//
// Main loop thread only (not thread-safe).
#pragma once

#include <cstdint>

// A signal of a valid type is about to be handled; repeats: identical
// datagrams the receiver merged into it. True when its lines are to be
// written now; after them, call SignalLinesWritten.
bool AdmitSignalLines(long type, uint64_t repeats);
// Writes the held-back line of the type when signals went unlogged.
void SignalLinesWritten(long type);
// Writes the held-back line of every type that has been quiet long enough
// (the loop calls it each time its wait returns).
void FlushQuietSignalTypes();
