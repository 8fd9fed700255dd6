// Schedules that reach 10,000 systems: every system is posted (no list or
// statement length limit), and the posting rate is reported.
#include <chrono>
#include <cstdio>

#include "PatchBuildingFixture.h"
#include "PatchPosting.h"

namespace patchtest {
namespace {

constexpr int kSystems = 10000;
constexpr int kPerProfile = 500;  // keeps each profile value under 4,000

class PostingScaleTest : public PatchBuildingTest {
 protected:
  int LogLevel() const override { return 3; }  // the daemon's default

  void SetUp() override {
    PatchBuildingTest::SetUp();
    std::string values;
    for (int system = 1; system <= kSystems; ++system) {
      values += (values.empty() ? "(" : ",(") + std::to_string(system) + ")";
      if (system % 2000 == 0) {
        Exec("insert into inventorymaster (SystemID) values " + values);
        values.clear();
      }
    }
  }

  // A schedule whose profile includes every system, spread over several
  // inclusion profiles.
  void ScheduleForAll(int schedularId, int paramId) {
    std::string profiles;
    for (int first = 1; first <= kSystems; first += kPerProfile) {
      int profile = 100 + first / kPerProfile;
      std::string ids;
      for (int system = first; system < first + kPerProfile; ++system)
        ids += (ids.empty() ? "" : ",") + std::to_string(system);
      SetProfileValue(profile, 60, ids);
      profiles += (profiles.empty() ? "" : ",") + std::to_string(profile);
    }
    AddProfiledSchedule(schedularId, paramId, 900 + schedularId, profiles);
  }

  void Report(const char* what, double seconds) {
    double rate = kSystems / seconds;
    std::printf("[  MEASURE ] %s: %d targets in %.2f s, %.0f targets/s\n",
                what, kSystems, seconds, rate);
    RecordProperty(std::string(what) + " targets per second",
                   static_cast<int>(rate));
  }

  static double Since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                         start)
        .count();
  }
};

TEST_F(PostingScaleTest, ScanScheduleReachesTenThousandSystems) {
  ScheduleForAll(1, 91);
  auto start = std::chrono::steady_clock::now();
  PostScanJob(1, "0", 1, 5000, db());
  Report("scan posting", Since(start));

  EXPECT_EQ(Count("select count(distinct SystemID) from jobdetails where "
                  "Status = 0"),
            kSystems);
  EXPECT_EQ(Count("select count(*) from patch_summary"), kSystems);
}

TEST_F(PostingScaleTest, DeployScheduleReachesTenThousandSystems) {
  korbtest::UdpListener listener;
  Exec(Format("insert into jobhandlermaster (HostName, PortNumber) values "
              "('127.0.0.1', %d)",
              listener.Port()));
  ScheduleForAll(2, 89);
  auto start = std::chrono::steady_clock::now();
  PostDeployJob(2, "0", 1, 5000, db());
  Report("deploy posting", Since(start));

  EXPECT_EQ(Count("select count(*) from procedurecalllog where ProcName = "
                  "'Submitpatchdeployjobs'"),
            kSystems);
}

}  // namespace
}  // namespace patchtest
