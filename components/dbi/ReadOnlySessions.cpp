#include "ReadOnlySessions.h"

#include <atomic>

namespace {
std::atomic<bool> g_readOnly{false};
}  // namespace

const char kReadOnlySessionStatement[] = "SET SESSION TRANSACTION READ ONLY";

void SetSessionsReadOnly(bool readOnly) { g_readOnly.store(readOnly); }

bool SessionsReadOnly() { return g_readOnly.load(); }
