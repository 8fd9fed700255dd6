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
// Under a service manager (NOTIFY_SOCKET), the scheduler's start-up
// notice (SIGUSR1 from the child, asked for through its environment)
// becomes READY=1 and a STATUS= line, and the watchdog is fed as long as
// this process's own loop runs, through back-offs and stops alike: see
// service_notifier.h.
//
// The scheduler's main loop sends progress notices (LoopProgress.h), each
// saying how long its next step may take. A scheduler that stays silent
// beyond that is taken for hung: it is killed (SIGKILL, an unclean end,
// so its next start runs restart recovery) and started again like any
// scheduler that ended.
//
// A scheduler under the scheduler lease also says whether it stands by or
// is active (RoleNotice.h); the service manager's STATUS= line says so.
//
// Single-threaded: every wait is a sigtimedwait on the blocked SIGCHLD,
// SIGTERM, SIGINT, SIGUSR1, the progress and the role signals, bounded by
// the next watchdog ping and the hung-loop deadline, so nothing polls.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include <unistd.h>

#include "LoopProgress.h"
#include "RoleNotice.h"
#include "child_process.h"
#include "korb_version.h"
#include "service_notifier.h"
#include "supervisor_metrics.h"
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
      : options_(options),
        backoff_ms_(options.min_backoff_ms),
        metrics_(options.metrics_address, options.metrics_port, &metrics_error_) {
    if (!metrics_error_.empty()) Log("metrics endpoint not started: %s", metrics_error_.c_str());
  }

  int Run() {
    for (;;) {
      if (!Start()) {
        if (!Pause(NextDelay(0))) return 0;
        continue;
      }
      // Wait for the child to end or for a stop request.
      for (;;) {
        pid_t sender = 0;
        int value = 0;
        int signo = Wait(MillisecondsUntilHung(), &sender, &value);
        if (IsStopSignal(signo)) return Stop(signo);
        if (signo == SIGUSR1 && sender == child_) {
          Log("scheduler (pid %d) reports its start-up done",
              static_cast<int>(child_));
          notifier_.SchedulerReady(child_);
        }
        if (signo == LoopProgressSignal() && sender == child_) Progress(value);
        if (signo == RoleNoticeSignal() && sender == child_) Role(value);
        if (signo == SIGCHLD && Reaped()) break;
        if (MillisecondsUntilHung() == 0) EndHungScheduler();
      }
      long delay = NextDelay(MillisecondsSince(started_));
      notifier_.SchedulerEnded(last_end_, delay);
      if (!Pause(delay)) return 0;
    }
  }

 private:
  bool Start() {
    // The scheduler reads its settings at its start; so does its stop.
    stop_ = StopPathFor(options_);
    setenv(kStopWaitVariable, std::to_string(stop_.stop_timeout_ms).c_str(), 1);
    std::vector<std::string> args = {
        options_.scheduler_path, std::to_string(getpid()),
        std::to_string(options_.identifier), OwnExecutableName()};
    std::string error;
    child_ = StartChild(options_.scheduler_path, args, &error);
    started_ = SteadyClock::now();
    if (child_ < 0) {
      Log("cannot start the scheduler: %s", error.c_str());
      notifier_.SchedulerNotStarted(error, backoff_ms_);
      return false;
    }
    notifier_.SchedulerStarted(child_);
    metrics_.SchedulerStarted();
    watching_ = false;
    killed_as_hung_ = false;
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
    last_end_ = how;
    metrics_.SchedulerEnded(code);
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
    metrics_.Backoff(delay_ms);
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(delay_ms);
    for (;;) {
      long left = -MillisecondsSince(deadline);
      if (left <= 0) return true;
      int signo = Wait(left, nullptr);
      if (IsStopSignal(signo)) {
        Log("stopping on signal %d; no scheduler is running", signo);
        notifier_.Stopping(-1, 0);
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
      Wait(left, nullptr);  // further stop requests change nothing
    }
  }

  // A progress notice: the loop's next step may take up to quiet_ms. The
  // deadline only ever moves later.
  void Progress(int quiet_ms) {
    // Notices queued before the kill arrive after it.
    if (quiet_ms <= 0 || killed_as_hung_) return;
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(quiet_ms);
    if (!watching_) {
      Log("scheduler (pid %d) sends progress notices; a silence of %d ms ends it",
          static_cast<int>(child_), quiet_ms);
      loop_deadline_ = deadline;
    }
    watching_ = true;
    loop_deadline_ = std::max(loop_deadline_, deadline);
    last_quiet_ms_ = quiet_ms;
  }

  // A role notice: the scheduler now stands by or is active.
  void Role(int value) {
    const char* role = RoleNoticeName(value);
    if (role == nullptr) return;
    Log("scheduler (pid %d) is %s", static_cast<int>(child_),
        value == static_cast<int>(RoleNotice::kActive) ? "active: it holds the scheduler lease"
                                                       : "standing by");
    notifier_.SchedulerRole(child_, role);
  }

  // -1 while no notice came (nothing to watch), 0 once the loop is over
  // its deadline.
  long MillisecondsUntilHung() const {
    if (!watching_ || child_ <= 0) return -1;
    return std::max(0L, -MillisecondsSince(loop_deadline_));
  }

  void EndHungScheduler() {
    Log("scheduler (pid %d) main loop made no progress within %d ms of its last notice; "
        "killing it",
        static_cast<int>(child_), last_quiet_ms_);
    SignalChild(child_, SIGKILL);
    killed_as_hung_ = true;
    watching_ = false;  // its end comes as SIGCHLD
  }

  // WaitForSignal, woken early to feed the watchdog when a ping falls due.
  int Wait(long timeout_ms, pid_t* sender, int* value = nullptr) {
    long until_ping = notifier_.MillisecondsUntilPing();
    if (until_ping >= 0 && (timeout_ms < 0 || until_ping < timeout_ms))
      timeout_ms = until_ping;
    int signo = WaitForSignal(timeout_ms, sender, value);
    notifier_.PingIfDue();
    return signo;
  }

  int Stop(int signo) {
    Log("stopping on signal %d: sending the end signal to %s:%d", signo,
        stop_.signal_host.c_str(), options_.identifier);
    Log("waiting up to %ld ms for the scheduler's orderly end", stop_.stop_timeout_ms);
    notifier_.Stopping(child_, stop_.stop_timeout_ms);
    CSignalInfo info;
    info.SetSignalType(1);
    CUDPClient client(options_.identifier, stop_.signal_host);
    if (client.SendUDPSignal(info) != KORB_SUCCESS)
      Log("end signal not sent: %s", client.LastError().c_str());

    const auto start = SteadyClock::now();
    const auto half = start + std::chrono::milliseconds(stop_.stop_timeout_ms / 2);
    const auto full = start + std::chrono::milliseconds(stop_.stop_timeout_ms);
    if (WaitForEnd(half)) return 0;
    Log("scheduler (pid %d) still running; sending SIGTERM",
        static_cast<int>(child_));
    SignalChild(child_, SIGTERM);
    if (WaitForEnd(full)) return 0;
    Log("scheduler (pid %d) did not end in %ld ms; killing it",
        static_cast<int>(child_), stop_.stop_timeout_ms);
    SignalChild(child_, SIGKILL);
    WaitForEnd(SteadyClock::now() + std::chrono::seconds(10));
    return 0;
  }

  const Options options_;
  long backoff_ms_;
  ServiceNotifier notifier_;
  std::string metrics_error_;
  SupervisorMetrics metrics_;
  StopPath stop_;  // of the scheduler last started
  pid_t child_ = -1;
  std::string last_end_;
  SteadyClock::time_point started_;
  bool watching_ = false;  // a progress notice came from this child
  bool killed_as_hung_ = false;
  SteadyClock::time_point loop_deadline_;
  int last_quiet_ms_ = 0;
};

}  // namespace
}  // namespace supervisor

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--help") {
    std::fputs(supervisor::kUsage, stdout);
    return 0;
  }
  if (argc == 2 && std::string(argv[1]) == "--version") {
    std::printf("korb-supervisor %s\n", KORB_VERSION);
    return 0;
  }
  supervisor::Options options;
  std::string error;
  if (!supervisor::ParseOptions(argc, argv, &options, &error)) {
    std::fprintf(stderr, "korb-supervisor: %s\n%s", error.c_str(),
                 supervisor::kUsage);
    return 2;
  }
  // The scheduler's grace period counts in scaled time; so does the stop
  // wait derived from it. A scale the scheduler would refuse leaves 1.
  std::string clock_error;
  if (!Clock::Init(&clock_error))
    std::fprintf(stderr, "korb-supervisor: KORB_TIME_SCALE not used for the stop wait: %s\n",
                 clock_error.c_str());
  supervisor::BlockSupervisorSignals();
  return supervisor::Supervisor(options).Run();
}
