// The per-customer form of the related-module signalling: every customer of
// the selected kind (no virtual probe needed) gets the full signalling run
// against its own database. Neither routine catches exceptions; each
// signalling run catches its own.
#include <memory>
#include <new>

#include "CustomerFanOut.h"
#include "ModuleSignalling.h"
#include "ProcessState.h"

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
  const char* query = g_pDBI->m_nAddOnSelector == 5 ? kAddOnCustomers : kPlainCustomers;
  DBRows rows;
  g_pDBI->getRows(query, {"CustomerID"}, rows);
  for (const DBRow& row : rows) {
    const int customerId = row.empty() ? 0 : ToInt(row[0]);
    CustomerDetails record;
    GetCustomerDetails(record, customerId);
    // Without both names an object would be made from empty names, which
    // could only fail or reach a database that is not this customer's.
    if (record.CustomerId != customerId || record.DSNName.empty() || record.DBName.empty()) {
      KORBLogLimited(g_pLogger, g_unnamedCustomerLines, std::to_string(customerId), __LINE__,
                     KORB_LOG_SOURCE, 2, "No database names for CustomerID %d so it is not signalled",
                     customerId);
      continue;
    }
    std::unique_ptr<CDBI> db(new (std::nothrow) CDBI(g_pLogger, record.DSNName, record.DBName));
    if (!db) {
      KLOG(2, "Craeting DB Object for CustomerID %d is failed ", customerId);
      continue;
    }
    if (!CustomerDatabaseConnected(*db, customerId)) continue;
    SignallingRelatedModules(db.get());
  }
  KLOG(16, "SignallingRelatedMSPModules - EXIT ");
}
