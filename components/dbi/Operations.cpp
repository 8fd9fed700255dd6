// The query and update operations of CDBI.
#include <strings.h>

#include <climits>
#include <vector>

#include "CDBIImpl.h"

namespace {

constexpr char kConfigSettingQuery[] =
    "select SettingValue from configsettings where SettingKey = '%s'";
constexpr char kJobHandlerQuery[] = "select HostName, PortNumber from jobhandlermaster limit 1";
constexpr char kInventoryOperationInsert[] =
    "insert into inventorymasteroperations (SiteID, SystemID, OperationCode, OperationTime) "
    "values (%d, %ld, %d, now())";

// Result column indices of names, matched without regard to case. Empty
// reason on success.
std::string MapColumns(MYSQL_RES* result, const std::vector<std::string>& names,
                       std::vector<unsigned int>* indices) {
  const unsigned int count = mysql_num_fields(result);
  MYSQL_FIELD* fields = mysql_fetch_fields(result);
  for (const std::string& name : names) {
    unsigned int found = count;
    for (unsigned int i = 0; i < count && found == count; ++i)
      if (strcasecmp(fields[i].name, name.c_str()) == 0) found = i;
    if (found == count) return Format("column '%s' is not in the result", name.c_str());
    indices->push_back(found);
  }
  return "";
}

std::string CellText(MYSQL_ROW row, const unsigned long* lengths, unsigned int i) {
  return row[i] == nullptr ? std::string() : std::string(row[i], lengths[i]);
}

// Rows of the named columns; at most max_rows of them.
dbi::ResultHandler RowCollector(const std::vector<std::string>& names, DBRows* rows,
                                       size_t max_rows) {
  return [&names, rows, max_rows](MYSQL_RES* result) -> std::string {
    if (result == nullptr) return "";
    std::vector<unsigned int> indices;
    std::string problem = MapColumns(result, names, &indices);
    if (!problem.empty()) return problem;
    while (rows->size() < max_rows) {
      MYSQL_ROW row = mysql_fetch_row(result);
      if (row == nullptr) break;
      const unsigned long* lengths = mysql_fetch_lengths(result);
      DBRow values;
      values.reserve(indices.size());
      for (unsigned int i : indices) values.push_back(CellText(row, lengths, i));
      rows->push_back(std::move(values));
    }
    return "";
  };
}

}  // namespace

int CDBI::Impl::SingleValue(const char* operation, const std::string& query,
                            const char* column, std::string& value) {
  value.clear();
  bool present = false;
  const std::vector<std::string> names{column};
  const bool ok = Execute(operation, query, [&](MYSQL_RES* result) -> std::string {
    if (result == nullptr) return "the statement returned no result set";
    std::vector<unsigned int> indices;
    std::string problem = MapColumns(result, names, &indices);
    if (!problem.empty()) return problem;
    MYSQL_ROW row = mysql_fetch_row(result);
    if (row != nullptr && row[indices[0]] != nullptr) {
      value = CellText(row, mysql_fetch_lengths(result), indices[0]);
      present = true;
    }
    return "";
  });
  return ok && present ? 1 : -1;
}

int CDBI::getValueFromQuery(const std::string& query, std::string& value) {
  return impl_->SingleValue("getValueFromQuery", query, "outputvalue", value);
}

int CDBI::getRows(const std::string& query, const std::vector<std::string>& names,
                  DBRows& rows) {
  rows.clear();
  if (!impl_->Execute("getRows", query, RowCollector(names, &rows, SIZE_MAX))) {
    rows.clear();
    return -1;
  }
  return 1;
}

int CDBI::getRow(const std::string& query, const std::vector<std::string>& names,
                 DBRow& values) {
  values.clear();
  DBRows rows;
  if (!impl_->Execute("getRow", query, RowCollector(names, &rows, 1))) return -1;
  if (!rows.empty()) values = std::move(rows[0]);
  return 1;
}

int CDBI::getValueFromEachRow(const std::string& query, const std::string& name,
                              std::vector<std::string>& values) {
  DBRows rows;
  const std::vector<std::string> names{name};
  if (!impl_->Execute("getValueFromEachRow", query, RowCollector(names, &rows, SIZE_MAX)))
    return -1;
  for (DBRow& row : rows) values.push_back(std::move(row[0]));
  return 1;
}

int CDBI::executeSQL(const std::string& statement) {
  long long affected = 0;
  if (!impl_->Execute("executeSQL", statement, nullptr, &affected)) return -1;
  return affected > INT_MAX ? INT_MAX : static_cast<int>(affected);
}

int CDBI::executeSQLProcedure(const std::string& statement) {
  return impl_->Execute("executeSQLProcedure", statement, nullptr) ? 1 : -1;
}

int CDBI::getConfigSetting(const std::string& key, std::string& value) {
  return impl_->SingleValue("getConfigSetting",
                     Format(kConfigSettingQuery, EscapeString(key).c_str()), "SettingValue",
                     value);
}

int CDBI::UpdateJobStatus(int jobId, EJobStatus status, const char* text, int /*reserved*/,
                          const std::string& /*extra*/) {
  std::string statement = Format("update jobdetails set Status = %d", static_cast<int>(status));
  if (text != nullptr)
    statement += Format(", StatusDescription = '%s'", EscapeString(text).c_str());
  // Closing states are the ones a job does not leave again.
  if (status == JOB_STATUS_FAILED || status == JOB_STATUS_CLOSED ||
      status == JOB_STATUS_NOT_REPEAT || status == JOB_STATUS_EXCLUDED)
    statement += ", FinishedTime = now()";
  statement += Format(" where JobID = %d", jobId);
  return impl_->Execute("UpdateJobStatus", statement, nullptr) ? 1 : -1;
}

int CDBI::GetJobHandlerDetails(std::string& host, long& port) {
  DBRows rows;
  if (getRows(kJobHandlerQuery, {"HostName", "PortNumber"}, rows) != 1 || rows.empty())
    return -1;
  host = rows[0][0];
  port = ToLong(rows[0][1]);
  return 0;
}

void CDBI::RecordInventoryMasterOperation(long systemId, int code) {
  impl_->Execute("RecordInventoryMasterOperation",
                 Format(kInventoryOperationInsert, m_nSiteID, systemId, code), nullptr);
}

std::string CDBI::EscapeString(const std::string& text) {
  // Every session runs with NO_BACKSLASH_ESCAPES and utf8mb4, where
  // doubling the quotes is the whole escape (no byte of a multi-byte
  // character is a quote); no round trip or session is needed for it.
  const std::string quoted = SqlQuote(text);
  return quoted.substr(1, quoted.size() - 2);
}
