// Event 6: removes probe schedule entries that can no longer lead to work.
// Each delete runs only after its count found something, so a quiet
// database sees read-only statements.
#include "MaintenanceEvents.h"

#include <string>

#include "ProcessState.h"

namespace {

// Job entries (task type 3, categories 7 and 8) whose job row is gone.
constexpr char kCountOrphanJobEntries[] =
    "select count(*) as outputvalue from probescheduledetail pd left join jobdetails "
    "jd on pd.probeschedulerid =jd.jobid  where pd.probeid =%d and  pd.tasktypeid =3 "
    "and pd.taskcategoryid in(7,8) and jd.jobid is null";
constexpr char kDeleteOrphanJobEntries[] =
    "delete pd from probescheduledetail pd left join jobdetails jd on pd.probeschedulerid "
    "=jd.jobid  where pd.probeid =%d and pd.tasktypeid =3 and pd.taskcategoryid in(7,8) "
    "and jd.jobid is null";
// Agent entries (task type 1) of monitoring IDs 4 and 5 whose agent has
// been silent for an hour, and the pending job entries on such agents.
constexpr char kCountSilentAgentEntries4[] =
    "select count(ps.probeschedulerid) as outputvalue from probescheduledetail ps inner "
    "join orbtaskagentdetails orb on orb.systemid = ps.probeschedulerid where ps.probeid "
    "= %d and ps.tasktypeid = 1 and ps.monitoringid = 4 and orb.lastresponseTime <  "
    "now() - interval 1 hour";
constexpr char kDeleteSilentAgentEntries4[] =
    "delete ps from probescheduledetail ps inner join orbtaskagentdetails orb on orb.systemid "
    "= ps.probeschedulerid where ps.probeid = %d  and ps.tasktypeid =1 and ps.monitoringid "
    "= 4 and orb.lastresponseTime <  now() - interval 1 hour";
constexpr char kCountSilentAgentJobEntries4[] =
    "select count(ps.probeschedulerid) as outputvalue from probescheduledetail ps inner "
    "join jobdetails jd on jd.jobid = ps.probeschedulerid inner join orbtaskagentdetails "
    "orb on orb.systemid = jd.systemid and jd.siteid =orb.siteid where ps.probeid = "
    "%d and ps.tasktypeid = 3 and ps.monitoringid = 4 and jd.status = 0 and orb.lastresponseTime "
    "<  now() - interval 1 hour";
constexpr char kDeleteSilentAgentJobEntries4[] =
    "delete ps from probescheduledetail ps inner join jobdetails jd on jd.jobid = ps.probeschedulerid "
    "inner join orbtaskagentdetails orb on orb.systemid = jd.systemid and jd.siteid "
    "=orb.siteid where ps.probeid = %d and ps.tasktypeid = 3 and ps.monitoringid = 4 "
    "and jd.status = 0 and orb.lastresponseTime <  now() - interval 1 hour";
constexpr char kCountSilentAgentEntries5[] =
    "select count(ps.probeschedulerid) as outputvalue from probescheduledetail ps inner "
    "join orbtaskagentdetails orb on orb.systemid = ps.probeschedulerid where ps.probeid "
    "= %d and ps.tasktypeid = 1 and ps.monitoringid = 5 and orb.lastresponseTime <  "
    "now() - interval 1 hour";
constexpr char kDeleteSilentAgentEntries5[] =
    "delete ps from probescheduledetail ps inner join orbtaskagentdetails orb on orb.systemid "
    "= ps.probeschedulerid where ps.probeid = %d  and ps.tasktypeid =1 and ps.monitoringid "
    "= 5 and orb.lastresponseTime <  now() - interval 1 hour";
constexpr char kCountSilentAgentJobEntries5[] =
    "select count(ps.probeschedulerid) as outputvalue from probescheduledetail ps inner "
    "join jobdetails jd on jd.jobid = ps.probeschedulerid inner join orbtaskagentdetails "
    "orb on orb.systemid = jd.systemid and jd.siteid =orb.siteid where ps.probeid = "
    "%d and ps.tasktypeid = 3 and ps.monitoringid = 5 and jd.status = 0 and orb.lastresponseTime "
    "<  now() - interval 1 hour";
constexpr char kDeleteSilentAgentJobEntries5[] =
    "delete ps from probescheduledetail ps inner join jobdetails jd on jd.jobid = ps.probeschedulerid "
    "inner join orbtaskagentdetails orb on orb.systemid = jd.systemid and jd.siteid "
    "=orb.siteid where ps.probeid = %d and ps.tasktypeid = 3 and ps.monitoringid = 5 "
    "and jd.status = 0 and orb.lastresponseTime <  now() - interval 1 hour";

// Runs remove only when count finds something; true when it ran. A count
// that fails reads as 0.
bool DeleteWhenCounted(const std::string& count, const std::string& remove) {
  std::string value;
  g_pDBI->getValueFromQuery(count, value);
  if (ToInt(value) <= 0) return false;
  g_pDBI->executeSQL(remove);
  return true;
}

}  // namespace

// No handler of its own: an exception here ends the main loop.
void CleanupProbeScheduleEvent() {
  if (g_pDBI->m_nMSPFlag != 0) return;
  for (const std::string& probe : g_ProbeIdList) {
    const int p = ToInt(probe);
    if (DeleteWhenCounted(Format(kCountOrphanJobEntries, p), Format(kDeleteOrphanJobEntries, p))) {
      KLOG(8, "Clearing of un-necessary probescheduledetail enteries is Successful");
    }
    DeleteWhenCounted(Format(kCountSilentAgentEntries4, p), Format(kDeleteSilentAgentEntries4, p));
    DeleteWhenCounted(Format(kCountSilentAgentJobEntries4, p),
                      Format(kDeleteSilentAgentJobEntries4, p));
    DeleteWhenCounted(Format(kCountSilentAgentEntries5, p), Format(kDeleteSilentAgentEntries5, p));
    DeleteWhenCounted(Format(kCountSilentAgentJobEntries5, p),
                      Format(kDeleteSilentAgentJobEntries5, p));
  }
}
