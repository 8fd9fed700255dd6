// Target selection: list builders, target query texts, and which systems a
// scan schedule reaches through its profile.
#include <algorithm>

#include "PatchBuildingFixture.h"
#include "PatchPosting.h"
#include "TargetLists.h"

namespace patchtest {
namespace {

const std::string kBase =
    "select SystemID from inventorymaster where inventorymaster.managenode = "
    "1 and inventorymaster.DataCollectionType in (1,4)";

class TargetListsTest : public PatchBuildingTest {
 protected:
  // Systems of the scan jobs posted for a schedule whose profile (900 +
  // schedule) includes `inclusion` and excludes `exclusion` (when given).
  std::vector<std::string> ScanTargets(int schedule,
                                       const std::string& inclusion,
                                       const std::string& exclusion = "") {
    AddProfiledSchedule(schedule, 91, 900 + schedule, inclusion);
    if (!exclusion.empty()) SetProfileValue(900 + schedule, 70, exclusion);
    PostScanJob(schedule, "0", 1, 5000, db());
    std::vector<std::string> systems = JobSystems(schedule, kScan);
    std::sort(systems.begin(), systems.end());
    return systems;
  }

  using Systems = std::vector<std::string>;
};

TEST_F(TargetListsTest, BuildersJoinValuesInRowOrder) {
  SetProfileValue(10, 60, "1,2");
  SetProfileValue(11, 60, "3");
  SetProfileValue(10, 58, "corp");
  SetProfileValue(11, 58, "lab");
  SetProfileValue(11, 59, "30");
  AddLocation(30, 7);
  AddLocation(31, 8);
  AddAddress(10, "10.0.0.5");

  EXPECT_EQ(getProfileValue60("10,11", db()), "1,2,3");
  EXPECT_EQ(getProfileValue58("10,11", db()), "'corp','lab'");
  EXPECT_EQ(getProfileValue59("10,11", db()), "30");
  EXPECT_EQ(getLocationView("30,31", db()), "7,8");
  EXPECT_EQ(getIPaddressList("10", db()), "'10.0.0.5'");
  EXPECT_EQ(getProfileValue60("", db()), "");
  EXPECT_EQ(getProfileValue60("12", db()), "");
}

TEST_F(TargetListsTest, TargetQueryTexts) {
  TargetLists lists;
  lists.IncludeSystems = "5,6";
  lists.IncludeDomains = "'lab'";
  lists.SkipSystems = "6";
  EXPECT_EQ(BuildTargetQuery(kBase, lists, false, ")"),
            kBase +
                " and ( inventorymaster.systemid in(5,6) or "
                "inventorymaster.domainname in('lab')) and "
                "(inventorymaster.systemid not in(6))");

  TargetLists addresses;
  addresses.IncludeAddresses = "'10.0.0.5'";
  EXPECT_EQ(BuildTargetQuery(kBase, addresses, false, ")"),
            kBase + " and ( inventorymaster.ipaddress in('10.0.0.5'))");

  TargetLists excluded;
  excluded.ExcludeDomains = "'lab'";
  EXPECT_EQ(BuildTargetQuery(kBase, excluded, true, ")"),
            kBase + " and ( inventorymaster.domainname not in('lab'))");
  EXPECT_EQ(BuildTargetQuery(kBase, excluded, true, " )"),
            kBase + " and ( inventorymaster.domainname not in('lab') )");

  TargetLists all;
  all.IncludeLocationSystems = "1";
  all.IncludeAddresses = "'a'";
  all.SkipSystems = "2";
  all.ExcludeSystems = "3";
  all.ExcludeLocationSystems = "4";
  all.ExcludeDomains = "'d'";
  all.ExcludeAddresses = "'e'";
  EXPECT_EQ(BuildTargetQuery(kBase, all, true, ")"),
            kBase +
                " and ( inventorymaster.systemid in(1) or "
                "inventorymaster.ipaddress in('a')) and ( "
                "inventorymaster.systemid not in(2) and "
                "inventorymaster.systemid not in(3) and "
                "inventorymaster.systemid not in(4) and "
                "inventorymaster.domainname not in('d') and "
                "inventorymaster.ipaddress not in('e'))");

  // An exclusion list without values leaves the skip list opening the
  // exclusion group.
  TargetLists skipped;
  skipped.IncludeSystems = "5";
  skipped.SkipSystems = "6";
  EXPECT_EQ(BuildTargetQuery(kBase, skipped, true, ")"),
            kBase +
                " and ( inventorymaster.systemid in(5)) and ( "
                "inventorymaster.systemid not in(6))");
  EXPECT_EQ(BuildTargetQuery(kBase, excluded, false, ")"), kBase);
}

TEST_F(TargetListsTest, EachInclusionListSelectsAloneAndTogether) {
  AddSystem(1, 1, "corp", "10.0.0.1");
  AddSystem(2, 1, "corp", "10.0.0.2");
  AddSystem(3, 4, "lab", "10.0.0.3");
  AddSystem(4, 1, "corp", "10.0.0.4");
  AddSystem(5, 1, "corp", "10.0.0.5");
  SetProfileValue(20, 60, "1");
  SetProfileValue(21, 59, "30");
  AddLocation(30, 2);
  SetProfileValue(22, 58, "lab");
  AddAddress(23, "10.0.0.4");

  EXPECT_EQ(ScanTargets(1, "20"), Systems{"1"});
  EXPECT_EQ(ScanTargets(2, "21"), Systems{"2"});
  EXPECT_EQ(ScanTargets(3, "22"), Systems{"3"});
  EXPECT_EQ(ScanTargets(4, "23"), Systems{"4"});
  EXPECT_EQ(ScanTargets(5, "20,21,22,23"), (Systems{"1", "2", "3", "4"}));
}

TEST_F(TargetListsTest, ExclusionOnlyProfileTargetsEverythingElse) {
  AddSystem(1, 1, "corp");
  AddSystem(2, 4, "corp");
  AddSystem(3, 1, "lab");
  AddSystem(4, 2, "corp");          // not a patch scan data collection type
  AddSystem(5, 1, "corp", "", 0);   // not managed
  SetProfileValue(24, 46, "lab");
  EXPECT_EQ(ScanTargets(1, "", "24"), (Systems{"1", "2"}));
}

TEST_F(TargetListsTest, SkipListWithAndWithoutExclusionList) {
  for (int system : {5, 6, 7}) AddSystem(system);
  SetProfileValue(20, 60, "5,6,7");
  SetProfileValue(25, 48, "7");
  AddJob(70, 1, 6, kScan, -2);
  AddJob(71, 2, 6, kScan, -2);

  EXPECT_EQ(ScanTargets(1, "20"), (Systems{"5", "7"}));
  EXPECT_EQ(ScanTargets(2, "20", "25"), Systems{"5"});
}

TEST_F(TargetListsTest, NothingSelectedPostsNothing) {
  for (int system : {5, 6}) AddSystem(system);
  // Locations that no longer exist.
  SetProfileValue(20, 59, "30,31");
  EXPECT_EQ(ScanTargets(1, "20"), Systems{});
  EXPECT_TRUE(Logged("ERROR", "LOCATION HAS BEEN DELETED :: LOCATION ID 30,31"));

  // No values at all, even with a system to skip: the skip list narrows a
  // selection but never makes one.
  AddJob(70, 2, 6, kScan, -2);
  AddJob(71, 3, 6, kScan, -2);
  EXPECT_EQ(ScanTargets(2, "21"), Systems{});
  EXPECT_EQ(ScanTargets(3, "22", "23"), Systems{});
  EXPECT_EQ(LogCount("INFO", "No systemid to process the patch scan job"), 3);
  EXPECT_EQ(Count("select * from jobdetails where JobID not in (70, 71)"), 0);
}

TEST_F(TargetListsTest, DomainWithApostropheSelectsThatDomain) {
  AddSystem(3, 1, "o'hara");
  AddSystem(4, 1, "o");
  AddSystem(5, 1, "hara");
  SetProfileValue(20, 58, "o'hara");
  EXPECT_EQ(ScanTargets(1, "20"), Systems{"3"});
}

TEST_F(TargetListsTest, NonIntegerItemsAreDroppedAndNamed) {
  for (int system = 1; system <= 7; ++system) AddSystem(system);
  SetProfileValue(20, 60, "5, x7 ,6");
  SetProfileValue(21, 60, "1) or (1=1");

  EXPECT_EQ(ScanTargets(1, "20,21,abc"), (Systems{"5", "6"}));
  EXPECT_TRUE(Logged("ERROR", "profile 901 column 69: non-integer value"));
  EXPECT_TRUE(Logged("ERROR", "'abc'"));
  EXPECT_TRUE(Logged("ERROR", "column 60: non-integer value"));
  EXPECT_TRUE(Logged("ERROR", "x7"));
  EXPECT_TRUE(Logged("ERROR", "1) or (1=1"));
}

}  // namespace
}  // namespace patchtest
