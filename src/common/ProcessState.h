// Process-wide state shared by the main loop and the worker threads. Each
// object has one instance for the life of the process. Everything is
// written during start-up on the main thread and only read afterwards,
// except where a comment says otherwise.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "DBI.h"
#include "platform.h"
#include "utilLib.h"

// A text written by one thread and read by others.
class SharedText {
 public:
  void Set(const std::string& text) {
    std::lock_guard<std::mutex> lock(mu_);
    text_ = text;
  }
  std::string Get() const {
    std::lock_guard<std::mutex> lock(mu_);
    return text_;
  }

 private:
  mutable std::mutex mu_;
  std::string text_;
};

extern CLogger* g_pLogger;               // never destroyed
extern CDBI* g_pDBI;                     // the main database object
extern CSignalHandler* g_pSignalHandler; // destroyed by the teardown

extern std::string g_szLogDirectory;
extern int g_nLogLevel;
extern long g_nLogSize;

extern int g_nSupervisorPid;
extern std::string g_szSupervisorExeName;

extern std::string g_szJobHandlerHost;
extern long g_nJobHandlerPort;

// Update agent client version; written by the two patch job threads.
extern SharedText g_szClientVersion;

// ProbeID of every active probe, read once at start.
extern std::vector<std::string> g_ProbeIdList;

// Wake-up events; each is created by its own thread when it starts.
extern port::EventSlot g_hPatchJobEvent;
extern port::EventSlot g_hOndemandPatchJobEvent;
extern port::EventSlot g_hInternalDeployEvent;

extern port::CriticalSection g_csScheduleJobs;
extern port::CriticalSection g_csSubmitScheduleJobs;

// Deploy job submissions since the last job handler signal.
extern std::atomic<int32_t> g_nDeployJobCounter;

// Logs through g_pLogger with the source name of the module that the file
// belongs to (KORB_LOG_SOURCE, set per source folder by the build).
#define KLOG(level, ...)                                                   \
  do {                                                                     \
    if (g_pLogger != nullptr)                                              \
      g_pLogger->KORBLog(__LINE__, KORB_LOG_SOURCE, (level), __VA_ARGS__); \
  } while (0)
