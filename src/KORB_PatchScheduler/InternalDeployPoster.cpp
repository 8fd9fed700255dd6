// The internal deploy job poster thread.
//
// Owns g_hInternalDeployEvent (set by the main loop on a patch download
// success signal) and otherwise wakes every minute. Each pass hands at
// most one ready patch per system to postpatchinternaldeployjob, agent
// nodes first, then agentless nodes, and wakes the scheduled and on-demand
// patch threads whenever it found pending rows. The thread's private state
// is the time of the last MasteragentPatchDownload call (one 900-second
// interval for all customers) and the counter that keeps job names unique.
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "CustomerFanOut.h"
#include "InternalDeployGuards.h"
#include "PatchJobLoop.h"
#include "PatchThreads.h"
#include "ProcessState.h"
#include "WorkerStop.h"
#include "scheduler_metrics.h"

namespace {

constexpr char kThreadName[] = "InternalDeployJobPoster";
constexpr uint32_t kInternalDeployWaitMs = 60000;
constexpr int64_t kProcedureIntervalSeconds = 900;
constexpr int32_t kJobCounterWrapAfter = 1073741824;
constexpr int kReadyStatus = 3;
constexpr int kRepostStatus = 11;
constexpr char kPatchTimePattern[] = "%Y/%m/%d %H:%i:%s";

// Both pending-row queries pick each system's first row by priority,
// internal status (11 before 3), time and classification. The ranking is
// done with ROW_NUMBER(): an ORDER BY inside a grouped derived table does
// not decide which row the group keeps.
constexpr char kAgentNodeQuery[] =
    "SELECT SystemID, PatchID ,ProfileID ,InternalStatus, priority from "
    "(SELECT i.SystemID AS SystemID, pjd.PatchID AS PatchID, pjd.ProfileID "
    "AS ProfileID, pjd.InternalStatus AS InternalStatus, pjd.Priority AS "
    "priority, ROW_NUMBER() OVER (PARTITION BY i.SystemID ORDER BY "
    "pjd.priority, pjd.internalstatus DESC, STR_TO_DATE(pjd.Time,'%s'), "
    "FIELD(pd.UpdateClassification,'Service Packs', 'Update Rollups', "
    "'Security Updates', 'Critical Updates')) AS RowInSystem FROM "
    "Patch_jobdetails pjd INNER JOIN inventorymaster i ON "
    "i.siteid=pjd.siteid AND i.systemid=pjd.systemid INNER JOIN "
    "patch_details pd ON pd.siteid=pjd.siteid AND pd.patchid=pjd.patchid "
    "INNER JOIN mappedagents m ON m.siteid=i.siteid AND "
    "m.systemid=i.systemid INNER JOIN (select siteid, patchid, "
    "masteragentid,count(*) as total_download ,sum( case when status in (1) "
    "then 1 else 0 end ) as success_download from swinformer group by "
    "siteid, patchid, masteragentid having success_download=total_download) "
    "sw ON sw.siteid=i.siteid AND sw.Patchid=pd.patchid AND "
    "sw.masteragentid=m.masteragentid WHERE i.siteid=%d AND i.isvpnclient=1 "
    "AND pjd.ismasteragentdownload=1 AND pjd.retries <=3 AND sw.patchid !=0 "
    "AND pjd.InternalStatus IN (%d,%d)) x WHERE x.RowInSystem = 1 ORDER BY "
    "x.SystemID; ";

constexpr char kAgentlessNodeQuery[] =
    "select SystemID, PatchID, ProfileID, InternalStatus, priority from "
    "(select inv.SystemID as SystemID, pd.PatchID as PatchID, pd.ProfileID "
    "as ProfileID, pd.InternalStatus as InternalStatus, pd.Priority as "
    "priority, row_number() over (partition by inv.SystemID order by "
    "pd.priority, pd.INTERNALSTATUS DESC, str_to_date(pd.TIME, '%s'), "
    "field(pad.updateclassification,'Service Packs', 'Update Rollups', "
    "'Security Updates', 'Critical Updates')) as RowInSystem from "
    "Patch_JobDetails pd, inventorymaster inv,patch_details pad where "
    "(pd.InternalStatus = %d or pd.InternalStatus = %d) and inv.siteid = "
    "pd.siteid and inv.systemid = pd.systemid and inv.siteid = %d and "
    "inv.isvpnclient = 0 and pd.retries <= 3 and pad.siteid =inv.siteid and "
    "pad.patchid =pd.patchid )x where x.RowInSystem = 1 order by x.SystemID ";

constexpr char kPostInternalDeployJob[] =
    "call postpatchinternaldeployjob(%d, %d, %d, %d, '%s', %d);";

const std::vector<std::string> kPendingColumns = {
    "SystemID", "PatchID", "ProfileID", "InternalStatus", "priority"};

std::atomic<int32_t> g_counterStartForTest{0};

// False (logged) when a value that must be a number is not one.
bool ParsePendingRow(const DBRow& row, PendingDeployRow* out) {
  for (const std::string& value : row) {
    if (!IsInteger(value)) {
      KLOG(KORB_LOG_ERROR,
           "InternalDeployJobPoster: skipping a pending row with a value "
           "that is not a number (SystemID:'%s' PatchID:'%s' ProfileID:'%s' "
           "InternalStatus:'%s' priority:'%s')",
           row[0].c_str(), row[1].c_str(), row[2].c_str(), row[3].c_str(),
           row[4].c_str());
      return false;
    }
  }
  out->systemText = row[0];
  out->patchText = row[1];
  out->profileText = row[2];
  out->systemId = ToInt(row[0]);
  out->patchId = ToInt(row[1]);
  out->profileId = ToInt(row[2]);
  out->internalStatus = ToInt(row[3]);
  out->priority = ToInt(row[4]);
  return true;
}

void WakePatchJobThreads() {
  g_hPatchJobEvent.Set();
  g_hOndemandPatchJobEvent.Set();
  KLOG(KORB_LOG_TRACE, "InternalDeployJobPoster: SetEvent for JobScheduling");
}

class InternalDeployPoster {
 public:
  explicit InternalDeployPoster(int32_t counterStart)
      : jobCounter_(counterStart) {}

