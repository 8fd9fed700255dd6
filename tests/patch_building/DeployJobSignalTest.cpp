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
  void PointJobHandlerAt(const korbtest::UdpListener& listener) {
    Exec(Format("insert into jobhandlermaster (HostName, PortNumber) values "
                "('127.0.0.1', %d)",
                listener.Port()));
  }

  void Submit(int times) {
    for (int i = 0; i < times; ++i)
      InsertDeployJob(kDeploy, 5, 0, 3, 9, "2030-01-15 10:00:00", 1, 0, 12,
                      5000, db());
  }
};

TEST_F(DeployJobSignalTest, ProcedureReceivesTheElevenValues) {
  ReopenWith({.site_id = 3});
  Exec("insert into jobsmasterdetail (SchedularID, SystemID, JobTypeID, "
       "TaskID) values (3, 5, 10025, 4)");
  InsertDeployJob(kDeploy, 5, 40, 3, 9, "2030-01-15 10:00:00", 1, 77, 12,
                  5000, db());

  // A quoted text longer than the old 255-character call limit arrives
  // whole, with every value after it.
  const std::string longText = "O'Neil's " + std::string(240, 'x');
  InsertDeployJob(kDeploy, 6, 0, 3, 9, longText, 1, 0, 12, 5000, db());

  EXPECT_EQ(ProcedureCalls("Submitpatchdeployjobs"),
            (std::vector<std::string>{
                "Submitpatchdeployjobs(3, 10025, 5, 40, 3, 9, 2030-01-15 "
                "10:00:00, 1, 4, 12, 5000)",
                "Submitpatchdeployjobs(3, 10025, 6, 0, 3, 9, " + longText +
                    ", 1, 0, 12, 5000)"}));
}

TEST_F(DeployJobSignalTest, MasterSignalsJobHandlerOnEveryEleventhCall) {
  korbtest::UdpListener listener;
  PointJobHandlerAt(listener);

  Submit(10);
  EXPECT_TRUE(listener.Drain(milliseconds(50)).empty());
  Submit(1);
  std::vector<std::string> fields;
  ASSERT_TRUE(listener.Receive(&fields, milliseconds(2000)));
  EXPECT_EQ(fields[0], "16");
  EXPECT_EQ(g_nDeployJobCounter.load(), 0);

  Submit(10);
  EXPECT_TRUE(listener.Drain(milliseconds(50)).empty());
  Submit(1);
  ASSERT_TRUE(listener.Receive(&fields, milliseconds(2000)));
  EXPECT_EQ(fields[0], "16");
  EXPECT_EQ(LogCount("INFO", "SH_PATCH_DOWNLOAD_SIGNAL Signal sent to "
                             "JobHandler!!!"),
            2);
  EXPECT_EQ(ProcedureCalls("Submitpatchdeployjobs").size(), 22u);
}

TEST_F(DeployJobSignalTest, OtherInstallTypeSendsNothingButResetsCounter) {
  ReopenWith({.install_type = 2});
  korbtest::UdpListener listener;
  PointJobHandlerAt(listener);

  Submit(11);
  EXPECT_TRUE(listener.Drain(milliseconds(50)).empty());
  EXPECT_EQ(LogCount("INFO", "InsertDeployJob: not a "
                             "KORB_INSTALL_TYPE_MASTER to send signal"),
            1);
  EXPECT_EQ(g_nDeployJobCounter.load(), 0);
}

TEST_F(DeployJobSignalTest, MissingJobHandlerIsLoggedAndCounterStillResets) {
  Submit(11);
  EXPECT_EQ(LogCount("ERROR", "InsertDeployJob: Unable to retrieve Probe "
                              "Master Details"),
            1);
  EXPECT_EQ(g_nDeployJobCounter.load(), 0);
}

TEST_F(DeployJobSignalTest, ConcurrentCallersSendOneSignalPerEleventh) {
  korbtest::UdpListener listener;
  PointJobHandlerAt(listener);
  constexpr int kPerThread = 110;

  std::thread other([this] { Submit(kPerThread); });
  Submit(kPerThread);
  other.join();

  // 220 submissions: exactly 20 elevenths, whoever made them.
  std::vector<std::vector<std::string>> signals;
  korbtest::WaitFor(
      [&] {
        for (auto& s : listener.Drain(milliseconds(0))) signals.push_back(s);
        return signals.size() >= 20;
      },
      milliseconds(5000));
  for (auto& s : listener.Drain(milliseconds(100))) signals.push_back(s);
  EXPECT_EQ(signals.size(), 20u);
  EXPECT_EQ(g_nDeployJobCounter.load(), 0);
  EXPECT_EQ(ProcedureCalls("Submitpatchdeployjobs").size(), 220u);
}

}  // namespace
}  // namespace patchtest
