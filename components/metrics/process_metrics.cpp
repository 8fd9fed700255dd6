// The standard process_* figures, read from /proc on each scrape, and the
// build_info gauge.
#include "process_metrics.h"

#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#if __has_include("korb_version.h")
#include "korb_version.h"
#define KORB_METRICS_VERSION KORB_VERSION
#else
#define KORB_METRICS_VERSION "unknown"
#endif

namespace metrics {
namespace {

// Fields of /proc/self/stat after the command name, which may itself hold
// blanks and parentheses; fields[0] is the state (field 3 of the file).
std::vector<std::string> StatFields() {
  std::ifstream in("/proc/self/stat");
  std::string line;
  std::getline(in, line);
  std::vector<std::string> fields;
  const size_t close = line.rfind(')');
  if (close == std::string::npos) return fields;
  std::istringstream rest(line.substr(close + 1));
  std::string field;
  while (rest >> field) fields.push_back(field);
  return fields;
}

double StatField(const std::vector<std::string>& fields, int file_field) {
  const size_t index = static_cast<size_t>(file_field - 3);
  return index < fields.size() ? std::strtod(fields[index].c_str(), nullptr) : 0;
}

// The wall-clock time of boot: now minus the time since boot. /proc/stat
// (its btime line) is hidden where /proc shows processes only (a unit's
// ProcSubset=pid), the clocks never are. CLOCK_BOOTTIME counts suspend,
// as btime does.
double BootTimeSeconds() {
  timespec real{};
  timespec boot{};
  clock_gettime(CLOCK_REALTIME, &real);
  clock_gettime(CLOCK_BOOTTIME, &boot);
  return static_cast<double>(real.tv_sec - boot.tv_sec) +
         static_cast<double>(real.tv_nsec - boot.tv_nsec) / 1e9;
}

double OpenFds() {
  std::error_code ec;
  double count = 0;
  for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end;
       it.increment(ec))
    ++count;
  return count;
}

double MaxFds() {
  std::ifstream in("/proc/self/limits");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("Max open files", 0) != 0) continue;
    std::istringstream fields(line.substr(14));
    std::string soft;
    fields >> soft;
    return soft == "unlimited" ? -1 : std::strtod(soft.c_str(), nullptr);
  }
  return 0;
}

std::vector<Sample> One(double value) { return {Sample{{}, value}}; }

}  // namespace

void RegisterProcessMetrics(Registry& registry) {
  const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  const double page = static_cast<double>(sysconf(_SC_PAGESIZE));
  registry.AddComputed("process_cpu_seconds_total", "User and system CPU time spent in seconds.",
                       "counter", {}, [ticks] {
                         const auto fields = StatFields();
                         return One((StatField(fields, 14) + StatField(fields, 15)) / ticks);
                       });
  registry.AddComputed("process_resident_memory_bytes", "Resident memory size in bytes.",
                       "gauge", {}, [page] { return One(StatField(StatFields(), 24) * page); });
  registry.AddComputed("process_virtual_memory_bytes", "Virtual memory size in bytes.", "gauge",
                       {}, [] { return One(StatField(StatFields(), 23)); });
  registry.AddComputed("process_open_fds", "Number of open file descriptors.", "gauge", {},
                       [] { return One(OpenFds()); });
  registry.AddComputed("process_max_fds", "Maximum number of open file descriptors.", "gauge",
                       {}, [] { return One(MaxFds()); });
  // The start time never changes; read it once.
  const double start = BootTimeSeconds() + StatField(StatFields(), 22) / ticks;
  registry.AddComputed("process_start_time_seconds",
                       "Start time of the process since unix epoch in seconds.", "gauge", {},
                       [start] { return One(start); });
}

void RegisterBuildInfo(Registry& registry, const std::string& prefix) {
  registry.AddComputed(prefix + "_build_info", "Version of the running program; always 1.",
                       "gauge", {"version"},
                       [] { return std::vector<Sample>{Sample{{KORB_METRICS_VERSION}, 1}}; });
}

}  // namespace metrics
