// The database layer while the process ends: after the stop no customer
// session is opened, not even one kept from an earlier object, while the
// main object goes on; a statement the process refuses is never sent.
// The stop is one-way for a process, so each case runs in a child of its
// own (a death test, re-executed).
#include <cstdlib>

#include "DbiFixture.h"

namespace {

class EndingTest : public DbiTest {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    DbiTest::SetUp();
    CreateCustomerDatabase("korbcust_ending", "cust-ending");
  }
};

TEST_F(EndingTest, NoCustomerSessionOpensAfterTheStopAndARefusedStatementIsNotSent) {
  EXPECT_EXIT(
      {
        {
          CDBI kept(logger_.get(), "cust-ending", "korbcust_ending");
          if (!kept.m_bReady) std::_Exit(2);
        }  // its session is kept for the next object of the customer
        CDBI::StopNewCustomerSessions();
        CDBI after(logger_.get(), "cust-ending", "korbcust_ending");
        if (after.m_bReady) std::_Exit(3);
        std::string one;
        if (db_->getValueFromQuery("select 1 as outputvalue", one) != 1) std::_Exit(4);

        CDBI::StatementObserver refuse;
        refuse.begin = [](const std::string&) { return false; };
        CDBI::SetStatementObserver(refuse);
        if (db_->executeSQL("insert into procedurecalllog (ProcName, Args, CalledAt) "
                            "values ('refused', '', now())") != -1)
          std::_Exit(5);
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(Count("select count(*) from procedurecalllog where ProcName = 'refused'"), 0);
}

}  // namespace
