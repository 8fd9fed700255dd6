// A scheduler instance that does not hold the scheduler lease stands by.
#pragma once

#include "utilLib.h"

// Waits until this instance holds the scheduler lease (at once when the
// lease is off). The signal receiver is bound already, so the supervisor
// can end a standby as it ends an active instance: the end signal (type
// 1), SIGTERM or SIGINT, or the supervisor's own end. Every other datagram
// and every timeout event is left alone: the active instance serves them.
// Returns true once active, false when the standby is to end (logged).
bool StandByUntilActive(CSignalHandler& signals);
