#include "CleanEndRecord.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "ProcessState.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kStateSubdirectory = "/ConsoleManagement/state";
constexpr const char* kRecordName = "KORB_ProbeScheduler.clean-end";

std::string ErrnoText(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
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
  return removed ? PreviousEnd::kClean : PreviousEnd::kNoRecord;
}

bool WriteCleanEndRecord(std::string* why) {
  const std::string path = CleanEndRecordPath();
  if (path.empty()) {
    *why = "the install location is not known";
    return false;
  }
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  if (ec) {
    *why = "creating the folder of " + path + " failed: " + ec.message();
    return false;
  }
  const std::string temporary = path + ".tmp";
  std::FILE* file = std::fopen(temporary.c_str(), "w");
  if (file == nullptr) {
    *why = ErrnoText(("opening " + temporary).c_str());
    return false;
  }
  std::string now;
  GetCurrentTime_24HourFormat(now);
  bool ok = std::fprintf(file, "ended in order at %s, process %u\n",
                         now.c_str(), port::CurrentProcessId()) > 0 &&
            std::fflush(file) == 0 && ::fsync(::fileno(file)) == 0;
  if (!ok) *why = ErrnoText(("writing " + temporary).c_str());
  if (std::fclose(file) != 0 && ok) {
    ok = false;
    *why = ErrnoText(("closing " + temporary).c_str());
  }
  if (ok) {
    fs::rename(temporary, path, ec);
    if (ec) {
      ok = false;
      *why = "renaming " + temporary + " failed: " + ec.message();
    }
  }
  if (!ok) fs::remove(temporary, ec);
  return ok;
}
