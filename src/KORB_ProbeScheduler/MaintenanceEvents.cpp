// Events 4, 10, 11 and 13: stored procedures that populate and post work,
// run on the main database or, on an MSP server, on every customer
// database with a virtual probe. Events 6 and 9 have files of their own.
#include "MaintenanceEvents.h"

#include <string>

#include "CustomerFanOut.h"
#include "ProcedureRunners.h"
#include "ProcessState.h"

namespace {

constexpr char kAgentUpgradeCall[] = "call PopulateAgentUpgradedetails();";
constexpr char kSoftwareDeploymentCall[] = "call postsoftwaredeploymentjob();";
constexpr char kPopulateJobsCall[] = "call PopulateJobsforCategory(7, 1);";
constexpr char kUserFormPublishCall[] = "call populateuserformpublishinfo();";
constexpr char kLoadDistributionCall[] = "call Load_Distribution(%d, %d)";

bool MspServer() { return g_pDBI->m_nMSPFlag != 0; }

// Only 1 enables metering; a failed read leaves the value empty (0).
bool SoftwareMeteringEnabled(CDBI& db) {
  std::string value;
  db.getConfigSetting("SOFTWARE_METER_STATUS", value);
  return ToInt(value) == 1;
}

}  // namespace

void PopulateAgentUpgradeDetailsEvent() {
  try {
    if (MspServer()) {
      ForEachVirtualProbeCustomer([](CDBI& db) {
        KLOG(8, "MainScheduler:: calling PopulateAgentUpgradedetails procedure. :: In Virtual Probe");
        db.executeSQLProcedure(kAgentUpgradeCall);
      }, OnPool("MainScheduler:: Exception caught while calling PopulateAgentUpgradedetails procedure!!"));
    } else {
      KLOG(8, "MainScheduler:: calling PopulateAgentUpgradedetails procedure");
      g_pDBI->executeSQLProcedure(kAgentUpgradeCall);
    }
  } catch (...) {
    KLOG(2, "MainScheduler:: Exception caught while calling PopulateAgentUpgradedetails procedure!!");
  }
}

void SoftwareDeploymentEvent() {
  try {
    if (MspServer()) {
      ForEachVirtualProbeCustomer([](CDBI& db) {
        KLOG(8, "calling postsoftwaredeploymentjob procedure");
        db.executeSQLProcedure(kSoftwareDeploymentCall);
      }, OnPool("postsoftwaredeploymentjob exception"));
    } else {
      KLOG(8, "calling postsoftwaredeploymentjob procedure");
      g_pDBI->executeSQLProcedure(kSoftwareDeploymentCall);
    }
  } catch (...) {
    KLOG(2, "postsoftwaredeploymentjob exception");
  }
}

// No handler of its own: an exception here ends the main loop.
void SoftwareMeteringEvent() {
  if (MspServer()) {
    ForEachVirtualProbeCustomer([](CDBI& db) {
      KLOG(8, "SOFTWARE METERING EVENT OCCURED for Virtual Probe");
      if (SoftwareMeteringEnabled(db)) {
        KLOG(16, "MainScheduler :: Software metering Enabled. :: In Virtual Probe");
        db.executeSQLProcedure(Format(kLoadDistributionCall, 16, 180));
      } else {
        KLOG(16, "MainScheduler :: Software metering Disabled. :: In Virtual Probe");
      }
    }, OnPool());
    return;
  }
  KLOG(8, "SOFTWARE METERING EVENT OCCURED");
  if (SoftwareMeteringEnabled(*g_pDBI)) {
    KLOG(16, "MainScheduler :: Software metering Enabled.");
    Load_Distribution(16);
  } else {
    KLOG(16, "MainScheduler :: Software metering Disabled.");
  }
}

// The main form has no handler of its own: an exception there ends the
// main loop.
void JobPopulateEvent() {
  if (!MspServer()) {
    KLOG(8, "JOB POPULATE EVENT OCCURED");
    g_pDBI->executeSQLProcedure(kPopulateJobsCall);
    KLOG(16, "Calling populateuserformpublishinfo");
    g_pDBI->executeSQLProcedure(kUserFormPublishCall);
    return;
  }
  try {
    ForEachJobPopulateCustomer([](CDBI& db) {
      KLOG(8, "JOB POPULATE EVENT OCCURED :: Virtual site");
      db.executeSQLProcedure(kPopulateJobsCall);
      KLOG(16, "Calling populateuserformpublishinfo :: Virtual site");
      db.executeSQLProcedure(kUserFormPublishCall);
    }, OnPool("Exception:: JOB POPULATE EVENT OCCURED :: Virtual site", KORB_LOG_INFO));
  } catch (...) {
    KLOG(8, "Exception:: JOB POPULATE EVENT OCCURED :: Virtual site");
  }
}
