// Placeholder so the tree links while this module is being written.
#include "PatchPosting.h"
void PostDeployJob(int, const std::string&, int, int, CDBI*) {}
