// Per-customer database fan-out of an MSP server installation. Once the
// workers were asked to stop (WorkerStop.h), every form ends before its
// next customer, so no customer session is opened after the stop.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "DBI.h"
#include "utilLib.h"

// How a fan-out runs its customers. Serial (the patch threads: the
// customers one after another on the calling thread, an exception of work
// leaves the pass) or on the pool (the main loop's handlers: the customers
// side by side on CustomerFanOutPool, each on one worker with its own
// object; the call returns once every customer is done). On the pool an
// exception of one customer's work stays inside that customer: its object
// is deleted, failed(customerId) runs on its worker (or, when failed is
// empty, a level 2 line names the customer), and the other customers are
// still served. Once an orderly end has been asked, the pool opens no
// customer object that has not been opened yet.
struct FanOutRun {
  bool pooled = false;
  std::function<void(int customerId)> failed;
};

// The pooled run with the handler's own line for a customer whose work
// threw, logged at level.
FanOutRun OnPool(const char* exceptionLine = nullptr, int level = KORB_LOG_ERROR);

// Virtual-probe form: for each customer with a virtual probe (selected by
// the main object's m_nAddOnSelector), in the order the main database
// returns them, makes the customer's database object with the customer's
// SiteID as m_nSiteID, runs work on it and deletes it. A customer whose
// name lookups fail, or whose object cannot be made or does not connect,
// is logged at level 2 and skipped. Serially, exceptions from work
// propagate to the caller (the customer's object is still deleted).
// Returns the number of customers whose work ran.
int ForEachVirtualProbeCustomer(const std::function<void(CDBI& db)>& work,
                                const FanOutRun& run = {});

// The job-populate form: the same customers, read as IDs only; the
// object's m_nSiteID stays as constructed. Returns customers served.
int ForEachJobPopulateCustomer(const std::function<void(CDBI& db)>& work,
                               const FanOutRun& run = {});

// Procedure form, on the pool: runs callText with executeSQLProcedure once
// on every customer's database (customers without a virtual probe
// included). A customer whose names cannot be read or whose object cannot
// be made or connected is skipped with a level 2 line; a call never runs
// with another customer's names. Exceptions of the customer query and of
// the name look-up propagate to the caller; one customer's stays inside it.
void MSPDynamicQueryExecution(const std::string& callText);

// Runs task(i) for i in [0, count) on the pool and returns when all have
// ended; an exception of task(i) is handed to failed(i) on its worker.
// Skips every task not yet begun once an orderly end has been asked.
void RunCustomersOnPool(size_t count, const std::function<void(size_t i)>& task,
                        const std::function<void(size_t i)>& failed);

// True when a customer's freshly made object is connected; otherwise logs
// one level 2 line naming the customer and returns false, so that the
// caller skips the customer instead of running every statement into
// errors.
bool CustomerDatabaseConnected(const CDBI& db, int customerId);

// One condition by which the virtual-probe and job-populate forms select
// customers (over orb.customermaster cm joined with orb.customerdetails cd
// on CustomerID), in the order of their statements, and what a customer
// that fails it is told: "<column> <value>: <refusal>". The fan-out's
// statements are made of these, and the explain tool evaluates the same
// texts to say why a customer is passed by.
struct CustomerCondition {
  std::string sql;
  std::string column;
  std::string refusal;
};
std::vector<CustomerCondition> VirtualProbeCustomerConditions(int addOnSelector);

// Both names of a customer as the fan-out reads them; a name counts as
// found when its row exists and it is not NULL.
struct CustomerNames {
  bool dsn_found = false;
  bool db_found = false;
  std::string dsn;
  std::string db;
};
// The names of the given customers from the main object g_pDBI, in one
// statement; a customer without a row is absent from the map.
std::map<int, CustomerNames> ReadCustomerNames(const std::vector<int>& ids);
