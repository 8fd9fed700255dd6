// Fixture for the posting fault tests: one scan and one deploy schedule
// whose profile has inclusion, exclusion and skip lists, the set of
// systems each must be posted to, and checks on what a pass posted.
#pragma once

#include <algorithm>
#include <set>
#include <string>

#include "../patch_building/PatchBuildingFixture.h"
#include "DbiFaultSeam.h"
#include "PatchThreads.h"

namespace faulttest {

using patchtest::kDeploy;
using patchtest::kScan;
using SystemSet = std::set<int>;

constexpr int kScanSchedule = 7;    // recurring, posted by PostScheduledJobs
constexpr int kDeploySchedule = 8;  // on demand, posted by PostOnDemandJobs
constexpr int kProfile = 900;
constexpr int kSkippedSystem = 3;
constexpr int kInterruptedSystem = 5;
constexpr int kInterruptedJob = 40;

// Included by system ID 1,2,3, location 30 (4,5,10), domain lab (6,9) and
// address (7,8); excluded by system ID 2, location 31 (4), domain dmz (8)
// and address (6); 3 holds a skipped job; 11 is named by nothing.
const SystemSet kExpected = {1, 5, 7, 9, 10};

struct Schedule {
  int id;
  int jobTypeId;
  bool recurring;
};
constexpr Schedule kScanRun{kScanSchedule, kScan, true};
constexpr Schedule kDeployRun{kDeploySchedule, kDeploy, false};

class PostingFaultTest : public patchtest::PatchBuildingTest {
 protected:
  void SetUp() override {
    PatchBuildingTest::SetUp();
    const struct {
      int id;
      const char* domain;
      const char* address;
    } systems[] = {{1, "corp", "10.0.1.1"}, {2, "corp", ""},  {3, "corp", ""},
                   {4, "corp", ""},         {5, "corp", ""},  {6, "lab", "10.0.0.6"},
                   {7, "corp", "10.0.0.7"}, {8, "dmz", "10.0.0.8"},
                   {9, "lab", ""},          {10, "corp", ""}, {11, "corp", ""}};
    for (const auto& s : systems) AddSystem(s.id, 1, s.domain, s.address);
    Exec("insert into locationviewdetails (LocationID, SystemID) values (30, 4), (30, 5), "
         "(30, 10), (31, 4)");
    SetProfileValue(kProfile, 69, "20");
    SetProfileValue(kProfile, 70, "25");
    SetProfileValue(20, 60, "1,2,3");
    SetProfileValue(20, 59, "30");
    SetProfileValue(20, 58, "lab");
    SetProfileValue(25, 48, "2");
    SetProfileValue(25, 47, "31");
    SetProfileValue(25, 46, "dmz");
    Exec("insert into ipbreakdownlist (ProfileID, IPAddress) values (20, '10.0.0.7'), "
         "(20, '10.0.0.8'), (25, '10.0.0.6')");
  }
  void TearDown() override {
    dbi_fault::Disarm();
    PatchBuildingTest::TearDown();
  }

  // The schedule as it is before its first pass: due, with one skipped
  // and one interrupted job of an earlier run.
  void ResetSchedule(const Schedule& s) {
    Exec("delete from jobdetails; delete from jobsmaster; delete from jobsmasterdetail; "
         "delete from jobsmasterlookup; delete from schedularinfo; delete from patch_summary; "
         "delete from tppm_patch_summary; delete from procedurecalllog");
    if (s.recurring) {
      Exec(Format("insert into schedularinfo (SchedularInfoID, RecurrenceType, StartTime) "
                  "values (%d, 0, now() - interval 1 hour);"
                  "insert into jobsmaster (SchedularID, JobScheduledType, SchedularInfoID) "
                  "values (%d, 1, %d)",
                  s.id, s.id, s.id));
    } else {
      Exec(Format("insert into jobsmaster (SchedularID, JobScheduledType, ScheduledTime) "
                  "values (%d, 0, now() - interval 1 hour)",
                  s.id));
    }
    Exec(Format("insert into jobsmasterdetail (SchedularID, SystemID, JobTypeID) values "
                "(%d, 0, %d)", s.id, s.jobTypeId));
    AddParam(s.id, s.jobTypeId == kScan ? 91 : 89, std::to_string(kProfile));
    AddJob(0, s.id, kSkippedSystem, s.jobTypeId, JOB_STATUS_NOT_REPEAT);
    AddJob(kInterruptedJob, s.id, kInterruptedSystem, s.jobTypeId, JOB_STATUS_REDO);
  }

  // One pass of the thread that posts the schedule.
  void Pass(const Schedule& s) {
    if (s.recurring)
      PostScheduledJobs(db());
    else
      PostOnDemandJobs(db());
  }

  // Systems that postings gave a job of the schedule (the jobs of the
  // earlier run left out).
  SystemSet Posted(const Schedule& s) {
    SystemSet systems;
    for (const auto& row : Query(Format("select SystemID from jobdetails where SchedularID = "
                                        "%d and Status <> -2 and JobID <> %d",
                                        s.id, kInterruptedJob)))
      systems.insert(std::stoi(row[0]));
    return systems;
  }
  // Systems that hold more than one job from postings of the schedule:
  // a completed run writes each target once, open or closed.
  long SystemsPostedTwice(const Schedule& s) {
    return Count(Format("select count(*) from (select SystemID from jobdetails where "
                        "SchedularID = %d and Status <> -2 and JobID <> %d group by SystemID "
                        "having count(*) > 1) d",
                        s.id, kInterruptedJob));
  }
  long SystemsWithTwoOpenJobs(const Schedule& s) {
    return Count(Format("select count(*) from (select SystemID from jobdetails where "
                        "SchedularID = %d and Status not in (-1,1,-2) group by SystemID "
                        "having count(*) > 1) d",
                        s.id));
  }
  bool Submitted(const Schedule& s) {
    return Count(Format("select count(*) from jobsmaster where SchedularID = %d and "
                        "LastSubmittedTime <> '0000-00-00 00:00:00'", s.id)) == 1;
  }

  static bool Within(const SystemSet& part, const SystemSet& whole) {
    return std::includes(whole.begin(), whole.end(), part.begin(), part.end());
  }
  static std::string Text(const SystemSet& systems) {
    std::string text;
    for (int s : systems) text += (text.empty() ? "" : ",") + std::to_string(s);
    return "{" + text + "}";
  }
};

}  // namespace faulttest
