// Placeholder so the tree links while this module is being written.
#include "ModuleSignalling.h"
void SignallingRelatedModules(CDBI*) {}
void SignallingRelatedMSPModules() {}
void GetCustomerDetails(CustomerDetails&, int) {}
