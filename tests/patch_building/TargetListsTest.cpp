// Target selection: list builders, target query texts, and which systems a
// scan schedule reaches through its profile.
#include <algorithm>

#include "PatchBuildingFixture.h"
#include "PatchPosting.h"
#include "TargetLists.h"

namespace patchtest {
namespace {

class TargetListsTest : public PatchBuildingTest {
 protected:
  // Systems that a scan of schedule s gets posted to, when its profile
  // (900 + s) includes `inclusion` and excludes `exclusion` (if given).
  Systems ScanTargets(int s, const std::string& inclusion,
                      const std::string& exclusion = "") {
    AddProfiledSchedule(s, 91, 900 + s, inclusion);
    if (!exclusion.empty()) SetProfileValue(900 + s, 70, exclusion);
    PostScanJob(s, "0", 1, 5000, db());
    Systems systems;
    for (const auto& row : Query(Format("select SystemID from jobdetails where "
                                        "SchedularID = %d and Status >= 0", s)))
      systems.push_back(row[0]);
    std::sort(systems.begin(), systems.end());
    return systems;
  }
};

TEST_F(TargetListsTest, BuildersJoinValuesInRowOrder) {
  SetProfileValue(10, 60, "1,2");
  SetProfileValue(11, 60, "3");
  SetProfileValue(10, 58, "corp");
  SetProfileValue(11, 58, "lab");
  Exec("insert into locationviewdetails (LocationID, SystemID) values (30, 7), "
       "(31, 8); insert into ipbreakdownlist (ProfileID, IPAddress) values "
       "(10, '10.0.0.5')");
  EXPECT_EQ(getProfileValue60("10,11", db()), "1,2,3");
  EXPECT_EQ(getProfileValue58("10,11", db()), "'corp','lab'");
  EXPECT_EQ(getLocationView("30,31", db()), "7,8");
  EXPECT_EQ(getIPaddressList("10", db()), "'10.0.0.5'");
  EXPECT_EQ(getProfileValue59("10,11", db()), "");
}

TEST_F(TargetListsTest, TargetQueryTexts) {
  const std::string base = "select SystemID from inventorymaster where 1";
  TargetLists lists;
  lists.IncludeSystems = "5,6";
  lists.IncludeDomains = "'lab'";
  lists.SkipSystems = "6";
  EXPECT_EQ(BuildTargetQuery(base, lists, false, ")"),
            base + " and ( inventorymaster.systemid in(5,6) or "
                   "inventorymaster.domainname in('lab')) and "
                   "(inventorymaster.systemid not in(6))");
  // An exclusion list without values leaves the skip list to open the
  // exclusion group.
  EXPECT_EQ(BuildTargetQuery(base, lists, true, ")"),
            base + " and ( inventorymaster.systemid in(5,6) or "
                   "inventorymaster.domainname in('lab')) and ( "
                   "inventorymaster.systemid not in(6))");

  TargetLists excluded;
  excluded.ExcludeDomains = "'lab'";
  excluded.ExcludeAddresses = "'10.0.0.5'";
  EXPECT_EQ(BuildTargetQuery(base, excluded, true, ")"),
            base + " and ( inventorymaster.domainname not in('lab') and "
                   "inventorymaster.ipaddress not in('10.0.0.5'))");
  EXPECT_EQ(BuildTargetQuery(base, excluded, true, " )"),
            base + " and ( inventorymaster.domainname not in('lab') and "
                   "inventorymaster.ipaddress not in('10.0.0.5') )");
}

TEST_F(TargetListsTest, EachInclusionListSelectsAloneAndTogether) {
  AddSystem(1, 1, "corp", "10.0.0.1");
  AddSystem(2, 1, "corp", "10.0.0.2");
  AddSystem(3, 4, "lab", "10.0.0.3");
  AddSystem(4, 1, "corp", "10.0.0.4");
  AddSystem(5, 1, "corp", "10.0.0.5");
  SetProfileValue(20, 60, "1");
  SetProfileValue(21, 59, "30");
  SetProfileValue(22, 58, "lab");
  Exec("insert into locationviewdetails (LocationID, SystemID) values (30, 2);"
       "insert into ipbreakdownlist (ProfileID, IPAddress) values "
       "(23, '10.0.0.4')");
  EXPECT_EQ(ScanTargets(1, "20"), Systems{"1"});
  EXPECT_EQ(ScanTargets(2, "21"), Systems{"2"});
  EXPECT_EQ(ScanTargets(3, "22"), Systems{"3"});
  EXPECT_EQ(ScanTargets(4, "23"), Systems{"4"});
  EXPECT_EQ(ScanTargets(5, "20,21,22,23"), (Systems{"1", "2", "3", "4"}));
}

TEST_F(TargetListsTest, ExclusionsAndSkippedSystems) {
  AddSystem(1);
  AddSystem(2, 4);
  AddSystem(3, 1, "lab");
  AddSystem(4, 2);             // not a scanned data collection type
  AddSystem(5, 1, "corp", "", 0);  // not managed
  SetProfileValue(24, 46, "lab");
  EXPECT_EQ(ScanTargets(1, "", "24"), (Systems{"1", "2"}));

  SetProfileValue(20, 60, "1,2,3");
  SetProfileValue(25, 48, "3");
  AddJob(0, 2, 2, kScan, -2);
  AddJob(0, 3, 2, kScan, -2);
  EXPECT_EQ(ScanTargets(2, "20"), (Systems{"1", "3"}));
  EXPECT_EQ(ScanTargets(3, "20", "25"), Systems{"1"});
}

TEST_F(TargetListsTest, NothingSelectedPostsNothing) {
  AddSystem(5);
  AddSystem(6);
  SetProfileValue(20, 59, "30,31");  // locations that no longer exist
  EXPECT_EQ(ScanTargets(1, "20"), Systems{});
  EXPECT_TRUE(Logged("ERROR", "LOCATION HAS BEEN DELETED :: LOCATION ID 30,31"));

  // No values, with or without an empty exclusion list: a system to skip
  // narrows a selection but never makes one.
  AddJob(0, 2, 6, kScan, -2);
  AddJob(0, 3, 6, kScan, -2);
  EXPECT_EQ(ScanTargets(2, "21"), Systems{});
  EXPECT_EQ(ScanTargets(3, "22", "23"), Systems{});
  EXPECT_EQ(LogCount("INFO", "No systemid to process the patch scan job"), 3);
}

TEST_F(TargetListsTest, StrayValuesNeitherBreakNorWidenTheSelection) {
  for (int system = 1; system <= 7; ++system) AddSystem(system);
  AddSystem(8, 1, "o'hara");
  AddSystem(9, 1, "o");
  SetProfileValue(20, 60, "5, x7 ,6");
  SetProfileValue(21, 60, "1) or (1=1");
  SetProfileValue(22, 58, "o'hara");

  EXPECT_EQ(ScanTargets(1, "20,21,22,abc"), (Systems{"5", "6", "8"}));
  EXPECT_TRUE(Logged("ERROR", "profile 901 column 69: non-integer value 'abc'"));
  EXPECT_EQ(LogCount("ERROR", "column 60: non-integer value"), 2);
  EXPECT_TRUE(Logged("ERROR", "1) or (1=1"));
}

}  // namespace
}  // namespace patchtest
