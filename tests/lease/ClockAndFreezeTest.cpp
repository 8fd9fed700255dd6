// What must change nothing for two instances against one database while
// the active posts: a step of a host's wall clock by an hour (forward on
// the active, then back on it and forward on the standby), and a freeze
// of the active (SIGSTOP) shorter than its safety margin. After each: no
// takeover, no lost-lease line, the active still holds epoch 1, its
// posting goes on to its last target, and no target holds two open jobs
// of the schedule.
//
// The wall clock of one scheduler process is stepped with libfaketime
// (Debian's faketime package) preloaded into it: FAKETIME_TIMESTAMP_FILE
// read again on every call (FAKETIME_NO_CACHE) holds the offset, and
// FAKETIME_DONT_FAKE_MONOTONIC leaves the monotonic clock alone, as a
// real step of the wall clock does. The database server's clock is not
// touched. The clock test is skipped where the library cannot be preloaded
// (a sanitizer build, whose runtime must come first) or is missing.
#include <glob.h>
#include <signal.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "DaemonProcess.h"
#include "SchedulerInstance.h"
#include "TestDatabase.h"
#include "utilLib.h"

namespace {

using namespace std::chrono_literals;
using korbtest::ChildProcess;
using korbtest::DaemonOptions;
using korbtest::DaemonProcess;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitizerBuild = true;
#else
constexpr bool kSanitizerBuild = false;
#endif

constexpr int kLeaseSeconds = 3;
constexpr int kTargets = 2000;
constexpr int kSchedule = 8;
constexpr auto kStartTimeout = 60s;
constexpr const char* kHolds = "now holds the scheduler lease";
constexpr const char* kStandingBy = "Standing by: the scheduler lease is held by";
constexpr const char* kLoopRunning = "PostAutomationScheduleJobs:: -- Started --";
constexpr const char* kLost = "lost the scheduler lease";


// libfaketime's thread-safe library, "" when it is not installed.
std::string FaketimeLibrary() {
  glob_t found{};
  std::string path;
  if (glob("/usr/lib/*/faketime/libfaketimeMT.so.1", 0, nullptr, &found) == 0 &&
      found.gl_pathc > 0)
    path = found.gl_pathv[0];
  globfree(&found);
  return path;
}

// The preload's environment for a process whose offset is in file.
korbtest::EnvChanges FaketimeEnv(const std::string& library, const std::string& file) {
  return {{"LD_PRELOAD", library},
          {"FAKETIME", std::nullopt},  // it would take priority over the file
          {"FAKETIME_TIMESTAMP_FILE", file},
          {"FAKETIME_NO_CACHE", "1"},
          {"FAKETIME_DONT_FAKE_MONOTONIC", "1"}};
}

// Seconds between the wall clock of a process preloaded with an offset of
// an hour and the test's own; a number far from 3600 means the preload
// does not work here.
long PreloadedOffset(const std::string& library, const std::string& dir) {
  const std::string file = dir + "/probe.faketime";
  std::ofstream(file) << "+3600\n";
  ChildProcess date({"/bin/date", "+%s"}, FaketimeEnv(library, file));
  int code = -1;
  if (!date.WaitExit(10000ms, &code) || code != 0) return 0;
  return std::atol(date.Stdout().c_str()) - static_cast<long>(std::time(nullptr));
}

struct Instance : korbtest::SchedulerInstance {
  std::string clock_file;  // its wall clock's offset, "" without faketime

