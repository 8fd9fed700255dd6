// korb-explain customers: the customers the per-customer fan-out would
// serve, their DSN groups as the option file resolves them, whether each
// can be reached, and why a customer would be skipped.
#include <chrono>
#include <memory>

#include "ProcessState.h"
#include "explain_reports.h"

namespace {

constexpr char kCustomersQuery[] =
    "select cm.CustomerID as CustomerID, ifnull(cm.CustomerName, '') as "
    "CustomerName, ifnull(cm.DSNName, '') as DSNName, ifnull(cm.DBName, '') "
    "as DBName, cm.CustomerStatus as CustomerStatus, cm.AddOnID as AddOnID, "
    "ifnull(cd.SiteID, '') as SiteID, ifnull(cd.IsVirtualProbe, 0) as "
    "IsVirtualProbe from orb.customermaster cm left join orb.customerdetails "
    "cd on cm.CustomerID = cd.CustomerID order by cm.CustomerID, cd.SiteID";

// Why the virtual-probe fan-out passes the customer by; "" when it serves
// it.
std::string SkipReason(const DBRow& row, const CDBI& main) {
  if (main.m_nMSPFlag == 0)
    return "not an MSP installation (korb-msp-flag 0): no customer is served";
  if (ToInt(row[4]) != 0)
    return Format("CustomerStatus %s: only 0 is served", row[4].c_str());
  bool addOn = ToInt(row[5]) != 0;
  if (main.m_nAddOnSelector == 5 && !addOn)
    return "AddOnID 0: add-on selector 5 serves add-on customers only";
  if (main.m_nAddOnSelector != 5 && addOn)
    return Format("AddOnID %s: add-on selector %d serves customers without "
                  "an add-on only",
                  row[5].c_str(), main.m_nAddOnSelector);
  if (ToInt(row[7]) != 1) return "no virtual probe (IsVirtualProbe not 1)";
  if (row[2].empty()) return "no DSN name";
  if (row[3].empty()) return "no database name";
  return "";
}

Doc ResolvedGroup(const CDBI& db, const std::string& path) {
  Doc group = Doc::Object();
  group.Set("option_file", path);
  for (const char* key : {"host", "port", "socket", "database", "user"}) {
    std::string value;
    if (db.GetOption(key, value)) group.Set(key, value);
  }
  return group;
}

}  // namespace

ExitCode ExplainCustomers(ExplainDatabase& databases, Doc* report,
                          std::string* message) {
  CDBI* main = databases.Main();
  DBRows rows;
  if (main->getRows(kCustomersQuery,
                    {"CustomerID", "CustomerName", "DSNName", "DBName",
                     "CustomerStatus", "AddOnID", "SiteID", "IsVirtualProbe"},
                    rows) != 1) {
    *message = "the customer list could not be read";
    return main->m_bConnectionError ? kExitUnreachable : kExitUsage;
  }
  const std::string path = OptionFilePathForTool();
  Doc customers = Doc::Array();
  for (const DBRow& row : rows) {
    Doc item = Doc::Object();
    item.Set("customer", ToInt(row[0])).Set("name", row[1]);
    item.Set("dsn", row[2]).Set("database", row[3]).Set("site", row[6]);
    std::string reason = SkipReason(row, *main);
    if (reason.empty() && !OptionGroupExists(path, row[2]))
      reason = "the option file has no group [" + row[2] + "]";
    if (reason.empty()) {
      auto start = std::chrono::steady_clock::now();
      auto db = std::make_unique<CDBI>(databases.Logger(), row[2], row[3]);
      bool reachable = db->m_bReady && db->getValueFromQuery(
                                           "select 1 as outputvalue", reason) == 1;
      auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now() - start);
      reason.clear();
      item.Set("reachable", reachable);
      item.Set("connect_ms", static_cast<long long>(elapsed.count()));
      if (!reachable) {
        databases.NotReady(*db, row[2], &reason);
        reason = "would be skipped: " + reason;
      }
      item.Set("group", ResolvedGroup(*db, path));
    } else {
      item.Set("reachable", Doc()).Set("connect_ms", Doc());
    }
    item.Set("served", reason.empty());
    item.Set("skip_reason", reason);
    customers.Add(std::move(item));
  }

  Doc result = Doc::Object();
  result.Set("msp_flag", main->m_nMSPFlag);
  result.Set("addon_selector", main->m_nAddOnSelector);
  result.Set("serves", main->m_nAddOnSelector == 5
                           ? "customers with an add-on (AddOnID not 0)"
                           : "customers without an add-on (AddOnID 0)");
  result.Set("customers", std::move(customers));
  *report = std::move(result);
  return kExitDone;
}
