// The lease's series and /healthz of two scheduler instances against one
// database: the active and the standby each say which they are (the
// standby is healthy), a renewal held up by a lock on the lease row counts
// as a failed renewal without costing the lease, and the standby's
// takeover moves every series. With the lease off the role is "single".
#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "MetricsTest.h"
#include "utilLib.h"

namespace metricstest {
namespace {

constexpr const char* kLoopRunning = "PostAutomationScheduleJobs:: -- Started --";
constexpr const char* kStandingBy = "Standing by: the scheduler lease is held by";
// Renewals every 2 s, the holder's own deadline 8 s after its last one.
constexpr int kLeaseSeconds = 12;

std::string ReadFileText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Instance {
  std::string dir;
  int port = 0;
  std::unique_ptr<korbtest::DaemonProcess> process;

  std::string Log() const {
    return ReadFileText(dir + "/ConsoleManagement/log/KORB_ProbeScheduler.log");
  }
  bool WaitForLog(const std::string& text) const {
    return korbtest::WaitFor([&] { return Log().find(text) != std::string::npos; },
                             kStartTimeout);
  }
  double Scrape(const std::string& series) const {
    return SeriesValue(HttpGet(port, "/metrics").body, series);
  }
};

class LeaseMetricsTest : public korbtest::DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    Exec("insert into jobhandlermaster (HostName, PortNumber) values ('127.0.0.1', 7301)");
  }

  // An instance of its own install and lock folder and DSN group, as if on
  // a host of its own.
  Instance Start(const std::string& name) {
    Instance instance;
    instance.dir = InstallDir() + "/" + name;
    instance.port = FreeTcpPort();
    mkdir(instance.dir.c_str(), 0755);
    mkdir((instance.dir + "/lock").c_str(), 0755);
    AddOptions("orb_" + name,
               Format("socket=%s\nuser=root\ndatabase=orb\nkorb-lease-duration=%d\n"
                      "korb-metrics-port=%d\n",
                      korbtest::MariaDbServer::Instance().Socket().c_str(), kLeaseSeconds,
                      instance.port));
    korbtest::DaemonOptions options;
    options.env["KORB_INSTALL_DIR"] = instance.dir;
    options.env["KORB_LOCK_DIR"] = instance.dir + "/lock";
    options.env["KORB_DSN"] = "orb_" + name;
    instance.process = std::make_unique<korbtest::DaemonProcess>(options);
    return instance;
  }
};

TEST_F(LeaseMetricsTest, ActiveAndStandbySayWhichTheyAreAndTheTakeoverMovesTheSeries) {
  Instance a = Start("a");
  ASSERT_TRUE(a.WaitForLog(kLoopRunning)) << a.Log();
  Instance b = Start("b");
  ASSERT_TRUE(b.WaitForLog(kStandingBy)) << b.Log();

  EXPECT_EQ(a.Scrape("korb_leader"), 1);
  EXPECT_EQ(a.Scrape("korb_lease_enabled"), 1);
  EXPECT_EQ(a.Scrape("korb_lease_epoch"), 1);
  EXPECT_EQ(a.Scrape("korb_lease_takeovers_total"), 0) << "the first grant replaced nobody";
  EXPECT_EQ(a.Scrape("korb_lease_renew_failures_total"), 0);
  EXPECT_EQ(b.Scrape("korb_leader"), 0);
  EXPECT_EQ(b.Scrape("korb_lease_enabled"), 1);
  EXPECT_EQ(b.Scrape("korb_lease_epoch"), 0);
  const HttpReply active = HttpGet(a.port, "/healthz");
  EXPECT_EQ(active.status, 200);
  EXPECT_EQ(active.body, "ok\nrole: active\n");
  const HttpReply standby = HttpGet(b.port, "/healthz");
  EXPECT_EQ(standby.status, 200) << standby.body;
  EXPECT_EQ(standby.body, "ok\nrole: standby\n");

  // A lock on the lease row for longer than a renewal period plus the
  // renewal's lock wait: at least one renewal fails, a later one gets
  // through well before the holder's own deadline.
  Exec("begin; select epoch from korb_scheduler_lease where name = 'scheduler' for update; "
       "do sleep(3.2); rollback");
  EXPECT_GE(a.Scrape("korb_lease_renew_failures_total"), 1) << a.Log();
  EXPECT_EQ(a.Scrape("korb_leader"), 1) << a.Log();
  EXPECT_EQ(b.Scrape("korb_lease_renew_failures_total"), 0)
      << "a standby's failed requests are not renewals";
  EXPECT_EQ(Scalar("select epoch from korb_scheduler_lease"), "1");

  // The end signal: a releases after its teardown, b takes over.
  a.process->Send(1);
  ASSERT_TRUE(a.process->WaitExit(30s)) << a.Log();
  ASSERT_TRUE(b.WaitForLog(kLoopRunning)) << b.Log();
  EXPECT_EQ(b.Scrape("korb_leader"), 1);
  EXPECT_EQ(b.Scrape("korb_lease_epoch"), 2);
  EXPECT_EQ(b.Scrape("korb_lease_takeovers_total"), 1);
  EXPECT_EQ(HttpGet(b.port, "/healthz").body, "ok\nrole: active\n");
  b.process->Send(1);
  EXPECT_TRUE(b.process->WaitExit(30s)) << b.Log();
}

