// One event-17 signalling pass (SignallingRelatedMSPModules) and one
// procedure fan-out pass (MSPDynamicQueryExecution) over N customers, on
// the daemon's fan-out pool, against a raw loop of the same statements on
// sessions kept open, one customer after another.
//
// Every customer's DSN group names the one database "cust" on the bench
// server; the groups differ, so each customer has sessions of its own.
// The statements of one customer's signalling are read from the server's
// general log during an untimed pass of that customer alone.
#include <sys/resource.h>

#include <fstream>
#include <memory>

#include "CustomerFanOut.h"
#include "CustomerFanOutPool.h"
#include "ModuleSignalling.h"
#include "ProcessState.h"
#include "benchmarks.h"
#include "raw_session.h"

namespace bench {

namespace {

constexpr char kCall[] = "call PopulateAgentUpgradedetails()";
constexpr char kNamesQuery[] =
    " select  DBName,DSNName from customermaster  where CustomerID = %d ";

std::string Group(int id) { return Format("bench-msp-%d", id); }

// The connection keys of group "orb" without its database line.
std::string OrbBody(const std::string& path) {
  std::ifstream in(path);
  std::string body;
  bool inside = false;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] == '[') {
      inside = line == "[orb]";
      continue;
    }
    if (inside && line.rfind("database", 0) != 0) body += line + "\n";
  }
  return body;
}

// Room for a kept session per customer on both sides.
void RaiseOpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

std::vector<std::string> SignallingStatements(RawSession& admin, const Context& context) {
  CDBI db(context.logger, Group(1), "cust");
  std::string id;
  db.getValueFromQuery("select connection_id() as outputvalue", id);
  MustRun(admin, "set global general_log = 0; set global log_output = 'TABLE';"
                 "truncate table mysql.general_log; set global general_log = 1");
  SignallingRelatedModules(&db);
  MustRun(admin, "set global general_log = 0");
  return admin.Column("select argument from mysql.general_log where thread_id = " + id +
                      " and command_type = 'Query'");
}

}  // namespace

void RunMspPassBench(const Context& context) {
  Report& report = *context.report;
  const int customers = context.quick ? 100 : 1000;
  const int rounds = context.quick ? 2 : 3;
  RaiseOpenFileLimit();

  const std::string body = OrbBody(context.option_file);
  const std::string option_file = context.install_dir + "/bench-msp.cnf";
  {
    std::ofstream out(option_file, std::ios::trunc);
    out << "[orb]\n" << body << "database=orb\n";
    for (int id = 1; id <= customers; ++id) out << "[" << Group(id) << "]\n" << body << "database=cust\n";
  }
  setenv("KORB_DB_CONFIG", option_file.c_str(), 1);
  MainDatabase(context);
  RawSession admin;
  if (!admin.Connect(option_file, "orb")) {
    report.Say("msp: " + admin.error());
    return;
  }
  MustRun(admin, "truncate table customermaster; truncate table customerdetails");
  std::string values;
  for (int id = 1; id <= customers; ++id)
    values += Format("%s(%d, '%s', 'cust', 0, 0)", id == 1 ? "" : ",", id, Group(id).c_str());
  MustRun(admin, "insert into customermaster (CustomerID, DSNName, DBName, CustomerStatus, "
                 "AddOnID) values " + values);

  const std::vector<std::string> signalling = SignallingStatements(admin, context);
  // The raw side's kept sessions: the main database and one per customer.
  RawSession main;
  std::vector<std::unique_ptr<RawSession>> kept;
  if (!main.Connect(option_file, "orb")) {
    report.Say("msp: " + main.error());
    return;
  }
  for (int id = 1; id <= customers; ++id) {
    kept.push_back(std::make_unique<RawSession>());
    if (!kept.back()->Connect(option_file, Group(id))) {
      report.Say("msp: " + kept.back()->error());
      return;
    }
  }
  auto rawSignalling = [&] {
    const double start = NowSeconds();
    main.Run("select CustomerId from customermaster where CustomerStatus = 0 and AddOnID = 0");
    for (int id = 1; id <= customers; ++id) {
      main.Run(Format(kNamesQuery, id));
      for (const std::string& sql : signalling) kept[id - 1]->Run(sql);
    }
    return SecondsSince(start);
  };
  auto rawProcedure = [&] {
    const double start = NowSeconds();
    main.Run("select CustomerId from customermaster where CustomerStatus = 0 and AddOnID = 0");
    for (int id = 1; id <= customers; ++id) kept[id - 1]->Run(kCall);
    return SecondsSince(start);
  };
  auto timed = [](const std::function<void()>& pass) {
    const double start = NowSeconds();
    pass();
    return SecondsSince(start);
  };
  const int workers = CustomerFanOutPool::Instance().Workers();

  Figure signal(Format("msp.pass.%d.signalling", customers), "us/customer",
                "raw loop on kept sessions");
  signal.SetGoal(Goal::kRatioAtMost, 0.3);
  SignallingRelatedMSPModules();  // first pass: sessions made
  for (int round = 0; round < rounds; ++round) {
    signal.measured.Add(timed(SignallingRelatedMSPModules) * 1e6 / customers);
    signal.base.Add(rawSignalling() * 1e6 / customers);
  }
  signal.note = Format("%zu statements/customer, %d workers", signalling.size() + 1, workers);
  report.Add(signal);

  Figure procedure(Format("msp.pass.%d.procedure", customers), "us/customer",
                   "raw loop on kept sessions");
  procedure.SetGoal(Goal::kRatioAtMost, 0.3);
  MSPDynamicQueryExecution(kCall);
  for (int round = 0; round < rounds; ++round) {
    procedure.measured.Add(timed([] { MSPDynamicQueryExecution(kCall); }) * 1e6 / customers);
    procedure.base.Add(rawProcedure() * 1e6 / customers);
  }
  procedure.note = Format("%d workers", workers);
  report.Add(procedure);

  kept.clear();
  CDBI::CloseIdleSessions();
  MustRun(admin, "truncate table customermaster");
  setenv("KORB_DB_CONFIG", context.option_file.c_str(), 1);
}

}  // namespace bench
