// korb-bench: the daemon's performance figures, each beside a baseline
// measured in the same run.
//
//   korb-bench [--benchmarks=posting,fanout,msp,signals,idle,fencing] [--quick|--full]
//              [--sizes=N,N] [--out=FILE]
//
// --sizes replaces the posting sizes (targets; the first is the one the
// others are compared with); --replay-max=N leaves the raw replay out for
// larger postings, which then take a third of the time.
//
// Needs $KORB_DB_CONFIG (group "orb": database orb, a user that may
// create databases and set global variables) and $KORB_INSTALL_DIR;
// scripts/bench.sh prepares both with a private server.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>

#include "benchmarks.h"
#include "bench_context.h"
#include "ProcessState.h"

namespace bench {

CDBI* MainDatabase(const Context& context) {
  if (g_pDBI != nullptr) return g_pDBI;
  static CDBI* db = nullptr;
  db = new CDBI(context.logger, "orb", "orb");  // lives for the process
  if (!db->m_bReady) {
    std::fprintf(stderr, "korb-bench: the database object for [orb] is not ready\n");
    std::exit(2);
  }
  g_pDBI = db;
  return db;
}

double NowSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double SecondsSince(double start) { return NowSeconds() - start; }

}  // namespace bench

namespace {

std::string DefaultDaemonPath() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n <= 0) return "KORB_ProbeScheduler";
  std::string dir(path, static_cast<size_t>(n));
  dir = dir.substr(0, dir.find_last_of('/'));
  return dir + "/../src/KORB_ProbeScheduler";
}

int Usage() {
  std::fprintf(stderr,
               "usage: korb-bench [--benchmarks=posting,fanout,msp,signals,idle,fencing] "
               "[--quick|--full] [--sizes=N,N] [--replay-max=N] [--drain-fill=N] [--out=FILE] "
               "[--daemon=PATH]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::map<std::string, std::function<void(const bench::Context&)>> benchmarks = {
      {"posting", bench::RunPostingBench},
      {"fanout", bench::RunFanOutBench},
      {"msp", bench::RunMspPassBench},
      {"signals", bench::RunSignalBench},
      {"idle", bench::RunIdleBench},
      {"fencing", bench::RunFencingBench},
  };
  std::string list = "posting,fanout,msp,signals,idle,fencing";
  std::string out;
  bench::Context context;
  context.daemon = DefaultDaemonPath();
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--benchmarks=", 0) == 0) list = arg.substr(13);
    else if (arg.rfind("--out=", 0) == 0) out = arg.substr(6);
    else if (arg.rfind("--daemon=", 0) == 0) context.daemon = arg.substr(9);
    else if (arg.rfind("--sizes=", 0) == 0) {
      std::stringstream sizes(arg.substr(8));
      for (std::string size; std::getline(sizes, size, ',');)
        if (std::atoi(size.c_str()) > 0) context.posting_sizes.push_back(std::atoi(size.c_str()));
    }
    else if (arg.rfind("--replay-max=", 0) == 0) context.replay_max = std::atoi(arg.c_str() + 13);
    else if (arg.rfind("--drain-fill=", 0) == 0 && std::atoi(arg.c_str() + 13) > 0)
      context.drain_fill = std::atoi(arg.c_str() + 13);
    else if (arg == "--quick") context.quick = true;
    else if (arg == "--full") context.full = true;
    else return Usage();
  }
  const char* config = std::getenv("KORB_DB_CONFIG");
  const char* install = std::getenv("KORB_INSTALL_DIR");
  if (config == nullptr || install == nullptr) {
    std::fprintf(stderr, "korb-bench: set KORB_DB_CONFIG and KORB_INSTALL_DIR "
                         "(scripts/bench.sh does)\n");
    return 2;
  }
  context.option_file = config;
  context.install_dir = install;

  // The daemon code logs at the default level (errors, warnings,
  // information), as an installation does.
  CLogger logger;
  logger.InitKORBLog(context.install_dir + "/ConsoleManagement/log", "korb-bench.log",
                     100L * 1024 * 1024, 3);
  g_pLogger = &logger;
  context.logger = &logger;
  bench::Report report(out);
  context.report = &report;
  report.Say(Format("korb-bench %s run, %ld CPUs", context.quick ? "quick" : context.full ? "full" : "normal",
                    sysconf(_SC_NPROCESSORS_ONLN)));

  std::stringstream names(list);
  for (std::string name; std::getline(names, name, ',');) {
    const auto it = benchmarks.find(name);
    if (it == benchmarks.end()) {
      std::fprintf(stderr, "korb-bench: unknown benchmark '%s'\n", name.c_str());
      return Usage();
    }
    it->second(context);
  }
  report.PrintTable();
  std::fflush(stdout);
  // The main database object and the logger's users may still hold
  // threads of the daemon code; end without running their destructors.
  std::_Exit(0);
}
