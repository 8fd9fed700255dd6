#include "ProcessState.h"

CLogger* g_pLogger = nullptr;
CDBI* g_pDBI = nullptr;
CSignalHandler* g_pSignalHandler = nullptr;

std::string g_szLogDirectory;
int g_nLogLevel = 3;
long g_nLogSize = 500000;

int g_nSupervisorPid = 0;
std::string g_szSupervisorExeName;

std::string g_szJobHandlerHost;
long g_nJobHandlerPort = 0;

SharedText g_szClientVersion;
std::vector<std::string> g_ProbeIdList;

port::EventSlot g_hPatchJobEvent;
port::EventSlot g_hOndemandPatchJobEvent;
port::EventSlot g_hInternalDeployEvent;

port::CriticalSection g_csScheduleJobs;
port::CriticalSection g_csSubmitScheduleJobs;

std::atomic<int32_t> g_nDeployJobCounter{0};
