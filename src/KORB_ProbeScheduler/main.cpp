// Entry point of the scheduler process, started by its supervisor as
//
//   KORB_ProbeScheduler SUPERVISOR_PID SIGNAL_IDENTIFIER SUPERVISOR_EXE
//
// Exit codes: 0 after the main loop ended (and when the single-instance
// lock cannot be made at all), 1 when another instance runs, -1 (255 to a
// shell) for too few arguments, a supervisor that is not running, a failed
// initialisation, an invalid KORB_TIME_SCALE or an exception that leaves
// the initialisation or the main loop. Console messages go to stdout.
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "CleanEndRecord.h"
#include "DBI.h"
#include "Initialization.h"
#include "LoopProgress.h"
#include "MainScheduler.h"
#include "ProcessState.h"
#include "SchedulerLease.h"
#include "SupervisorReadiness.h"
#include "TerminationRequest.h"
#include "platform.h"

namespace {

constexpr const char* kInstanceMutexName = "KORB_PROBESCHEDULER";
// How long the end waits for statements still under way (real time).
constexpr int kBusySessionWaitMs = 5000;

// The lock is released by the end of the process, never explicitly.
std::unique_ptr<port::NamedMutex> g_instanceMutex;

void Print(const char* text) { std::fputs(text, stdout); }

bool ProcessIsRunning(const std::vector<uint32_t>& ids, int pid) {
  for (uint32_t id : ids) {
    if (static_cast<int>(id) == pid) return true;
  }
  return false;
}

int Run(int argc, char** argv) {
  if (argc < 4) {
    Print("Too few arguments...");
    return -1;
  }

  port::NamedMutex::Result lockResult = port::NamedMutex::Result::kFailed;
  std::string lockError;
  g_instanceMutex =
      port::NamedMutex::Create(kInstanceMutexName, &lockResult, &lockError);
  if (lockResult == port::NamedMutex::Result::kFailed) {
    Print("KORB Probe Scheduler Failed. Error Code: 1.\n");
    std::fprintf(stderr, "Single-instance lock: %s\n", lockError.c_str());
    return 0;
  }
  if (lockResult == port::NamedMutex::Result::kAlreadyExists) {
    Print("KORB Probe Scheduler  Failed. Error Code: 2.\n");
    return 1;
  }

  g_szSupervisorExeName = argv[3];
  std::vector<uint32_t> supervisorIds;
  GetProcessID(g_szSupervisorExeName, supervisorIds);
  if (supervisorIds.empty()) {
    Print("KORB Probe Scheduler  Failed. Error Code: 3.\n");
    return -1;
  }
  const int supervisorPid = ToInt(argv[1]);
  if (!ProcessIsRunning(supervisorIds, supervisorPid)) return -1;
  g_nSupervisorPid = supervisorPid;
  const int signalIdentifier = ToInt(argv[2]);

  // Must come before the first thread (the logger's, the receiver's) so
  // that every thread inherits the blocked termination signals.
  std::string termError;
  if (!InstallTerminationRequest(&termError)) {
    std::fprintf(stderr, "SIGTERM/SIGINT keep their default action: %s\n",
                 termError.c_str());
  }

  // From here on the main thread's statements and waits tell a supervisor
  // that asked for it that the loop is alive.
  StartLoopProgress(supervisorPid, &g_pLogger);
  const int initialized = InitializeProbeScheduler(signalIdentifier);
  if (initialized < 0) {
    Print("Initialization of Probe Scheduler failed\n");
    return -1;
  }
  if (initialized == 0) return 0;  // ended while standing by
  NotifySupervisorReady(supervisorPid);
  MainScheduler();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string clockError;
  if (!Clock::Init(&clockError)) {
    std::printf("KORB_TIME_SCALE is not usable: %s\n", clockError.c_str());
    port::ExitProcess(-1);
  }
  int code = -1;
  try {
    code = Run(argc, argv);
  } catch (const std::exception& e) {
    KLOG(KORB_LOG_ERROR, "Unhandled exception ends the process: %s", e.what());
  } catch (...) {
    KLOG(KORB_LOG_ERROR, "Unhandled exception ends the process: %s",
         "not a standard exception");
  }
  // Sessions are closed in an orderly way, so the server does not count
  // them as aborted. A worker still in a statement closes its session when
  // the statement is done, if that comes within a few seconds.
  const int stillInUse = CDBI::CloseAllSessions(kBusySessionWaitMs);
  if (stillInUse > 0)
    KLOG(KORB_LOG_ERROR,
         "%d database statement(s) still under way at the end; the server will count "
         "their sessions as aborted",
         stillInUse);
  const bool clean = RecordEndIfClean(stillInUse);
  // Last of all, so that a standby takes over only once nothing of this
  // instance can still reach the database; the lease row keeps the record
  // for an instance on another host.
  ReleaseSchedulerLease(clean);
  // Worker threads may still be running: no static destruction.
  port::ExitProcess(code);
}
