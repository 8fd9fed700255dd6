// Posting cost with the scheduler lease on: each target's statements are
// one transaction whose commit runs the fence first. Measured against the
// raw replay of the unfenced posting's statements (what the server does
// for a posting, without the daemon and without the lease) and against the
// unfenced posting itself, both in the same run. The lease stays on in
// this process once started, so the unfenced rounds come first.
#include <cstdlib>
#include <fstream>

#include "PatchPosting.h"
#include "ProcessState.h"
#include "SchedulerLease.h"
#include "benchmarks.h"
#include "posting_install.h"

namespace bench {

namespace {

constexpr int kLeaseSeconds = 6;

std::string WithLease(const std::string& option_file, const std::string& install_dir) {
  std::ifstream in(option_file);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string path = install_dir + "/bench-fencing.cnf";
  std::ofstream out(path, std::ios::trunc);
  // The option file holds the [orb] group only (scripts/bench.sh).
  out << text << Format("korb-lease-duration=%d\n", kLeaseSeconds);
  return path;
}

}  // namespace

void RunFencingBench(const Context& context) {
  Report& report = *context.report;
  const int targets = context.quick ? 200 : 1000;
  const int rounds = context.quick ? 2 : 5;
  RawSession admin;
  if (!admin.Connect(context.option_file, "orb")) {
    report.Say("fencing: " + admin.error());
    return;
  }
  const std::string option_file = WithLease(context.option_file, context.install_dir);
  setenv("KORB_DB_CONFIG", option_file.c_str(), 1);
  CDBI* db = new CDBI(context.logger, "orb", "orb");  // lives for the process
  if (!db->m_bReady) {
    report.Say("fencing: the database object for [orb] is not ready");
    return;
  }
  const auto post = [](CDBI* d) { PostScanJob(kScanSchedule, "0", 1, 5000, d); };
  PreparePostingInstallation(admin, targets);
  const std::vector<std::string> statements = CaptureStatements(admin, db, post);

  Figure unfenced_figure("", "");
  for (int round = 0; round < rounds; ++round) {
    const double start = NowSeconds();
    post(db);
    unfenced_figure.measured.Add(SecondsSince(start) * 1e6 / targets);
  }

  if (!StartSchedulerLease(*db) || !AwaitSchedulerLease([] { return false; })) {
    report.Say("fencing: the scheduler lease could not be started (see korb-bench.log)");
    return;
  }
  Figure fenced(Format("posting.scan.%d.fenced", targets), "us/target",
                "raw replay, unfenced");
  for (int round = 0; round < rounds; ++round) {
    const double start = NowSeconds();
    post(db);
    fenced.measured.Add(SecondsSince(start) * 1e6 / targets);
    fenced.base.Add(Replay(context, statements) * 1e6 / targets);
  }
  fenced.SetGoal(Goal::kRatioAtMost, 1.3);
  fenced.note = Format("lease %d s, one fenced transaction per target", kLeaseSeconds);
  report.Add(fenced);

  Figure cost(Format("posting.scan.%d.fenced-vs-unfenced", targets), "us/target",
              "daemon, lease off");
  cost.measured = fenced.measured;
  cost.base = unfenced_figure.measured;
  cost.note = "unfenced rounds run first, before the lease started";
  report.Add(cost);
  setenv("KORB_DB_CONFIG", context.option_file.c_str(), 1);
}

}  // namespace bench
