// Placeholder so the tree links while this module is being written.
#include "PatchPosting.h"
void PostScanJob(int, const std::string&, int, int, CDBI*) {}
