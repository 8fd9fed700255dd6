// The reads that decide what a posting writes for one target. Runs on the
// caller's thread with the caller's database object; never writes.
#include "JobOutcome.h"

#include "ProcessState.h"

namespace {

constexpr int kPatchScan = 10027;
constexpr int kTppmParamId = 564;

constexpr char kInterruptedQuery[] =
    "select distinct SystemID from jobdetails where Status = %d and "
    "JobTypeID = %d and SchedularID = %d";
constexpr char kInterruptedJobQuery[] =
    "select JobID as outputvalue from jobdetails where SystemID=%d and "
    "jobtypeid=%d and status = %d and SchedularID = %d";

// Open jobs of the same schedule always count: a schedule that is posted
// again (an on-demand schedule after a crash, before it was marked
// submitted) finds the rows of its first, cut-short pass. The condition
// is system + schedule + job type + status, which one index serves.
// Scans of other schedules are counted per TPPM parameter value on top,
// so that a TPPM scan and a plain scan never make each other duplicates.
// The two %s take the condition that leaves an ignored job out ("" in a
// posting).
constexpr char kOpenScanCountQuery[] =
    "select (select count(*) from jobdetails where systemid = %d and "
    "schedularid = %d and jobtypeid = %d and status not in (-1,1,-2)%s) + "
    "(select count(*) from jobdetails jd inner join jobsmasterlookup jml on "
    "jml.siteid = jd.siteid and jml.schedularid = jd.schedularid where "
    "jd.systemid = %d and jd.jobtypeid = %d and jd.status not in (-1,1,-2) "
    "and jml.jobparamid = %d and jml.jobparamvalue = %d%s) as outputvalue";
constexpr char kOpenJobCountQuery[] =
    "select count(*) as outputvalue from jobdetails where systemid = %d and "
    "jobtypeid = %d and status not in (-1,1,-2)%s";

constexpr char kOpenJobIdsQuery[] =
    "select JobID from jobdetails where SystemID = %d and JobTypeID = %d and "
    "Status not in (-1,1,-2) and JobID <> %d order by JobID";

}  // namespace

std::unordered_set<int> InterruptedSystems(int jobTypeId, int schedularId,
                                           CDBI* db) {
  DBRows rows;
  db->getRows(Format(kInterruptedQuery, JOB_STATUS_REDO, jobTypeId,
                     schedularId),
              {"SystemID"}, rows);
  std::unordered_set<int> systems;
  for (const DBRow& row : rows)
    if (!row.empty()) systems.insert(ToInt(row[0]));
  return systems;
}

int InterruptedJobId(int systemId, int jobTypeId, int schedularId, CDBI* db) {
  std::string value;
  if (db->getValueFromQuery(Format(kInterruptedJobQuery, systemId, jobTypeId,
                                   JOB_STATUS_REDO, schedularId),
                            value) != 1)
    return 0;
  return ToInt(value);
}

int CountOpenJobs(int jobTypeId, int systemId, int schedularId,
                  int tppmParamValue, CDBI* db, int ignoredJobId) {
  std::string plain = ignoredJobId != 0
                          ? Format(" and jobid <> %d", ignoredJobId)
                          : std::string();
  std::string joined = ignoredJobId != 0
                           ? Format(" and jd.jobid <> %d", ignoredJobId)
                           : std::string();
  std::string query =
      jobTypeId == kPatchScan
          ? Format(kOpenScanCountQuery, systemId, schedularId, jobTypeId,
                   plain.c_str(), systemId, jobTypeId, kTppmParamId,
                   tppmParamValue, joined.c_str())
          : Format(kOpenJobCountQuery, systemId, jobTypeId, plain.c_str());
  std::string value;
  db->getValueFromQuery(query, value);
  return ToInt(value);
}

JobForecast ForecastJob(int jobTypeId, int schedularId, int systemId,
                        bool interrupted, int tppmParamValue, CDBI* db) {
  JobForecast forecast;
  if (interrupted)
    forecast.redoOf = InterruptedJobId(systemId, jobTypeId, schedularId, db);
  forecast.openJobs = CountOpenJobs(jobTypeId, systemId, schedularId,
                                    tppmParamValue, db, forecast.redoOf);
  DBRows rows;
  db->getRows(Format(kOpenJobIdsQuery, systemId, jobTypeId, forecast.redoOf),
              {"JobID"}, rows);
  for (const DBRow& row : rows)
    if (!row.empty()) forecast.openJobIds.push_back(ToInt(row[0]));
  return forecast;
}
