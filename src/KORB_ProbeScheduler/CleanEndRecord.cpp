#include "CleanEndRecord.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "ProcessState.h"
#include "WorkerStop.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kStateSubdirectory = "/ConsoleManagement/state";
constexpr const char* kRecordName = "KORB_ProbeScheduler.clean-end";

std::mutex g_mu;
bool g_orderly = false;     // guarded by g_mu
std::string g_uncleanWhy;   // guarded by g_mu; empty while the end is clean

std::string ErrnoText(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

// Makes the creation, renaming or removal of an entry of folder durable.
bool SyncFolder(const std::string& folder, std::string* why) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    *why = ErrnoText("opening the folder " + folder);
    return false;
  }
  const bool ok = ::fsync(fd) == 0;
  if (!ok) *why = ErrnoText("syncing the folder " + folder);
  ::close(fd);
  return ok;
}

// Writes the record atomically: a temporary file in the same folder,
// flushed to disk, renamed over the record, the folder synced.
bool WriteCleanEndRecord(std::string* why) {
  const std::string path = CleanEndRecordPath();
  if (path.empty()) {
    *why = "the install location is not known";
    return false;
  }
  const std::string folder = fs::path(path).parent_path().string();
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) {
    *why = "creating the folder of " + path + " failed: " + ec.message();
    return false;
  }
  const std::string temporary = path + ".tmp";
  std::FILE* file = std::fopen(temporary.c_str(), "w");
  if (file == nullptr) {
    *why = ErrnoText("opening " + temporary);
    return false;
  }
  std::string now;
  GetCurrentTime_24HourFormat(now);
  bool ok = std::fprintf(file, "ended in order at %s, process %u\n",
                         now.c_str(), port::CurrentProcessId()) > 0 &&
            std::fflush(file) == 0 && ::fsync(::fileno(file)) == 0;
  if (!ok) *why = ErrnoText("writing " + temporary);
  if (std::fclose(file) != 0 && ok) {
    ok = false;
    *why = ErrnoText("closing " + temporary);
  }
  if (ok) {
    fs::rename(temporary, path, ec);
    if (ec) {
      ok = false;
      *why = "renaming " + temporary + " failed: " + ec.message();
    }
  }
  if (!ok) {
    fs::remove(temporary, ec);
    return false;
  }
  // A record lost to a power cut only costs one recovery too many.
  return SyncFolder(folder, why);
}

}  // namespace

std::string CleanEndRecordPath() {
  std::string install;
  if (GetInstallLocation(install) <= 0 || install.empty()) return "";
  return install + kStateSubdirectory + "/" + kRecordName;
}

PreviousEnd ConsumeCleanEndRecord(std::string* why) {
  const std::string path = CleanEndRecordPath();
  if (path.empty()) {
    *why = "the install location is not known";
    return PreviousEnd::kUnreadable;
  }
  std::error_code ec;
  const bool removed = fs::remove(path, ec);
  if (ec) {
    *why = "removing " + path + " failed: " + ec.message();
    return PreviousEnd::kUnreadable;
  }
  if (!removed) return PreviousEnd::kNoRecord;
  // Until the removal is on disk, a crash of this run could bring the
  // record back and make the next start skip its recovery.
  if (!SyncFolder(fs::path(path).parent_path().string(), why))
    return PreviousEnd::kUnreadable;
  return PreviousEnd::kClean;
}

void NoteUncleanEnd(const std::string& why) {
  std::lock_guard<std::mutex> lock(g_mu);
  if (g_uncleanWhy.empty()) g_uncleanWhy = why;
}

void NoteOrderlyEnd() {
  if (g_pDBI != nullptr && g_pDBI->m_bConnectionError)
    NoteUncleanEnd("the connection to the main database was lost for good");
  std::lock_guard<std::mutex> lock(g_mu);
  g_orderly = true;
}

bool RecordEndIfClean(int statementsUnderWay) {
  const CutWork cut = WorkCutSoFar();
  if (cut.count > 0)
    NoteUncleanEnd(Format("%zu statement(s) of unknown outcome, the first in: %s",
                          cut.count, cut.first.c_str()));
  if (statementsUnderWay > 0)
    NoteUncleanEnd(Format("%d statement(s) still under way when the sessions were closed",
                          statementsUnderWay));
  std::string why;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    if (!g_orderly) return false;  // the cause of the end is logged where it came
    why = g_uncleanWhy;
  }
  if (!why.empty()) {
    KLOG(KORB_LOG_WARNING,
         "The end is not recorded as orderly (%s); the next start runs restart "
         "recovery",
         why.c_str());
    return false;
  }
  if (!WriteCleanEndRecord(&why)) {
    KLOG(KORB_LOG_ERROR,
         "Cannot record the orderly end (%s); the next start runs restart "
         "recovery",
         why.c_str());
    return true;
  }
  KLOG(KORB_LOG_INFO, "The orderly end is recorded in %s", CleanEndRecordPath().c_str());
  return true;
}
