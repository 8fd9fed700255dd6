// A process-wide gate in front of every statement of every CDBI object.
//
// An instance that may no longer act on the database (it lost the
// scheduler lease) closes the gate: from then on every statement fails at
// once, without being sent, as if no session could be had. Open until a
// gate is installed; the check is one relaxed atomic load when none is.
#pragma once

#include <string>

namespace dbi {

// Returns true while statements may be sent. Must be cheap and thread-safe.
using GateCheck = bool (*)();

// Installs (or, with nullptr, removes) the check and the reason given in
// the failure of a statement it refuses.
void SetStatementGate(GateCheck check, const char* reason);

// True when no gate is installed or the installed check passes; otherwise
// false with *reason set.
bool StatementsAllowed(const char** reason);

}  // namespace dbi
