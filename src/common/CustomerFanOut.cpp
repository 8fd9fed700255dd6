// Per-customer fan-out: each customer's database object is made for one
// pass of one caller and deleted right after it, so no customer object is
// shared between threads or outlives the work it was made for. Only the
// main object (g_pDBI) is shared. The sessions beneath the objects are
// kept between passes by the database layer, and a customer that cannot
// be reached is held back there; here a pass reads the customers' names
// once and skips, with rate-limited lines, the customers it cannot serve.
#include "CustomerFanOut.h"

#include <atomic>
#include <map>
#include <memory>
#include <new>
#include <vector>

#include "CustomerFanOutPool.h"
#include "ProcessState.h"
#include "WorkerStop.h"
#include "scheduler_metrics.h"

namespace {

// The tables the virtual-probe and job-populate forms select customers
// from; VirtualProbeCustomerConditions() completes the statements.
constexpr char kVirtualProbeCustomersFrom[] =
    "select cm.CustomerId as CustomerID, cd.SiteID as SiteID from orb.customermaster cm join orb.customerdetails cd on cm.CustomerID = cd.CustomerID where ";
constexpr char kJobPopulateCustomersFrom[] =
    "select cm.CustomerId from orb.customermaster cm join orb.customerdetails cd on cm.CustomerID = cd.CustomerID where ";
constexpr char kProcedureCustomersAddOn[] =
    "select CustomerId from customermaster where CustomerStatus = 0 and AddOnID <> 0";
constexpr char kProcedureCustomersPlain[] =
    "select CustomerId from customermaster where CustomerStatus = 0 and AddOnID = 0";

// Both names of every customer of a pass in one statement, in place of
// the two look-ups per customer ("select DSNName as outputvalue from
// customermaster where CustomerId = %d" and its DBName twin): a name
// counts as found when its row exists and it is not NULL, as it would for
// those look-ups.
constexpr char kCustomerNamesQuery[] =
    "select CustomerId as CustomerID, DSNName, DBName, DSNName is null as DsnMissing, "
    "DBName is null as DbMissing from customermaster where CustomerId in (%s)";

// Skip lines repeat on every pass while a customer stays misconfigured or
// unreachable: a few per customer and kind, then one per scaled minute.
LogRateLimiter g_skipLines;

#define SKIP_LOG(kind, customerId, ...)                                             \
  KORBLogLimited(g_pLogger, g_skipLines, std::string(kind) + std::to_string(customerId), \
                 __LINE__, KORB_LOG_SOURCE, KORB_LOG_ERROR, __VA_ARGS__)

}  // namespace

std::map<int, CustomerNames> ReadCustomerNames(const std::vector<int>& ids) {
  std::map<int, CustomerNames> names;
  if (ids.empty()) return names;
  std::string list;
  for (int id : ids) list += (list.empty() ? "" : ",") + std::to_string(id);
  DBRows rows;
  g_pDBI->getRows(Format(kCustomerNamesQuery, list.c_str()),
                  {"CustomerID", "DSNName", "DBName", "DsnMissing", "DbMissing"}, rows);
  for (const DBRow& row : rows) {
    CustomerNames& entry = names[ToInt(row[0])];
    entry.dsn_found = row[3] == "0";
    entry.db_found = row[4] == "0";
    entry.dsn = row[1];
    entry.db = row[2];
  }
  return names;
}

