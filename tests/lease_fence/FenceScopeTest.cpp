// The fence of a posting transaction on the main database and on customer
// databases: a customer session that can see the main database's lease row
// is fenced by it in its own transaction; one that cannot (another server,
// or an account without access to the row) commits without the fence.
//
// The lease is started in this process, once, as the daemon starts it.
#include <memory>

#include "../dbi/DbiFixture.h"
#include "ProcessState.h"
#include "SchedulerLease.h"
#include "utilLib.h"

namespace {

constexpr const char* kCannotFence = "its postings cannot be fenced";

class FenceScopeTest : public DbiTest {
 protected:
  void SetUp() override {
    DbiTest::SetUp();
    AddOptions("orb", "korb-lease-duration=4\n");
    // The main object reads its options when it is made.
    db_ = std::make_unique<CDBI>(logger_.get(), "orb", "orb");
    ASSERT_TRUE(db_->m_bReady);
    g_pLogger = logger_.get();
  }
  void TearDown() override {
    g_pLogger = nullptr;
    DbiTest::TearDown();
  }

  // A customer database of its own whose DSN logs in as an account that
  // may use that database only.
  std::unique_ptr<CDBI> CustomerWithoutLeaseAccess() {
    CreateCustomerDatabase("cust_nolease", "cust_nolease");
    Exec("drop user if exists 'korb_cust'@'localhost';"
         "create user 'korb_cust'@'localhost';"
         "grant all on cust_nolease.* to 'korb_cust'@'localhost'");
    AddOptions("cust_nolease", "user=korb_cust\n");
    return std::make_unique<CDBI>(logger_.get(), "cust_nolease", "cust_nolease");
  }
};

TEST_F(FenceScopeTest, CustomerSessionsAreFencedWhereTheyCanSeeTheLease) {
  ASSERT_TRUE(StartSchedulerLease(*db_));
  ASSERT_TRUE(AwaitSchedulerLease([] { return false; }));
  ASSERT_STREQ(LeaseRole(), "active");
  const std::string epoch = Format("epoch = %llu", static_cast<unsigned long long>(LeaseEpoch()));

  const std::string main_fence = LeaseFence(*db_);
  EXPECT_NE(main_fence.find(epoch), std::string::npos) << main_fence;

  // Same server, same account: the customer's transaction reads the main
  // database's row, and commits under it.
  CreateCustomerDatabase("cust_same", "cust_same");
  CDBI same(logger_.get(), "cust_same", "cust_same");
  ASSERT_TRUE(same.m_bReady);
  const std::string fence = LeaseFence(same);
  EXPECT_EQ(fence, main_fence);
  ASSERT_EQ(same.BeginTransaction(), 1);
  ASSERT_EQ(same.executeSQL("insert into configsettings (SettingKey, SettingValue) values "
                            "('fenced', '1')"),
            1);
  EXPECT_EQ(same.CommitTransaction(fence), 1);
  EXPECT_EQ(Scalar("select SettingValue from configsettings where SettingKey = 'fenced'",
                   "cust_same"),
            "1");

  // An account that cannot see the row: no fence, said once, and its
  // transaction still commits.
  std::unique_ptr<CDBI> blind = CustomerWithoutLeaseAccess();
  ASSERT_TRUE(blind->m_bReady);
  EXPECT_EQ(LeaseFence(*blind), "");
  EXPECT_EQ(LeaseFence(*blind), "");
  EXPECT_EQ(LogLines(kCannotFence), 1);
  ASSERT_EQ(blind->BeginTransaction(), 1);
  ASSERT_EQ(blind->executeSQL("insert into configsettings (SettingKey, SettingValue) values "
                              "('unfenced', '1')"),
            1);
  EXPECT_EQ(blind->CommitTransaction(LeaseFence(*blind)), 1);
  EXPECT_EQ(Scalar("select SettingValue from configsettings where SettingKey = 'unfenced'",
                   "cust_nolease"),
            "1");
  blind.reset();
  Exec("drop user 'korb_cust'@'localhost'");
  // The keeper's thread ends here, before the log it writes to goes.
  ReleaseSchedulerLease(true);
  EXPECT_EQ(Scalar("select clean_end from korb_scheduler_lease"), "0");
}

}  // namespace
