// The per-customer form of the related-module signalling: every customer of
// the selected kind (no virtual probe needed) gets the full signalling run
// against its own database, the customers side by side on the fan-out
// pool. An exception of one customer stays inside that customer; one of
// the customer query goes to the caller.
#include <memory>
#include <new>
#include <vector>

#include "CustomerFanOut.h"
#include "ModuleSignalling.h"
#include "ProcessState.h"
#include "scheduler_metrics.h"

namespace {

constexpr char kAddOnCustomers[] =
    "select CustomerId from customermaster where CustomerStatus = 0 and AddOnID <> 0";
constexpr char kPlainCustomers[] =
    "select CustomerId from customermaster where CustomerStatus = 0 and AddOnID = 0";
constexpr char kCustomerNames[] =
    " select  DBName,DSNName from customermaster  where CustomerID = %d ";

// A customer without names stays so on every pass until someone fixes it.
LogRateLimiter g_unnamedCustomerLines;

}  // namespace

void GetCustomerDetails(CustomerDetails& record, int customerId) {
  KLOG(16, "GetCustomerDetails - START ");
  DBRows rows;
  g_pDBI->getRows(Format(kCustomerNames, customerId), {"DBName", "DSNName"}, rows);
  for (const DBRow& row : rows) {
    if (row.size() < 2) continue;
    record.DBName = row[0];
    record.DSNName = row[1];
    record.CustomerId = customerId;
  }
  KLOG(16, "GetCustomerDetails - EXIT ");
}

void SignallingRelatedMSPModules() {
  KLOG(16, "SignallingRelatedMSPModules - START ");
  metrics::FanOutPass pass;
  const char* query = g_pDBI->m_nAddOnSelector == 5 ? kAddOnCustomers : kPlainCustomers;
  DBRows rows;
  g_pDBI->getRows(query, {"CustomerID"}, rows);
  std::vector<int> ids;
  ids.reserve(rows.size());
  for (const DBRow& row : rows) ids.push_back(row.empty() ? 0 : ToInt(row[0]));
  // The customers side by side on the fan-out pool; each customer's
  // look-up and nine steps in their order on its own session.
  auto serve = [&](size_t i) {
    const int customerId = ids[i];
    CustomerDetails record;
    GetCustomerDetails(record, customerId);
    // Without both names an object would be made from empty names, which
    // could only fail or reach a database that is not this customer's.
    if (record.CustomerId != customerId || record.DSNName.empty() || record.DBName.empty()) {
      KORBLogLimited(g_pLogger, g_unnamedCustomerLines, std::to_string(customerId), __LINE__,
                     KORB_LOG_SOURCE, 2, "No database names for CustomerID %d so it is not signalled",
                     customerId);
      metrics::CustomerSkipped(metrics::CustomerSkip::kNoNames);
      return;
    }
    std::unique_ptr<CDBI> db(new (std::nothrow) CDBI(g_pLogger, record.DSNName, record.DBName));
    if (!db) {
      KLOG(2, "Craeting DB Object for CustomerID %d is failed ", customerId);
      metrics::CustomerSkipped(metrics::CustomerSkip::kNoObject);
      return;
    }
    if (!CustomerDatabaseConnected(*db, customerId)) return;
    SignallingRelatedModules(db.get());
    metrics::CustomerServed();
  };
  RunCustomersOnPool(ids.size(), serve, [&](size_t i) {
    KLOG(2, "SignallingRelatedMSPModules: exception while signalling for CustomerID %d; the other customers are still signalled",
         ids[i]);
  });
  KLOG(16, "SignallingRelatedMSPModules - EXIT ");
}
