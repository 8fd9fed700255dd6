// Start-up seen from the outside: the entry point's refusals and exit
// codes (-1 shows as 255) with their console texts, the initialisation
// failures, and the log limits taken from the configuration.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>

#include "Initialization.h"
#include "ProcessState.h"
#include "SpineTest.h"

namespace spinetest {
namespace {

using korbtest::CountInLog;
using korbtest::DaemonOptions;
using korbtest::DaemonProcess;

// None of these gets as far as the log or the database.
TEST_F(SpineTest, RefusalsBeforeStartUpGiveTheirCodeAndText) {
  // A lock folder below a regular file cannot exist.
  const std::string file = InstallDir() + "/not-a-folder";
  std::ofstream(file) << "x";
  struct Case {
    std::string label;
    DaemonOptions options;
    int code;
    std::string out;
    bool whole = true;  // else out is a prefix
  };
  DaemonOptions lock, no_supervisor;
  lock.env["KORB_LOCK_DIR"] = file;
  no_supervisor.supervisor_exe = "no-such-supervisor-program";
  std::vector<Case> cases = {
      {"lock", lock, 0, "KORB Probe Scheduler Failed. Error Code: 1.\n"},
      {"no supervisor", no_supervisor, 255, "KORB Probe Scheduler  Failed. Error Code: 3.\n"}};
  for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"1"}, {"1", "2"}}) {
    cases.push_back({"few arguments", {}, 255, "Too few arguments..."});
    cases.back().options.args = args;
  }
  // Processes of the supervisor's name, none with that pid (a non-number
  // converts to 0): refused without a message.
  for (const char* pid : {"abc", "1", "0"}) {
    cases.push_back({pid, {}, 255, ""});
    cases.back().options.supervisor_pid = pid;
  }
  for (const char* scale : {"0", "-5", "fast", "inf"}) {
    cases.push_back({scale, {}, 255, "KORB_TIME_SCALE is not usable: ", false});
    cases.back().options.env["KORB_TIME_SCALE"] = scale;
  }
  for (const Case& c : cases) {
    DaemonProcess daemon(c.options);
    EXPECT_EQ(ExitCodeOf(daemon), c.code) << c.label;
    const std::string out = daemon.Stdout();
    EXPECT_EQ(c.whole ? out : out.substr(0, c.out.size()), c.out) << c.label;
  }
  EXPECT_FALSE(std::filesystem::exists(korbtest::DaemonLogPath()));
  EXPECT_EQ(Count("select count(*) from procedurecalllog"), 0);
}

TEST_F(SpineTest, SecondInstanceIsRefusedAndFirstKeepsRunning) {
  // Extra arguments are ignored.
  DaemonOptions options;
  options.identifier = korbtest::FreeUdpPort();
  options.args = std::vector<std::string>{std::to_string(getpid()), std::to_string(options.identifier),
                                          korbtest::OwnExecutableName(), "extra", "arguments"};
  DaemonProcess first(options);
  ExpectRunning(first);

  DaemonProcess second;
  EXPECT_EQ(ExitCodeOf(second), 1);
  EXPECT_EQ(second.Stdout(), "KORB Probe Scheduler  Failed. Error Code: 2.\n");

  EXPECT_FALSE(first.Exited());
  first.Send(1);
  EXPECT_EQ(ExitCodeOf(first), 0);
  EXPECT_EQ(first.Stdout(), "");
}

// Each ends before restart recovery, which would reset the collection.
TEST_F(SpineTest, InitialisationFailuresAreLoggedAndEndWithMinusOne) {
  Exec("insert into softwaremeterdetail (SystemID, CollectionStatus) values (1, 2)");
  AddUnreachableDsn("down");
  korbtest::UdpListener busy;
  std::vector<std::pair<DaemonOptions, std::string>> cases(1);
  cases[0].first.env["KORB_DSN"] = "down";
  cases[0].second = "Failed to create the DB object.";
  for (const std::string& id : {std::string("0"), std::string("-1"), std::string("70000"),
                                std::string("abc"), std::to_string(busy.Port())}) {
    cases.push_back({{}, "CSignalHandler object creation failed.CSignalHandler init Failed"});
    cases.back().first.args = {std::to_string(getpid()), id, korbtest::OwnExecutableName()};
  }
  for (const auto& [options, line] : cases) {
    std::filesystem::remove(korbtest::DaemonLogPath());
    DaemonProcess daemon(options);
    EXPECT_EQ(ExitCodeOf(daemon), 255) << line;
    EXPECT_EQ(daemon.Stdout(), "Initialization of Probe Scheduler failed\n") << line;
    EXPECT_EQ(CountInLog(line), 1) << korbtest::DaemonLog();
  }
  EXPECT_EQ(Scalar("select CollectionStatus from softwaremeterdetail"), "2");
}

// The limits are applied in-process to a logger and database of the test.
class LogLimitsTest : public SpineTest {
 protected:
  void SetUp() override {
    SpineTest::SetUp();
    logger_ = std::make_unique<CLogger>();
    logger_->InitKORBLog(InstallDir(), "limits.log", 500000, 3);
    db_ = std::make_unique<CDBI>(logger_.get(), "orb", "orb");
    ASSERT_TRUE(db_->m_bReady);
    g_pLogger = logger_.get();
    g_pDBI = db_.get();
  }
  void TearDown() override {
    g_pDBI = nullptr;
    g_pLogger = nullptr;
    db_.reset();
    logger_.reset();
    SpineTest::TearDown();
  }
  void Configure(const char* key, std::optional<std::string> value) {
    if (value) SetConfig(key, *value);
    else Exec(Format("delete from configsettings where SettingKey = '%s'", key));
  }

  std::unique_ptr<CLogger> logger_;
  std::unique_ptr<CDBI> db_;
};

TEST_F(LogLimitsTest, LevelBelowOneAndSizeBelowMinimumAreClamped) {
  struct Case {
    std::optional<std::string> level, size;
    int want_level;
    long want_size;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, 3, 500000},
      {"0", "499999", 3, 500000},
      {"-2", "0", 3, 500000},
      {"abc", "lots", 3, 500000},
      {"1", "500000", 1, 500000},
      {"4", "10000000", 4, 10000000},
      {"12", "2000000000", 12, 2000000000},
  };
  for (const Case& c : cases) {
    Configure("LOG_LEVEL", c.level);
    Configure("LOG_SIZE", c.size);
    ApplyConfiguredLogLimits();
    const std::string label = c.level.value_or("-") + " / " + c.size.value_or("-");
    EXPECT_EQ(g_nLogLevel, c.want_level) << label;
    EXPECT_EQ(g_nLogSize, c.want_size) << label;
    EXPECT_EQ(logger_->GetMaxLogLevel(), c.want_level) << label;
    EXPECT_EQ(logger_->GetMaxLogSize(), c.want_size) << label;
  }
}

}  // namespace
}  // namespace spinetest