  // On an MSP server a pass serves every customer before the thread
  // waits: the patch threads are woken once, after the pass, instead of
  // after every customer (each wake-up starts a pass of theirs over all
  // customers, so waking them mid-pass only repeats their passes).
  void HoldWakesUntilPassEnd() { holdWakes_ = true; }
  void EndPass() {
    if (wakeHeld_) WakePatchJobThreads();
    wakeHeld_ = false;
  }

  void Pass(CDBI* db) {
    if (ReadPatchScanStatus(db) != 1) {
      KLOG(KORB_LOG_TRACE,
           "InternalDeployJobPoster: PatchManagement Module not enabled");
      return;
    }
    CallMasterAgentProcedureWhenDue(db);
    PostAgentNodes(db);
    PostAgentlessNodes(db);
  }

 private:
  void CallMasterAgentProcedureWhenDue(CDBI* db) {
    int64_t now = Clock::NowSeconds();
    if (now < lastProcedureTime_ ||
        now - lastProcedureTime_ < kProcedureIntervalSeconds)
      return;
    // The end waits for the call; none starts after a stop was asked.
    WorkUnit unit("InternalDeployJobPoster: MasteragentPatchDownload call");
    if (!unit.Started()) return;
    KLOG(KORB_LOG_INFO,
         "InternalDeployJobPoster:: Calling MasteragentPatchDownload "
         "Procedure()");
    db->executeSQLProcedure("call MasteragentPatchDownload()");
    KLOG(KORB_LOG_INFO,
         "InternalDeployJobPoster:: Ended calling MasteragentPatchDownload "
         "Procedure()");
    lastProcedureTime_ = now;
  }

  void PostAgentNodes(CDBI* db) {
    DBRows rows;
    db->getRows(Format(kAgentNodeQuery, kPatchTimePattern, db->m_nSiteID,
                       kReadyStatus, kRepostStatus),
                kPendingColumns, rows);
    if (rows.empty()) {
      KLOG(KORB_LOG_INFO,
           "InternalDeployJobPoster: No jobs are there to deploy for agent "
           "nodes!!!");
      return;
    }
    int total = static_cast<int>(rows.size());
    metrics::PostingRun posting(metrics::PostingKind::kInternalDeploy);
    posting.Targets(rows.size());
    KLOG(KORB_LOG_INFO,
         "InternalDeployJobPoster: There are Some jobs which are waiting for "
         "the deploy for agent nodes. Size:%d",
         total);
    long passCount = 0;
    for (const DBRow& raw : rows) {
      PendingDeployRow row;
      if (!ParsePendingRow(raw, &row)) continue;
      WorkUnit unit(RowUnitText(row));
      if (!unit.Started()) break;  // the rest waits for the next start
      try {
        if (row.internalStatus != kRepostStatus &&
            ServicePackDownloadInProgress(row, db))
          continue;
        ++passCount;
        PostRow(row, db, [&](const std::string& jobName) {
          KLOG(KORB_LOG_INFO,
               "InternalDeployJobPoster:: Passed the PatchID:%s, "
               "SystemID:%s, ProfileID:%s  JobName:%s for Internal Job "
               "Posting. CurrentCount=%ld TotalSize:%d  Priority : d",
               row.patchText.c_str(), row.systemText.c_str(),
               row.profileText.c_str(), jobName.c_str(), passCount, total);
        });
      } catch (...) {
        LogRowException(row);
      }
    }
    Wake();
  }

