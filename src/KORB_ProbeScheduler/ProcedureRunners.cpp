// Placeholder so the tree links while this module is being written.
#include "ProcedureRunners.h"
void Load_Distribution(int) {}
void ScheduleJobs(int) {}
void PingScheduler(int) {}
void AutomationTaskAuditProcess(int) {}
void ScheduleSSHPatchMgmt() {}
uint32_t PostAutomationScheduleJobs() { return 0; }
