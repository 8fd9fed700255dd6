// The calling thread's open transactions, one per CDBI object at most.
// Execute asks before each statement whether it may run (the transaction's
// own session, nothing failed in it yet) and reports each failure.
#pragma once

#include <cstdint>
#include <string>

class CDBI;

namespace dbi {

// True when the thread has no transaction open on owner, or has one on the
// session `session_id` in which nothing failed; otherwise false with *why.
bool TransactionAllows(const CDBI* owner, uint64_t session_id, std::string* why);

// A statement of owner failed on this thread: an open transaction is
// broken (the server may have rolled it back, or the session is gone).
void TransactionStatementFailed(const CDBI* owner);

// Opens, ends and inspects the record of the thread's transaction on owner.
void TransactionOpened(const CDBI* owner, uint64_t session_id);
void TransactionClosed(const CDBI* owner);
bool TransactionOpen(const CDBI* owner, bool* broken);

}  // namespace dbi
