// Fixture for the patch job building tests: a fresh database object and
// log per test, and helpers that add systems, schedules, profiles and jobs.
#pragma once

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "DBI.h"
#include "ProcessState.h"
#include "TestDatabase.h"

namespace patchtest {

constexpr int kScan = 10027;
constexpr int kDeploy = 10025;
using Systems = std::vector<std::string>;

class PatchBuildingTest : public korbtest::DbTest {
 protected:
  void SetUp() override {
    korbtest::DbTest::SetUp();
    g_nDeployJobCounter = 0;
    g_szClientVersion.Set("");
    logger_ = std::make_unique<CLogger>();
    logger_->InitKORBLog(InstallDir() + "/ConsoleManagement/log",
                         "KORB_ProbeScheduler.log", 100000000, 3);
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

  // A database object for the identity written now, with further option
  // lines ("key=value\n") in its group.
  void OpenDatabase(const korbtest::Identity& identity = {}, const std::string& options = "") {
    g_pDBI = nullptr;
    db_.reset();
    SetMainIdentity(identity);
    if (!options.empty()) AddOptions("orb", options);
    db_ = std::make_unique<CDBI>(logger_.get(), "orb", "orb");
    ASSERT_TRUE(db_->m_bReady);
    g_pDBI = db_.get();
  }
  CDBI* db() { return db_.get(); }

  void AddSystem(int systemId, int dataCollectionType = 1, const std::string& domain = "corp",
                 const std::string& address = "", int managed = 1) {
    Exec(Format("insert into inventorymaster (SystemID, ipaddress, domainname, managenode, "
                "DataCollectionType) values (%d, %s, %s, %d, %d)", systemId,
                SqlQuote(address).c_str(), SqlQuote(domain).c_str(), managed, dataCollectionType));
  }
  void AddSchedule(int schedularId) {
    Exec(Format("insert into jobsmaster (SchedularID, ScheduledTime) values "
                "(%d, '2030-01-15 10:00:00')", schedularId));
  }
  void AddParam(int schedularId, int paramId, const std::string& value) {
    Exec(Format("insert into jobsmasterlookup (SchedularID, JobParamID, JobParamValue) values "
                "(%d, %d, %s)", schedularId, paramId, SqlQuote(value).c_str()));
  }
  void SetProfileValue(int profileId, int columnId, const std::string& value) {
    Exec(Format("insert into orbprofilevalues (ProfileID, ColumnID, ProfileValues) values "
                "(%d, %d, %s)", profileId, columnId, SqlQuote(value).c_str()));
  }
  // jobId 0 lets the database number the job.
  void AddJob(int jobId, int schedularId, int systemId, int jobTypeId, int status) {
    Exec(Format("insert into jobdetails (JobID, SchedularID, SystemID, JobTypeID, Status, "
                "ScheduleTime, SubmissionTime) values (%d, %d, %d, %d, %d, "
                "'2029-12-01 08:00:00', '2029-12-01 08:00:00')",
                jobId, schedularId, systemId, jobTypeId, status));
  }
  // A scan (param 91) or deploy (param 89) schedule whose profile's
  // inclusion list (column 69) is `inclusion`.
  void AddProfiledSchedule(int schedularId, int paramId, int profileId,
                           const std::string& inclusion) {
    AddSchedule(schedularId);
    AddParam(schedularId, paramId, std::to_string(profileId));
    SetProfileValue(profileId, 69, inclusion);
  }
  void PointJobHandlerAt(const korbtest::UdpListener& listener) {
    Exec(Format("insert into jobhandlermaster (HostName, PortNumber) values "
                "('127.0.0.1', %d)", listener.Port()));
  }

  // Datagrams that arrive until `expected` are in, plus any stragglers.
  static size_t SignalsReceived(korbtest::UdpListener& listener, size_t expected) {
    using std::chrono::milliseconds;
    size_t count = 0;
    korbtest::WaitFor([&] { return (count += listener.Drain(milliseconds(0)).size()) >= expected; },
                      milliseconds(5000));
    return count + listener.Drain(milliseconds(50)).size();
  }

  // Number of log lines of a level ("ERROR", "INFO", "TRACE") with text.
  int LogCount(const std::string& level, const std::string& text) {
    std::ifstream in(logger_->GetLogPath());
    int count = 0;
    for (std::string line; std::getline(in, line);)
      count += line.find("[" + level + "]") != std::string::npos &&
               line.find(text) != std::string::npos;
    return count;
  }

 private:
  std::unique_ptr<CLogger> logger_;
  std::unique_ptr<CDBI> db_;
};

}  // namespace patchtest
