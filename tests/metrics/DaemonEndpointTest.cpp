// The running scheduler's endpoint over real HTTP: a valid exposition,
// counters that move by exactly what the test sent, /healthz following the
// database and the main loop, a scrape flood, and no socket with port 0.
#include <sys/stat.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "DBI.h"
#include "MetricsTest.h"
#include "utilLib.h"

namespace metricstest {
namespace {

using korbtest::DaemonLog;

TEST_F(MetricsDaemonTest, ExpositionIsValidAndCountsWhatArrived) {
  StartDaemon(100);
  const HttpReply reply = HttpGet(metrics_port_, "/metrics");
  ASSERT_EQ(reply.status, 200);
  EXPECT_TRUE(PromtoolAccepts(reply.body)) << reply.body;

  const std::string& body = reply.body;
  EXPECT_NE(body.find("korb_build_info{version=\""), std::string::npos);
  EXPECT_GT(SeriesValue(body, "process_open_fds"), 3);
  EXPECT_GT(SeriesValue(body, "process_resident_memory_bytes"), 1e6);
  EXPECT_NEAR(SeriesValue(body, "process_start_time_seconds"),
              static_cast<double>(std::time(nullptr)), 600);
  EXPECT_EQ(SeriesValue(body, "korb_db_up"), 1);
  EXPECT_EQ(SeriesValue(body, "korb_db_connection_error"), 0);
  EXPECT_EQ(SeriesValue(body, "korb_signals_received_total{type=\"13\"}"), 0);

  for (int i = 0; i < 3; ++i) daemon_->Send(13, i);  // three different datagrams
  daemon_->Send(99);
  daemon_->SendRaw("short");
  EXPECT_EQ(WaitForSeries("korb_signals_received_total{type=\"13\"}", Equals, 3), 3);
  EXPECT_EQ(WaitForSeries("korb_signals_received_total{type=\"other\"}", Equals, 1), 1);
  EXPECT_EQ(WaitForSeries("korb_signal_datagrams_refused_total{reason=\"length\"}", Equals, 1),
            1);
  EXPECT_EQ(korbtest::CountInLog("NETWORK SIGNAL RECEIVED. Type 13"), 3);

  // Event 17 runs every 0.2 s here: its runs, lateness and durations
  // are all counted.
  EXPECT_GE(WaitForSeries("korb_timeout_event_runs_total{event=\"17\"}", AtLeast, 3), 3);
  const std::string later = HttpGet(metrics_port_, "/metrics").body;
  EXPECT_GE(SeriesValue(later, "korb_timeout_event_lateness_seconds_count{event=\"17\"}"), 3);
  EXPECT_GE(SeriesValue(later, "korb_timeout_event_duration_seconds_count{event=\"17\"}"), 3);
  EXPECT_GT(SeriesValue(later, "korb_db_statements_total{result=\"ok\"}"), 0);
  EXPECT_EQ(HttpGet(metrics_port_, "/nothing").status, 404);
}

TEST_F(MetricsDaemonTest, HealthFollowsTheMainLoopAndTheDatabase) {
  // Scale 10: the loop may stay away from its wait 12 s.
  StartDaemon(10);
  EXPECT_EQ(HttpGet(metrics_port_, "/healthz").status, 200);

  // Hold the loop: the new-job signalling (every 2 s) reads jobdetails,
  // which a session of the test keeps locked.
  {
    CDBI holder(nullptr, "orb", "orb");
    ASSERT_TRUE(holder.m_bReady);
    ASSERT_EQ(holder.executeSQL("lock tables jobdetails write"), 0);
    HttpReply held;
    EXPECT_TRUE(korbtest::WaitFor(
        [&] { return (held = HttpGet(metrics_port_, "/healthz")).status == 503; }, 60s));
    EXPECT_NE(held.body.find("main loop has not returned to its wait"), std::string::npos)
        << held.body;
    EXPECT_GT(Scrape("korb_main_loop_busy_seconds"), 10);
    holder.executeSQL("unlock tables");
  }
  EXPECT_TRUE(korbtest::WaitFor(
      [&] { return HttpGet(metrics_port_, "/healthz").status == 200; }, kWaitTimeout));

  // Past the reconnect window (1 s here) the loss is final: the process
  // ends at once (its supervisor would start it again), whatever the
  // server does next. Until then every answer is 503 (the in-process
  // StatementCountTest holds the lost-for-good state to look at it).
  korbtest::MariaDbServer::Instance().Stop();
  HttpReply down;
  EXPECT_TRUE(korbtest::WaitFor(
      [&] {
        down = HttpGet(metrics_port_, "/healthz");
        return down.status == 503 || daemon_->Exited();
      },
      kWaitTimeout));
  if (down.status == 503) {
    EXPECT_NE(down.body.find("main database"), std::string::npos) << down.body;
  }
  EXPECT_NE(down.status, 200);
  int code = -1;
  EXPECT_TRUE(daemon_->WaitExit(kWaitTimeout, &code)) << DaemonLog();
  EXPECT_EQ(code, 0);
  EXPECT_EQ(korbtest::CountInLog("Encountered the DB connection error!!!"), 1);
  korbtest::MariaDbServer::Instance().Start();
}

TEST_F(MetricsDaemonTest, StatementOutlastingTheTimeOutCountsAsTimedOutAndHealthStays) {
  // Statements wait at most 2 s for an answer; the new-job signalling
  // (every 2 s) reads jobdetails.
  AddOptions("orb", "korb-statement-timeout=2\n");
  StartDaemon(10);
  EXPECT_EQ(HttpGet(metrics_port_, "/healthz").status, 200);
  // A slow statement on a server that answers is timed out, not a sign of
  // an unreachable database: the session is rebuilt and health stays.
  {
    const double timed_out = Scrape("korb_db_statements_total{result=\"timed_out\"}");
    CDBI holder(nullptr, "orb", "orb");
    ASSERT_EQ(holder.executeSQL("lock tables jobdetails write"), 0);
    EXPECT_GE(WaitForSeries("korb_db_statements_total{result=\"timed_out\"}", AtLeast,
                            timed_out + 1, 60s),
              timed_out + 1)
        << DaemonLog();
    EXPECT_EQ(HttpGet(metrics_port_, "/healthz").status, 200);
    holder.executeSQL("unlock tables");
  }
  EXPECT_EQ(Scrape("korb_db_up"), 1);
  EXPECT_EQ(Scrape("korb_db_connection_error"), 0);
  EXPECT_EQ(korbtest::CountInLog("the outcome is unknown"),
            static_cast<int>(Scrape("korb_db_statements_total{result=\"timed_out\"}")));
}

TEST_F(MetricsDaemonTest, ScrapeFloodLeaksNothingAndEventsGoOn) {
  StartDaemon(50);
  for (int i = 0; i < 50; ++i) HttpGet(metrics_port_, "/metrics");
  const std::string before = HttpGet(metrics_port_, "/metrics").body;

  constexpr int kThreads = 4;
  constexpr int kRequestsPerThread = 500;
  std::atomic<int> good{0};
  std::vector<std::thread> scrapers;
  for (int t = 0; t < kThreads; ++t) {
    scrapers.emplace_back([&, t] {
      for (int i = 0; i < kRequestsPerThread; ++i)
        // Every fourth a full scrape, the rest health checks.
        good += HttpGet(metrics_port_, (i + t) % 4 ? "/healthz" : "/metrics").status == 200;
    });
  }
  for (std::thread& scraper : scrapers) scraper.join();
  EXPECT_EQ(good.load(), kThreads * kRequestsPerThread);

  const std::string after = HttpGet(metrics_port_, "/metrics").body;
  EXPECT_LE(SeriesValue(after, "process_open_fds"), SeriesValue(before, "process_open_fds") + 2);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Sanitizer builds hold freed memory back; their leak check at the
  // daemon's exit below stands in for this bound there.
  EXPECT_LT(SeriesValue(after, "process_resident_memory_bytes"),
            SeriesValue(before, "process_resident_memory_bytes") + 64e6);
#endif
  // The loop went on turning while the endpoint was busy.
  const std::string runs = "korb_timeout_event_runs_total{event=\"17\"}";
  EXPECT_GT(WaitForSeries(runs, AtLeast, SeriesValue(after, runs) + 2),
            SeriesValue(before, runs));
  EXPECT_EQ(HttpGet(metrics_port_, "/healthz").status, 200);

  daemon_->Send(1);
  int code = -1;
  EXPECT_TRUE(daemon_->WaitExit(kWaitTimeout, &code));
  EXPECT_EQ(code, 0);
}

// Inodes of the TCP sockets in LISTEN state that process pid holds.
int ListeningTcpSockets(int pid) {
  std::set<std::string> inodes;
  const std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd";
  for (const auto& entry : std::filesystem::directory_iterator(fd_dir)) {
    std::error_code ec;
    const std::string target = std::filesystem::read_symlink(entry.path(), ec).string();
    if (!ec && target.rfind("socket:[", 0) == 0)
      inodes.insert(target.substr(8, target.size() - 9));
  }
  int listening = 0;
  for (const char* table : {"/net/tcp", "/net/tcp6"}) {
    std::ifstream in("/proc/" + std::to_string(pid) + table);
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
      fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
          timeout >> inode;
      listening += state == "0A" && inodes.count(inode) > 0;
    }
  }
  return listening;
}

TEST_F(MetricsDaemonTest, PortZeroOpensNoSocket) {
  AddOptions("orb", "korb-metrics-port=0\n");
  korbtest::DaemonProcess off;
  ASSERT_TRUE(korbtest::WaitForLog("PostAutomationScheduleJobs:: -- Started --", kStartTimeout));
  EXPECT_EQ(ListeningTcpSockets(off.Pid()), 0);
  EXPECT_EQ(korbtest::CountInLog("Metrics endpoint"), 0);
  off.Send(1);
  ASSERT_TRUE(off.WaitExit(kWaitTimeout));

  // The same check finds the endpoint of a daemon that has one.
  std::filesystem::remove(korbtest::DaemonLogPath());
  StartDaemon(1);
  EXPECT_EQ(ListeningTcpSockets(daemon_->Pid()), 1);
}

}  // namespace
}  // namespace metricstest
