// UDP signals to the suite processes that have work waiting.
#pragma once

#include <string>

#include "DBI.h"

// The nine signalling steps against one database.
void SignallingRelatedModules(CDBI* db);

// The per-customer form of an MSP server installation.
struct CustomerDetails {
  int CustomerId = 0;
  std::string DBName;
  std::string DSNName;
};
void SignallingRelatedMSPModules();
void GetCustomerDetails(CustomerDetails& record, int customerId);
