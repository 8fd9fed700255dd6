// Transactions of CDBI on the calling thread's session.
//
// A transaction lives on one session. If that session is lost and rebuilt
// (the reconnect window), or a statement in it fails (the server may have
// rolled the whole transaction back: a deadlock, a lost session), the
// statements that follow would run on their own, committed one by one and
// outside whatever the transaction's fence checked. So once broken, a
// transaction lets no statement through until it is ended.
#include "Transactions.h"

#include <algorithm>
#include <vector>

#include "CDBIImpl.h"
#include "StatementGate.h"

namespace dbi {

namespace {

struct OpenTransaction {
  const CDBI* owner;
  uint64_t session_id;
  bool broken;
};

thread_local std::vector<OpenTransaction> t_transactions;

OpenTransaction* Find(const CDBI* owner) {
  for (OpenTransaction& open : t_transactions)
    if (open.owner == owner) return &open;
  return nullptr;
}

}  // namespace

bool TransactionAllows(const CDBI* owner, uint64_t session_id, std::string* why) {
  const OpenTransaction* open = Find(owner);
  if (open == nullptr) return true;
  if (open->broken) {
    *why = "an earlier statement of the open transaction failed; it is rolled back";
    return false;
  }
  if (open->session_id != session_id) {
    *why = "the session of the open transaction was lost; it is rolled back";
    return false;
  }
  return true;
}

void TransactionStatementFailed(const CDBI* owner) {
  if (OpenTransaction* open = Find(owner)) open->broken = true;
}

void TransactionOpened(const CDBI* owner, uint64_t session_id) {
  TransactionClosed(owner);
  t_transactions.push_back({owner, session_id, false});
}

void TransactionClosed(const CDBI* owner) {
  t_transactions.erase(std::remove_if(t_transactions.begin(), t_transactions.end(),
                                      [owner](const OpenTransaction& open) {
                                        return open.owner == owner;
                                      }),
                       t_transactions.end());
}

bool TransactionOpen(const CDBI* owner, bool* broken) {
  const OpenTransaction* open = Find(owner);
  if (open == nullptr) return false;
  if (broken != nullptr) *broken = open->broken;
  return true;
}

}  // namespace dbi

namespace {

// Rows of the first result set, or the affected rows when there is none.
dbi::ResultHandler CountRows(long long* rows) {
  return [rows](MYSQL_RES* result) -> std::string {
    if (result != nullptr) *rows = static_cast<long long>(mysql_num_rows(result));
    return "";
  };
}

}  // namespace

int CDBI::BeginTransaction() {
  if (dbi::TransactionOpen(this, nullptr)) {
    impl_->Log(__LINE__, KORB_LOG_ERROR,
               "BeginTransaction: a transaction was still open on this thread; rolled back");
    RollbackTransaction();
  }
  if (!impl_->Execute("BeginTransaction", "START TRANSACTION", nullptr)) return -1;
  std::string error;
  bool opened = false;
  dbi::Session* session = impl_->pool ? impl_->pool->ForThisThread(&error, &opened) : nullptr;
  // The session that began it may be gone already: then nothing is open.
  if (session == nullptr || opened) return -1;
  dbi::TransactionOpened(this, session->Id());
  return 1;
}

int CDBI::CommitTransaction(const std::string& fence) {
  bool broken = false;
  if (!dbi::TransactionOpen(this, &broken)) {
    impl_->Log(__LINE__, KORB_LOG_ERROR, "CommitTransaction: no transaction is open");
    return -1;
  }
  if (broken) {
    RollbackTransaction();
    impl_->Log(__LINE__, KORB_LOG_ERROR,
               "CommitTransaction: a statement of the transaction failed; nothing of it is "
               "committed");
    return -1;
  }
  // The fence comes last, right before the commit: whatever lock it takes
  // is held for one round trip only, and a takeover that waits for it
  // finds everything of this transaction committed or nothing.
  if (!fence.empty()) {
    long long rows = -1;
    long long affected = -1;
    if (!impl_->Execute("CommitTransaction", fence, CountRows(&rows), &affected)) {
      RollbackTransaction();
      return -1;
    }
    if ((rows >= 0 ? rows : affected) != 1) {
      RollbackTransaction();
      return 0;
    }
  }
  const bool done = impl_->Execute("CommitTransaction", "COMMIT", nullptr);
  dbi::TransactionClosed(this);
  return done ? 1 : -1;
}

void CDBI::RollbackTransaction() {
  bool broken = false;
  if (!dbi::TransactionOpen(this, &broken)) return;
  dbi::TransactionClosed(this);
  // A lost session took its transaction with it; on the same session a
  // ROLLBACK ends it (also after a failed statement, when the server kept
  // the transaction open).
  impl_->Execute("RollbackTransaction", "ROLLBACK", nullptr);
}

void CDBI::SetStatementGate(bool (*check)(), const char* reason) {
  dbi::SetStatementGate(check, reason);
}
