// The idle daemon under a time scale: CPU seconds per scaled hour and the
// resident set sampled every scaled hour for most of a scaled day (the
// daily restart ends it at the end of one). The empty reference database
// gives it nothing to do but its periodic events.
#include <chrono>
#include <thread>

#include "benchmarks.h"
#include "daemon_child.h"

namespace bench {

void RunIdleBench(const Context& context) {
  Report& report = *context.report;
  const double scale = context.quick ? 20000 : 1000;
  const int hours = context.quick ? 6 : 22;
  const auto hour = std::chrono::duration<double>(3600.0 / scale);

  DaemonChild daemon(context, FreeUdpPort(), scale);
  // Start-up work (restart recovery, first events) is not idling.
  std::this_thread::sleep_for(hour);
  Figure cpu("idle.cpu", "s/scaled-hour");
  cpu.SetGoal(Goal::kValueAtMost, 0.14);
  Figure rss("idle.rss", "MB", "first quarter of the day");
  rss.SetGoal(Goal::kRatioAtMost, 1.1);
  double last_cpu = CpuSeconds(daemon.Pid());
  auto next = std::chrono::steady_clock::now();
  for (int h = 0; h < hours && daemon.Running(); ++h) {
    next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(hour);
    std::this_thread::sleep_until(next);
    const double now_cpu = CpuSeconds(daemon.Pid());
    const double mb = RssMegabytes(daemon.Pid());
    if (now_cpu < 0 || mb < 0) break;
    cpu.measured.Add(now_cpu - last_cpu);
    last_cpu = now_cpu;
    (h < hours / 4 ? rss.base : rss.measured).Add(mb);
  }
  cpu.note = Format("time scale %g, %zu scaled hours", scale, cpu.measured.values.size());
  rss.note = "later samples against the first quarter's";
  report.Add(cpu);
  report.Add(rss);
  if (!daemon.Running()) report.Say("idle: the daemon ended before the scaled day was over");
}

}  // namespace bench
