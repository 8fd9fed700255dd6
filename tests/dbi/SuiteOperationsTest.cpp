// The operations that wrap one suite table each, on the reference schema.
#include "DbiFixture.h"

namespace {

using SuiteOperations = DbiTest;

TEST_F(SuiteOperations, ConfigSettingByKey) {
  Exec("insert into configsettings values ('LOG_LEVEL', '4'), ('EMPTY', NULL), "
       "('it''s', 'quoted')");
  std::string value = "stale";
  EXPECT_EQ(1, db_->getConfigSetting("LOG_LEVEL", value));
  EXPECT_EQ("4", value);
  EXPECT_EQ(-1, db_->getConfigSetting("MISSING", value));
  EXPECT_EQ("", value);
  EXPECT_EQ(-1, db_->getConfigSetting("EMPTY", value));
  // A key holding a quote is a value, not statement text.
  EXPECT_EQ(1, db_->getConfigSetting("it's", value));
  EXPECT_EQ("quoted", value);
  EXPECT_EQ(-1, db_->getConfigSetting("x' or '1'='1", value));
  EXPECT_EQ(0, LogLines("[ERROR]"));
}

TEST_F(SuiteOperations, UpdateJobStatusStampsClosingStatesOnly) {
  Exec("insert into jobdetails (JobTypeID, Status) values (1, 0), (1, 0), (1, 0)");
  EXPECT_EQ(1, db_->UpdateJobStatus(1, JOB_STATUS_FAILED, nullptr, 0, ""));
  EXPECT_EQ(1, db_->UpdateJobStatus(2, JOB_STATUS_RUNNING, "it's running", 0, ""));
  EXPECT_EQ(1, db_->UpdateJobStatus(3, JOB_STATUS_EXCLUDED, "", 0, ""));
  EXPECT_EQ((korbtest::Rows{{"1", "-1", "1"}, {"2", "3", "0"}, {"3", "-6", "1"}}),
            Query("select JobID, Status, FinishedTime is not null from jobdetails order by JobID"));
  EXPECT_EQ("it's running", Scalar("select StatusDescription from jobdetails where JobID = 2"));
  EXPECT_EQ(1, db_->UpdateJobStatus(99, JOB_STATUS_CLOSED, nullptr, 0, ""));  // no such job
}

TEST_F(SuiteOperations, JobHandlerDetails) {
  std::string host = "stale";
  long port = 7;
  EXPECT_EQ(-1, db_->GetJobHandlerDetails(host, port));
  Exec("insert into jobhandlermaster (HostName, PortNumber) values ('jh.local', 4711)");
  EXPECT_EQ(0, db_->GetJobHandlerDetails(host, port));
  EXPECT_EQ("jh.local", host);
  EXPECT_EQ(4711, port);
}

TEST_F(SuiteOperations, InventoryOperationCarriesTheObjectsSite) {
  db_->m_nSiteID = 12;
  db_->RecordInventoryMasterOperation(5000000000L, 2);
  db_->RecordInventoryMasterOperation(8, 5);
  EXPECT_EQ((korbtest::Rows{{"12", "5000000000", "2", "1"}, {"12", "8", "5", "1"}}),
            Query("select SiteID, SystemID, OperationCode, OperationTime > now() - interval 1 "
                  "hour from inventorymasteroperations order by OperationID"));
}

}  // namespace
