// korb-supervisor: keeps one scheduler process running, as the suite's
// supervising service does. The scheduler gets this process's pid, the
// signal identifier and this program's executable name, so it ends itself
// when the supervisor is gone; the supervisor restarts it whenever it
// ends (its daily internal restart relies on that).
//
// A scheduler that keeps failing at once is restarted after a delay that
// doubles from --min-backoff-ms up to --max-backoff-ms; a run of at least
// --healthy-run-ms restarts it at once and resets the delay. SIGTERM and
// SIGINT send the end signal (type 1) to the scheduler, wait up to
// --stop-timeout-ms (half-way through it also send SIGTERM), then
// SIGKILL; the supervisor then exits 0.
//
// Single-threaded: every wait is a sigtimedwait on the blocked SIGCHLD,
// SIGTERM and SIGINT, so nothing polls.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include <unistd.h>

#include "child_process.h"
#include "supervisor_options.h"
#include "utilLib.h"

namespace supervisor {
namespace {

using SteadyClock = std::chrono::steady_clock;

void Log(const char* fmt, ...) KORB_PRINTF(1, 2);
void Log(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = FormatV(fmt, ap);
  va_end(ap);
  std::string stamp = FormatLocalTime(std::time(nullptr), "%Y-%m-%d %H:%M:%S");
  std::printf("%s korb-supervisor: %s\n", stamp.c_str(), text.c_str());
  std::fflush(stdout);
}

long MillisecondsSince(SteadyClock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               SteadyClock::now() - start)
                               .count());
}

bool IsStopSignal(int signo) { return signo == SIGTERM || signo == SIGINT; }

class Supervisor {
 public:
  explicit Supervisor(const Options& options)
      : options_(options), backoff_ms_(options.min_backoff_ms) {}

  int Run() {
    for (;;) {
      if (!Start()) {
        if (!Pause(NextDelay(0))) return 0;
        continue;
      }
      // Wait for the child to end or for a stop request.
      for (;;) {
        int signo = WaitForSignal(-1);
        if (IsStopSignal(signo)) return Stop(signo);
        if (signo == SIGCHLD && Reaped()) break;
      }
      if (!Pause(NextDelay(MillisecondsSince(started_)))) return 0;
    }
  }

 private:
  bool Start() {
    std::vector<std::string> args = {
        options_.scheduler_path, std::to_string(getpid()),
        std::to_string(options_.identifier), OwnExecutableName()};
    std::string error;
    child_ = StartChild(options_.scheduler_path, args, &error);
    started_ = SteadyClock::now();
    if (child_ < 0) {
      Log("cannot start the scheduler: %s", error.c_str());
      return false;
    }
    Log("started %s (pid %d, signal identifier %d)",
        options_.scheduler_path.c_str(), static_cast<int>(child_),
        options_.identifier);
    return true;
  }

  // True when the child has ended (logged).
  bool Reaped() {
    std::string how;
    int code = 0;
    if (!ReapChild(child_, &how, &code)) return false;
    Log("scheduler (pid %d) ended with %s after %ld ms",
        static_cast<int>(child_), how.c_str(), MillisecondsSince(started_));
    child_ = -1;
    return true;
  }

  long NextDelay(long run_ms) {
    if (run_ms >= options_.healthy_run_ms) {
      backoff_ms_ = options_.min_backoff_ms;
      return 0;
    }
    long delay = backoff_ms_;
    backoff_ms_ = std::min(backoff_ms_ * 2, options_.max_backoff_ms);
    return delay;
  }

  // Waits delay_ms before the next start. False when a stop request came.
  bool Pause(long delay_ms) {
    Log("restarting the scheduler in %ld ms", delay_ms);
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(delay_ms);
    for (;;) {
      long left = -MillisecondsSince(deadline);
      if (left <= 0) return true;
      int signo = WaitForSignal(left);
      if (IsStopSignal(signo)) {
        Log("stopping on signal %d; no scheduler is running", signo);
        return false;
      }
    }
  }

  // Waits until the child ends or deadline passes. True when it ended.
  bool WaitForEnd(SteadyClock::time_point deadline) {
    for (;;) {
      if (Reaped()) return true;
      long left = -MillisecondsSince(deadline);
      if (left <= 0) return false;
      WaitForSignal(left);  // further stop requests change nothing
    }
  }

  int Stop(int signo) {
    Log("stopping on signal %d: sending the end signal to %s:%d", signo,
        options_.signal_host.c_str(), options_.identifier);
    CSignalInfo info;
    info.SetSignalType(1);
    CUDPClient client(options_.identifier, options_.signal_host);
    if (client.SendUDPSignal(info) != KORB_SUCCESS)
      Log("end signal not sent: %s", client.LastError().c_str());

    const auto start = SteadyClock::now();
    const auto half = start + std::chrono::milliseconds(options_.stop_timeout_ms / 2);
    const auto full = start + std::chrono::milliseconds(options_.stop_timeout_ms);
    if (WaitForEnd(half)) return 0;
    Log("scheduler (pid %d) still running; sending SIGTERM",
        static_cast<int>(child_));
    SignalChild(child_, SIGTERM);
    if (WaitForEnd(full)) return 0;
    Log("scheduler (pid %d) did not end in %ld ms; killing it",
        static_cast<int>(child_), options_.stop_timeout_ms);
    SignalChild(child_, SIGKILL);
    WaitForEnd(SteadyClock::now() + std::chrono::seconds(10));
    return 0;
  }

  const Options options_;
  long backoff_ms_;
  pid_t child_ = -1;
  SteadyClock::time_point started_;
};

}  // namespace
}  // namespace supervisor

int main(int argc, char** argv) {
  supervisor::Options options;
  std::string error;
  if (!supervisor::ParseOptions(argc, argv, &options, &error)) {
    std::fprintf(stderr, "korb-supervisor: %s\n%s", error.c_str(),
                 supervisor::kUsage);
    return 2;
  }
  supervisor::BlockSupervisorSignals();
  return supervisor::Supervisor(options).Run();
}
