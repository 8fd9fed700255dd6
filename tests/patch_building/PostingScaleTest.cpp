// A scan schedule that reaches 10,000 systems: every system is posted (no
// list or statement length limit), and the posting rate is reported.
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
};

TEST_F(PostingScaleTest, ScanScheduleReachesTenThousandSystems) {
  // Every system, spread over the column 60 values of 20 profiles.
  std::string values, profiles;
  for (int first = 1; first <= kSystems; first += kPerProfile) {
    std::string ids;
    for (int system = first; system < first + kPerProfile; ++system) {
      ids += (ids.empty() ? "" : ",") + std::to_string(system);
      values += (values.empty() ? "(" : ",(") + std::to_string(system) + ")";
    }
    int profile = 100 + first / kPerProfile;
    SetProfileValue(profile, 60, ids);
    profiles += (profiles.empty() ? "" : ",") + std::to_string(profile);
  }
  Exec("insert into inventorymaster (SystemID) values " + values);
  AddProfiledSchedule(1, 91, 901, profiles);

  auto start = std::chrono::steady_clock::now();
  PostScanJob(1, "0", 1, 5000, db());
  double seconds = std::chrono::duration<double>(
                       std::chrono::steady_clock::now() - start).count();
  std::printf("[  MEASURE ] scan posting: %d targets in %.2f s, %.0f "
              "targets/s\n", kSystems, seconds, kSystems / seconds);
  RecordProperty("scan targets per second",
                 static_cast<int>(kSystems / seconds));

  EXPECT_EQ(Count("select count(distinct SystemID) from jobdetails where "
                  "Status = 0"), kSystems);
  EXPECT_EQ(Count("select count(*) from patch_summary"), kSystems);
}

}  // namespace
}  // namespace patchtest
