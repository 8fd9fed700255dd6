// The supervisor's own endpoint: scheduler up, restarts, how the last one
// ended and the pause before the next start, from a real supervisor whose
// scheduler the test kills. And the alert rules and the dashboard: promtool
// accepts the rules and their unit tests, and every metric they name is
// one that the scheduler or the supervisor exposes.
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>

#include "MetricsTest.h"

namespace metricstest {
namespace {

// The scheduler's pid from the supervisor's latest "started ... (pid N" line.
int LatestSchedulerPid(const std::string& output) {
  const size_t at = output.rfind("(pid ");
  return at == std::string::npos ? -1 : std::atoi(output.c_str() + at + 5);
}

// A supervisor whose scheduler is a script that sleeps, with its metrics
// endpoint on a free port.
class SupervisorEndpointTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir_template[] = "/tmp/korb-supervised-XXXXXX";
    dir_ = mkdtemp(dir_template);
    const std::string scheduler = dir_ + "/sleeper";
    std::ofstream(scheduler) << "#!/bin/sh\nexec sleep 600\n";
    chmod(scheduler.c_str(), 0755);
    port = FreeTcpPort();
    child = std::make_unique<korbtest::ChildProcess>(std::vector<std::string>{
        korbtest::SupervisorPath(), "--scheduler", scheduler, "--identifier",
        std::to_string(korbtest::FreeUdpPort()), "--min-backoff-ms", "1500",
        "--stop-timeout-ms", "1000", "--metrics-port", std::to_string(port)});
  }
  void TearDown() override {
    child->SendSignal(SIGTERM);
    EXPECT_TRUE(child->WaitExit(kWaitTimeout));
    std::system(("rm -rf " + dir_).c_str());
  }

  int port = 0;
  std::unique_ptr<korbtest::ChildProcess> child;

 private:
  std::string dir_;
};

TEST_F(SupervisorEndpointTest, ReportsUpRestartsExitCodeAndBackoff) {
  korbtest::ChildProcess& supervisor = *child;
  auto scrape = [&](const std::string& series) {
    return SeriesValue(HttpGet(port, "/metrics").body, series);
  };
  ASSERT_TRUE(korbtest::WaitFor([&] { return scrape("korb_supervisor_scheduler_up") == 1; },
                                kWaitTimeout))
      << supervisor.Stdout();
  const HttpReply first = HttpGet(port, "/metrics");
  EXPECT_TRUE(PromtoolAccepts(first.body)) << first.body;
  EXPECT_EQ(SeriesValue(first.body, "korb_supervisor_scheduler_restarts_total"), 0);
  EXPECT_EQ(SeriesValue(first.body, "korb_supervisor_scheduler_last_exit_code"), -1);
  EXPECT_EQ(HttpGet(port, "/healthz").status, 200);

  // A killed scheduler: down during the pause, then started again.
  const int pid = LatestSchedulerPid(supervisor.Stdout());
  ASSERT_GT(pid, 0) << supervisor.Stdout();
  kill(pid, SIGKILL);
  ASSERT_TRUE(korbtest::WaitFor([&] { return scrape("korb_supervisor_scheduler_up") == 0; },
                                kWaitTimeout));
  const HttpReply paused = HttpGet(port, "/metrics");
  EXPECT_EQ(SeriesValue(paused.body, "korb_supervisor_scheduler_last_exit_code"), 128 + SIGKILL);
  EXPECT_EQ(SeriesValue(paused.body, "korb_supervisor_backoff_seconds"), 1.5);
  EXPECT_EQ(HttpGet(port, "/healthz").status, 503);
  EXPECT_TRUE(korbtest::WaitFor(
      [&] { return scrape("korb_supervisor_scheduler_restarts_total") == 1; }, kWaitTimeout));
  EXPECT_EQ(scrape("korb_supervisor_scheduler_up"), 1);
  EXPECT_EQ(scrape("korb_supervisor_backoff_seconds"), 0);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exposes(const std::string& exposition, const std::string& name) {
  for (const char* next : {"{", " "}) {
    const std::string start = name + next;
    if (exposition.rfind(start, 0) == 0 || exposition.find("\n" + start) != std::string::npos)
      return true;
  }
  return false;
}

TEST_F(SupervisorEndpointTest, AlertRulesAndDashboardUseExposedMetrics) {
  const std::string dir = korbtest::SourceDir() + "/tools/monitoring";
  const int rules = std::system(("cd " + dir + " && promtool check rules korb-alerts.yml && "
                                 "promtool test rules korb-alerts.test.yml").c_str());
  EXPECT_EQ(rules, 0) << "promtool rejected the rules or their unit tests";

  std::string exposition = ScrapeSelf();
  ASSERT_TRUE(korbtest::WaitFor(
      [&] { return Exposes(HttpGet(port, "/metrics").body, "korb_supervisor_scheduler_up"); },
      kWaitTimeout));
  exposition += HttpGet(port, "/metrics").body;

  const std::regex metric("\\b(?:korb|process)_[a-z_]+\\b");
  std::set<std::string> used;
  for (const char* file : {"korb-alerts.yml", "korb-dashboard.json"}) {
    const std::string text = ReadFile(dir + "/" + file);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), metric);
         it != std::sregex_iterator(); ++it)
      used.insert(it->str());
  }
  EXPECT_GT(used.size(), 20u);
  for (const std::string& name : used) EXPECT_TRUE(Exposes(exposition, name)) << name;
}

}  // namespace
}  // namespace metricstest