// Another host holds the lease for an hour: the instance stands by, and is
// unhealthy while its requests get no answer.
TEST_F(LeaseMetricsTest, AStandbyThatCannotReachTheDatabaseIsUnhealthy) {
  Exec("replace into korb_scheduler_lease (name, holder, epoch, granted_at, renewed_at, "
       "expires_at) values ('scheduler', 'elsewhere:/lock', 7, utc_timestamp(6), "
       "utc_timestamp(6), utc_timestamp(6) + interval 1 hour)");
  Instance a = Start("a");
  ASSERT_TRUE(a.WaitForLog(kStandingBy)) << a.Log();
  EXPECT_EQ(HttpGet(a.port, "/healthz").body, "ok\nrole: standby\n");

  korbtest::MariaDbServer::Instance().Stop();
  HttpReply down;
  const bool unhealthy = korbtest::WaitFor(
      [&] { return (down = HttpGet(a.port, "/healthz")).status == 503; }, kWaitTimeout);
  korbtest::MariaDbServer::Instance().Start();
  ASSERT_TRUE(unhealthy) << down.status << " " << down.body << a.Log();
  EXPECT_EQ(down.body,
            "main database unreachable: this standby's last request for the scheduler lease "
            "got no answer\nrole: standby\n");
  EXPECT_TRUE(korbtest::WaitFor([&] { return HttpGet(a.port, "/healthz").status == 200; },
                                kWaitTimeout))
      << a.Log();
  EXPECT_EQ(a.Scrape("korb_leader"), 0);
  a.process->Send(1);
  EXPECT_TRUE(a.process->WaitExit(30s)) << a.Log();
}

TEST_F(LeaseMetricsTest, WithTheLeaseOffTheOnlyInstanceIsSingle) {
  const int port = FreeTcpPort();
  AddOptions("orb", Format("korb-metrics-port=%d\n", port));
  korbtest::DaemonProcess daemon;
  ASSERT_TRUE(korbtest::WaitForLog(kLoopRunning, kStartTimeout)) << korbtest::DaemonLog();
  const std::string exposition = HttpGet(port, "/metrics").body;
  EXPECT_EQ(SeriesValue(exposition, "korb_leader"), 0);
  EXPECT_EQ(SeriesValue(exposition, "korb_lease_enabled"), 0);
  EXPECT_EQ(SeriesValue(exposition, "korb_lease_epoch"), 0);
  EXPECT_EQ(HttpGet(port, "/healthz").body, "ok\nrole: single\n");
}

}  // namespace
}  // namespace metricstest
