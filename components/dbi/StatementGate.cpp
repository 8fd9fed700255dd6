#include "StatementGate.h"

#include <atomic>

namespace dbi {

namespace {
std::atomic<GateCheck> g_check{nullptr};
std::atomic<const char*> g_reason{""};
}  // namespace

void SetStatementGate(GateCheck check, const char* reason) {
  g_reason.store(reason != nullptr ? reason : "", std::memory_order_release);
  g_check.store(check, std::memory_order_release);
}

bool StatementsAllowed(const char** reason) {
  GateCheck check = g_check.load(std::memory_order_acquire);
  if (check == nullptr || check()) return true;
  *reason = g_reason.load(std::memory_order_acquire);
  return false;
}

}  // namespace dbi
