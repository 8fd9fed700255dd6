// Placeholder so the tree links while this module is being written.
#include "CustomerFanOut.h"
int ForEachVirtualProbeCustomer(const std::function<void(CDBI& db)>&) { return 0; }
int ForEachJobPopulateCustomer(const std::function<void(CDBI& db)>&) { return 0; }
void MSPDynamicQueryExecution(const std::string&) {}
