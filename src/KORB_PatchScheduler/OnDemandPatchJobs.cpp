// Placeholder so the tree links while this module is being written.
#include "PatchThreads.h"
uint32_t PerformOndemandPatchJobs() { return 0; }
void PostOnDemandJobs(CDBI*) {}
