// Patch deploy posting of one schedule through Submitpatchdeployjobs.
#include "PatchBuildingFixture.h"
#include "PatchPosting.h"

namespace patchtest {
namespace {

class DeployPostingTest : public PatchBuildingTest {
 protected:
  // The call of a first pass (operation 1) of schedule 1 with time "0".
  static std::string Call(int system, int redo, int profile) {
    return Format("Submitpatchdeployjobs(1, 10025, %d, %d, 1, 1, 0, 1, 0, %d, "
                  "5000)", system, redo, profile);
  }
  void DeploySystems(const std::string& systems) {
    AddProfiledSchedule(1, 89, 901, "20");
    SetProfileValue(20, 60, systems);
  }
};

TEST_F(DeployPostingTest, OnlyDataCollectionTypeOneWithRedo) {
  AddSystem(5, 1);
  AddSystem(6, 1);
  AddSystem(7, 4);
  DeploySystems("5,6,7");
  AddJob(40, 1, 5, kDeploy, -3);
  PostDeployJob(1, "0", 1, 5000, db());
  EXPECT_EQ(ProcedureCalls("Submitpatchdeployjobs"),
            (Systems{Call(5, 40, 901), Call(6, 0, 901)}));
  EXPECT_EQ(Scalar("select Status from jobdetails where JobID = 40"), "-1");
  EXPECT_TRUE(Logged("TRACE", "PostDeployJob Exit"));
}

TEST_F(DeployPostingTest, MissingDeployProfileFallsBackToProfileZero) {
  AddSystem(5);
  AddSchedule(1);
  PostDeployJob(1, "0", 1, 5000, db());
  EXPECT_TRUE(Logged("ERROR", "Failed to get Inclusion List"));
  EXPECT_TRUE(ProcedureCalls("Submitpatchdeployjobs").empty());

  SetProfileValue(0, 69, "20");
  SetProfileValue(20, 60, "5");
  PostDeployJob(1, "0", 1, 5000, db());
  EXPECT_EQ(ProcedureCalls("Submitpatchdeployjobs"), Systems{Call(5, 0, 0)});
}

TEST_F(DeployPostingTest, ExclusionOnlyProfileAndEmptyProfile) {
  AddSystem(1);
  AddSystem(2);
  AddSystem(3, 4);
  AddSystem(4, 1, "corp", "10.0.0.4");
  AddProfiledSchedule(1, 89, 901, "");
  SetProfileValue(901, 70, "24");
  Exec("insert into ipbreakdownlist (ProfileID, IPAddress) values "
       "(24, '10.0.0.4')");
  PostDeployJob(1, "0", 1, 5000, db());
  EXPECT_EQ(ProcedureCalls("Submitpatchdeployjobs"),
            (Systems{Call(1, 0, 901), Call(2, 0, 901)}));

  AddProfiledSchedule(2, 89, 902, "25");
  PostDeployJob(2, "0", 1, 5000, db());
  EXPECT_TRUE(Logged("INFO", "No systemid to process the patch deployjob"));
  EXPECT_EQ(ProcedureCalls("Submitpatchdeployjobs").size(), 2u);
}

TEST_F(DeployPostingTest, TwentyTwoTargetsSignalTheJobHandlerTwice) {
  korbtest::UdpListener listener;
  PointJobHandlerAt(listener);
  std::string systems = "1";
  AddSystem(1);
  for (int system = 2; system <= 22; ++system) {
    AddSystem(system);
    systems += "," + std::to_string(system);
  }
  DeploySystems(systems);
  PostDeployJob(1, "0", 1, 5000, db());
  EXPECT_EQ(ProcedureCalls("Submitpatchdeployjobs").size(), 22u);
  EXPECT_EQ(SignalsReceived(listener, 2), 2u);
}

}  // namespace
}  // namespace patchtest
