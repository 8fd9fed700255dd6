// The procedure fan-out (MSPDynamicQueryExecution) over many customers
// against a bare connect + call + close loop per customer, and the same
// pass when some customers sit behind a TCP listener that accepts and
// never answers (a hung server) against an all-healthy pass.
//
// Every customer's DSN group names the one database "cust" on the bench
// server; the groups differ, so each customer has sessions of its own.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "CustomerFanOut.h"
#include "ProcessState.h"
#include "benchmarks.h"
#include "raw_session.h"

namespace bench {

namespace {

constexpr char kCall[] = "call PopulateAgentUpgradedetails()";

// The lines of `group` in an option file.
std::string GroupBody(const std::string& path, const std::string& group) {
  std::ifstream in(path);
  std::string body;
  bool inside = false;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] == '[') {
      inside = line == "[" + group + "]";
      continue;
    }
    if (inside && line.rfind("database", 0) != 0) body += line + "\n";
  }
  return body;
}

// A TCP listener on 127.0.0.1 that never accepts: the kernel completes
// each connection and the client then waits for a greeting that never
// comes.
class HungServer {
 public:
  HungServer() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(fd_, 1024) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      std::perror("korb-bench: hung server");
      std::exit(2);
    }
    port_ = ntohs(addr.sin_port);
  }
  ~HungServer() { close(fd_); }
  HungServer(const HungServer&) = delete;
  HungServer& operator=(const HungServer&) = delete;
  int Port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

std::string CustomerGroup(int id) { return Format("bench-cust-%d", id); }

// Seconds of one pass of the daemon's procedure fan-out.
double FanOutPass() {
  const double start = NowSeconds();
  MSPDynamicQueryExecution(kCall);
  return SecondsSince(start);
}

// Seconds of one bare connect + call + close per customer.
double RawPass(const std::string& option_file, int customers) {
  const double start = NowSeconds();
  for (int id = 1; id <= customers; ++id) {
    RawSession session;
    if (session.Connect(option_file, CustomerGroup(id))) session.Run(kCall);
  }
  return SecondsSince(start);
}

}  // namespace

void RunFanOutBench(const Context& context) {
  Report& report = *context.report;
  const int customers = context.quick ? 10 : 50;
  const int hung = context.quick ? 1 : 5;
  const int rounds = context.quick ? 2 : 7;
  const int hung_rounds = context.quick ? 1 : 3;

  HungServer server;
  const std::string body = GroupBody(context.option_file, "orb");
  const std::string option_file = context.install_dir + "/bench-fanout.cnf";
  {
    std::ofstream out(option_file, std::ios::trunc);
    out << "[orb]\n" << body << "database=orb\n";
    for (int id = 1; id <= customers; ++id)
      out << "[" << CustomerGroup(id) << "]\n" << body << "database=cust\n";
    for (int id = 1; id <= hung; ++id)
      out << Format("[bench-hung-%d]\nhost=127.0.0.1\nport=%d\nuser=root\ndatabase=cust\n", id,
                    server.Port());
  }
  // The daemon code reads the option file named here for every object it
  // makes from now on.
  setenv("KORB_DB_CONFIG", option_file.c_str(), 1);
  MainDatabase(context);  // the fan-out reads its customers through g_pDBI
  RawSession admin;
  if (!admin.Connect(option_file, "orb")) {
    report.Say("fanout: " + admin.error());
    return;
  }
  MustRun(admin, "truncate table customermaster; truncate table customerdetails");
  for (int id = 1; id <= customers; ++id)
    MustRun(admin, Format("insert into customermaster (CustomerID, DSNName, DBName) "
                          "values (%d, '%s', 'cust')", id, CustomerGroup(id).c_str()));

  Figure healthy(Format("fanout.pass.%d-customers", customers), "us/customer",
                 "raw connect+call+close");
  healthy.SetGoal(Goal::kRatioAtMost, 0.5);
  FanOutPass();  // first pass: sessions made
  for (int round = 0; round < rounds; ++round) {
    healthy.measured.Add(FanOutPass() * 1e6 / customers);
    healthy.base.Add(RawPass(option_file, customers) * 1e6 / customers);
  }
  report.Add(healthy);

  // The last `hung` customers now name the hung server.
  for (int id = 1; id <= hung; ++id)
    MustRun(admin, Format("update customermaster set DSNName = 'bench-hung-%d' "
                          "where CustomerID = %d", id, customers - hung + id));
  Figure stalled(Format("fanout.pass.%d-of-%d-hung", hung, customers), "us/customer",
                 "all-healthy pass");
  stalled.base = healthy.measured;
  stalled.SetGoal(Goal::kRatioAtMost, 1.2);
  const double first = FanOutPass();
  for (int round = 0; round < hung_rounds; ++round)
    stalled.measured.Add(FanOutPass() * 1e6 / customers);
  stalled.note = Format("first pass %.2f s", first);
  report.Add(stalled);

  MustRun(admin, "truncate table customermaster");
  setenv("KORB_DB_CONFIG", context.option_file.c_str(), 1);
}

}  // namespace bench
