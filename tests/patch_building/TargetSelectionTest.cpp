// Target selection fails closed: a schedule whose profile holds an ID item
// that is not an integer, or whose inclusion resolves to no system, posts
// nothing, while the other schedules of the same pass post exactly their
// systems. Checked for scan and deploy schedules in one on-demand pass.
#include <algorithm>
#include <map>
#include <tuple>

#include "PatchBuildingFixture.h"
#include "PatchThreads.h"

namespace patchtest {
namespace {

struct Case {
  const char* inclusion;  // column 69 of the schedule's profile
  const char* exclusion;  // column 70; "-" for no row
  Systems expected;       // systems posted to
  const char* refusal;    // the refused source and value, or "" when none
};

// Profiles named by the cases: 20/25 clean, 21-24 with a bad item on the
// inclusion or exclusion side, 26 a deleted location, 28 nothing at all,
// 29 a domain with a quote in it.
const std::map<int, Case> kCases = {
    {1, {"20,abc", "-", {}, "profile 901 column 69 value '20,abc' holds 'abc'"}},
    {2, {"20", "25,x", {}, "profile 902 column 70 value '25,x' holds 'x'"}},
    {3, {"20,21", "-", {}, "profiles 20,21 column 60 value '3; 4' holds '3; 4'"}},
    {4, {"21", "25", {}, "profiles 21 column 60 value '3; 4' holds '3; 4'"}},
    {5, {"22", "-", {}, "profiles 22 column 59 value '30,x' holds 'x'"}},
    {6, {"20", "23", {}, "profiles 23 column 48 value '5;6' holds '5;6'"}},
    {7, {"", "23", {}, "profiles 23 column 48 value '5;6' holds '5;6'"}},
    {8, {"20", "24", {}, "profiles 24 column 47 value '31 or 1=1' holds '31 or 1=1'"}},
    {9, {"26", "-", {}, ""}},
    {10, {"26", "25", {}, ""}},
    {11, {"28", "25", {}, ""}},
    {12, {"20", "25", {"1", "2"}, ""}},
    {13, {"", "25", {"1", "2", "3", "4", "6", "7", "8"}, ""}},
    {14, {"26,20", "-", {"1", "2"}, ""}},
    {15, {"29", "-", {"7"}, ""}},
};

class TargetSelectionTest : public PatchBuildingTest {
 protected:
  void SetUp() override {
    PatchBuildingTest::SetUp();
    for (int system = 1; system <= 6; ++system) AddSystem(system);
    AddSystem(9, 1, "corp", "", 0);  // not managed
    Exec("insert into locationviewdetails (LocationID, SystemID) values "
         "(30, 1), (30, 2), (31, 3)");
    SetProfileValue(20, 60, "1,2");
    SetProfileValue(21, 60, "3; 4");
    SetProfileValue(22, 59, "30,x");
    SetProfileValue(23, 48, "5;6");
    SetProfileValue(24, 47, "31 or 1=1");
    SetProfileValue(25, 48, "5");
    SetProfileValue(26, 59, "77");
    AddSystem(7, 1, "o'hara");
    AddSystem(8, 1, "o");
    SetProfileValue(29, 58, "o'hara");
  }

  // A due on-demand schedule of the job type whose profile is 900 + s.
  void AddOnDemandSchedule(int s, int jobTypeId, const Case& c) {
    Exec(Format("insert into jobsmaster (SchedularID, JobScheduledType, ScheduledTime) "
                "values (%d, 0, now() - interval 1 hour)", s));
    Exec(Format("insert into jobsmasterdetail (SchedularID, SystemID, JobTypeID) "
                "values (%d, 0, %d)", s, jobTypeId));
    AddParam(s, jobTypeId == kScan ? 91 : 89, std::to_string(900 + s));
    SetProfileValue(900 + s, 69, c.inclusion);
    if (std::string(c.exclusion) != "-") SetProfileValue(900 + s, 70, c.exclusion);
  }

  Systems PostedTo(int s) {
    Systems systems;
    for (const auto& row : Query(Format("select SystemID from jobdetails where "
                                        "SchedularID = %d", s)))
      systems.push_back(row[0]);
    std::sort(systems.begin(), systems.end());
    return systems;
  }
};

TEST_F(TargetSelectionTest, RefusedOrEmptyInclusionPostsNothingCleanSchedulesPostTheirSystems) {
  int round = 0;
  for (int jobTypeId : {kScan, kDeploy}) {
    SCOPED_TRACE(jobTypeId);
    ++round;
    Exec("delete from jobsmaster; delete from jobsmasterdetail; delete from jobsmasterlookup; "
         "delete from jobdetails; delete from orbprofilevalues where ProfileID > 900");
    for (const auto& [s, c] : kCases) AddOnDemandSchedule(s, jobTypeId, c);
    PostOnDemandJobs(db());

    for (const auto& [s, c] : kCases) {
      SCOPED_TRACE(s);
      EXPECT_EQ(PostedTo(s), c.expected);
      const std::string refusedLine = Format("SchedularID:%d refused", s);
      // One line per refused pass, naming the list and the value.
      const int lines = *c.refusal != '\0' ? round : 0;
      EXPECT_EQ(LogCount("ERROR", refusedLine + ": " + c.refusal), lines);
      EXPECT_EQ(LogCount("ERROR", refusedLine), lines);
      // A refused schedule stays due until its profile is mended; an
      // empty selection marks the one-time schedule submitted.
      EXPECT_EQ(Count(Format("select * from jobsmaster where SchedularID = %d and "
                             "LastSubmittedTime = '0000-00-00 00:00:00'", s)),
                *c.refusal != '\0' ? 1 : 0);
    }
    Exec("delete from procedurecalllog");
  }
  // The deleted location is reported by each of its three schedules.
  EXPECT_EQ(LogCount("ERROR", "LOCATION HAS BEEN DELETED :: LOCATION ID 77"), 6);
}

TEST_F(TargetSelectionTest, ScheduledPassRefusesTheBadScheduleOnly) {
  // Two recurring schedules whose one run lies in the past: both are due.
  for (const auto& [s, jobTypeId, inclusion] :
       {std::tuple{20, kScan, "20,abc"}, std::tuple{21, kDeploy, "20"}}) {
    Exec(Format("insert into schedularinfo (SchedularInfoID, RecurrenceType, StartTime) values "
                "(%d, 0, now() - interval 1 hour);"
                "insert into jobsmaster (SchedularID, JobScheduledType, SchedularInfoID) values "
                "(%d, 1, %d);"
                "insert into jobsmasterdetail (SchedularID, SystemID, JobTypeID) values (%d, 0, %d)",
                s, s, s, s, jobTypeId));
    AddParam(s, jobTypeId == kScan ? 91 : 89, std::to_string(900 + s));
    SetProfileValue(900 + s, 69, inclusion);
  }
  PostScheduledJobs(db());
  EXPECT_EQ(PostedTo(20), Systems{});
  EXPECT_EQ(PostedTo(21), (Systems{"1", "2"}));
  EXPECT_EQ(LogCount("ERROR", "SchedularID:20 refused: profile 920 column 69 value '20,abc' "
                              "holds 'abc'"), 1);
}

}  // namespace
}  // namespace patchtest
