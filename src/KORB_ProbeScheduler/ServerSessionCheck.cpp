#include "ServerSessionCheck.h"

#include <string>

#include "CustomerFanOutPool.h"
#include "ProcessState.h"

namespace {

// The main loop, the four worker threads, the metrics scrape and a margin
// for the explain tool and the operators' own sessions.
constexpr long long kMainSessionsAndMargin = 22;
constexpr long long kPatchThreads = 3;

constexpr char kMaxConnectionsQuery[] = "select @@max_connections as outputvalue";
constexpr char kAddOnCustomersCount[] =
    "select count(*) as outputvalue from customermaster where CustomerStatus = 0 and AddOnID <> 0";
constexpr char kPlainCustomersCount[] =
    "select count(*) as outputvalue from customermaster where CustomerStatus = 0 and AddOnID = 0";

bool ReadCount(const char* query, long long* value) {
  std::string text;
  if (g_pDBI->getValueFromQuery(query, text) != 1 || !IsInteger(text)) return false;
  *value = std::stoll(text);
  return true;
}

}  // namespace

long long SessionsNeeded(long long customers, int workers) {
  // The three patch threads walk the customers in the same order and are
  // woken together, and a fan-out worker may be in the same customer too:
  // each holds a session of its own, and the session cache keeps them for
  // the next pass.
  const long long per_customer = kPatchThreads + (workers > 0 ? 1 : 0);
  return customers * per_customer + kMainSessionsAndMargin;
}

void CheckServerSessionsForCustomers() {
  if (g_pDBI == nullptr || g_pDBI->m_nMSPFlag == 0) return;
  long long limit = 0;
  long long customers = 0;
  if (!ReadCount(kMaxConnectionsQuery, &limit)) return;
  if (!ReadCount(g_pDBI->m_nAddOnSelector == 5 ? kAddOnCustomersCount : kPlainCustomersCount,
                 &customers))
    return;
  const int workers = CustomerFanOutWorkers();
  const long long needed = SessionsNeeded(customers, workers);
  if (limit >= needed) return;
  KLOG(KORB_LOG_WARNING,
       "The database server allows %lld sessions (max_connections) but %lld customers and %d "
       "fan-out workers need about %lld; customers will be skipped when the server refuses "
       "sessions. Raise max_connections to at least %lld",
       limit, customers, workers, needed, needed);
}
