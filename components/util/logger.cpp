// The log file.
//
// Each line is formatted outside the lock and written with one write()
// under it, so lines from different threads never interleave and a reader
// sees every line as soon as KORBLog returns. A line costs one vsnprintf
// for its message: the prefix is put together by hand into a buffer each
// thread keeps (grown only by a longer line than any before), the thread
// id is looked up once per thread, and the local date and time text once
// per second per thread. The lines of a LineGroup are built one after
// the other in that buffer and written with one write when it ends.
// Writes to a regular file do not block on a full disk (they fail with
// ENOSPC), so a full disk costs the lost lines and one note on stderr,
// never a stalled caller.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <vector>

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

// Builds one line in a buffer that belongs to the calling thread.
class LineBuilder {
 public:
  static LineBuilder& ForThisThread() {
    thread_local LineBuilder builder;
    return builder;
  }

  // Appends the line, newline included, after the lines held back.
  void Build(int sourceLine, const char* sourceFile, int level,
             const char* fmt, va_list ap) KORB_PRINTF(5, 0) {
    AppendTimestamp();
    Append(" [", 2);
    if (const char* name = LevelName(level))
      Append(name, strlen(name));
    else
      AppendNumber(level);
    Append("] [", 3);
    AppendNumber(tid_);
    Append("] ", 2);
    if (sourceFile != nullptr) Append(sourceFile, strlen(sourceFile));
    Append(":", 1);
    AppendNumber(sourceLine);
    Append(" ", 1);
    AppendMessage(fmt, ap);
    if (size_ == 0 || buffer_[size_ - 1] != '\n') Append("\n", 1);
  }

  // Build appends at Mark(); Truncate(mark) drops what came after mark.
  size_t Mark() const { return size_; }
  std::string_view Text() const { return std::string_view(buffer_.data(), size_); }
  void Truncate(size_t mark) { size_ = mark; }

  // The group this thread has open: its logger and where each held line
  // ends.
  const CLogger* holder = nullptr;
  std::vector<size_t> line_ends;

 private:
  LineBuilder() : tid_(port::CurrentThreadId()) { buffer_.resize(512); }

  void Reserve(size_t more) {
    if (size_ + more > buffer_.size()) buffer_.resize((size_ + more) * 2);
  }
  void Append(const char* text, size_t length) {
    Reserve(length);
    memcpy(buffer_.data() + size_, text, length);
    size_ += length;
  }
  template <typename Int>
  void AppendNumber(Int value) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof(digits), value);
    Append(digits, static_cast<size_t>(result.ptr - digits));
  }
  // "YYYY-MM-DD HH:MM:SS.mmm" in local time.
  void AppendTimestamp() {
    const auto now = std::chrono::system_clock::now();
    const int64_t ms_total = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 now.time_since_epoch()).count();
    const time_t secs = static_cast<time_t>(ms_total / 1000);
    if (secs != stamp_second_) {
      struct tm local;
      int length = -1;
      if (localtime_r(&secs, &local) != nullptr)
        length = snprintf(stamp_, sizeof(stamp_), "%04d-%02d-%02d %02d:%02d:%02d",
                          local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                          local.tm_hour, local.tm_min, local.tm_sec);
      if (length < 0 || static_cast<size_t>(length) >= sizeof(stamp_))
        length = snprintf(stamp_, sizeof(stamp_), "0000-00-00 00:00:00");
      stamp_length_ = static_cast<size_t>(length);
      stamp_second_ = secs;
    }
    Append(stamp_, stamp_length_);
    const int ms = static_cast<int>(ms_total % 1000);
    const char fraction[4] = {'.', static_cast<char>('0' + ms / 100),
                              static_cast<char>('0' + ms / 10 % 10),
                              static_cast<char>('0' + ms % 10)};
    Append(fraction, sizeof(fraction));
  }
  void AppendMessage(const char* fmt, va_list ap) KORB_PRINTF(2, 0) {
    va_list again;
    va_copy(again, ap);
    const size_t room = buffer_.size() - size_;
    const int needed = vsnprintf(buffer_.data() + size_, room, fmt, ap);
    if (needed > 0 && static_cast<size_t>(needed) >= room) {
      // Longer than anything before on this thread: grow once, and
      // format again.
      Reserve(static_cast<size_t>(needed) + 2);
      vsnprintf(buffer_.data() + size_, buffer_.size() - size_, fmt, again);
    }
    va_end(again);
    if (needed > 0) size_ += static_cast<size_t>(needed);
  }

  const uint32_t tid_;
  time_t stamp_second_ = -1;
  char stamp_[64];  // room for any year the fields can hold
  size_t stamp_length_ = 0;
  std::vector<char> buffer_;
  size_t size_ = 0;
};

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
  void Append(std::string_view line);
  // Lines back to back in text, line i ending at ends[i]: written in as
  // few writes as the rotation points allow.
  void AppendLines(std::string_view text, const std::vector<size_t>& ends);
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

void CLogger::Impl::Append(std::string_view line) {
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

void CLogger::Impl::AppendLines(std::string_view text,
                                const std::vector<size_t>& ends) {
  size_t chunk_start = 0;
  size_t pos = 0;
  for (const size_t end : ends) {
    // Rotate before this line as if the lines before it had been written
    // one by one: the chunk so far goes out first.
    const long chunk = static_cast<long>(pos - chunk_start);
    const long limit = max_size.load();
    if (chunk > 0 && limit > 0 &&
        size + chunk + static_cast<long>(end - pos) > limit) {
      Append(text.substr(chunk_start, pos - chunk_start));
      chunk_start = pos;
    }
    pos = end;
  }
  if (pos > chunk_start) Append(text.substr(chunk_start, pos - chunk_start));
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
  KORBLogV(sourceLine, sourceFile, level, fmt, ap);
  va_end(ap);
}

void CLogger::KORBLogV(int sourceLine, const char* sourceFile, int level,
                       const char* fmt, va_list ap) {
  if (!IsEnabled(level)) return;
  LineBuilder& builder = LineBuilder::ForThisThread();
  const size_t mark = builder.Mark();
  builder.Build(sourceLine, sourceFile, level, fmt, ap);
  if (builder.holder == this) {
    builder.line_ends.push_back(builder.Mark());
    return;
  }
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->Append(builder.Text().substr(mark));
  }
  builder.Truncate(mark);
}

CLogger::LineGroup::LineGroup(CLogger* logger) : logger_(nullptr) {
  if (logger == nullptr) return;
  LineBuilder& builder = LineBuilder::ForThisThread();
  if (builder.holder != nullptr) return;
  builder.holder = logger;
  builder.line_ends.clear();
  logger_ = logger;
}

CLogger::LineGroup::~LineGroup() {
  if (logger_ == nullptr) return;
  LineBuilder& builder = LineBuilder::ForThisThread();
  builder.holder = nullptr;
  if (!builder.line_ends.empty()) {
    std::lock_guard<std::mutex> lock(logger_->impl_->mu);
    logger_->impl_->AppendLines(builder.Text(), builder.line_ends);
  }
  builder.line_ends.clear();
  builder.Truncate(0);
}
