// The process-wide statement gate: a closed gate sends nothing, and a gate
// that closes while a statement is on its way to a session (a reconnect, a
// lease deadline that passes meanwhile) still stops that statement before
// it reaches the server.
#include <atomic>

#include "DbiFixture.h"

namespace {

std::atomic<int> g_checks{0};
std::atomic<int> g_open_checks{0};

// Open for the first g_open_checks checks, closed after them.
bool CountingGate() { return g_checks.fetch_add(1) < g_open_checks.load(); }

class StatementGateTest : public DbiTest {
 protected:
  void TearDown() override {
    CDBI::SetStatementGate(nullptr, nullptr);
    DbiTest::TearDown();
  }

  int Insert(CDBI& db, const char* name) {
    return db.executeSQL(Format("insert into procedurecalllog (ProcName, Args, CalledAt) "
                                "values ('%s', '', now())",
                                name));
  }
  long Rows(const char* name) {
    return Count(Format("select count(*) from procedurecalllog where ProcName = '%s'", name));
  }

  static void Gate(int open_checks) {
    g_checks = 0;
    g_open_checks = open_checks;
    CDBI::SetStatementGate(&CountingGate, "the test closed the gate");
  }
};

TEST_F(StatementGateTest, OpenGateSendsClosedGateRefusesAndAGateClosingOnTheWayStops) {
  Gate(1 << 20);
  EXPECT_EQ(Insert(*db_, "open"), 1);
  EXPECT_EQ(Rows("open"), 1);

  {
    CDBI db(logger_.get(), "orb", "orb");
    Gate(0);
    EXPECT_EQ(Insert(db, "closed"), -1);
    EXPECT_EQ(Rows("closed"), 0);
    EXPECT_GE(LogLines("the test closed the gate"), 1);
  }
  {
    // The first check passes (the statement then waits for its session);
    // the gate is closed by the time it would be sent.
    CDBI db(logger_.get(), "orb", "orb");
    Gate(1);
    EXPECT_EQ(Insert(db, "closed-on-the-way"), -1);
    EXPECT_EQ(Rows("closed-on-the-way"), 0);
    EXPECT_EQ(g_checks.load(), 2);
  }
}

}  // namespace
