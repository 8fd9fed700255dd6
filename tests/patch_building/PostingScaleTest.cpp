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

using PostingScaleTest = PatchBuildingTest;

TEST_F(PostingScaleTest, ScanScheduleReachesTenThousandSystems) {
  // Every system, spread over the column 60 values of 20 profiles.
  std::string values, profiles;
  for (int first = 1; first <= kSystems; first += kPerProfile) {
    std::string ids;
    for (int system = first; system < first + kPerProfile; ++system) {
      ids += (ids.empty() ? "" : ",") + std::to_string(system);
      values += (values.empty() ? "(" : ",(") + std::to_string(system) + ")";
    }
    SetProfileValue(100 + first / kPerProfile, 60, ids);
    profiles += (profiles.empty() ? "" : ",") + std::to_string(100 + first / kPerProfile);
  }
  Exec("insert into inventorymaster (SystemID) values " + values);
  AddProfiledSchedule(1, 91, 901, profiles);

  const auto start = std::chrono::steady_clock::now();
  PostScanJob(1, "0", 1, 5000, db());
  const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
  std::printf("[  MEASURE ] scan posting: %d targets in %.2f s, %.0f targets/s\n", kSystems,
              seconds.count(), kSystems / seconds.count());
  RecordProperty("scan targets per second", static_cast<int>(kSystems / seconds.count()));

  EXPECT_EQ(Count("select count(distinct SystemID) from jobdetails where Status = 0"), kSystems);
  EXPECT_EQ(Count("select count(*) from patch_summary"), kSystems);
}

}  // namespace
}  // namespace patchtest
