#include "explain_database.h"

#include <unistd.h>

#include <cstdlib>

#include "ProcessState.h"
#include "ReadOnlySessions.h"

namespace {

constexpr char kCustomerByDsnQuery[] =
    "select cm.CustomerID as CustomerID, ifnull(cm.DBName, '') as DBName, "
    "ifnull(cd.SiteID, '') as SiteID from orb.customermaster cm left join "
    "orb.customerdetails cd on cm.CustomerID = cd.CustomerID and "
    "cd.IsVirtualProbe = 1 where cm.DSNName = %s order by cm.CustomerID";

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

}  // namespace

std::string ChooseExplainOptionFile() {
  std::string own = Env("KORB_EXPLAIN_CONFIG");
  if (!own.empty()) return own;
  if (!Env("KORB_DB_CONFIG").empty()) return Env("KORB_DB_CONFIG");
  if (::access(KORB_EXPLAIN_DEFAULT_CONFIG, F_OK) == 0)
    return KORB_EXPLAIN_DEFAULT_CONFIG;
  return "";
}

ExplainDatabase::ExplainDatabase() {
  SetSessionsReadOnly(true);
  // Every database object reads $KORB_DB_CONFIG: point it at the tool's
  // own file, whose account only reads.
  std::string own = ChooseExplainOptionFile();
  if (!own.empty()) setenv("KORB_DB_CONFIG", own.c_str(), 1);
  std::string install = Env("KORB_INSTALL_DIR");
  if (!install.empty())
    logger_.InitKORBLog(install + "/ConsoleManagement/log", "korb-explain.log",
                        10 * 1024 * 1024, 3);
  g_pLogger = &logger_;
}

ExplainDatabase::~ExplainDatabase() {
  customer_.reset();
  g_pDBI = nullptr;
  g_pLogger = nullptr;
}

ExitCode ExplainDatabase::NotReady(const CDBI& db,
                                   std::string* message) const {
  if (!db.NotReadyReason().empty()) {
    *message = db.NotReadyReason();
    return kExitUsage;
  }
  *message = "database of group [" + db.Dsn() + "] of " +
             CDBI::OptionFilePath() +
             " unreachable (the client library's reason is in the log)";
  return kExitUnreachable;
}

ExitCode ExplainDatabase::OpenMain(std::string* message) {
  mainDsn_ = Env("KORB_DSN");
  if (mainDsn_.empty()) mainDsn_ = "orb";
  if (CDBI::OptionFilePath().empty()) {
    *message = "no option file: set KORB_EXPLAIN_CONFIG, KORB_DB_CONFIG or "
               "KORB_INSTALL_DIR, or install " KORB_EXPLAIN_DEFAULT_CONFIG;
    return kExitUsage;
  }
  main_ = CDBI::getInstance(&logger_, true);
  if (main_ == nullptr) {
    *message = "the main database object could not be made";
    return kExitUnreachable;
  }
  g_pDBI = main_;
  if (!main_->m_bReady) return NotReady(*main_, message);
  return kExitDone;
}

ExitCode ExplainDatabase::OpenCustomer(const std::string& dsn,
                                       std::string* message) {
  DBRows rows;
  if (main_->getRows(Format(kCustomerByDsnQuery, SqlQuote(dsn).c_str()),
                     {"CustomerID", "DBName", "SiteID"}, rows) != 1) {
    *message = "the customer list of the main database could not be read";
    return main_->m_bConnectionError ? kExitUnreachable : kExitUsage;
  }
  if (rows.empty()) {
    *message = "no customer in customermaster has the DSN group '" + dsn + "'";
    return kExitNotFound;
  }
  customerId_ = ToInt(rows[0][0]);
  customer_ = std::make_unique<CDBI>(&logger_, dsn, rows[0][1]);
  if (!customer_->m_bReady) {
    ExitCode code = NotReady(*customer_, message);
    customer_.reset();
    return code;
  }
  // The site of the customer's virtual probe, as the fan-out sets it; a
  // customer without one keeps the group's own site.
  if (IsInteger(rows[0][2])) customer_->m_nSiteID = ToInt(rows[0][2]);
  return kExitDone;
}

Doc ExplainDatabase::Describe() const {
  Doc d = Doc::Object();
  d.Set("option_file", CDBI::OptionFilePath());
  if (customer_) {
    d.Set("dsn", customer_->Dsn());
    d.Set("database", customer_->DatabaseName());
    d.Set("customer_id", customerId_);
  } else {
    d.Set("dsn", mainDsn_);
    d.Set("database", main_ != nullptr ? main_->DatabaseName() : "");
  }
  const CDBI* db = Target();
  if (db != nullptr) {
    d.Set("site_id", db->m_nSiteID);
    d.Set("msp_flag", db->m_nMSPFlag);
  }
  return d;
}
