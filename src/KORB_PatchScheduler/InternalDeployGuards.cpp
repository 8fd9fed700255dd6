// Guards of the internal deploy poster. A held-back row is simply tried
// again at the next pass; nothing here changes a row's internal status.
#include "InternalDeployGuards.h"

#include "ProcessState.h"

namespace {

constexpr char kServicePackCountQuery[] =
    "Select count(*) as OutputValue from patch_jobdetails pjd, patch_details "
    "pd where pd.siteid=pjd.siteid and pd.patchid=pjd.patchid and "
    "pd.siteid=%d and pjd.systemid=%d and pjd.internalstatus=2 and "
    "pd.patchid=pjd.patchid and UpdateClassification in ('Service Packs', "
    "'Update Rollups') ";

constexpr char kServicePackHoldStatus[] =
    "Update patch_jobdetails set status = 'Service pack or update roll up "
    "download for this machine is in progress. Please wait.' where  "
    "siteid=%ld and systemid=%d and patchid=%d";

constexpr char kDataCollectorQuery[] =
    "select DCID as OutputValue from DCSystemMapping where iscustompoller=0 "
    "and systemid = %d and siteid = %d";

constexpr char kDcDownloadCountQuery[] =
    "select count(dci.filename) as TotalCount, sum(if(dci.status=1,1,0)) as "
    "DownloadCount from dcinformer  dci inner join patch_downloads pd on "
    "dci.siteid = pd.siteid and pd.patchid=dci.softwareID where  pd.patchid "
    "= %d  and dci.DCID = %d and dci.siteid = %d";

// The file name is what follows the web application's patch folder in the
// download location.
constexpr char kPatchFileNamesQuery[] =
    R"(select SUBSTRING((SUBSTRING(DownloadLocation, (INSTR(DownloadLocation, 'ConsoleManagement\ExternalWar\PatchManagement.war\')))), length('ConsoleManagement\ExternalWar\PatchManagement.war\') + 1 ) as FileNames  from patch_downloads where patchid = %d and siteid = %d)";

constexpr char kDcInformerGroup[] = "( %d, %d, %d, '%s', 1, 0, now(), 2 )";
constexpr char kDcInformerInsert[] =
    "insert into dcinformer ( siteid, dcid, softwareID, filename, "
    "sitestatus,status, postedtime, type ) values %s";
constexpr size_t kDcInformerStatementLimit = 1023;

// Tells the data collector about every file of the patch.
void PlaceDcInformerRows(const PendingDeployRow& row, int dcId, CDBI* db) {
  std::vector<std::string> fileNames;
  db->getValueFromEachRow(
      Format(kPatchFileNamesQuery, row.patchId, db->m_nSiteID), "FileNames",
      fileNames);
  std::vector<std::string> groups;
  groups.reserve(fileNames.size());
  for (const std::string& fileName : fileNames) {
    groups.push_back(Format(kDcInformerGroup, db->m_nSiteID, dcId,
                            row.patchId, db->EscapeString(fileName).c_str()));
  }
  for (const std::string& statement :
       BuildDcInformerInserts(groups, kDcInformerStatementLimit)) {
    db->executeSQL(statement);
  }
}

}  // namespace

std::vector<std::string> BuildDcInformerInserts(
    const std::vector<std::string>& groups, size_t maxLength) {
  std::vector<std::string> statements;
  const size_t prefixLength = Format(kDcInformerInsert, "").size();
  std::string values;
  for (const std::string& group : groups) {
    if (!values.empty() &&
        prefixLength + values.size() + 1 + group.size() > maxLength) {
      statements.push_back(Format(kDcInformerInsert, values.c_str()));
      values.clear();
    }
    if (!values.empty()) values += ",";
    values += group;
  }
  if (!values.empty())
    statements.push_back(Format(kDcInformerInsert, values.c_str()));
  return statements;
}

bool ServicePackDownloadInProgress(const PendingDeployRow& row, CDBI* db) {
  std::string count;
  db->getValueFromQuery(
      Format(kServicePackCountQuery, db->m_nSiteID, row.systemId), count);
  if (ToInt(count) <= 0) return false;

  KLOG(KORB_LOG_INFO,
       "InternalDeployJobPoster: Service pack or Update Rollup download for "
       "systemid:%d is already in progress.Moving to next system.",
       row.systemId);
  std::string update =
      Format(kServicePackHoldStatus, static_cast<long>(db->m_nSiteID),
             row.systemId, row.patchId);
  KLOG(KORB_LOG_TRACE, "InternalDeployJobPoster:: AgentQuery:%s",
       update.c_str());
  db->executeSQL(update);
  return true;
}

bool DataCollectorReady(const PendingDeployRow& row, CDBI* db) {
  std::string dcText;
  db->getValueFromQuery(
      Format(kDataCollectorQuery, row.systemId, db->m_nSiteID), dcText);
  int dcId = ToInt(dcText);
  if (dcId <= 1) return true;

  DBRow counts;
  db->getRow(Format(kDcDownloadCountQuery, row.patchId, dcId, db->m_nSiteID),
             {"TotalCount", "DownloadCount"}, counts);
  int total = counts.empty() ? 0 : ToInt(counts[0]);
  int downloaded = counts.size() < 2 ? 0 : ToInt(counts[1]);

  if (total == 0) {
    KLOG(KORB_LOG_INFO,
         "Patchid %d is not present in dcinformer for corresponding data "
         "collector. placing entries.",
         row.patchId);
    PlaceDcInformerRows(row, dcId, db);
    return false;
  }
  if (downloaded != total) {
    KLOG(KORB_LOG_INFO,
         "Some data collector download for Patchid %d is pending. job will "
         "post once it is completed.",
         row.patchId);
    return false;
  }
  KLOG(KORB_LOG_INFO,
       "All downloads for patchid %d. is completed in data collector. so "
       "proceed for job posting.",
       row.patchId);
  return true;
}
