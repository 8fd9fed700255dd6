// SignallingRelatedModules: one UDP signal per suite process that has work
// waiting, found by nine target queries against one database.
//
// Every query reads the current state of the work, so a lost datagram is
// simply sent again on the next run; only the syslog and SNMP-trap steps
// mark their inputs as signalled and therefore signal once per new input.
// A send that fails changes nothing in that flow; it is only logged, a few
// times per host, since the same host fails again on every run.
#include "ModuleSignalling.h"

#include <stdexcept>
#include <vector>

#include "ProcessState.h"

namespace {

constexpr char kDueJobTargets[] =
    "select pm.HostName as hostname,spm.PortNumber as port,tl.SignalType as signaltype "
    "from probemaster pm, kovaorbprocessmaster spm, probescheduledetail psd, tasklist "
    "tl, jobdetails jd, jobtypemaster jtm, processmapper pmap where pm.Status = 1 and "
    "pm.ProbeID = psd.ProbeID and psd.ProbeschedulerID = jd.JobID and tl.TaskCategoryID "
    "= psd.TaskCategoryID and tl.TaskTypeid = %d and jtm.IsSignalRequiredForJob = 1 and "
    "spm.ProbeType = pm.ProbeType and jtm.JobTypeID = jd.JobTypeID and spm.ProcessNo = "
    "pmap.ProcessNo and pmap.TaskID = tl.TaskID and jd.ScheduleTime <= now() and jd.Status "
    "= 0 group by pm.HostName, spm.PortNumber, tl.SignalType";
constexpr char kUncollectedInventoryTargets[] =
    "select pm.HostName as hostname, spm.PortNumber as port, tl.SignalType as signaltype "
    "from probemaster pm, kovaorbprocessmaster spm, processmapper pmap, tasklist tl, probescheduledetail "
    "psd, inventorymaster im where pm.ProbeType = spm.ProbeType and spm.ProcessNo = pmap.ProcessNo "
    "and tl.TaskID = pmap.TaskID and tl.TaskTypeID = %d and psd.TaskTypeID = tl.TaskTypeID "
    "and psd.ProbeID = pm.ProbeID and psd.TaskCategoryID = tl.TaskCategoryID and im.SystemID "
    "= psd.ProbeSchedulerID and im.InventoryDatacollectionStatus = 0 group by pm.HostName, "
    "spm.PortNumber, tl.SignalType ";
constexpr char kInventoriedSystemTargets[] =
    "select pm.HostName as hostname, spm.PortNumber as port, tl.SignalType as signalType "
    "from probemaster pm, kovaorbprocessmaster spm, processmapper pmap, tasklist tl, probescheduledetail "
    "psd, inventorymaster im where pm.ProbeType = spm.ProbeType and spm.ProcessNo = pmap.ProcessNo "
    "and tl.TaskID = pmap.TaskID and tl.TaskTypeID = %d and psd.TaskTypeID = tl.TaskTypeID "
    "and psd.ProbeID = pm.ProbeID and psd.TaskCategoryID = tl.TaskCategoryID and im.SystemID "
    "= psd.ProbeSchedulerID group by pm.HostName, spm.PortNumber, tl.SignalType ";
constexpr char kPoller12Targets[] =
    "select pm.HostName as hostname, spm.PortNumber as port, tl.SignalType as signalType "
    "from probemaster pm, kovaorbprocessmaster spm, processmapper pmap, tasklist tl, probescheduledetail "
    "psd, perfinstance_collectiondetails im where pm.ProbeType = spm.ProbeType and spm.ProcessNo "
    "= pmap.ProcessNo and tl.TaskID = pmap.TaskID and tl.TaskTypeID = %d and psd.TaskTypeID "
    "= tl.TaskTypeID and psd.ProbeID = pm.ProbeID and psd.TaskCategoryID = tl.TaskCategoryID "
    "and im.SystemID = psd.MonitoringID and im.PollerID = 12 group by pm.HostName, spm.PortNumber, "
    "tl.SignalType ";
constexpr char kPoller11Targets[] =
    "select pm.HostName as hostname, spm.PortNumber as port, tl.SignalType as signalType "
    "from probemaster pm, kovaorbprocessmaster spm, processmapper pmap, tasklist tl, probescheduledetail "
    "psd, perfinstance_collectiondetails im where pm.ProbeType = spm.ProbeType and spm.ProcessNo "
    "= pmap.ProcessNo and tl.TaskID = pmap.TaskID and tl.TaskTypeID = %d and psd.TaskTypeID "
    "= tl.TaskTypeID and psd.ProbeID = pm.ProbeID and psd.TaskCategoryID = tl.TaskCategoryID "
    "and im.SystemID = psd.MonitoringID and im.PollerID = 11 group by pm.HostName, spm.PortNumber, "
    "tl.SignalType ";
constexpr char kSyslogTargets[] =
    "select pm.HostName as hostname, spm.PortNumber as port, tl.SignalType as signalType "
    "from probemaster pm, kovaorbprocessmaster spm, processmapper pmap, tasklist tl where "
    "pm.ProbeType = spm.ProbeType and spm.ProcessNo = pmap.ProcessNo and tl.TaskID = pmap.TaskID "
    "and tl.TaskTypeID = %d and (select count(*) from loganalyzer_otherinputsettings where "
    "SysLog_SignalStatus = 0 and SysLogCollect != '00000000')group by pm.HostName, spm.PortNumber, "
    "tl.SignalType ";
constexpr char kSnmpTrapTargets[] =
    "select pm.HostName as hostname, spm.PortNumber as port, tl.SignalType as signalType "
    "from probemaster pm, kovaorbprocessmaster spm, processmapper pmap, tasklist tl where "
    "pm.ProbeType = spm.ProbeType and spm.ProcessNo = pmap.ProcessNo and tl.TaskID = pmap.TaskID "
    "and tl.TaskTypeID = %d and (select count(*) from loganalyzer_otherinputsettings where "
    "SNMPTraps_SignalStatus = 0 and SNMPTraps != '0')group by pm.HostName, spm.PortNumber, "
    "tl.SignalType ";
constexpr char kMeteringTargets[] =
    "select pm.HostName as HostName ,spm.PortNumber as Port ,tl.signaltype SignalType "
    "from probescheduledetail psd, kovaorbprocessmaster spm,probemaster pm,tasklist tl, "
    "softwaremeterdetail smd where pm.ProbeType = spm.ProbeType and tl.tasktypeid= psd.tasktypeid "
    "and tl.TaskTypeID = %d and smd.systemid=psd.ProbeSchedulerID and smd.CollectionStatus "
    "not in (2,3) and smd.CollectionAttemptTime <= NOW()-INTERVAL %s MINUTE and spm.ProcessNo "
    "= tl.ProcessNo group by pm.HostName, spm.PortNumber, tl.SignalType ";

constexpr char kMarkSyslogSignalled[] =
    "Update loganalyzer_otherinputsettings set SysLog_SignalStatus = 1 where SysLogCollect != '00000000'";
constexpr char kMarkSnmpTrapsSignalled[] =
    "Update loganalyzer_otherinputsettings set SNMPTraps_SignalStatus = 1 where SNMPTraps != '0'";
constexpr char kMeteringCollectionTime[] =
    "Select SettingValue as OutputValue from Configsettings where settingkey='SOFTWARE_METER_COLLECTION_TIME'";

constexpr char kNoJobsToSignal[] = "SignallingRelatedModules: No jobs to signal";
constexpr char kPortMissing[] = "PORT/SIZE MISSING";

enum class SendingText { kPlain, kSyslog, kSnmpTraps, kMetering };

// The log texts of one step. shownType is the number the sending line
// prints; -1 prints the type actually sent (several steps print a fixed
// number instead, which the datagram does not follow).
struct StepTexts {
  SendingText sending;
  int shownType;
  const char* noTarget;
  const char* missingValue;
};

constexpr StepTexts kRowTypeStep{SendingText::kPlain, -1, kNoJobsToSignal, kPortMissing};
constexpr StepTexts kSyslogStep{
    SendingText::kSyslog, 21,
    "SignallingRelatedModules:: No newly syslog configured nodes to signal",
    "SignallingRelatedModules:: PORT/SIZE MISSING for Syslog signalling"};
constexpr StepTexts kSnmpTrapsStep{
    SendingText::kSnmpTraps, 22,
    "SignallingRelatedModules:: No newly SnmpTraps configured nodes to signal",
    "SignallingRelatedModules:: PORT/SIZE MISSING for SnmpTraps signalling"};
constexpr StepTexts kMeteringStep{SendingText::kMetering, -1, kNoJobsToSignal, kPortMissing};

StepTexts FixedTypeStep(int shownType) {
  return StepTexts{SendingText::kPlain, shownType, kNoJobsToSignal, kPortMissing};
}

const std::vector<std::string> kTargetColumns{"hostname", "port", "signaltype"};
const std::vector<std::string> kMeteringColumns{"HostName", "Port", "SignalType"};

void LogSending(SendingText kind, const std::string& host, long port, int type) {
  switch (kind) {
    case SendingText::kPlain:
      KLOG(8, "SENDING SIGNAL TO HOST %s PORT %ld TYPE %d", host.c_str(), port, type);
      break;
    case SendingText::kSyslog:
      KLOG(8, "SENDING SIGNAL TO HOST %s PORT %ld TYPE:SH_SYSLOG_MAP_UPDATE_SIGNAL:%d",
           host.c_str(), port, type);
      break;
    case SendingText::kSnmpTraps:
      KLOG(8, "SENDING SIGNAL TO HOST %s PORT %ld TYPE:SH_SNMPTRAPS_MAP_UPDATE_SIGNAL:%d",
           host.c_str(), port, type);
      break;
    case SendingText::kMetering:
      KLOG(8, "Sending software metering signal: Host:%s Port:%ld SignalType:%d",
           host.c_str(), port, type);
      break;
  }
}

bool HasAllValues(const DBRow& row) { return row.size() == 3; }

LogRateLimiter g_sendFailureLines;
// A bad row or setting is read again at every run (every 20 s) until
// someone mends it: each is reported once, then at most once per scaled
// hour.
LogRateLimiter g_badDataLines(1, 3600000);

// The key of a row: its values as they came.
std::string RowKey(const char* step, const DBRow& row) {
  std::string key = step;
  for (const std::string& value : row) key += '\x1f' + value;
  return key;
}

// One datagram of the row's signal type to the row's host and port.
// REQUIRES: HasAllValues(row).
void SendToTarget(const DBRow& row, const StepTexts& texts) {
  const int port = ToInt(row[1]);
  const int type = ToInt(row[2]);
  CUDPClient client(port, row[0]);
  CSignalInfo info;
  info.SetSignalType(type);
  LogSending(texts.sending, row[0], port, texts.shownType < 0 ? type : texts.shownType);
  if (client.SendUDPSignal(info) != KORB_SUCCESS)
    KORBLogLimited(g_pLogger, g_sendFailureLines, row[0], __LINE__, KORB_LOG_SOURCE,
                   KORB_LOG_WARNING, "SignallingRelatedModules: signal to %s port %d not sent: %s",
                   row[0].c_str(), port, client.LastError().c_str());
}

// Signals every target the query returns. With markSignalled, the
// collector inputs are marked signalled as a whole before the first
// complete row is signalled, and that row is the only one told this run.
void SignalTargets(CDBI& db, const std::string& query,
                   const std::vector<std::string>& columns, const StepTexts& texts,
                   const char* markSignalled = nullptr) {
  DBRows rows;
  if (db.getRows(query, columns, rows) < 0) {
    // Not "no jobs": the targets are unknown this run; the next run asks
    // again.
    KLOG(2, "SignallingRelatedModules: signal target query failed: %s", query.c_str());
    return;
  }
  if (rows.empty()) {
    KLOG(16, "%s", texts.noTarget);
    return;
  }
  for (const DBRow& row : rows) {
    if (!HasAllValues(row)) {
      KORBLogLimited(g_pLogger, g_badDataLines, RowKey(query.c_str(), row), __LINE__,
                     KORB_LOG_SOURCE, KORB_LOG_ERROR, "%s", texts.missingValue);
      continue;
    }
    if (markSignalled != nullptr) db.executeSQL(markSignalled);
    SendToTarget(row, texts);
    if (markSignalled != nullptr) break;
  }
}

void SignalMeteringTargets(CDBI& db) {
  std::string minutes;
  if (db.getValueFromQuery(kMeteringCollectionTime, minutes) != 1) return;
  if (!IsInteger(minutes)) {
    KORBLogLimited(g_pLogger, g_badDataLines, "SOFTWARE_METER_COLLECTION_TIME=" + minutes,
                   __LINE__, KORB_LOG_SOURCE, KORB_LOG_ERROR,
                   "SignallingRelatedModules: SOFTWARE_METER_COLLECTION_TIME '%s' is not a number so software metering is not signalled",
                   minutes.c_str());
    return;
  }
  SignalTargets(db, Format(kMeteringTargets, 16, minutes.c_str()), kMeteringColumns,
                kMeteringStep);
}

}  // namespace

