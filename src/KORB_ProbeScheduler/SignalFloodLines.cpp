#include "SignalFloodLines.h"

#include <map>
#include <string>

#include "ProcessState.h"

namespace {

constexpr int kBurstLines = 32;
constexpr uint32_t kRefillMs = 10000;
constexpr uint32_t kQuietMs = 2000;

struct HeldBack {
  uint64_t unlogged = 0;  // signals handled without their lines
  uint64_t repeats = 0;   // datagrams merged into signals handled
  int64_t last_us = 0;    // last signal of the type
};

LogRateLimiter g_signalLines(kBurstLines, kRefillMs);
// Only the valid types come here, so the map stays small.
std::map<long, HeldBack> g_heldBack;

void WriteHeldBack(long type, HeldBack& held) {
  if (held.unlogged == 0 && held.repeats == 0) return;
  KLOG(KORB_LOG_WARNING,
       "Signal type %ld: %llu more signals were handled without their lines; %llu identical "
       "datagrams were handled together with the one waiting before them",
       type, static_cast<unsigned long long>(held.unlogged),
       static_cast<unsigned long long>(held.repeats));
  held.unlogged = 0;
  held.repeats = 0;
}

}  // namespace

bool AdmitSignalLines(long type, uint64_t repeats) {
  HeldBack& held = g_heldBack[type];
  held.repeats += repeats;
  held.last_us = Clock::MonotonicMicros();
  if (g_pLogger == nullptr || !g_pLogger->IsEnabled(KORB_LOG_INFO)) return true;
  if (g_signalLines.Admit(std::to_string(type)).write) return true;
  ++held.unlogged;
  return false;
}

void SignalLinesWritten(long type) {
  // Merged datagrams alone wait for the flush: one line per flood.
  HeldBack& held = g_heldBack[type];
  if (held.unlogged > 0) WriteHeldBack(type, held);
}

void FlushQuietSignalTypes() {
  const int64_t quiet_us = static_cast<int64_t>(Clock::ScaledMs(kQuietMs)) * 1000;
  const int64_t now = Clock::MonotonicMicros();
  for (auto& [type, held] : g_heldBack)
    if (now - held.last_us >= quiet_us) WriteHeldBack(type, held);
}