namespace {

// Customer IDs of a pass as the customer query gave them.
std::vector<int> Ids(const std::vector<std::string>& texts) {
  std::vector<int> ids;
  ids.reserve(texts.size());
  for (const std::string& text : texts) ids.push_back(ToInt(text));
  return ids;
}

// Add-on selector 5 serves the add-on customers, every other value the
// plain ones.
bool AddOnCustomersSelected() { return g_pDBI->m_nAddOnSelector == 5; }

std::string SelectionQuery(const char* from) {
  std::string query = from;
  bool first = true;
  for (const CustomerCondition& condition :
       VirtualProbeCustomerConditions(g_pDBI->m_nAddOnSelector)) {
    query += (first ? "" : " and ") + condition.sql;
    first = false;
  }
  return query;
}

// The shared steps of the virtual-probe and job-populate forms: names,
// object, connection. Null when the customer is to be skipped (already
// logged).
std::unique_ptr<CDBI> OpenVirtualProbeCustomer(int customerId,
                                               const std::map<int, CustomerNames>& names) {
  auto it = names.find(customerId);
  if (it == names.end() || !it->second.dsn_found) {
    SKIP_LOG("dsn:", customerId,
             "Unable to get the DSN name for the customer so continueing with next customer");
    metrics::CustomerSkipped(metrics::CustomerSkip::kNoNames);
    return nullptr;
  }
  if (!it->second.db_found) {
    SKIP_LOG("db:", customerId,
             "Unable to get the Database name for the customer so continueing with the next customer");
    metrics::CustomerSkipped(metrics::CustomerSkip::kNoNames);
    return nullptr;
  }
  KLOG(8, "Creating the connection to the database of customerId = %d", customerId);
  std::unique_ptr<CDBI> db(new (std::nothrow) CDBI(g_pLogger, it->second.dsn, it->second.db));
  if (!db) {
    KLOG(2, "Failure in getting the db object for customerId=%d in SchedulerForMspServer so exiting",
         customerId);
    metrics::CustomerSkipped(metrics::CustomerSkip::kNoObject);
    return nullptr;
  }
  if (!CustomerDatabaseConnected(*db, customerId)) return nullptr;
  return db;
}

// Once a stop has been asked no customer session is opened: the
// customers not yet served wait for the next start.
bool StopsBeforeNextCustomer() { return WorkerStopRequested(); }

}  // namespace

std::vector<CustomerCondition> VirtualProbeCustomerConditions(int addOnSelector) {
  const bool addOn = addOnSelector == 5;
  return {
      {"cm.CustomerStatus = 0", "CustomerStatus", "only 0 is served"},
      {addOn ? "cm.AddOnID <> 0" : "cm.AddOnID = 0", "AddOnID",
       addOn ? "add-on selector 5 serves add-on customers only"
             : Format("add-on selector %d serves customers without an add-on only",
                      addOnSelector)},
      {"cd.IsVirtualProbe = 1", "IsVirtualProbe", "only a customer with a virtual probe (1) is served"},
  };
}

bool CustomerDatabaseConnected(const CDBI& db, int customerId) {
  if (db.m_bReady) return true;
  SKIP_LOG("connect:", customerId,
           "The database of customerId = %d could not be connected so continuing with the next customer",
           customerId);
  metrics::CustomerSkipped(metrics::CustomerSkip::kNotConnected);
  return false;
}

FanOutRun OnPool(const char* exceptionLine, int level) {
  FanOutRun run;
  run.pooled = true;
  if (exceptionLine != nullptr) {
    const std::string line = exceptionLine;
    run.failed = [line, level](int) { KLOG(level, "%s", line.c_str()); };
  }
  return run;
}

void RunCustomersOnPool(size_t count, const std::function<void(size_t i)>& task,
                        const std::function<void(size_t i)>& failed) {
  std::vector<std::function<void()>> tasks;
  tasks.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    tasks.push_back([i, &task, &failed] {
      if (StopsBeforeNextCustomer()) return;
      try {
        task(i);
      } catch (...) {
        try {
          failed(i);
        } catch (...) {
          // A failing report must not take the worker down.
        }
      }
    });
  }
  CustomerFanOutPool::Instance().RunAll(std::move(tasks));
}

namespace {

void ReportFailed(const FanOutRun& run, int customerId) {
  if (run.failed) {
    run.failed(customerId);
    return;
  }
  KLOG(KORB_LOG_ERROR,
       "Exception while serving customerId = %d; the other customers are still served",
       customerId);
}

// Opens every customer of ids (with siteIds when given) and runs work on
// it, serially or on the pool. Returns the customers served.
int ServeVirtualProbeCustomers(const std::vector<int>& ids, const std::vector<int>* siteIds,
                               const std::function<void(CDBI& db)>& work,
                               const FanOutRun& run) {
  const std::map<int, CustomerNames> names = ReadCustomerNames(ids);
  std::atomic<int> served{0};
  auto serve = [&](size_t i) {
    std::unique_ptr<CDBI> db = OpenVirtualProbeCustomer(ids[i], names);
    if (!db) return;
    if (siteIds != nullptr) db->m_nSiteID = (*siteIds)[i];
    work(*db);
    ++served;
    metrics::CustomerServed();
  };
  if (!run.pooled) {
    for (size_t i = 0; i < ids.size() && !StopsBeforeNextCustomer(); ++i) serve(i);
  } else {
    RunCustomersOnPool(ids.size(), serve, [&](size_t i) { ReportFailed(run, ids[i]); });
  }
  return served.load();
}

}  // namespace

