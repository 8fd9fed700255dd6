// Per-customer fan-out: each customer's database is opened for one pass of
// one caller and deleted right after it, so no customer object is shared
// between threads or outlives the work it was made for. Only the main
// object (g_pDBI) is shared.
#include "CustomerFanOut.h"

#include <memory>
#include <new>
#include <vector>

#include "ProcessState.h"
#include "scheduler_metrics.h"

namespace {

constexpr char kVirtualProbeCustomersAddOn[] =
    "select cm.CustomerId as CustomerID, cd.SiteID as SiteID from orb.customermaster cm join orb.customerdetails cd on cm.CustomerID = cd.CustomerID where cm.CustomerStatus = 0 and cm.AddOnID <> 0 and cd.IsVirtualProbe = 1";
constexpr char kVirtualProbeCustomersPlain[] =
    "select cm.CustomerId as CustomerID, cd.SiteID as SiteID from orb.customermaster cm join orb.customerdetails cd on cm.CustomerID = cd.CustomerID where cm.CustomerStatus = 0 and cm.AddOnID = 0 and cd.IsVirtualProbe = 1";
constexpr char kJobPopulateCustomersAddOn[] =
    "select cm.CustomerId from orb.customermaster cm join orb.customerdetails cd on cm.CustomerID = cd.CustomerID where cm.CustomerStatus = 0 and cm.AddOnID <> 0 and cd.IsVirtualProbe = 1";
constexpr char kJobPopulateCustomersPlain[] =
    "select cm.CustomerId from orb.customermaster cm join orb.customerdetails cd on cm.CustomerID = cd.CustomerID where cm.CustomerStatus = 0 and cm.AddOnID = 0 and cd.IsVirtualProbe = 1";
constexpr char kProcedureCustomersAddOn[] =
    "select CustomerId from customermaster where CustomerStatus = 0 and AddOnID <> 0";
constexpr char kProcedureCustomersPlain[] =
    "select CustomerId from customermaster where CustomerStatus = 0 and AddOnID = 0";

constexpr char kDsnNameQuery[] =
    "select DSNName as outputvalue from customermaster where CustomerId = %d";
constexpr char kDbNameQuery[] =
    "select DBName as outputvalue from customermaster where CustomerId = %d";

// Add-on selector 5 serves the add-on customers, every other value the
// plain ones.
bool AddOnCustomersSelected() { return g_pDBI->m_nAddOnSelector == 5; }

// The shared steps of the virtual-probe and job-populate forms: name
// lookups, object, connection. Null when the customer is to be skipped
// (already logged).
std::unique_ptr<CDBI> OpenVirtualProbeCustomer(int customerId) {
  std::string dsn;
  std::string dbName;
  if (g_pDBI->getValueFromQuery(Format(kDsnNameQuery, customerId), dsn) != 1) {
    KLOG(2, "Unable to get the DSN name for the customer so continueing with next customer");
    metrics::CustomerSkipped(metrics::CustomerSkip::kNoNames);
    return nullptr;
  }
  if (g_pDBI->getValueFromQuery(Format(kDbNameQuery, customerId), dbName) != 1) {
    KLOG(2, "Unable to get the Database name for the customer so continueing with the next customer");
    metrics::CustomerSkipped(metrics::CustomerSkip::kNoNames);
    return nullptr;
  }
  KLOG(8, "Creating the connection to the database of customerId = %d", customerId);
  std::unique_ptr<CDBI> db(new (std::nothrow) CDBI(g_pLogger, dsn, dbName));
  if (!db) {
    KLOG(2, "Failure in getting the db object for customerId=%d in SchedulerForMspServer so exiting",
         customerId);
    metrics::CustomerSkipped(metrics::CustomerSkip::kNoObject);
    return nullptr;
  }
  if (!CustomerDatabaseConnected(*db, customerId)) return nullptr;
  return db;
}

}  // namespace

bool CustomerDatabaseConnected(const CDBI& db, int customerId) {
  if (db.m_bReady) return true;
  KLOG(2, "The database of customerId = %d could not be connected so continuing with the next customer",
       customerId);
  metrics::CustomerSkipped(metrics::CustomerSkip::kNotConnected);
  return false;
}

int ForEachVirtualProbeCustomer(const std::function<void(CDBI& db)>& work) {
  metrics::FanOutPass pass;
  const char* query = AddOnCustomersSelected() ? kVirtualProbeCustomersAddOn
                                               : kVirtualProbeCustomersPlain;
  DBRows rows;
  g_pDBI->getRows(query, {"CustomerID", "SiteID"}, rows);
  int served = 0;
  for (const DBRow& row : rows) {
    if (row.size() < 2) continue;
    const int customerId = ToInt(row[0]);
    const int siteId = ToInt(row[1]);
    std::unique_ptr<CDBI> db = OpenVirtualProbeCustomer(customerId);
    if (!db) continue;
    db->m_nSiteID = siteId;
    work(*db);
    ++served;
    metrics::CustomerServed();
  }
  return served;
}

int ForEachJobPopulateCustomer(const std::function<void(CDBI& db)>& work) {
  metrics::FanOutPass pass;
  const char* query = AddOnCustomersSelected() ? kJobPopulateCustomersAddOn
                                               : kJobPopulateCustomersPlain;
  std::vector<std::string> ids;
  g_pDBI->getValueFromEachRow(query, "CustomerId", ids);
  int served = 0;
  for (const std::string& id : ids) {
    std::unique_ptr<CDBI> db = OpenVirtualProbeCustomer(ToInt(id));
    if (!db) continue;
    work(*db);
    ++served;
    metrics::CustomerServed();
  }
  return served;
}

void MSPDynamicQueryExecution(const std::string& callText) {
  KLOG(8, "MSPDynamicQueryExecution Entry");
  metrics::FanOutPass pass;
  const char* query = AddOnCustomersSelected() ? kProcedureCustomersAddOn
                                               : kProcedureCustomersPlain;
  std::vector<std::string> ids;
  g_pDBI->getValueFromEachRow(query, "CustomerId", ids);
  for (const std::string& id : ids) {
    const int customerId = ToInt(id);
    // Fresh names for every customer: a failed lookup must never leave the
    // previous customer's names in place, or the call would run on the
    // wrong customer's database.
    std::string dsn;
    std::string dbName;
    if (g_pDBI->getValueFromQuery(Format(kDsnNameQuery, customerId), dsn) != 1) {
      KLOG(2, "MSPDynamicQueryExecution: unable to get the DSN name of customerId = %d so continuing with the next customer",
           customerId);
      metrics::CustomerSkipped(metrics::CustomerSkip::kNoNames);
      continue;
    }
    if (g_pDBI->getValueFromQuery(Format(kDbNameQuery, customerId), dbName) != 1) {
      KLOG(2, "MSPDynamicQueryExecution: unable to get the Database name of customerId = %d so continuing with the next customer",
           customerId);
      metrics::CustomerSkipped(metrics::CustomerSkip::kNoNames);
      continue;
    }
    std::unique_ptr<CDBI> db(new (std::nothrow) CDBI(g_pLogger, dsn, dbName));
    if (!db) {
      KLOG(2, "MSPDynamicQueryExecution: failure in getting the db object for customerId = %d so continuing with the next customer",
           customerId);
      metrics::CustomerSkipped(metrics::CustomerSkip::kNoObject);
      continue;
    }
    if (!CustomerDatabaseConnected(*db, customerId)) continue;
    db->executeSQLProcedure(callText);
    metrics::CustomerServed();
  }
  KLOG(8, "MSPDynamicQueryExecution Exit");
}
