// Routines that call the database's stored procedures, and the automation
// schedule thread that drives two of them on its own clock.
#pragma once

#include <cstdint>

void Load_Distribution(int taskType);
void ScheduleJobs(int taskType);
void PingScheduler(int taskType);
void AutomationTaskAuditProcess(int auditType);
void ScheduleSSHPatchMgmt();

// Worker thread: submits due jobs every 60 s and runs the patch-management
// schedule every 180 s (scaled). Never returns.
uint32_t PostAutomationScheduleJobs();
