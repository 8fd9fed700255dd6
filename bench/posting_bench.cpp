// Posting cost per target: the daemon's scan and deploy postings against a
// raw Connector/C replay of the very statements the daemon sent (read
// from the server's general log during an untimed first posting). Rounds
// alternate between the two, and neither empties the job table, so both
// see the table grow as repeated postings make it grow, with the server's
// automatic statistics.
#include <functional>
#include <vector>

#include "PatchPosting.h"
#include "ProcessState.h"
#include "benchmarks.h"
#include "posting_install.h"

namespace bench {

namespace {

struct PostingKind {
  const char* name;
  std::function<void(CDBI*)> post;
};

}  // namespace

std::vector<std::string> CaptureStatements(RawSession& admin, CDBI* db,
                                           const std::function<void(CDBI*)>& post) {
  std::string id;
  db->getValueFromQuery("select connection_id() as outputvalue", id);
  MustRun(admin, "set global general_log = 0; set global log_output = 'TABLE';"
                 "truncate table mysql.general_log; set global general_log = 1");
  post(db);
  MustRun(admin, "set global general_log = 0");
  return admin.Column("select argument from mysql.general_log where thread_id = " + id +
                      " and command_type = 'Query'");
}

// Seconds to run every statement once on a bare session.
double Replay(const Context& context, const std::vector<std::string>& statements) {
  RawSession session;
  if (!session.Connect(context.option_file, "orb")) return -1;
  const double start = NowSeconds();
  for (const std::string& sql : statements) session.Run(sql);  // failures count as run
  return SecondsSince(start);
}

void RunPostingBench(const Context& context) {
  Report& report = *context.report;
  CDBI* db = MainDatabase(context);
  RawSession admin;
  if (!admin.Connect(context.option_file, "orb")) {
    report.Say("posting: " + admin.error());
    return;
  }
  std::vector<std::pair<int, int>> sizes;  // targets, rounds
  if (context.quick) sizes = {{200, 2}};
  else sizes = {{1000, 5}, {10000, 3}};
  if (context.full) sizes.push_back({50000, 2});
  if (!context.posting_sizes.empty()) {
    sizes.clear();
    for (int targets : context.posting_sizes)
      sizes.push_back({targets, targets <= 1000 ? 5 : targets <= 10000 ? 3 : 2});
  }

  const PostingKind kinds[] = {
      {"scan", [](CDBI* d) { PostScanJob(kScanSchedule, "0", 1, 5000, d); }},
      {"deploy", [](CDBI* d) { PostDeployJob(kDeploySchedule, "0", 1, 5000, d); }},
  };
  for (const PostingKind& kind : kinds) {
    Figure smallest("", "");
    for (const auto& [targets, rounds] : sizes) {
      PreparePostingInstallation(admin, targets);
      g_nDeployJobCounter = 0;
      const bool replay = context.replay_max <= 0 || targets <= context.replay_max;
      const std::vector<std::string> statements =
          replay ? CaptureStatements(admin, db, kind.post) : std::vector<std::string>();
      Figure f(Format("posting.%s.%d", kind.name, targets), "us/target",
               replay ? "raw replay" : "");
      for (int round = 0; round < rounds; ++round) {
        const double start = NowSeconds();
        kind.post(db);
        f.measured.Add(SecondsSince(start) * 1e6 / targets);
        if (replay) f.base.Add(Replay(context, statements) * 1e6 / targets);
      }
      f.note = replay ? Format("%.1f statements/target",
                               static_cast<double>(statements.size()) / targets)
                      : "no replay at this size";
      report.Add(f);
      if (smallest.measured.Empty()) {
        smallest = f;
      } else {
        // Per-target cost at this size against the smallest size.
        Figure growth(Format("posting.%s.%d-vs-%s", kind.name, targets,
                             smallest.name.substr(smallest.name.rfind('.') + 1).c_str()),
                      "us/target", "smallest size");
        growth.measured = f.measured;
        growth.base = smallest.measured;
        growth.SetGoal(Goal::kRatioAtMost, 1.2);
        report.Add(growth);
      }
    }
  }
}

}  // namespace bench
