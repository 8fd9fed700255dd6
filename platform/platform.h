// Stand-ins for the kernel services the scheduler was designed around:
// a machine-wide single-instance mutex, manual-reset events, critical
// sections, threads with an exit-code query, sleeping and thread ids.
//
// Nothing outside platform/ includes <pthread.h>, <fcntl.h> or <sys/*> for
// these; everything here is implemented in platform_posix.cpp.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace port {

// Results of Event::Wait, with the values the callers compare against.
constexpr uint32_t kWaitObject0 = 0;     // the event was set
constexpr uint32_t kWaitTimeout = 258;   // the time-out ran out
// Exit code reported for a thread that is still running.
constexpr uint32_t kStillActive = 259;
// Last-error value of a named mutex that another process already holds.
constexpr int kErrorAlreadyExists = 183;

// Machine-wide single-instance guard. The kernel releases it when the
// holding process dies, however it dies (flock on a lock file), so a crash
// never leaves a stale lock behind.
//
// The lock file is <dir>/<name>.lock where dir is $KORB_LOCK_DIR, or
// /run/lock when unset (falling back to /tmp when /run/lock is missing).
class NamedMutex {
 public:
  // Outcome of Create(): kCreated (we hold it), kAlreadyExists (another
  // process holds it; last error 183) or kFailed (no handle at all).
  enum class Result { kCreated, kAlreadyExists, kFailed };

  // Creates or opens the named mutex and tries to take it. On kFailed,
  // *error receives a description. The returned object keeps the lock for
  // its lifetime (the daemon never releases it explicitly). On
  // kAlreadyExists a non-null object that holds nothing is returned, as
  // the kernel call it stands in for returns a handle; null means kFailed.
  static std::unique_ptr<NamedMutex> Create(const std::string& name,
                                            Result* result,
                                            std::string* error);
  ~NamedMutex();
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

 private:
  explicit NamedMutex(int fd) : fd_(fd) {}
  int fd_;
};

// Manual-reset event: stays set until Reset() is called. Thread-safe.
class Event {
 public:
  explicit Event(bool initially_set = false);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  // Blocks until the event is set or timeout_ms has passed on the
  // monotonic clock. Returns kWaitObject0 or kWaitTimeout. The time-out is
  // taken as given: callers apply the process time scale themselves.
  uint32_t Wait(uint32_t timeout_ms);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A slot holding the current event of a worker thread. The thread creates
// a fresh event each time it starts and stores it here; other threads set
// whatever event is stored. Setting an empty slot does nothing.
// Thread-safe.
class EventSlot {
 public:
  void Store(std::shared_ptr<Event> event);
  std::shared_ptr<Event> Load() const;
  // Sets the stored event, if any.
  void Set() const;

 private:
  mutable std::mutex mu_;
  std::shared_ptr<Event> event_;
};

// Critical section: a plain non-recursive mutex with Enter/Leave.
class CriticalSection {
 public:
  void Enter() { mu_.lock(); }
  void Leave() { mu_.unlock(); }

 private:
  std::mutex mu_;
};

// Holds a critical section for a scope.
class CriticalSectionLock {
 public:
  explicit CriticalSectionLock(CriticalSection& cs) : cs_(cs) { cs_.Enter(); }
  ~CriticalSectionLock() { cs_.Leave(); }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

 private:
  CriticalSection& cs_;
};

// A detached worker thread with an exit code. Threads are never joined:
// the process ends them by ending. A start routine that throws ends its
// thread with exit code 0xFFFFFFFF (-1) instead of ending the process.
class Thread {
 public:
  using StartRoutine = std::function<uint32_t()>;

  // Starts routine on a new thread. Returns null (and fills *error) when
  // the thread cannot be created. Handles increase with each creation, so
  // ordering by Handle() orders threads by creation.
  static std::shared_ptr<Thread> Create(StartRoutine routine,
                                        std::string* error);

  uint64_t Handle() const { return handle_; }
  // Returns true and sets *code: kStillActive while the routine runs, its
  // return value once it has ended.
  bool GetExitCode(uint32_t* code) const;

 private:
  struct State;
  Thread(uint64_t handle, std::shared_ptr<State> state)
      : handle_(handle), state_(std::move(state)) {}
  uint64_t handle_;
  std::shared_ptr<State> state_;
};

// Orderly-end requests from the operating system (SIGTERM, SIGINT).
// Blocks both signals in the calling thread, so every thread started
// afterwards inherits the block, and starts one detached thread that
// receives them and calls onSignal(signal number) on that thread, once per
// signal, for the life of the process. Call at most once, before any other
// thread exists. Returns false and fills *error when the receiving thread
// cannot be started; the signals keep their default action then.
bool InstallTerminationHandler(std::function<void(int)> onSignal,
                               std::string* error);

// Sleeps the calling thread for ms milliseconds (unscaled).
void SleepMs(uint32_t ms);

// The kernel's id of the calling thread.
uint32_t CurrentThreadId();

// This host's name, or "localhost" when it cannot be read.
std::string HostName();

// The lock file a NamedMutex of this name uses.
std::string NamedMutexPath(const std::string& name);

// Id of the calling process.
uint32_t CurrentProcessId();

// Ends the process at once with the given exit code, without running
// static destructors (worker threads may still be using shared objects).
// Flushes stdio first.
[[noreturn]] void ExitProcess(int code);

}  // namespace port
