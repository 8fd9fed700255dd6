// POSIX implementation of the platform primitives.
//
// The single-instance guard is an flock() on a lock file: the kernel drops
// the lock with the last descriptor, so a holder killed by SIGKILL leaves
// nothing stale behind (a pid file or a named semaphore would).
#include "platform.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <climits>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

namespace port {

namespace {

std::string ErrnoText(int err) {
  char buf[256];
  // GNU strerror_r returns the message, which may or may not be buf.
  return strerror_r(err, buf, sizeof(buf));
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string LockDirectory() {
  const char* env = getenv("KORB_LOCK_DIR");
  if (env != nullptr && env[0] != '\0') return env;
  if (IsDirectory("/run/lock")) return "/run/lock";
  return "/tmp";
}

// A name becomes one file name; anything that would leave the lock
// directory or name nothing is refused.
bool IsValidMutexName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

}  // namespace

// ---------------------------------------------------------------------------
// NamedMutex

std::unique_ptr<NamedMutex> NamedMutex::Create(const std::string& name,
                                               Result* result,
                                               std::string* error) {
  *result = Result::kFailed;
  if (!IsValidMutexName(name)) {
    if (error) *error = "invalid mutex name '" + name + "'";
    return nullptr;
  }
  const std::string path = NamedMutexPath(name);
  int fd;
  do {
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (error) *error = "cannot open " + path + ": " + ErrnoText(errno);
    return nullptr;
  }
  int rc;
  do {
    rc = flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) {
    *result = Result::kCreated;
    return std::unique_ptr<NamedMutex>(new NamedMutex(fd));
  }
  const int err = errno;
  close(fd);
  if (err == EWOULDBLOCK) {
    // Like the kernel object it stands in for, an existing name still
    // yields a handle; it just owns nothing.
    *result = Result::kAlreadyExists;
    return std::unique_ptr<NamedMutex>(new NamedMutex(-1));
  }
  if (error) *error = "cannot lock " + path + ": " + ErrnoText(err);
  return nullptr;
}

NamedMutex::~NamedMutex() {
  if (fd_ >= 0) close(fd_);
}

// ---------------------------------------------------------------------------
// Event

struct Event::Impl {
  std::mutex mu;
  std::condition_variable cv;  // waits on the steady clock
  bool set = false;
};

Event::Event(bool initially_set) : impl_(std::make_unique<Impl>()) {
  impl_->set = initially_set;
}

Event::~Event() = default;

void Event::Set() {
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->set = true;
  }
  impl_->cv.notify_all();
}

void Event::Reset() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->set = false;
}

uint32_t Event::Wait(uint32_t timeout_ms) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  std::unique_lock<std::mutex> lock(impl_->mu);
  const bool set =
      impl_->cv.wait_until(lock, deadline, [this] { return impl_->set; });
  return set ? kWaitObject0 : kWaitTimeout;
}

// ---------------------------------------------------------------------------
// EventSlot

void EventSlot::Store(std::shared_ptr<Event> event) {
  std::lock_guard<std::mutex> lock(mu_);
  event_ = std::move(event);
}

std::shared_ptr<Event> EventSlot::Load() const {
  std::lock_guard<std::mutex> lock(mu_);
  return event_;
}

void EventSlot::Set() const {
  // Set outside the slot's lock so a slow waker never holds up Store().
  std::shared_ptr<Event> event = Load();
  if (event) event->Set();
}

// ---------------------------------------------------------------------------
// Thread

struct Thread::State {
  std::atomic<uint32_t> exit_code{kStillActive};
};

std::shared_ptr<Thread> Thread::Create(StartRoutine routine,
                                       std::string* error) {
  static std::atomic<uint64_t> next_handle{1};
  auto state = std::make_shared<State>();
  try {
    std::thread worker([state, fn = std::move(routine)]() {
      uint32_t code;
      try {
        code = fn ? fn() : 0;
      } catch (...) {
        code = 0xFFFFFFFFu;
      }
      state->exit_code.store(code, std::memory_order_release);
    });
    worker.detach();
  } catch (const std::system_error& e) {
    if (error) *error = std::string("cannot create thread: ") + e.what();
    return nullptr;
  }
  const uint64_t handle = next_handle.fetch_add(1);
  return std::shared_ptr<Thread>(new Thread(handle, std::move(state)));
}

bool Thread::GetExitCode(uint32_t* code) const {
  *code = state_->exit_code.load(std::memory_order_acquire);
  return true;
}

// ---------------------------------------------------------------------------
// Process and thread helpers

void SleepMs(uint32_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string HostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof(name) - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

std::string NamedMutexPath(const std::string& name) {
  return LockDirectory() + "/" + name + ".lock";
}

uint32_t CurrentThreadId() {
  return static_cast<uint32_t>(syscall(SYS_gettid));
}

uint32_t CurrentProcessId() { return static_cast<uint32_t>(getpid()); }

void ExitProcess(int code) {
  fflush(nullptr);
  _exit(code);
}

}  // namespace port
