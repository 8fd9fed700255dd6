// Fixture for the tests that end or kill the scheduler while a patch
// posting is under way: a deploy profile that selects every system of one
// domain, on-demand schedules that the daemon posts at once after its
// start, and a session of the test's own that can hold the lock every
// deploy submission takes, so a posting can be held at a known point.
#pragma once

#include <filesystem>
#include <memory>

#include "SpineTest.h"

namespace spinetest {

constexpr int kDeploySchedule = 7;
constexpr int kScanSchedule = 8;

class PostingEndTest : public SpineTest {
 protected:
  void SetUp() override {
    SpineTest::SetUp();
    SetConfig("PATCH_SCAN_STATUS", "1");
    SetConfig("LOG_LEVEL", "3");
    // Profile 20 includes profile 21, which selects domain big.example.
    Exec("insert into orbprofilevalues (ProfileID, ColumnID, ProfileValues) values "
         "(20, 69, '21'), (21, 58, 'big.example')");
    lock_logger_ = std::make_unique<CLogger>();
    lock_logger_->InitKORBLog(InstallDir() + "/test-session/", "session.log", 500000, 2);
  }
  void TearDown() override {
    // The session's connection may outlive the object: leave nothing held
    // for the next test.
    if (lock_session_) {
      std::string released;
      lock_session_->getValueFromQuery("select release_all_locks() as outputvalue", released);
      lock_session_->executeSQL("unlock tables");
    }
    lock_session_.reset();
    lock_logger_.reset();
    SpineTest::TearDown();
  }

  void AddSystems(int count) {
    Exec(Format("insert into inventorymaster (SystemID, domainname) "
                "select seq, 'big.example' from seq_1_to_%d", count));
  }
  // An on-demand deploy schedule whose targets come from profile 20.
  void AddDeploySchedule() {
    AddOnDemandSchedule(kDeploySchedule, 10025);
    Exec(Format("insert into jobsmasterlookup (SchedularID, JobParamID, JobParamValue) values "
                "(%d, 89, '20')", kDeploySchedule));
  }
  // An on-demand scan schedule of its listed systems 1..count (no
  // parameter at all, so its jobs have no TPPM marker).
  void AddListedScanSchedule(int count) {
    AddOnDemandSchedule(kScanSchedule, 10027);
    Exec(Format("insert into jobsmasterdetail (SchedularID, SystemID, JobTypeID, TaskID) "
                "select %d, seq, 10027, seq from seq_1_to_%d", kScanSchedule, count));
  }

  long Jobs(int schedule, const std::string& where = "1") {
    return Count(Format("select count(*) from jobdetails where SchedularID = %d and %s",
                        schedule, where.c_str()));
  }
  // Systems that hold more than one open job of the schedule.
  long SystemsWithTwoOpenJobs(int schedule) {
    return Count(Format("select count(*) from (select SystemID from jobdetails where "
                        "SchedularID = %d and Status = 0 group by SystemID, JobTypeID "
                        "having count(*) > 1) d", schedule));
  }
  bool Submitted(int schedule) {
    return Count(Format("select count(*) from jobsmaster where SchedularID = %d and "
                        "LastSubmittedTime <> '0000-00-00 00:00:00'", schedule)) == 1;
  }
  bool WaitForJobs(int schedule, long at_least) {
    return korbtest::WaitFor([&] { return Jobs(schedule) >= at_least; }, kStartTimeout);
  }

  // Holds the deploy submission lock in a session of the test's own (the
  // procedure waits for it up to 30 s); the daemon's posting blocks at its
  // next target until ReleaseDeployLock.
  void HoldDeployLock() {
    std::string got;
    Session().getValueFromQuery("select get_lock('orb.deploy-submission', 60) as outputvalue",
                                got);
    ASSERT_EQ(got, "1");
  }
  void ReleaseDeployLock() {
    std::string released;
    Session().getValueFromQuery("select release_lock('orb.deploy-submission') as outputvalue",
                                released);
    EXPECT_EQ(released, "1");
  }
  // A statement that a daemon left waiting on a held lock still runs on
  // the server once the lock is released, although its client is gone;
  // counts taken after a daemon ended must wait for such statements.
  void WaitForOrphanedStatements() {
    EXPECT_TRUE(korbtest::WaitFor(
        [&] {
          return Count("select count(*) from information_schema.processlist "
                       "where command = 'Query' and id <> connection_id()") == 0;
        },
        kEndTimeout));
  }
  // Blocks every posting at its next target's task look-up.
  void HoldTaskLookups() { ASSERT_GE(Session().executeSQL("lock tables jobsmasterdetail write"), 0); }
  void ReleaseTaskLookups() { EXPECT_GE(Session().executeSQL("unlock tables"), 0); }

  std::string CleanEndRecord() const {
    return InstallDir() + "/ConsoleManagement/state/KORB_ProbeScheduler.clean-end";
  }
  bool HasCleanEndRecord() const { return std::filesystem::exists(CleanEndRecord()); }

 private:
  CDBI& Session() {
    if (!lock_session_) {
      lock_session_ = std::make_unique<CDBI>(lock_logger_.get(), "orb", "orb");
      EXPECT_TRUE(lock_session_->m_bReady);
    }
    return *lock_session_;
  }
  // Scans come first in the on-demand thread's pass, deploys after them.
  void AddOnDemandSchedule(int schedule, int jobType) {
    Exec(Format("insert into jobsmaster (SchedularID, SiteID, JobScheduledType, ScheduledTime, "
                "LastSubmittedTime, JobPriority) values (%d, 1, 0, now() - interval 1 minute, "
                "'0000-00-00 00:00:00', %d)", schedule, jobType == 10027 ? 50 : 100));
    if (jobType == 10025)
      Exec(Format("insert into jobsmasterdetail (SchedularID, SystemID, JobTypeID, TaskID) "
                  "values (%d, 0, 10025, 0)", schedule));
  }

  std::unique_ptr<CLogger> lock_logger_;
  std::unique_ptr<CDBI> lock_session_;
};

}  // namespace spinetest