void SignallingRelatedModules(CDBI* db) {
  KLOG(16, "SignallingRelatedModules - START ");
  try {
    if (db == nullptr) throw std::invalid_argument("no database object");
    SignalTargets(*db, Format(kDueJobTargets, 3), kTargetColumns, kRowTypeStep);
    SignalTargets(*db, Format(kUncollectedInventoryTargets, 1), kTargetColumns,
                  FixedTypeStep(3));
    SignalTargets(*db, Format(kInventoriedSystemTargets, 2), kTargetColumns,
                  FixedTypeStep(8));
    SignalTargets(*db, Format(kPoller12Targets, 9), kTargetColumns, kRowTypeStep);
    SignalTargets(*db, Format(kPoller11Targets, 5), kTargetColumns, kRowTypeStep);
    SignalTargets(*db, Format(kInventoriedSystemTargets, 7), kTargetColumns,
                  FixedTypeStep(8));
    SignalTargets(*db, Format(kSyslogTargets, 10), kTargetColumns, kSyslogStep,
                  kMarkSyslogSignalled);
    SignalTargets(*db, Format(kSnmpTrapTargets, 12), kTargetColumns, kSnmpTrapsStep,
                  kMarkSnmpTrapsSignalled);
    SignalMeteringTargets(*db);
  } catch (...) {
    KLOG(2, "Exception in SignallingRelatedModules");
  }
  KLOG(16, "SignallingRelatedModules - END ");
}
