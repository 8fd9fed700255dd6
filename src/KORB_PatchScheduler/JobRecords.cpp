// Placeholder so the tree links while this module is being written.
#include "JobRecords.h"
void InsertJob(int, int, int, int, int, const std::string&, int, int, int, CDBI*, int) {}
void InsertDeployJob(int, int, int, int, int, const std::string&, int, int, int, int, CDBI*) {}
int GetOperationId(CDBI*) { return 0; }
int GetJobTaskID(int, int, CDBI*) { return 0; }