int ForEachVirtualProbeCustomer(const std::function<void(CDBI& db)>& work,
                                const FanOutRun& run) {
  if (StopsBeforeNextCustomer()) return 0;
  metrics::FanOutPass pass;
  const std::string query = SelectionQuery(kVirtualProbeCustomersFrom);
  DBRows rows;
  g_pDBI->getRows(query, {"CustomerID", "SiteID"}, rows);
  if (rows.empty()) return 0;
  std::vector<int> ids, siteIds;
  for (const DBRow& row : rows) {
    ids.push_back(ToInt(row[0]));
    siteIds.push_back(ToInt(row[1]));
  }
  return ServeVirtualProbeCustomers(ids, &siteIds, work, run);
}

int ForEachJobPopulateCustomer(const std::function<void(CDBI& db)>& work,
                               const FanOutRun& run) {
  if (StopsBeforeNextCustomer()) return 0;
  metrics::FanOutPass pass;
  const std::string query = SelectionQuery(kJobPopulateCustomersFrom);
  std::vector<std::string> texts;
  g_pDBI->getValueFromEachRow(query, "CustomerId", texts);
  return ServeVirtualProbeCustomers(Ids(texts), nullptr, work, run);
}

void MSPDynamicQueryExecution(const std::string& callText) {
  KLOG(8, "MSPDynamicQueryExecution Entry");
  if (StopsBeforeNextCustomer()) {
    KLOG(8, "MSPDynamicQueryExecution Exit");
    return;
  }
  metrics::FanOutPass pass;
  const char* query = AddOnCustomersSelected() ? kProcedureCustomersAddOn
                                               : kProcedureCustomersPlain;
  std::vector<std::string> texts;
  g_pDBI->getValueFromEachRow(query, "CustomerId", texts);
  const std::vector<int> ids = Ids(texts);
  const std::map<int, CustomerNames> names = ReadCustomerNames(ids);
  auto serve = [&](size_t i) {
    const int customerId = ids[i];
    // Each customer's own names or none: a failed look-up must never leave
    // another customer's names in place, or the call would run on the
    // wrong customer's database.
    auto it = names.find(customerId);
    if (it == names.end() || !it->second.dsn_found) {
      SKIP_LOG("dsn:", customerId,
               "MSPDynamicQueryExecution: unable to get the DSN name of customerId = %d so continuing with the next customer",
               customerId);
      metrics::CustomerSkipped(metrics::CustomerSkip::kNoNames);
      return;
    }
    if (!it->second.db_found) {
      SKIP_LOG("db:", customerId,
               "MSPDynamicQueryExecution: unable to get the Database name of customerId = %d so continuing with the next customer",
               customerId);
      metrics::CustomerSkipped(metrics::CustomerSkip::kNoNames);
      return;
    }
    std::unique_ptr<CDBI> db(new (std::nothrow) CDBI(g_pLogger, it->second.dsn, it->second.db));
    if (!db) {
      KLOG(2, "MSPDynamicQueryExecution: failure in getting the db object for customerId = %d so continuing with the next customer",
           customerId);
      metrics::CustomerSkipped(metrics::CustomerSkip::kNoObject);
      return;
    }
    if (!CustomerDatabaseConnected(*db, customerId)) return;
    db->executeSQLProcedure(callText);
    metrics::CustomerServed();
  };
  RunCustomersOnPool(ids.size(), serve, [&](size_t i) {
    KLOG(KORB_LOG_ERROR,
         "MSPDynamicQueryExecution: exception while serving customerId = %d; the other customers are still served",
         ids[i]);
  });
  KLOG(8, "MSPDynamicQueryExecution Exit");
}
