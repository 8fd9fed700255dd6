// Routines that call the database's stored procedures, and the automation
// schedule thread that drives two of them on its own clock.
//
// Load_Distribution and ScheduleJobs fan out over the customer databases
// when the main object's m_nMSPFlag is nonzero; the others always use the
// main object. Thread-safe: ScheduleJobs and ScheduleSSHPatchMgmt run on
// the main loop and on the automation schedule thread at once and
// serialise their submit steps with g_csScheduleJobs and
// g_csSubmitScheduleJobs.
#pragma once

#include <cstdint>

void Load_Distribution(int taskType);
void ScheduleJobs(int taskType);
// Lets exceptions pass to the caller.
void PingScheduler(int taskType);
void AutomationTaskAuditProcess(int auditType);
void ScheduleSSHPatchMgmt();

// Worker thread: submits due jobs every 60 s and runs the patch-management
// schedule every 180 s (scaled). Never returns.
uint32_t PostAutomationScheduleJobs();

// Called inside ScheduleJobs' submit step while g_csScheduleJobs is held,
// before the call text runs (null: nothing). Tests set it to make that
// step fail; it stays null in the daemon.
using SubmitStepHook = void (*)();
void SetSubmitStepHookForTesting(SubmitStepHook hook);