  void PostAgentlessNodes(CDBI* db) {
    std::string query = Format(kAgentlessNodeQuery, kPatchTimePattern,
                               kReadyStatus, kRepostStatus, db->m_nSiteID);
    KLOG(KORB_LOG_TRACE, "InternalDeployJobPoster:: AgentlessQuery:%s",
         query.c_str());
    DBRows rows;
    db->getRows(query, kPendingColumns, rows);
    if (rows.empty()) {
      KLOG(KORB_LOG_INFO,
           "InternalDeployJobPoster: No jobs are there to deploy for "
           "agentless nodes");
      return;
    }
    KLOG(KORB_LOG_INFO,
         "InternalDeployJobPoster: There are Some jobs which are waiting for "
         "the deploy for agentlessnodes. Size:%d",
         static_cast<int>(rows.size()));
    metrics::PostingRun posting(metrics::PostingKind::kInternalDeploy);
    posting.Targets(rows.size());
    for (const DBRow& raw : rows) {
      PendingDeployRow row;
      if (!ParsePendingRow(raw, &row)) continue;
      WorkUnit unit(RowUnitText(row));
      if (!unit.Started()) break;
      try {
        if (!DataCollectorReady(row, db)) continue;
        if (row.internalStatus != kRepostStatus &&
            ServicePackDownloadInProgress(row, db))
          continue;
        PostRow(row, db, [&](const std::string& jobName) {
          KLOG(KORB_LOG_INFO,
               "InternalDeployJobPoster:: Passed the PatchID:%s, "
               "SystemID:%s, ProfileID:%s  JobName:%s for Internal Job "
               "Posting Priority : %d",
               row.patchText.c_str(), row.systemText.c_str(),
               row.profileText.c_str(), jobName.c_str(), row.priority);
        });
      } catch (...) {
        LogRowException(row);
      }
    }
    Wake();
  }

  void Wake() {
    if (holdWakes_)
      wakeHeld_ = true;
    else
      WakePatchJobThreads();
  }

  template <typename LogPassed>
  void PostRow(const PendingDeployRow& row, CDBI* db, LogPassed logPassed) {
    std::string now;
    GetCurrentTime_24HourFormat(now);
    jobCounter_ = jobCounter_ > kJobCounterWrapAfter ? 0 : jobCounter_ + 1;
    std::string jobName =
        Format("InternalPatchDeployJob_%d_%s_%d",
               static_cast<int>(port::CurrentThreadId()), now.c_str(),
               jobCounter_);
    logPassed(jobName);
    metrics::JobSubmitted(metrics::kInternalDeployJob,
                          db->executeSQLProcedure(Format(
                              kPostInternalDeployJob, db->m_nSiteID, row.patchId,
                              row.systemId, row.profileId,
                              db->EscapeString(jobName).c_str(), row.priority)));
    KLOG(KORB_LOG_INFO,
         "InternalDeployJobPoster:: call postpatchinternaldeployjob() Ended");
  }

  static std::string RowUnitText(const PendingDeployRow& row) {
    return Format("%s: posting PatchID:%s for SystemID:%s", kThreadName,
                  row.patchText.c_str(), row.systemText.c_str());
  }

  static void LogRowException(const PendingDeployRow& row) {
    KLOG(KORB_LOG_ERROR,
         "InternalDeployJobPoster: Exception while job posting for "
         "PatchID:%s, SystemID:%s, ProfileID:%s ",
         row.patchText.c_str(), row.systemText.c_str(),
         row.profileText.c_str());
  }

  int64_t lastProcedureTime_ = 0;
  int32_t jobCounter_;
  bool holdWakes_ = false;
  bool wakeHeld_ = false;
};

void WaitForWake(port::Event& event) {
  event.Wait(Clock::ScaledMs(kInternalDeployWaitMs));
  event.Reset();
  KLOG(KORB_LOG_TRACE, "InternalDeployJobPoster: WaitTimeout");
}

}  // namespace

void SetInternalDeployJobCounterForTest(int32_t value) {
  g_counterStartForTest.store(value);
}

uint32_t InternalDeployJobPoster() {
  KLOG(KORB_LOG_TRACE, "InternalDeployJobPoster: Entry");
  metrics::SetFanOutKind(kThreadName);
  InternalDeployPoster poster(g_counterStartForTest.exchange(0));
  auto event = std::make_shared<port::Event>();
  g_hInternalDeployEvent.Store(event);

  try {
    if (g_pDBI->m_nMSPFlag == 0) {
      for (;;) {
        ThrowIfFaultInjected(kThreadName);
        if (LeavesForOrderlyEnd(kThreadName)) return 0;
        poster.Pass(g_pDBI);
        WaitForWake(*event);
      }
    }
    poster.HoldWakesUntilPassEnd();
    for (;;) {
      ThrowIfFaultInjected(kThreadName);
      if (LeavesForOrderlyEnd(kThreadName)) return 0;
      // Every customer in turn, then one wait for the pass.
      ForEachVirtualProbeCustomer([&](CDBI& db) {
        ThrowIfFaultInjected(kThreadName);
        if (WorkerStopRequested()) return;
        poster.Pass(&db);
      });
      poster.EndPass();
      WaitForWake(*event);
    }
  } catch (...) {
    KLOG(KORB_LOG_ERROR,
         "InternalDeployJobPoster: Exception Catch. Exiting from thread");
  }
  return static_cast<uint32_t>(-1);
}
