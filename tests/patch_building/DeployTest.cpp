// Deploy jobs: submission through Submitpatchdeployjobs with the job
// handler signal on every eleventh call, and the posting of a schedule.
#include <chrono>
#include <thread>

#include "JobRecords.h"
#include "PatchBuildingFixture.h"
#include "PatchPosting.h"

namespace patchtest {
namespace {

using std::chrono::milliseconds;

class DeployTest : public PatchBuildingTest {
 protected:
  void Submit(int times) {
    for (int i = 0; i < times; ++i) InsertDeployJob(kDeploy, 5, 0, 3, 9, "0", 1, 0, 12, 5000, db());
  }
  // The call for a pass of a schedule with time "0".
  static std::string Call(int system, int redo, int profile, int schedule = 1, int operation = 1) {
    return Format("Submitpatchdeployjobs(1, 10025, %d, %d, %d, %d, 0, 1, 0, %d, 5000)", system,
                  redo, schedule, operation, profile);
  }
};

TEST_F(DeployTest, JobHandlerSignalledOnEveryEleventhCallOnly) {
  korbtest::UdpListener listener;
  PointJobHandlerAt(listener);
  // The task comes from the schedule's detail row, and a quoted text longer
  // than a 255-character call arrives whole.
  Exec("insert into jobsmasterdetail (SchedularID, SystemID, JobTypeID, TaskID) values "
       "(3, 6, 10025, 4)");
  const std::string longText = "O'Neil's " + std::string(240, 'x');
  InsertDeployJob(kDeploy, 6, 40, 3, 9, longText, 0, 77, 12, 5000, db());
  EXPECT_EQ(ProcedureCalls("Submitpatchdeployjobs"),
            Systems{"Submitpatchdeployjobs(1, 10025, 6, 40, 3, 9, " + longText +
                    ", 0, 4, 12, 5000)"});
  for (int round = 0; round < 2; ++round) {
    Submit(round == 0 ? 9 : 10);
    EXPECT_TRUE(listener.Drain(milliseconds(50)).empty());
    Submit(1);
    Systems fields;
    ASSERT_TRUE(listener.Receive(&fields, milliseconds(2000)));
    EXPECT_EQ(fields[0], "16");
  }

  // 220 submissions from two threads hold exactly 20 elevenths.
  std::thread other([this] { Submit(110); });
  Submit(110);
  other.join();
  EXPECT_EQ(SignalsReceived(listener, 20), 20u);
  EXPECT_EQ(g_nDeployJobCounter.load(), 0);
  EXPECT_EQ(ProcedureCalls("Submitpatchdeployjobs").size(), 242u);

  // No signal possible (not the master install, or no job handler row):
  // the counter starts over all the same.
  OpenDatabase({.install_type = 2});
  Submit(11);
  EXPECT_TRUE(listener.Drain(milliseconds(50)).empty());
  EXPECT_EQ(g_nDeployJobCounter.load(), 0);
  Exec("delete from jobhandlermaster");
  OpenDatabase();
  Submit(11);
  EXPECT_EQ(g_nDeployJobCounter.load(), 0);
}

TEST_F(DeployTest, PostingTakesDataCollectionTypeOneOnlyAndRedoesInterruptedJobs) {
  korbtest::UdpListener listener;
  PointJobHandlerAt(listener);
  std::string systems = "23";
  AddSystem(23, 4);
  for (int system = 1; system <= 22; ++system) {
    AddSystem(system);
    systems += "," + std::to_string(system);
  }
  AddProfiledSchedule(1, 89, 901, "20");
  SetProfileValue(20, 60, systems);
  AddJob(40, 1, 5, kDeploy, -3);
  PostDeployJob(1, "0", 1, 5000, db());
  const Systems calls = ProcedureCalls("Submitpatchdeployjobs");
  ASSERT_EQ(calls.size(), 22u);
  EXPECT_EQ(calls[0], Call(1, 0, 901));
  EXPECT_EQ(calls[4], Call(5, 40, 901));
  EXPECT_EQ(Scalar("select Status from jobdetails where JobID = 40"), "-1");
  EXPECT_EQ(SignalsReceived(listener, 2), 2u);
}

TEST_F(DeployTest, PostingWithProfileZeroExclusionOnlyAndEmptyProfiles) {
  AddSystem(1);
  AddSystem(2);
  AddSystem(3, 4);
  AddSystem(4, 1, "corp", "10.0.0.4");
  // Schedule 1 has no deploy profile: nothing until profile 0 has systems.
  AddSchedule(1);
  PostDeployJob(1, "0", 1, 5000, db());
  EXPECT_TRUE(ProcedureCalls("Submitpatchdeployjobs").empty());
  SetProfileValue(0, 69, "20");
  SetProfileValue(20, 60, "4");
  PostDeployJob(1, "0", 1, 5000, db());
  EXPECT_EQ(ProcedureCalls("Submitpatchdeployjobs"), Systems{Call(4, 0, 0)});

  // Profile 901 only excludes system 4's address; profile 902 holds nothing.
  AddProfiledSchedule(2, 89, 901, "");
  SetProfileValue(901, 70, "24");
  Exec("insert into ipbreakdownlist (ProfileID, IPAddress) values (24, '10.0.0.4')");
  AddProfiledSchedule(3, 89, 902, "25");
  Exec("delete from procedurecalllog");
  PostDeployJob(2, "0", 1, 5000, db());
  PostDeployJob(3, "0", 1, 5000, db());
  EXPECT_EQ(ProcedureCalls("Submitpatchdeployjobs"),
            (Systems{Call(1, 0, 901, 2, 2), Call(2, 0, 901, 2, 2)}));
}

}  // namespace
}  // namespace patchtest
