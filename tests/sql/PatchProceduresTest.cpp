// The patch procedures: deploy job submission with its duplicate rule, the
// internal deploy job and the follow-up of its patch row, master agent
// download requests; and the scheduler's profiled deploy retry update
// against profile values of every shape.
#include <string>

#include "TestDatabase.h"

namespace {

class PatchProceduresTest : public korbtest::DbTest {
 protected:
  // Submitpatchdeployjobs for `system` of schedule 7 with the given time
  // text and format.
  void Submit(int system, const std::string& time, int format = 1) {
    Exec("CALL Submitpatchdeployjobs(3, 10025, " + std::to_string(system) + ", 40, 7, 9, '" + time +
         "', " + std::to_string(format) + ", 4, 12, 5000)");
  }

  std::string JobOf(int system, const std::string& columns) {
    return Scalar("SELECT CONCAT_WS('|', " + columns + ") FROM jobdetails WHERE SystemID = " +
                  std::to_string(system) + " ORDER BY JobID DESC LIMIT 1");
  }

  void AddPatchRow(int system, int patch, int internalStatus) {
    Exec("INSERT INTO patch_jobdetails (SiteID, SystemID, PatchID, ProfileID, InternalStatus, "
         "Status, Time) VALUES (1, " + std::to_string(system) + ", " + std::to_string(patch) +
         ", 20, " + std::to_string(internalStatus) + ", 'ready', '2024/05/01 10:00:00')");
  }
};

TEST_F(PatchProceduresTest, DeployJobIsWrittenWithItsValuesThenDuplicatesClosed) {
  Exec("INSERT INTO jobsmaster (SchedularID, ScheduledTime) VALUES (7, '2030-01-15 10:00:00')");
  Submit(5, "2030-01-15 10:00:00");
  EXPECT_EQ(JobOf(5, "SiteID, SchedularID, OperationID, JobTypeID, JobCategoryID, JobPriority, "
                     "ScheduleTime, RedoID, TaskID, ProfileID, Status, FinishedTime IS NULL"),
            "3|7|9|10025|0|5000|2030-01-15 10:00:00|40|4|12|0|1");

  // Open (0, 2, 3) deploy job: the next one is closed at once.
  Submit(5, "2030-01-15 10:00:00");
  EXPECT_EQ(JobOf(5, "Status, StatusDescription, FinishedTime = SubmissionTime"),
            "1|The Patch Deploy job for the system is already scheduled.|1");
  Exec("UPDATE jobdetails SET Status = 3 WHERE SystemID = 5 AND Status = 0");
  Submit(5, "2030-01-15 10:00:00");
  EXPECT_EQ(JobOf(5, "Status"), "1");

  // Only failed, closed and not-to-repeat jobs: the new job is open.
  Exec("UPDATE jobdetails SET Status = -1 WHERE SystemID = 5 AND Status = 3");
  Exec("INSERT INTO jobdetails (JobTypeID, SystemID, Status) VALUES (10025, 5, -2), (10027, 5, 0)");
  Submit(5, "2030-01-15 10:00:00");
  EXPECT_EQ(JobOf(5, "Status"), "0");
  EXPECT_EQ(Count("SELECT COUNT(*) FROM jobdetails WHERE JobTypeID = 10025 AND SystemID = 5"), 5);
}

TEST_F(PatchProceduresTest, DeployJobScheduleTimeForms) {
  Exec("INSERT INTO jobsmaster (SchedularID, ScheduledTime) VALUES (7, '2030-01-15 10:00:00')");
  // A dashed text stands for the schedule's stored time.
  Submit(1, "2024-05-01 09:00:00");
  Submit(2, "05/01/2024 02:30:00 PM", 0);
  Submit(3, "2024/05/01 09:00:00", 1);
  Submit(4, "0");
  Submit(6, "O''Neil");
  EXPECT_EQ(JobOf(1, "ScheduleTime"), "2030-01-15 10:00:00");
  EXPECT_EQ(JobOf(2, "ScheduleTime"), "2024-05-01 14:30:00");
  EXPECT_EQ(JobOf(3, "ScheduleTime"), "2024-05-01 09:00:00");
  EXPECT_EQ(JobOf(4, "ScheduleTime = SubmissionTime"), "1");
  // Unreadable: due now rather than never.
  EXPECT_EQ(JobOf(6, "ScheduleTime = SubmissionTime"), "1");
  EXPECT_EQ(ProcedureCalls("Submitpatchdeployjobs").back(),
            "Submitpatchdeployjobs(3, 10025, 6, 40, 7, 9, O'Neil, 1, 4, 12, 5000)");
}

TEST_F(PatchProceduresTest, InternalDeployJobMovesThePatchRowOnceAndPostDeployFollows) {
  AddPatchRow(119, 5001, 3);
  AddPatchRow(120, 5002, 11);
  AddPatchRow(121, 5003, 2);
  AddPatchRow(122, 5004, 3);
  for (const char* args : {"5001, 119, 20, 'x_1'", "5001, 119, 20, 'x_2'", "5002, 120, 20, 'x_3'",
                           "5003, 121, 20, 'x_4'", "5004, 122, 20, 'x_5'"})
    Exec(std::string("CALL postpatchinternaldeployjob(1, ") + args + ", 4)");
  EXPECT_EQ(Query("SELECT JobID, JobTypeID, SystemID, JobName, JobPriority, Status, "
                  "ScheduleTime <= NOW() FROM jobdetails ORDER BY JobID"),
            (korbtest::Rows{{"1", "10025", "119", "x_1", "4", "0", "1"},
                            {"2", "10025", "120", "x_3", "4", "0", "1"},
                            {"3", "10025", "122", "x_5", "4", "0", "1"}}));
  EXPECT_EQ(Query("SELECT InternalStatus, JobID FROM patch_jobdetails ORDER BY SystemID"),
            (korbtest::Rows{{"4", "1"}, {"4", "2"}, {"2", "0"}, {"4", "3"}}));

  Exec("UPDATE jobdetails SET Status = 1 WHERE SystemID = 119");
  Exec("UPDATE jobdetails SET Status = -1 WHERE SystemID = 120");
  Exec("CALL Postpatchdeploy()");
  EXPECT_EQ(Query("SELECT SystemID, InternalStatus FROM patch_jobdetails ORDER BY SystemID"),
            (korbtest::Rows{{"119", "6"}, {"120", "-6"}, {"121", "2"}, {"122", "4"}}));
}

TEST_F(PatchProceduresTest, MasterAgentsAreAskedOnceForEachPatch) {
  AddPatchRow(1, 5001, 2);
  AddPatchRow(2, 5001, 3);
  AddPatchRow(3, 5002, 6);  // deployed already
  Exec("UPDATE patch_jobdetails SET IsMasterAgentDownload = 1");
  Exec("INSERT INTO mappedagents (SiteID, SystemID, MasterAgentID) VALUES (1, 1, 7), (1, 2, 7), "
       "(1, 3, 8)");
  Exec("CALL MasteragentPatchDownload(); CALL MasteragentPatchDownload()");
  EXPECT_EQ(Query("SELECT MasterAgentID, PatchID, Status FROM swinformer"),
            (korbtest::Rows{{"7", "5001", "0"}}));
}

// The scheduler's retry update for profiled deploy jobs compares profile
// values as numbers; strict mode would fail the whole statement if the join
// ever reached a list value.
TEST_F(PatchProceduresTest, ProfileDeployRetryRunsBesideListValues) {
  Exec("INSERT INTO orbprofilevalues (ProfileID, ColumnID, ProfileValues, SiteID) VALUES "
       "(20, 69, '21,22', 1), (20, 58, 'corp.example', 1), (20, 76, '3', 1), (20, 77, '2', 1), "
       "(21, 60, '1,2,3', 1)");
  AddPatchRow(119, 5001, -6);
  Exec("Update patch_jobdetails pj , orbprofilevalues im set pj.internalstatus =3 ,pj.status ='Patch "
       "deploy job is posted.', pj.retries = retries+1  where pj.internalstatus =-6 and "
       "im.siteid=pj.siteid and im.profileid=pj.profileid and im.columnid = 76 and  pj.Retries < "
       "im.profilevalues  and (select profilevalues from orbprofilevalues where  profileid = "
       "pj.profileid and siteid =pj.siteid and columnid = 77) <= timestampdiff(minute, "
       "Date_format(pj.time,'%Y-%m-%d %H:%i:%s'), now() )  and pj.siteid=1");
  EXPECT_EQ(Scalar("SELECT CONCAT(InternalStatus, '/', Retries) FROM patch_jobdetails"), "3/1");
}

}  // namespace
