// korb-explain customers: the customers the per-customer fan-out would
// serve, their DSN groups as the option file resolves them, whether each
// can be reached, and why a customer would be skipped.
#include <chrono>
#include <map>
#include <memory>
#include <vector>

#include "CustomerFanOut.h"
#include "ProcessState.h"
#include "explain_reports.h"

namespace {

// Every customer with its sites, and for each condition of the fan-out's
// own customer selection whether the row meets it (Pass0, Pass1, ...).
constexpr char kCustomersQuery[] =
    "select cm.CustomerID as CustomerID, ifnull(cm.CustomerName, '') as "
    "CustomerName, ifnull(cd.SiteID, '') as SiteID, cm.CustomerStatus as "
    "CustomerStatus, cm.AddOnID as AddOnID, cd.IsVirtualProbe as "
    "IsVirtualProbe%s from orb.customermaster cm left join "
    "orb.customerdetails cd on cm.CustomerID = cd.CustomerID order by "
    "cm.CustomerID, cd.SiteID";
const std::vector<std::string> kColumns = {"CustomerID",     "CustomerName",
                                           "SiteID",         "CustomerStatus",
                                           "AddOnID",        "IsVirtualProbe"};

// Why the virtual-probe fan-out passes the customer by; "" when its
// selection takes it.
std::string SkipReason(const DBRow& row,
                       const std::vector<CustomerCondition>& conditions,
                       const std::map<int, CustomerNames>& names,
                       const CDBI& main) {
  if (main.m_nMSPFlag == 0)
    return "not an MSP installation (korb-msp-flag 0): no customer is served";
  for (size_t i = 0; i < conditions.size(); ++i) {
    if (row[kColumns.size() + i] == "1") continue;
    const CustomerCondition& c = conditions[i];
    size_t column = 0;
    while (column < kColumns.size() && kColumns[column] != c.column) ++column;
    std::string value = column < kColumns.size() && !row[column].empty()
                            ? row[column]
                            : std::string("none");
    return c.column + " " + value + ": " + c.refusal;
  }
  auto it = names.find(ToInt(row[0]));
  if (it == names.end() || !it->second.dsn_found) return "no DSN name";
  if (!it->second.db_found) return "no database name";
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
  const std::vector<CustomerCondition> conditions =
      VirtualProbeCustomerConditions(main->m_nAddOnSelector);
  std::string passes;
  std::vector<std::string> columns = kColumns;
  for (size_t i = 0; i < conditions.size(); ++i) {
    passes += Format(", ifnull(%s, 0) as Pass%zu", conditions[i].sql.c_str(), i);
    columns.push_back(Format("Pass%zu", i));
  }
  DBRows rows;
  if (main->getRows(Format(kCustomersQuery, passes.c_str()), columns, rows) !=
      1) {
    *message = "the customer list could not be read";
    return main->m_bConnectionError ? kExitUnreachable : kExitUsage;
  }
  std::vector<int> ids;
  for (const DBRow& row : rows) ids.push_back(ToInt(row[0]));
  const std::map<int, CustomerNames> names = ReadCustomerNames(ids);

  const std::string path = CDBI::OptionFilePath();
  Doc customers = Doc::Array();
  for (const DBRow& row : rows) {
    auto found = names.find(ToInt(row[0]));
    const CustomerNames none;
    const CustomerNames& name = found != names.end() ? found->second : none;
    Doc item = Doc::Object();
    item.Set("customer", ToInt(row[0])).Set("name", row[1]);
    item.Set("dsn", name.dsn).Set("database", name.db).Set("site", row[2]);
    std::string reason = SkipReason(row, conditions, names, *main);
    if (reason.empty()) {
      auto start = std::chrono::steady_clock::now();
      auto db = std::make_unique<CDBI>(databases.Logger(), name.dsn, name.db);
      std::string ignored;
      bool reachable = db->m_bReady && db->getValueFromQuery(
                                           "select 1 as outputvalue", ignored) == 1;
      auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now() - start);
      item.Set("reachable", reachable);
      item.Set("connect_ms", static_cast<long long>(elapsed.count()));
      if (!reachable) {
        databases.NotReady(*db, &reason);
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
