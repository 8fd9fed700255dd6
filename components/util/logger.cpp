// The log file.
//
// Each line is formatted outside the lock and written with one write()
// under it, so lines from different threads never interleave and a reader
// sees every line as soon as KORBLog returns. Writes to a regular file do
// not block on a full disk (they fail with ENOSPC), so a full disk costs
// the lost lines and one note on stderr, never a stalled caller.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "platform.h"
#include "socket_ops.h"
#include "utilLib.h"

namespace {

// A log that could not be opened is tried again at most this often.
constexpr auto kReopenInterval = std::chrono::seconds(5);

const char* LevelName(int level) {
  switch (level) {
    case KORB_LOG_ERROR: return "ERROR";
    case KORB_LOG_WARNING: return "WARNING";
    case KORB_LOG_INFO: return "INFO";
    case KORB_LOG_TRACE: return "TRACE";
    default: return nullptr;
  }
}

std::string Timestamp() {
  const auto now = std::chrono::system_clock::now();
  const time_t secs = std::chrono::system_clock::to_time_t(now);
  const long ms = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(
          now.time_since_epoch())
          .count() %
      1000);
  struct tm local;
  if (localtime_r(&secs, &local) == nullptr) return "0000-00-00 00:00:00.000";
  return Format("%04d-%02d-%02d %02d:%02d:%02d.%03ld", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                local.tm_sec, ms);
}

std::string JoinPath(const std::string& directory, const std::string& file) {
  if (directory.empty()) return file;
  if (directory.back() == '/') return directory + file;
  return directory + "/" + file;
}

}  // namespace

struct CLogger::Impl {
  std::atomic<int> max_level{3};
  std::atomic<long> max_size{500000};

  std::mutex mu;  // guards everything below
  std::string path;
  int fd = -1;
  long size = 0;
  bool open_failure_reported = false;
  bool write_failure_reported = false;
  std::chrono::steady_clock::time_point last_open_attempt;

  // REQUIRES: mu held.
  bool OpenFile(bool truncate);
  void Rotate();
  void Append(const std::string& line);
  void ReportOnce(bool* reported, const std::string& what);
};

void CLogger::Impl::ReportOnce(bool* reported, const std::string& what) {
  if (*reported) return;
  *reported = true;
  const std::string text = "CLogger: " + what + "\n";
  if (write(STDERR_FILENO, text.data(), text.size()) < 0) {
    // Nowhere left to report to.
  }
}

bool CLogger::Impl::OpenFile(bool truncate) {
  last_open_attempt = std::chrono::steady_clock::now();
  int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
  if (truncate) flags |= O_TRUNC;
  do {
    fd = open(path.c_str(), flags, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    ReportOnce(&open_failure_reported,
               sockets::ErrorText("cannot open " + path, errno));
    return false;
  }
  open_failure_reported = false;
  struct stat st;
  size = fstat(fd, &st) == 0 ? static_cast<long>(st.st_size) : 0;
  return true;
}

void CLogger::Impl::Rotate() {
  close(fd);
  fd = -1;
  const std::string previous = path + ".1";
  if (rename(path.c_str(), previous.c_str()) != 0)
    ReportOnce(&write_failure_reported,
               sockets::ErrorText("cannot rename " + path, errno));
  OpenFile(true);
}

void CLogger::Impl::Append(const std::string& line) {
  if (fd < 0) {
    if (path.empty() ||
        std::chrono::steady_clock::now() - last_open_attempt < kReopenInterval ||
        !OpenFile(false))
      return;
  }
  const long limit = max_size.load();
  if (limit > 0 && size > 0 &&
      size + static_cast<long>(line.size()) > limit) {
    Rotate();
    if (fd < 0) return;
  }
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = write(fd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // The rest of the line is lost; later lines try again.
      ReportOnce(&write_failure_reported,
                 sockets::ErrorText("cannot write " + path,
                                    n < 0 ? errno : ENOSPC));
      break;
    }
    done += static_cast<size_t>(n);
  }
  size += static_cast<long>(done);
  if (done == line.size()) write_failure_reported = false;
}

CLogger::CLogger() : impl_(std::make_unique<Impl>()) {}

CLogger::~CLogger() {
  if (impl_->fd >= 0) close(impl_->fd);
}

int CLogger::InitKORBLog(const std::string& directory,
                         const std::string& fileName, long maxSize,
                         int maxLevel) {
  impl_->max_size.store(maxSize);
  impl_->max_level.store(maxLevel);
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (impl_->fd >= 0) close(impl_->fd);
  impl_->fd = -1;
  impl_->path = JoinPath(directory, fileName);
  if (!directory.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    // A failure shows up as the open failure below, with its reason.
  }
  return impl_->OpenFile(false) ? 1 : -1;
}

void CLogger::SetMaxLogLevel(int level) { impl_->max_level.store(level); }
void CLogger::SetMaxLogSize(long size) { impl_->max_size.store(size); }
int CLogger::GetMaxLogLevel() const { return impl_->max_level.load(); }
long CLogger::GetMaxLogSize() const { return impl_->max_size.load(); }

std::string CLogger::GetLogPath() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->path;
}

bool CLogger::IsEnabled(int level) const {
  const int max_level = impl_->max_level.load();
  if (max_level <= 0) return false;
  if (max_level >= 30) return true;
  return static_cast<long>(level) <= (1L << max_level);
}

void CLogger::KORBLog(int sourceLine, const char* sourceFile, int level,
                      const char* fmt, ...) {
  if (!IsEnabled(level)) return;
  va_list ap;
  va_start(ap, fmt);
  const std::string message = FormatV(fmt, ap);
  va_end(ap);

  const char* name = LevelName(level);
  const std::string level_text = name != nullptr ? name : std::to_string(level);
  std::string line = Format(
      "%s [%s] [%u] %s:%d %s", Timestamp().c_str(), level_text.c_str(),
      port::CurrentThreadId(), sourceFile != nullptr ? sourceFile : "",
      sourceLine, message.c_str());
  if (line.empty() || line.back() != '\n') line += '\n';

  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->Append(line);
}
