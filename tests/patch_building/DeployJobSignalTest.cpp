// Deploy job submission through Submitpatchdeployjobs and the job handler
// signal on every eleventh submission.
#include <chrono>
#include <thread>

#include "JobRecords.h"
#include "PatchBuildingFixture.h"

namespace patchtest {
namespace {

using std::chrono::milliseconds;

class DeployJobSignalTest : public PatchBuildingTest {
 protected:
  void Submit(int times) {
    for (int i = 0; i < times; ++i)
      InsertDeployJob(kDeploy, 5, 0, 3, 9, "0", 1, 0, 12, 5000, db());
  }
};

TEST_F(DeployJobSignalTest, ProcedureReceivesTheElevenValues) {
  OpenDatabase({.site_id = 3});
  Exec("insert into jobsmasterdetail (SchedularID, SystemID, JobTypeID, "
       "TaskID) values (3, 5, 10025, 4)");
  InsertDeployJob(kDeploy, 5, 40, 3, 9, "2030-01-15 10:00:00", 1, 77, 12,
                  5000, db());
  // A quoted text longer than a 255-character call arrives whole.
  const std::string longText = "O'Neil's " + std::string(240, 'x');
  InsertDeployJob(kDeploy, 6, 0, 3, 9, longText, 1, 0, 12, 5000, db());

  EXPECT_EQ(ProcedureCalls("Submitpatchdeployjobs"),
            (Systems{"Submitpatchdeployjobs(3, 10025, 5, 40, 3, 9, 2030-01-15 "
                     "10:00:00, 1, 4, 12, 5000)",
                     "Submitpatchdeployjobs(3, 10025, 6, 0, 3, 9, " +
                         longText + ", 1, 0, 12, 5000)"}));
}

TEST_F(DeployJobSignalTest, MasterSignalsJobHandlerOnEveryEleventhCall) {
  korbtest::UdpListener listener;
  PointJobHandlerAt(listener);
  for (int round = 0; round < 2; ++round) {
    Submit(10);
    EXPECT_TRUE(listener.Drain(milliseconds(50)).empty());
    Submit(1);
    Systems fields;
    ASSERT_TRUE(listener.Receive(&fields, milliseconds(2000)));
    EXPECT_EQ(fields[0], "16");
  }
  EXPECT_EQ(LogCount("INFO", "SH_PATCH_DOWNLOAD_SIGNAL Signal sent to "
                             "JobHandler!!!"), 2);
}

TEST_F(DeployJobSignalTest, NoSignalPossibleStillResetsTheCounter) {
  korbtest::UdpListener listener;
  PointJobHandlerAt(listener);
  OpenDatabase({.install_type = 2});
  Submit(11);
  EXPECT_TRUE(listener.Drain(milliseconds(50)).empty());
  EXPECT_EQ(LogCount("INFO", "InsertDeployJob: not a KORB_INSTALL_TYPE_MASTER "
                             "to send signal"), 1);
  EXPECT_EQ(g_nDeployJobCounter.load(), 0);

  Exec("delete from jobhandlermaster");
  OpenDatabase();
  Submit(11);
  EXPECT_EQ(LogCount("ERROR", "InsertDeployJob: Unable to retrieve Probe "
                              "Master Details"), 1);
  EXPECT_EQ(g_nDeployJobCounter.load(), 0);
}

TEST_F(DeployJobSignalTest, ConcurrentCallersSendOneSignalPerEleventh) {
  korbtest::UdpListener listener;
  PointJobHandlerAt(listener);
  std::thread other([this] { Submit(110); });
  Submit(110);
  other.join();
  // 220 submissions hold exactly 20 elevenths, whoever made them.
  EXPECT_EQ(SignalsReceived(listener, 20), 20u);
  EXPECT_EQ(g_nDeployJobCounter.load(), 0);
  EXPECT_EQ(ProcedureCalls("Submitpatchdeployjobs").size(), 220u);
}

}  // namespace
}  // namespace patchtest
