// Orderly ends that arrive in the middle of a large deploy posting: the
// posting is completed before the teardown, the end is recorded, and the
// next start leaves the waiting deploy jobs alone. A grace period too
// short for the posting ends the process anyway, without the record, and
// the next start runs restart recovery. A job submission under way is
// followed by its distribution before the end.
#include <signal.h>

#include <functional>
#include <map>
#include <memory>

#include "PostingEndTest.h"

namespace spinetest {
namespace {

using korbtest::CountInLog;
using korbtest::DaemonLog;
using korbtest::DaemonOptions;
using korbtest::DaemonProcess;
using korbtest::WaitForLog;

constexpr int kLargePosting = 5000;
constexpr int kSmallerPosting = 1000;
constexpr char kStopAsked[] = "Asking the worker threads to stop";
constexpr char kStillBusy[] = "Worker thread still busy at the end of the grace period";
constexpr char kRecoverySkipped[] = "restart recovery is not needed";
constexpr char kRecoveryRuns[] = "running restart recovery";

class OrderlyEndTest : public PostingEndTest {
 protected:
  // Starts the daemon, holds its deploy posting after the first targets,
  // ends it with `end` while it is held, lets the posting go on and
  // expects it completed before the end.
  void EndDuringPosting(int targets, const DaemonOptions& options,
                        const std::function<void(DaemonProcess&)>& end, const char* end_line) {
    std::filesystem::remove(korbtest::DaemonLogPath());
    Exec(Format("delete from jobdetails; delete from inventorymaster where SystemID > %d;"
                "update jobsmaster set LastSubmittedTime = '0000-00-00 00:00:00'", targets));
    DaemonProcess daemon(options);
    ASSERT_TRUE(WaitForJobs(kDeploySchedule, 100)) << DaemonLog();
    HoldDeployLock();
    const long held_at = Jobs(kDeploySchedule);
    end(daemon);
    ASSERT_TRUE(WaitForLog(end_line, kEndTimeout)) << DaemonLog();
    ASSERT_TRUE(WaitForLog(kStopAsked, kEndTimeout)) << DaemonLog();
    EXPECT_LT(held_at, targets);
    ReleaseDeployLock();

    // The rest of the posting takes its time in the sanitizer builds.
    ASSERT_TRUE(korbtest::WaitFor([&] { return Submitted(kDeploySchedule); },
                                  std::chrono::minutes(5)))
        << Jobs(kDeploySchedule) << " of " << targets << " posted";
    EXPECT_EQ(ExitCodeOf(daemon), 0);
    EXPECT_EQ(CountInLog(kUnloaded), 1);
    EXPECT_EQ(CountInLog(kStillBusy), 0);
    EXPECT_EQ(Jobs(kDeploySchedule, "Status = 0"), targets);
    EXPECT_EQ(Count(Format("select count(distinct SystemID) from jobdetails where SchedularID = %d",
                           kDeploySchedule)),
              targets);
  }
};

TEST_F(OrderlyEndTest, EndSignalTermAndDailyRestartWaitForTheDeployPosting) {
  AddSystems(kLargePosting);
  AddDeploySchedule();
  // Long enough for the held posting at any time scale used here.
  AddOptions("orb", "korb-grace-period=600000\n");

  EndDuringPosting(kLargePosting, {}, [](DaemonProcess& d) { d.Send(1); },
                   "NETWORK SIGNAL RECEIVED. Type 1");
  EXPECT_TRUE(HasCleanEndRecord());

  // The next start finds the record: the waiting deploy jobs stay.
  {
    std::filesystem::remove(korbtest::DaemonLogPath());
    DaemonProcess daemon;
    ExpectRunning(daemon);
    EXPECT_EQ(CountInLog(kRecoverySkipped), 1);
    EXPECT_FALSE(HasCleanEndRecord());
    EXPECT_EQ(Jobs(kDeploySchedule, "Status = 0"), kLargePosting);
    daemon.SendSignal(SIGTERM);
    EXPECT_EQ(ExitCodeOf(daemon), 0);
    EXPECT_TRUE(HasCleanEndRecord());
  }

  // The other two ends with a smaller posting: the sanitizer builds are slow.
  EndDuringPosting(kSmallerPosting, {}, [](DaemonProcess& d) { d.SendSignal(SIGTERM); },
                   "Termination signal 15");
  EXPECT_TRUE(HasCleanEndRecord());

  // The daily restart falls due 8.64 s after the start at this scale;
  // install type 3 keeps the frequent distribution events off meanwhile.
  korbtest::Identity identity;
  identity.install_type = 3;
  SetMainIdentity(identity);
  AddOptions("orb", "korb-grace-period=600000\n");
  DaemonOptions daily;
  daily.time_scale = 10000;
  EndDuringPosting(kSmallerPosting, daily, [](DaemonProcess&) {},
                   "Process is exiting for Internal Restart");
  EXPECT_TRUE(HasCleanEndRecord());
}

TEST_F(OrderlyEndTest, GracePeriodTooShortEndsUncleanAndTheNextStartRecovers) {
  AddSystems(300);
  AddDeploySchedule();
  AddOptions("orb", "korb-grace-period=1\n");

  DaemonProcess daemon;
  ASSERT_TRUE(WaitForJobs(kDeploySchedule, 20)) << DaemonLog();
  HoldDeployLock();
  daemon.Send(1);
  ASSERT_TRUE(WaitForLog(kStillBusy, kEndTimeout)) << DaemonLog();
  EXPECT_EQ(ExitCodeOf(daemon), 0);
  ReleaseDeployLock();
  WaitForOrphanedStatements();
  EXPECT_EQ(CountInLog(kUnloaded), 1);
  EXPECT_FALSE(HasCleanEndRecord());
  const long posted = Jobs(kDeploySchedule, "Status = 0");
  EXPECT_LT(posted, 300);

  // No record: recovery fails the open deploy jobs, and the schedule, never
  // marked submitted, is posted again in full.
  std::filesystem::remove(korbtest::DaemonLogPath());
  DaemonProcess next;
  ExpectRunning(next);
  EXPECT_EQ(CountInLog(kRecoveryRuns), 1);
  ASSERT_TRUE(korbtest::WaitFor([&] { return Jobs(kDeploySchedule, "Status = 0") == 300; },
                                kStartTimeout));
  EXPECT_EQ(Jobs(kDeploySchedule, "Status = -1 and StatusDescription = "
                                  "'Job Failed as KovaOrb Restarted'"),
            posted);
  EXPECT_EQ(SystemsWithTwoOpenJobs(kDeploySchedule), 0);
}

// The automation thread's submission is slowed to a few seconds; the end
// signal arrives while it runs. The end waits for it and for the
// distribution that follows, and no submission starts after the stop.
TEST_F(OrderlyEndTest, AJobSubmissionUnderWayGetsItsDistributionBeforeTheEnd) {
  const std::string original = Query("show create procedure submitschedulejobs")[0][2];
  const std::unique_ptr<void, std::function<void(void*)>> restore(this, [this, original](void*) {
    Exec("drop procedure submitschedulejobs");
    Exec(original);
  });
  Exec("drop procedure submitschedulejobs");
  Exec("create procedure submitschedulejobs() modifies sql data begin "
       "insert into procedurecalllog (ProcName, Args, CalledAt) "
       "values ('submitschedulejobs', '', now(3)); "
       "do sleep(3); call AssignWaitingJobsToProbes(0); end");
  AddOptions("orb", "korb-grace-period=600000\n");

  DaemonProcess daemon;
  ASSERT_TRUE(korbtest::WaitFor(
      [&] {
        return Count("select count(*) from information_schema.processlist "
                     "where db = 'orb' and state = 'User sleep'") > 0;
      },
      kStartTimeout))
      << DaemonLog();
  daemon.Send(1);
  EXPECT_EQ(ExitCodeOf(daemon), 0);
  EXPECT_EQ(CountInLog(kStillBusy), 0);
  EXPECT_EQ(CountInLog("still under way at the end"), 0);
  EXPECT_TRUE(HasCleanEndRecord());

  std::map<std::string, int> calls;
  for (const std::string& call : ProcedureCalls()) ++calls[call];
  EXPECT_EQ(calls["submitschedulejobs()"], 1);
  // The main loop's deploy retries hand out jobs the same way.
  EXPECT_EQ(calls["Load_Distribution(3, 60)"], 1 + calls["Postpatchdeploy()"]) << DaemonLog();
}

}  // namespace
}  // namespace spinetest
