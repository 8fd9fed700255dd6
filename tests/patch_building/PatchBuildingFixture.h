// Fixture for the patch job building tests: a fresh database object and
// log per test, and helpers that seed systems, schedules, profiles and jobs.
#pragma once

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "DBI.h"
#include "ProcessState.h"
#include "TestDatabase.h"
#include "utilLib.h"

namespace patchtest {

constexpr int kScan = 10027;
constexpr int kDeploy = 10025;
constexpr int kCab = 10037;

class PatchBuildingTest : public korbtest::DbTest {
 protected:
  void SetUp() override {
    korbtest::DbTest::SetUp();
    g_nDeployJobCounter = 0;
    g_szClientVersion.Set("");
    logger_ = std::make_unique<CLogger>();
    logger_->InitKORBLog(InstallDir() + "/ConsoleManagement/log",
                         "KORB_ProbeScheduler.log", 100000000, LogLevel());
    g_pLogger = logger_.get();
    OpenDatabase();
  }

  void TearDown() override {
    g_pDBI = nullptr;
    db_.reset();
    g_pLogger = nullptr;
    logger_.reset();
    korbtest::DbTest::TearDown();
  }

  // Maximum log level of the test's log; 4 admits trace lines.
  virtual int LogLevel() const { return 4; }

  // A new database object for the option file as it stands now.
  void OpenDatabase() {
    g_pDBI = nullptr;
    db_.reset();
    db_ = std::make_unique<CDBI>(logger_.get(), "orb", "orb");
    ASSERT_TRUE(db_->m_bReady);
    g_pDBI = db_.get();
  }

  void ReopenWith(const korbtest::Identity& identity) {
    SetMainIdentity(identity);
    OpenDatabase();
  }

  CDBI* db() { return db_.get(); }

  // --- seeding -----------------------------------------------------------

  void AddSystem(int systemId, int dataCollectionType = 1,
                 const std::string& domain = "corp",
                 const std::string& address = "", int managed = 1) {
    Exec(Format("insert into inventorymaster (SystemID, ipaddress, domainname, "
                "managenode, DataCollectionType) values (%d, %s, %s, %d, %d)",
                systemId, SqlQuote(address).c_str(), SqlQuote(domain).c_str(),
                managed, dataCollectionType));
  }

  void AddSchedule(int schedularId,
                   const std::string& scheduledTime = "2030-01-15 10:00:00") {
    Exec(Format("insert into jobsmaster (SchedularID, ScheduledTime) values "
                "(%d, %s)",
                schedularId, SqlQuote(scheduledTime).c_str()));
  }

  void AddParam(int schedularId, int paramId, const std::string& value) {
    Exec(Format("insert into jobsmasterlookup (SchedularID, JobParamID, "
                "JobParamValue) values (%d, %d, %s)",
                schedularId, paramId, SqlQuote(value).c_str()));
  }

  void SetProfileValue(int profileId, int columnId, const std::string& value) {
    Exec(Format("insert into orbprofilevalues (ProfileID, ColumnID, "
                "ProfileValues) values (%d, %d, %s)",
                profileId, columnId, SqlQuote(value).c_str()));
  }

  void AddLocation(int locationId, int systemId) {
    Exec(Format("insert into locationviewdetails (LocationID, SystemID) "
                "values (%d, %d)",
                locationId, systemId));
  }

  void AddAddress(int profileId, const std::string& address) {
    Exec(Format("insert into ipbreakdownlist (ProfileID, IPAddress) values "
                "(%d, %s)",
                profileId, SqlQuote(address).c_str()));
  }

  // jobId 0 lets the database number the job.
  void AddJob(int jobId, int schedularId, int systemId, int jobTypeId,
              int status) {
    Exec(Format("insert into jobdetails (JobID, SchedularID, SystemID, "
                "JobTypeID, Status, ScheduleTime, SubmissionTime) values (%d, "
                "%d, %d, %d, %d, '2029-12-01 08:00:00', '2029-12-01 "
                "08:00:00')",
                jobId, schedularId, systemId, jobTypeId, status));
  }

  // A scan (param 91) or deploy (param 89) schedule whose profile
  // includes profile `inclusion` (column 69).
  void AddProfiledSchedule(int schedularId, int paramId, int profileId,
                           const std::string& inclusion) {
    AddSchedule(schedularId);
    AddParam(schedularId, paramId, std::to_string(profileId));
    SetProfileValue(profileId, 69, inclusion);
  }

  // System IDs of the jobs of a type that this schedule posted (open, or
  // closed at once as duplicates), in JobID order.
  std::vector<std::string> JobSystems(int schedularId, int jobTypeId) {
    std::vector<std::string> systems;
    for (const auto& row :
         Query(Format("select SystemID from jobdetails where SchedularID = %d "
                      "and JobTypeID = %d and Status in (0, 1) order by JobID",
                      schedularId, jobTypeId)))
      systems.push_back(row[0]);
    return systems;
  }

  // --- log ---------------------------------------------------------------

  std::vector<std::string> LogLines() {
    std::vector<std::string> lines;
    std::ifstream in(logger_->GetLogPath());
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
  }

  // Lines of the given level ("ERROR", "INFO", "TRACE") holding text.
  int LogCount(const std::string& level, const std::string& text) {
    int count = 0;
    for (const std::string& line : LogLines())
      if (line.find("[" + level + "]") != std::string::npos &&
          line.find(text) != std::string::npos)
        ++count;
    return count;
  }

  bool Logged(const std::string& level, const std::string& text) {
    return LogCount(level, text) > 0;
  }

 private:
  std::unique_ptr<CLogger> logger_;
  std::unique_ptr<CDBI> db_;
};

}  // namespace patchtest
