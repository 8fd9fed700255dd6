// Start-up of the process-wide state, in a fixed order: each step relies
// on the ones before it (the log limits need the database, the recovery
// needs the log), and a failure leaves everything made so far in place for
// the entry point to end the process.
#include "Initialization.h"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <new>
#include <vector>

#include "MainScheduler.h"
#include "MetricsEndpoint.h"
#include "OrderlyEnd.h"
#include "ProcessState.h"
#include "SchedulerLease.h"
#include "ServerSessionCheck.h"
#include "StandBy.h"
#include "SignalReceiverSettings.h"
#include "TerminationRequest.h"
#include "WorkerStop.h"
#include "korb_version.h"

namespace {

constexpr int kDefaultLogLevel = 3;
constexpr long kMinLogSize = 500000;
constexpr const char* kLogFileName = "KORB_ProbeScheduler.log";
constexpr const char* kLogSubdirectory = "/ConsoleManagement/log/";
constexpr const char* kActiveProbesQuery =
    "select ProbeID from probemaster where status = 1";

// Builds the receiver into g_pSignalHandler. Returns false (logged) when
// it cannot be made or is not usable; a failed object stays in place.
bool CreateSignalHandler(int signalIdentifier) {
  std::vector<int> periods = TimeoutPeriods();
  SignalReceiverOptions options;
  if (!ReadSignalReceiverSettings(*g_pDBI, &options)) return false;
  g_pSignalHandler = new (std::nothrow)
      CSignalHandler(signalIdentifier, &periods, g_pLogger, options);
  if (g_pSignalHandler == nullptr) {
    KLOG(KORB_LOG_ERROR, "CSignalHandler object creation failed.%s",
         "Memory Allocation Failed");
    return false;
  }
  if (static_cast<EObjectStatus>(*g_pSignalHandler) != OBJECT_READY) {
    KLOG(KORB_LOG_ERROR, "CSignalHandler object creation failed.%s",
         "CSignalHandler init Failed");
    return false;
  }
  return true;
}

}  // namespace

void ApplyConfiguredLogLimits() {
  std::string level;
  std::string size;
  g_pDBI->getConfigSetting("LOG_LEVEL", level);
  g_pDBI->getConfigSetting("LOG_SIZE", size);
  g_nLogLevel = ToInt(level);
  g_nLogSize = ToLong(size);
  if (g_nLogLevel < 1) g_nLogLevel = kDefaultLogLevel;
  if (g_nLogSize < kMinLogSize) g_nLogSize = kMinLogSize;
  g_pLogger->SetMaxLogLevel(g_nLogLevel);
  g_pLogger->SetMaxLogSize(g_nLogSize);
}

int InitializeProbeScheduler(int signalIdentifier) {
  try {
    g_nLogSize = kMinLogSize;
    g_nLogLevel = kDefaultLogLevel;

    g_szLogDirectory.clear();
    if (GetInstallLocation(g_szLogDirectory) > 0) {
      g_szLogDirectory += kLogSubdirectory;
    } else {
      std::error_code ec;
      std::fprintf(stderr, "KORB_INSTALL_DIR is not set: the log goes to %s/%s\n",
                   std::filesystem::current_path(ec).c_str(), kLogFileName);
    }

    g_pLogger = new (std::nothrow) CLogger();
    if (g_pLogger == nullptr) {
      std::fputs("Failure in memory allocation for logger object\n", stdout);
      return -1;
    }
    // The configured limits are not known before the database is open;
    // the log starts with the defaults and takes them a few steps later.
    g_pLogger->InitKORBLog(g_szLogDirectory, kLogFileName, g_nLogSize,
                           g_nLogLevel);
    KLOG(KORB_LOG_INFO, "KORB_ProbeScheduler version %s", KORB_VERSION);

    // Before the first statement: every one of them takes part in the
    // orderly end.
    WatchDatabaseWork();
    g_pDBI = CDBI::getInstance(g_pLogger, true);
    if (g_pDBI == nullptr) {
      KLOG(KORB_LOG_ERROR,
           "DB object Init/new failed Exiting the MainScheduler Thread.");
      return -1;
    }
    if (!g_pDBI->m_bReady) {
      if (!g_pDBI->InvalidSetting().empty())
        std::printf("Database settings refused: %s\n", g_pDBI->InvalidSetting().c_str());
      KLOG(KORB_LOG_INFO, "Failed to create the DB object.");
      return -1;
    }

    ApplyConfiguredLogLimits();
    KLOG(KORB_LOG_INFO, "Initializing the module...");
    if (!GracePeriodFitsSupervisor()) return -1;

    if (!CreateSignalHandler(signalIdentifier)) return -1;

    // A standby is healthy too: its endpoint answers while it waits.
    StartMetricsEndpoint();
    if (!StartSchedulerLease(*g_pDBI)) return -1;
    if (!StandByUntilActive(*g_pSignalHandler)) return 0;

    RecoverAfterUncleanEnd();

    if (g_pDBI->GetJobHandlerDetails(g_szJobHandlerHost, g_nJobHandlerPort) < 0) {
      KLOG(KORB_LOG_ERROR,
           "Unable to retrieve Job Handler Master Details. Exiting..");
      return -1;
    }

    g_ProbeIdList.clear();
    g_pDBI->getValueFromEachRow(kActiveProbesQuery, "ProbeID", g_ProbeIdList);
    CheckServerSessionsForCustomers();
    return 1;
  } catch (const std::exception& e) {
    KLOG(KORB_LOG_ERROR, "Exception InitializeProbeScheduler");
    KLOG(KORB_LOG_ERROR, "InitializeProbeScheduler: %s", e.what());
    return -1;
  } catch (...) {
    KLOG(KORB_LOG_ERROR, "Exception InitializeProbeScheduler");
    return -1;
  }
}

void DeInitializeProbeScheduler() {
  try {
    KLOG(KORB_LOG_INFO, "Unloading the module...");
    StopMetricsEndpoint();
    if (g_pSignalHandler != nullptr) {
      SetTerminationWakeTarget(nullptr);
      delete g_pSignalHandler;
      g_pSignalHandler = nullptr;
    }
    KLOG(KORB_LOG_INFO, "Unloaded the module succesfully...");
  } catch (...) {
    KLOG(KORB_LOG_ERROR, "Exception DeInitializeProbeScheduler.");
  }
}
