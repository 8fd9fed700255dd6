// The process clock: one time scale for every period and wait.
//
// State lives in atomics so that Init() may run again while other threads
// read the clock (tests change KORB_TIME_SCALE between cases); the daemon
// itself calls Init() once before it starts any thread.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>

#include "platform.h"
#include "utilLib.h"

namespace {

int64_t RealMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

struct ClockState {
  std::atomic<double> scale{1.0};
  // Real epoch time and monotonic time taken together at the last Init
  // (or at first use): scaled time runs from that pair.
  std::atomic<int64_t> base_real_us{RealMicros()};
  std::atomic<int64_t> base_mono_us{Clock::MonotonicMicros()};
};

ClockState& State() {
  static ClockState state;
  return state;
}

// Beyond this every period is clamped to its 1 ms floor and the daily
// restart comes round at once.
constexpr double kMaxScale = 100000.0;

bool ParseScale(const char* text, double* scale, std::string* error) {
  char* end = nullptr;
  errno = 0;
  const double value = strtod(text, &end);
  while (end != nullptr && (*end == ' ' || *end == '\t')) ++end;
  if (end == text || end == nullptr || *end != '\0' || errno == ERANGE ||
      !std::isfinite(value) || value <= 0.0 || value > kMaxScale) {
    if (error)
      *error = std::string("KORB_TIME_SCALE must be a positive number, at most 100000, not '") +
               text + "'";
    return false;
  }
  *scale = value;
  return true;
}

}  // namespace

bool Clock::Init(std::string* error) {
  double scale = 1.0;
  const char* env = getenv("KORB_TIME_SCALE");
  if (env != nullptr && env[0] != '\0' && !ParseScale(env, &scale, error))
    return false;
  ClockState& state = State();
  state.scale.store(scale);
  state.base_real_us.store(RealMicros());
  state.base_mono_us.store(MonotonicMicros());
  return true;
}

double Clock::Scale() { return State().scale.load(); }

uint32_t Clock::ScaledMs(uint64_t ms) {
  if (ms == 0) return 0;
  const double real = std::ceil(static_cast<double>(ms) / Scale());
  if (real >= static_cast<double>(UINT32_MAX)) return UINT32_MAX;
  if (real < 1.0) return 1;
  return static_cast<uint32_t>(real);
}

void Clock::SleepScaled(uint32_t ms) { port::SleepMs(ScaledMs(ms)); }

int64_t Clock::NowSeconds() {
  const ClockState& state = State();
  const double elapsed_us =
      static_cast<double>(MonotonicMicros() - state.base_mono_us.load()) *
      state.scale.load();
  const double now_us =
      static_cast<double>(state.base_real_us.load()) + elapsed_us;
  return static_cast<int64_t>(now_us / 1e6);
}

int64_t Clock::MonotonicMicros() {
  // steady_clock is CLOCK_MONOTONIC, the clock the signal handler's timer
  // is armed on.
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
