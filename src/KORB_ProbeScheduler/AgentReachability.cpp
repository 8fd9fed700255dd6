// Turns overdue ping results of VPN-managed systems into status changes.
// Everything is re-read at each event, so a changed setting takes effect at
// the next run.
#include "AgentReachability.h"

#include <cmath>
#include <string>

#include "CustomerFanOut.h"
#include "DBI.h"
#include "ProcessState.h"

namespace {

constexpr char kDownFactorSetting[] =
    "Select settingvalue as outputvalue from configsettings where settingkey = 'AGENT_DOWN_STATUS_UPDATE_FACTOR'";
constexpr char kReversePingSetting[] =
    "Select settingvalue as outputvalue from configsettings where settingkey = 'ENABLE_REVERSE_PING'";

// Reverse ping off: every VPN system is judged by its ping responses.
constexpr char kOverdueSystems[] =
    "select inv.systemid as SystemID from  InventoryMaster inv, pingcollectiondetails pcd  "
    "WHERE inv.isVPNClient = 1 and inv.DataCollectionType != 6 and inv.SystemStatus = 1 and "
    "inv.SiteID = %ld and inv.SystemID = pcd.SystemID and inv.SiteID = pcd.SiteID  and "
    "pcd.LastResponseTime < NOW() - INTERVAL pcd.PingCollectionPollInterval * %f second;";
// Reverse ping on: systems polled by configuration are left to it.
constexpr char kOverdueUnpolledSystems[] =
    "select inv.systemid as SystemID from  InventoryMaster inv, pingcollectiondetails pcd  "
    "WHERE inv.isVPNClient = 1 and inv.configpoll = 0 and inv.DataCollectionType != 6 and "
    "inv.SystemStatus = 1 and inv.SiteID = %ld and inv.SystemID = pcd.SystemID and "
    "inv.SiteID = pcd.SiteID  and pcd.LastResponseTime < NOW() - INTERVAL "
    "pcd.PingCollectionPollInterval * %f second;";
// Customer databases use a fixed threshold of 1.5 poll intervals.
constexpr char kMspOverdueSystems[] =
    "select inv.systemid as SystemID from  InventoryMaster inv, pingcollectiondetails pcd  "
    "WHERE inv.isVPNClient = 1 and inv.DataCollectionType != 6 and inv.SystemStatus = 1 and "
    "inv.SiteID = %ld and inv.SystemID = pcd.SystemID and inv.SiteID = pcd.SiteID  and "
    "pcd.LastResponseTime < NOW() - INTERVAL pcd.PingCollectionPollInterval * 1.5 second;";
constexpr char kMspOverdueUnpolledSystems[] =
    "select inv.systemid as SystemID from  InventoryMaster inv, pingcollectiondetails pcd  "
    "WHERE inv.isVPNClient = 1 and inv.configpoll = 0 and inv.DataCollectionType != 6 and "
    "inv.SystemStatus = 1 and inv.SiteID = %ld and inv.SystemID = pcd.SystemID and "
    "inv.SiteID = pcd.SiteID  and pcd.LastResponseTime < NOW() - INTERVAL "
    "pcd.PingCollectionPollInterval * 1.5 second;";

constexpr char kMarkUnreachable[] =
    "UPDATE InventoryMaster SET SystemStatus = 0, ErrorDescription = 'Unable to reach the system' "
    "WHERE SiteID = %ld and SystemID = %s;";

constexpr char kTimedOutPolledSystems[] =
    "Select i.SystemID as SystemID, d.DataID as DataID from inventorymaster i, datamaster d, "
    "pingcollectiondetails p where i.isvpnclient=1 and i.configpoll=1 and i.SiteID = d.SiteID "
    "and i.SystemID = d.MonitoringID and d.ParamID = 84 and d.IsCustomPoller = 0 and "
    "i.SystemID = p.SystemID and i.SiteID = p.SiteID and p.IsNodeDead = 0 and "
    "Timestampdiff(second,p.PingCollectionAttemptTime,now()) > (p.PingCollectionPollInterval * %f)";
constexpr char kZeroDataPoint[] =
    "Insert into coredatapoints (DataID,Data,TimePeriod,Day) values (%s,0.00,now(),day(now()));";
constexpr char kStampPingAttempt[] =
    "UPDATE pingcollectiondetails set PingCollectionAttemptTime = now(), ReversePingStatus = 0 "
    "where siteID = %ld and systemID = %s";
constexpr char kExcludePendingJobs[] =
    "UPDATE jobdetails set Status = -6, StatusDescription = 'Job excluded as device is "
    "unreachable' WHERE SystemID = %s and SiteID = %ld and jobtypeid "
    "in(10032,10033,10034,10035,10046,13002,13003,14003,14004,14005) and status in (0,2,3);";

constexpr float kDefaultDownFactor = 2.0f;
// Settings are short numbers; anything longer is refused rather than cut.
constexpr size_t kMaxSettingLength = 9;

// Lines about a bad setting or a bad row come back at every event for as
// long as the data stays as it is: each value or row is reported once and
// then at most once per scaled hour.
LogRateLimiter g_badDataLines(1, 3600000);

// True (value written) when the setting query succeeds with a value of at
// most nine characters.
bool ReadSetting(CDBI& db, const char* query, const char* key, std::string& value) {
  value.clear();
  if (db.getValueFromQuery(query, value) != 1) return false;
  if (value.size() > kMaxSettingLength) {
    KORBLogLimited(g_pLogger, g_badDataLines, std::string(key) + "=" + value, __LINE__,
                   KORB_LOG_SOURCE, KORB_LOG_ERROR,
                   "Configsettings value of %s is longer than %zu characters and is ignored", key,
                   kMaxSettingLength);
    value.clear();
    return false;
  }
  return true;
}

// Only a finite factor of at least 1 makes sense: nan or inf break the
// statements, 0 or less (also what text that is not a number reads as)
// would mark every pinged VPN system unreachable, and a factor below 1
// marks a system before its own poll interval has passed (1e-9 prints as
// 0.000000 into the statement, the same as 0).
float DownFactor(CDBI& db) {
  std::string value;
  if (!ReadSetting(db, kDownFactorSetting, "AGENT_DOWN_STATUS_UPDATE_FACTOR", value)) {
    return kDefaultDownFactor;
  }
  const float factor = ToFloat(value);
  if (std::isfinite(factor) && factor >= 1.0f) return factor;
  KORBLogLimited(g_pLogger, g_badDataLines, "factor=" + value, __LINE__, KORB_LOG_SOURCE,
                 KORB_LOG_ERROR,
                 "AGENT_DOWN_STATUS_UPDATE_FACTOR '%s' is not a number of at least 1; %.1f is "
                 "used instead", value.c_str(), static_cast<double>(kDefaultDownFactor));
  return kDefaultDownFactor;
}

// *enabled receives the setting; false when it could not be read.
bool ReadReversePing(CDBI& db, bool* enabled) {
  std::string value;
  if (!ReadSetting(db, kReversePingSetting, "ENABLE_REVERSE_PING", value)) return false;
  *enabled = ToInt(value) != 0;
  return true;
}

// IDs from the database go into statements only when they are numbers.
bool IsNumericId(const std::string& value, const char* column, const char* routine) {
  if (IsInteger(value)) return true;
  KORBLogLimited(g_pLogger, g_badDataLines, std::string(routine) + " " + column + "=" + value,
                 __LINE__, KORB_LOG_SOURCE, KORB_LOG_ERROR,
                 "%s: %s '%s' is not a number so the row is skipped", routine, column,
                 value.c_str());
  return false;
}

void MarkSystemsUnreachable(CDBI& db, const std::string& query) {
  DBRows rows;
  db.getRows(query, {"SystemID"}, rows);
  const long siteId = db.m_nSiteID;
  for (const DBRow& row : rows) {
    if (row.empty() || !IsNumericId(row[0], "SystemID", "updateAgentStatus")) continue;
    db.executeSQL(Format(kMarkUnreachable, siteId, row[0].c_str()));
    db.RecordInventoryMasterOperation(ToLong(row[0]), 2);
  }
}

void UpdateAgentStatusOnMain() {
  try {
    const float factor = DownFactor(*g_pDBI);
    bool reversePing = false;
    if (!ReadReversePing(*g_pDBI, &reversePing)) return;
    const long siteId = g_pDBI->m_nSiteID;
    MarkSystemsUnreachable(*g_pDBI, reversePing ? Format(kOverdueUnpolledSystems, siteId, factor)
                                                : Format(kOverdueSystems, siteId, factor));
  } catch (...) {
    KLOG(8, "Exception::updateAgentStatus execution failed ");
  }
}

void UpdateAgentStatusOnCustomers() {
  try {
    ForEachVirtualProbeCustomer([](CDBI& db) {
      bool reversePing = false;
      if (!ReadReversePing(db, &reversePing)) return;
      const long siteId = db.m_nSiteID;
      MarkSystemsUnreachable(db, reversePing ? Format(kMspOverdueUnpolledSystems, siteId)
                                             : Format(kMspOverdueSystems, siteId));
    }, OnPool("Exception::updateAgentStatus execution failed for MSP Server", KORB_LOG_INFO));
  } catch (...) {
    KLOG(8, "Exception::updateAgentStatus execution failed for MSP Server");
  }
}

}  // namespace

