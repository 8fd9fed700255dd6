// Patch deploy posting of one schedule through Submitpatchdeployjobs.
#include <chrono>

#include "PatchBuildingFixture.h"
#include "PatchPosting.h"

namespace patchtest {
namespace {

using std::chrono::milliseconds;

class DeployPostingTest : public PatchBuildingTest {
 protected:
  // The submitted calls' system and the values that depend on the pass:
  // "system, redo, profile".
  std::vector<std::string> Submitted() {
    std::vector<std::string> calls;
    for (const auto& row :
         Query("select Args from procedurecalllog where ProcName = "
               "'Submitpatchdeployjobs' order by CallID")) {
      // SiteID, JobTypeID, SystemID, RedoID, SchedularID, OperationId,
      // time, format, TaskID, ProfileID, Priority
      std::vector<std::string> args;
      size_t start = 0;
      for (size_t at; (at = row[0].find(", ", start)) != std::string::npos;
           start = at + 2)
        args.push_back(row[0].substr(start, at - start));
      args.push_back(row[0].substr(start));
      if (args.size() != 11) {
        ADD_FAILURE() << "unexpected arguments: " << row[0];
        continue;
      }
      calls.push_back(args[2] + ", " + args[3] + ", " + args[9]);
    }
    return calls;
  }
};

TEST_F(DeployPostingTest, OnlyDataCollectionTypeOneIsDeployed) {
  AddSystem(5, 1);
  AddSystem(7, 4);
  AddProfiledSchedule(1, 89, 901, "20");
  SetProfileValue(20, 60, "5,7");

  PostDeployJob(1, "2030-01-15 10:00:00", 1, 5000, db());
  EXPECT_EQ(Submitted(), std::vector<std::string>{"5, 0, 901"});
  EXPECT_EQ(ProcedureCalls("Submitpatchdeployjobs"),
            std::vector<std::string>{
                "Submitpatchdeployjobs(1, 10025, 5, 0, 1, 1, 2030-01-15 "
                "10:00:00, 1, 0, 901, 5000)"});
  EXPECT_TRUE(Logged("TRACE", "PostDeployJob Exit"));
}

TEST_F(DeployPostingTest, MissingDeployProfileFallsBackToProfileZero) {
  AddSystem(5);
  AddSchedule(1);
  PostDeployJob(1, "0", 1, 5000, db());
  EXPECT_TRUE(Logged("ERROR", "Failed to get Inclusion List"));
  EXPECT_TRUE(Submitted().empty());

  SetProfileValue(0, 69, "20");
  SetProfileValue(20, 60, "5");
  PostDeployJob(1, "0", 1, 5000, db());
  EXPECT_EQ(Submitted(), std::vector<std::string>{"5, 0, 0"});
}

TEST_F(DeployPostingTest, InterruptedDeployJobIsFailedAndRedone) {
  AddSystem(5);
  AddProfiledSchedule(1, 89, 901, "20");
  SetProfileValue(20, 60, "5");
  AddJob(40, 1, 5, kDeploy, -3);

  PostDeployJob(1, "0", 1, 5000, db());
  EXPECT_EQ(Scalar("select Status from jobdetails where JobID = 40"), "-1");
  EXPECT_EQ(Submitted(), std::vector<std::string>{"5, 40, 901"});
}

TEST_F(DeployPostingTest, ExclusionOnlyProfileAndEmptyProfile) {
  AddSystem(1);
  AddSystem(2);
  AddSystem(3, 4);
  AddSystem(4, 1, "corp", "10.0.0.4");
  AddProfiledSchedule(1, 89, 901, "");
  SetProfileValue(901, 70, "24");
  AddAddress(24, "10.0.0.4");

  PostDeployJob(1, "0", 1, 5000, db());
  EXPECT_EQ(Submitted(), (std::vector<std::string>{"1, 0, 901", "2, 0, 901"}));

  AddProfiledSchedule(2, 89, 902, "25");
  PostDeployJob(2, "0", 1, 5000, db());
  EXPECT_TRUE(Logged("INFO", "No systemid to process the patch deployjob"));
  EXPECT_EQ(Submitted().size(), 2u);
}

TEST_F(DeployPostingTest, TwentyTwoTargetsSignalTheJobHandlerTwice) {
  korbtest::UdpListener listener;
  Exec(Format("insert into jobhandlermaster (HostName, PortNumber) values "
              "('127.0.0.1', %d)",
              listener.Port()));
  std::string systems;
  for (int system = 1; system <= 22; ++system) {
    AddSystem(system);
    systems += (systems.empty() ? "" : ",") + std::to_string(system);
  }
  AddProfiledSchedule(1, 89, 901, "20");
  SetProfileValue(20, 60, systems);

  PostDeployJob(1, "0", 1, 5000, db());
  EXPECT_EQ(Submitted().size(), 22u);
  std::vector<std::vector<std::string>> signals;
  korbtest::WaitFor(
      [&] {
        for (auto& s : listener.Drain(milliseconds(0))) signals.push_back(s);
        return signals.size() >= 2;
      },
      milliseconds(5000));
  for (auto& s : listener.Drain(milliseconds(100))) signals.push_back(s);
  ASSERT_EQ(signals.size(), 2u);
  EXPECT_EQ(signals[0][0], "16");
  EXPECT_EQ(signals[1][0], "16");
}

}  // namespace
}  // namespace patchtest
