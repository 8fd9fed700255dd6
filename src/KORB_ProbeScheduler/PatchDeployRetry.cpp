// Event 9: deploy jobs that wait in internal status -6 go back to internal
// status 3 once their wait is over and their retries are not used up, and
// the post-deploy procedures run. Jobs without a profile wait 3 minutes
// and retry at most 3 times; jobs with a profile take both numbers from it
// (column 76 the retry limit, column 77 the wait in minutes).
#include <string>

#include "CustomerFanOut.h"
#include "MaintenanceEvents.h"
#include "ProcedureRunners.h"
#include "ProcessState.h"

namespace {

constexpr char kRetryDeployWithoutProfile[] =
    "update patch_jobdetails set internalstatus =3 , status ='Patch deploy job is posted.', "
    "retries = retries+1 where internalstatus =-6 and retries <3 and profileid=0  and "
    "3 <= timestampdiff(minute, Date_format(time,%s), now() ) and siteid=%ld";
constexpr char kRetryDeployWithProfile[] =
    "Update patch_jobdetails pj , orbprofilevalues im set pj.internalstatus =3 ,pj.status "
    "='Patch deploy job is posted.', pj.retries = retries+1  where pj.internalstatus "
    "=-6 and im.siteid=pj.siteid and im.profileid=pj.profileid and im.columnid = 76 "
    "and  pj.Retries < im.profilevalues  and (select profilevalues from orbprofilevalues "
    "where  profileid = pj.profileid and siteid =pj.siteid and columnid = 77) <= timestampdiff(minute, "
    "Date_format(pj.time,%s), now() )  and pj.siteid=%ld";
// Second argument of Date_format in both statements.
constexpr char kJobTimeFormat[] = "'%Y-%m-%d %H:%i:%s'";
constexpr char kPostPatchDeployCall[] = "call Postpatchdeploy();";
constexpr char kPopulatePatchJobsCall[] = "call PopulateJobsforCategory(8, 1);";
constexpr char kPatchMgmtSubmitCall[] = "Call pm_submitschedulejobs();";

// Statements 1 and 2 against one database, for that database's site.
void RetryWaitingDeployJobs(CDBI& db) {
  const long siteId = db.m_nSiteID;
  db.executeSQL(Format(kRetryDeployWithoutProfile, kJobTimeFormat, siteId));
  db.executeSQL(Format(kRetryDeployWithProfile, kJobTimeFormat, siteId));
}

void PostPatchDeploy(CDBI& db) {
  KLOG(8, "calling postpatchdeploy procedure");
  db.executeSQLProcedure(kPostPatchDeployCall);
}

void PatchDeployRetryOnMain() {
  RetryWaitingDeployJobs(*g_pDBI);
  PostPatchDeploy(*g_pDBI);
  KLOG(8, "calling PopulateJobsforCategory(8,1)");
  g_pDBI->executeSQLProcedure(kPopulatePatchJobsCall);
  KLOG(8, "calling Load_Distribution(3,60)");
  Load_Distribution(3);
  // The retried jobs are due now: signal them without waiting for the
  // next signalling event.
  if (g_pSignalHandler != nullptr) g_pSignalHandler->ResetEvent(17);
  KLOG(8, "Completed calls for all 3 procedures...");
}

void PatchDeployRetryOnCustomers() {
  ForEachVirtualProbeCustomer([](CDBI& db) {
    RetryWaitingDeployJobs(db);
    PostPatchDeploy(db);
    port::CriticalSectionLock lock(g_csSubmitScheduleJobs);
    db.executeSQLProcedure(kPatchMgmtSubmitCall);
  }, OnPool("postpatchdeploy exception"));
}

}  // namespace

void PatchDeployRetryEvent() {
  try {
    if (g_pDBI->m_nMSPFlag != 0) {
      PatchDeployRetryOnCustomers();
    } else {
      PatchDeployRetryOnMain();
    }
  } catch (...) {
    KLOG(2, "postpatchdeploy exception");
  }
}
