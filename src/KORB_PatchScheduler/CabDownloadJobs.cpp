// Placeholder so the tree links while this module is being written.
#include "PatchThreads.h"
void PostCabFileDownloadJob(int, const std::string&, CDBI*) {}
void PostCabDownloadRetryJobs(CDBI*) {}