void updateAgentStatus() {
  if (g_pDBI->m_nMSPFlag != 0) {
    UpdateAgentStatusOnCustomers();
  } else {
    UpdateAgentStatusOnMain();
  }
}

// No handler of its own: an exception here ends the main loop.
void updateUnreachableVpnClients() {
  if (g_pDBI->m_nMSPFlag != 0) return;
  const float factor = DownFactor(*g_pDBI);
  bool reversePing = true;
  if (!ReadReversePing(*g_pDBI, &reversePing) || reversePing) return;

  DBRows rows;
  g_pDBI->getRows(Format(kTimedOutPolledSystems, factor), {"SystemID", "DataID"}, rows);
  const long siteId = g_pDBI->m_nSiteID;
  for (const DBRow& row : rows) {
    if (row.size() < 2) continue;
    const std::string& systemId = row[0];
    const std::string& dataId = row[1];
    if (!IsNumericId(systemId, "SystemID", "updateUnreachableVpnClients") ||
        !IsNumericId(dataId, "DataID", "updateUnreachableVpnClients")) {
      continue;
    }
    g_pDBI->executeSQL(Format(kZeroDataPoint, dataId.c_str()));
    g_pDBI->executeSQL(Format(kStampPingAttempt, siteId, systemId.c_str()));
    g_pDBI->RecordInventoryMasterOperation(ToLong(systemId), 5);
    g_pDBI->executeSQL(Format(kExcludePendingJobs, systemId.c_str(), siteId));
  }
}
