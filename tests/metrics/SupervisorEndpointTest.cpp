// The supervisor's own endpoint: scheduler up, restarts, how the last one
// ended and the pause before the next start, from a real supervisor whose
// scheduler the test kills.
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

#include "MetricsTest.h"

namespace metricstest {
namespace {

// The scheduler's pid from the supervisor's latest "started ... (pid N" line.
int LatestSchedulerPid(const std::string& output) {
  const size_t at = output.rfind("(pid ");
  return at == std::string::npos ? -1 : std::atoi(output.c_str() + at + 5);
}

TEST(SupervisorEndpointTest, ReportsUpRestartsExitCodeAndBackoff) {
  char dir_template[] = "/tmp/korb-supervised-XXXXXX";
  const std::string scheduler = std::string(mkdtemp(dir_template)) + "/sleeper";
  std::ofstream(scheduler) << "#!/bin/sh\nexec sleep 600\n";
  chmod(scheduler.c_str(), 0755);
  const int port = FreeTcpPort();
  korbtest::ChildProcess supervisor(
      {korbtest::SupervisorPath(), "--scheduler", scheduler, "--identifier",
       std::to_string(korbtest::FreeUdpPort()), "--min-backoff-ms", "1500", "--stop-timeout-ms", "1000", "--metrics-port",
       std::to_string(port)});
  auto scrape = [&](const std::string& series) {
    return SeriesValue(HttpGet(port, "/metrics").body, series);
  };
  ASSERT_TRUE(korbtest::WaitFor([&] { return scrape("korb_supervisor_scheduler_up") == 1; },
                                kWaitTimeout))
      << supervisor.Stdout();
  const HttpReply first = HttpGet(port, "/metrics");
  std::string promtool;
  bool skipped = false;
  EXPECT_TRUE(PromtoolAccepts(first.body, &promtool, &skipped)) << promtool << first.body;
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

  supervisor.SendSignal(SIGTERM);
  EXPECT_TRUE(supervisor.WaitExit(kWaitTimeout));
  std::system(("rm -rf " + scheduler.substr(0, scheduler.rfind('/'))).c_str());
}

}  // namespace
}  // namespace metricstest
