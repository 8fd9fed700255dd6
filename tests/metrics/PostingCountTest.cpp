// Jobs posted by outcome, and one posting's targets and duration, for a
// scan schedule posted twice.
#include "../patch_building/PatchBuildingFixture.h"
#include "MetricsTest.h"
#include "PatchPosting.h"

namespace metricstest {
namespace {

using PostingCountTest = patchtest::PatchBuildingTest;

std::string Jobs(const char* outcome) {
  return std::string("korb_jobs_posted_total{job_type=\"patch_scan\",outcome=\"") + outcome +
         "\"}";
}

TEST_F(PostingCountTest, OpenRedoAndDuplicateJobsAndThePostingCounted) {
  for (int system : {5, 6, 7}) AddSystem(system);
  AddProfiledSchedule(1, 91, 901, "20");
  SetProfileValue(20, 60, "5,6,7");
  AddJob(40, 1, 5, patchtest::kScan, -3);  // interrupted: system 5 gets a redo
  SeriesDelta open(Jobs("open")), redo(Jobs("redo")), duplicate(Jobs("duplicate")),
      failed(Jobs("failed"));
  SeriesDelta postings("korb_posting_targets_count{kind=\"scan\"}");
  SeriesDelta targets("korb_posting_targets_sum{kind=\"scan\"}");
  SeriesDelta durations("korb_posting_duration_seconds_count{kind=\"scan\"}");

  PostScanJob(1, "0", 1, 5000, db());
  EXPECT_EQ(open.Get(), 2);
  EXPECT_EQ(redo.Get(), 1);
  EXPECT_EQ(duplicate.Get(), 0);
  EXPECT_EQ(postings.Get(), 1);
  EXPECT_EQ(targets.Get(), 3);

  // Every system has its open scan now: the second posting only makes
  // closed duplicates.
  PostScanJob(1, "0", 1, 5000, db());
  EXPECT_EQ(open.Get(), 2);
  EXPECT_EQ(duplicate.Get(), 3);
  EXPECT_EQ(failed.Get(), 0);
  EXPECT_EQ(postings.Get(), 2);
  EXPECT_EQ(targets.Get(), 6);
  EXPECT_EQ(durations.Get(), 2);
  EXPECT_EQ(Count("select count(*) from jobdetails where SchedularID = 1 and Status = 0"), 3);
}

}  // namespace
}  // namespace metricstest
