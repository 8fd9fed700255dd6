// Per-customer database fan-out of an MSP server installation.
#pragma once

#include <functional>
#include <string>

#include "DBI.h"

// Virtual-probe form: for each customer with a virtual probe (selected by
// the main object's m_nAddOnSelector), in the order the main database
// returns them, makes the customer's database object with the customer's
// SiteID as m_nSiteID, runs work on it and deletes it. A customer whose
// name lookups fail, or whose object cannot be made or does not connect,
// is logged at level 2 and skipped. Exceptions from work propagate to the
// caller (the customer's object is still deleted). Returns the number of
// customers whose work ran.
int ForEachVirtualProbeCustomer(const std::function<void(CDBI& db)>& work);

// The job-populate form: the same customers, read as IDs only; the
// object's m_nSiteID stays as constructed. Returns customers served.
int ForEachJobPopulateCustomer(const std::function<void(CDBI& db)>& work);

// Procedure form: runs callText with executeSQLProcedure once on every
// customer's database (customers without a virtual probe included). A
// customer whose names cannot be read or whose object cannot be made or
// connected is skipped with a level 2 line; a call never runs with another
// customer's names. Exceptions propagate to the caller.
void MSPDynamicQueryExecution(const std::string& callText);

// True when a customer's freshly made object is connected; otherwise logs
// one level 2 line naming the customer and returns false, so that the
// caller skips the customer instead of running every statement into
// errors.
bool CustomerDatabaseConnected(const CDBI& db, int customerId);