  void StepClock(const std::string& offset) const {
    std::ofstream(clock_file + ".new") << offset << "\n";
    std::rename((clock_file + ".new").c_str(), clock_file.c_str());
  }
  // Seconds the time stamp of its last log line lies ahead of the test's
  // clock.
  long LogAhead() const {
    const std::string log = Log();
    const size_t start = log.rfind("\n20", log.size() > 1 ? log.size() - 2 : 0);
    if (start == std::string::npos) return 0;
    std::tm local{};
    if (strptime(log.c_str() + start + 1, "%Y-%m-%d %H:%M:%S", &local) == nullptr) return 0;
    local.tm_isdst = -1;
    return static_cast<long>(std::mktime(&local)) - static_cast<long>(std::time(nullptr));
  }
};

class ClockAndFreezeTest : public korbtest::DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    AddOptions("orb", Format("korb-lease-duration=%d\nkorb-metrics-port=0\n", kLeaseSeconds));
    Exec("insert into jobhandlermaster (HostName, PortNumber) values ('127.0.0.1', 7301)");
    Exec("insert into configsettings (SettingKey, SettingValue) values "
         "('PATCH_SCAN_STATUS', '1'), ('LOG_LEVEL', '3')");
    // One scan schedule, due now, over kTargets systems.
    Exec(Format("insert into inventorymaster (SystemID, domainname) select seq, 'big.example' "
                "from seq_1_to_%d", kTargets));
    Exec("insert into orbprofilevalues (ProfileID, ColumnID, ProfileValues) values "
         "(20, 69, '21'), (21, 58, 'big.example')");
    AddSchedule(kSchedule);
  }

  Instance Start(const std::string& name, const std::string& faketime) {
    Instance instance;
    DaemonOptions options;
    options.time_scale = 100;
    if (!faketime.empty()) {
      // The clock file lies beside the instance's folder, made before it.
      instance.clock_file = InstallDir() + "/" + name + ".faketime";
      instance.StepClock("+0");
      options.env = FaketimeEnv(faketime, instance.clock_file);
    }
    korbtest::StartSchedulerInstance(instance, InstallDir(), name, options);
    return instance;
  }

  // a active, then b standing by, a's posting under way.
  void StartBoth(Instance& a, Instance& b, const std::string& faketime) {
    a = Start("a", faketime);
    ASSERT_TRUE(a.WaitForLog(kLoopRunning, kStartTimeout)) << a.Log();
    b = Start("b", faketime);
    ASSERT_TRUE(b.WaitForLog(kStandingBy, kStartTimeout)) << b.Log();
    ASSERT_TRUE(korbtest::WaitFor([&] { return Jobs() > 0; }, 90s)) << a.Log();
  }

  long Jobs() { return Count("select count(*) from jobdetails"); }

  // Nothing happened to the lease, and the posting is whole and single.
  void ExpectNothingChanged(const Instance& a, const Instance& b) {
    EXPECT_FALSE(a.LogHas(kLost)) << a.Log();
    EXPECT_FALSE(b.LogHas(kHolds)) << b.Log();
    EXPECT_FALSE(a.process->Exited()) << a.Log();
    EXPECT_EQ(Scalar("select epoch from korb_scheduler_lease"), "1");
    EXPECT_EQ(Scalar("select holder like '%/a/lock/%' from korb_scheduler_lease"), "1");
    EXPECT_EQ(Count("select count(*) from (select SystemID from jobdetails where Status = 0 "
                    "group by SystemID, SchedularID, JobTypeID having count(*) > 1) doubled"),
              0);
  }

  long Jobs(int schedule) {
    return Count(Format("select count(*) from jobdetails where SchedularID = %d", schedule));
  }

  // Every target of the schedule got its job, and one only.
  void ExpectPostingComplete(int schedule) {
    EXPECT_TRUE(korbtest::WaitFor([&] { return Jobs(schedule) >= kTargets; }, 120s))
        << Jobs(schedule);
    EXPECT_EQ(Count(Format("select count(distinct SystemID) from jobdetails where "
                           "SchedularID = %d", schedule)),
              kTargets);
    EXPECT_EQ(Jobs(schedule), kTargets) << "a target got a second job";
  }

  // A second schedule over the same targets, due now.
  void AddSchedule(int schedule) {
    Exec(Format("insert into jobsmaster (SchedularID, SiteID, JobScheduledType, ScheduledTime, "
                "LastSubmittedTime, JobPriority) values (%d, 1, 0, now() - interval 1 minute, "
                "'0000-00-00 00:00:00', 50)",
                schedule));
    Exec(Format("insert into jobsmasterdetail (SchedularID, SystemID, JobTypeID, TaskID) "
                "select %d, seq, 10027, seq from seq_1_to_%d",
                schedule, kTargets));
  }

  static void EndInOrder(Instance& instance) {
    instance.process->Send(1);
    int code = -1;
    EXPECT_TRUE(instance.process->WaitExit(30s, &code)) << instance.Log();
    EXPECT_EQ(code, 0);
  }
};

TEST_F(ClockAndFreezeTest, AnHourStepOfAWallClockChangesNothing) {
  if (kSanitizerBuild)
    GTEST_SKIP() << "libfaketime cannot be preloaded into a sanitizer build (its runtime "
                    "must come first); the normal build runs this test";
  const std::string library = FaketimeLibrary();
  if (library.empty())
    GTEST_SKIP() << "libfaketime is not installed (Debian package faketime)";
  const long offset = PreloadedOffset(library, InstallDir());
  if (offset < 3500 || offset > 3700)
    GTEST_SKIP() << "libfaketime does not take effect here (a preloaded date was " << offset
                 << " s off instead of 3600)";

  Instance a, b;
  StartBoth(a, b, library);
  if (HasFatalFailure()) return;

  // The active's wall clock an hour ahead, in the middle of its posting.
  a.StepClock("+3600");
  std::this_thread::sleep_for(std::chrono::seconds(3 * kLeaseSeconds));
  const long ahead = a.LogAhead();
  EXPECT_GT(ahead, 3500) << "the step did not reach the scheduler: " << a.Log();
  EXPECT_LT(ahead, 3700);
  ExpectNothingChanged(a, b);

  // Back by an hour on the active, forward by an hour on the standby.
  a.StepClock("+0");
  b.StepClock("+3600");
  std::this_thread::sleep_for(std::chrono::seconds(3 * kLeaseSeconds));
  ExpectNothingChanged(a, b);
  EXPECT_FALSE(b.LogHas(kLoopRunning)) << b.Log();
  ExpectPostingComplete(kSchedule);
  ExpectNothingChanged(a, b);
  EndInOrder(a);
  ASSERT_TRUE(b.WaitForLog(kHolds, 10s)) << b.Log();
  EndInOrder(b);
}

TEST_F(ClockAndFreezeTest, AFreezeShorterThanTheMarginChangesNothing) {
  Instance a, b;
  StartBoth(a, b, "");
  if (HasFatalFailure()) return;

  // The margin is a third of the lease (1 s); a renewal may be due during
  // the freeze.
  const long before = Jobs();
  a.process->SendSignal(SIGSTOP);
  std::this_thread::sleep_for(400ms);
  a.process->SendSignal(SIGCONT);
  std::this_thread::sleep_for(std::chrono::seconds(2 * kLeaseSeconds));
  ExpectNothingChanged(a, b);
  if (before < kTargets) {
    EXPECT_GT(Jobs(), before) << "the posting did not go on";
  }
  ExpectPostingComplete(kSchedule);
  // And the active goes on with new work.
  AddSchedule(kSchedule + 1);
  ExpectPostingComplete(kSchedule + 1);
  ExpectNothingChanged(a, b);
  EndInOrder(a);
  EndInOrder(b);
}

}  // namespace
