// A fresh orb, a log in the install folder and a CDBI on the "orb" group.
#pragma once

#include <fstream>
#include <memory>
#include <string>

#include "DBI.h"
#include "TestDatabase.h"

class DbiTest : public korbtest::DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    logger_ = std::make_unique<CLogger>();
    ASSERT_EQ(1, logger_->InitKORBLog(InstallDir() + "/ConsoleManagement/log", "dbi.log",
                                      50L << 20, 4));
    db_ = std::make_unique<CDBI>(logger_.get(), "orb", "orb");
    ASSERT_TRUE(db_->m_bReady);
  }

  // Sessions kept for reuse belong to this test's option file; they must
  // not show up in the next test's session counts.
  void TearDown() override {
    db_.reset();
    CDBI::CloseIdleSessions();
    DbTest::TearDown();
  }

  // Lines of the log that contain text.
  int LogLines(const std::string& text) const {
    std::ifstream in(logger_->GetLogPath());
    int count = 0;
    for (std::string line; std::getline(in, line);) count += line.find(text) != std::string::npos;
    return count;
  }

  std::unique_ptr<CLogger> logger_;
  std::unique_ptr<CDBI> db_;
};
