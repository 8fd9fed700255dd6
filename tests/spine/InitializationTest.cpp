// Start-up steps that end the process before the main loop, and the log
// limits taken from the configuration.
#include <filesystem>
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

constexpr char kJobHandlerFailure[] =
    "Unable to retrieve Job Handler Master Details. Exiting..";
constexpr char kInitializing[] = "Initializing the module...";
constexpr char kTraceOfRecovery[] = "Swinformer entries of old agents got deleted";

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
    if (value)
      SetConfig(key, *value);
    else
      Exec(Format("delete from configsettings where SettingKey = '%s'", key));
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
    const std::string label = c.level.value_or("<none>") + " / " +
                              c.size.value_or("<none>");
    EXPECT_EQ(g_nLogLevel, c.want_level) << label;
    EXPECT_EQ(g_nLogSize, c.want_size) << label;
    EXPECT_EQ(logger_->GetMaxLogLevel(), c.want_level) << label;
    EXPECT_EQ(logger_->GetMaxLogSize(), c.want_size) << label;
  }
}

// Each run ends at the job handler step, after the configured level
// applies; the level decides which of the start-up lines are written.
TEST_F(SpineTest, ConfiguredLevelGovernsStartUpLines) {
  Exec("delete from jobhandlermaster");
  struct Case {
    std::optional<std::string> level;
    bool info, trace;
  };
  for (const Case& c : {Case{std::nullopt, true, false}, Case{"0", true, false},
                        Case{"4", true, true}, Case{"1", false, false}}) {
    if (c.level)
      SetConfig("LOG_LEVEL", *c.level);
    std::filesystem::remove(korbtest::DaemonLogPath());
    DaemonProcess daemon;
    EXPECT_EQ(ExitCodeOf(daemon), 255);
    const std::string label = c.level.value_or("<none>");
    EXPECT_EQ(CountInLog(kJobHandlerFailure), 1) << label;
    EXPECT_EQ(CountInLog(kInitializing), c.info ? 1 : 0) << label;
    EXPECT_EQ(CountInLog(kTraceOfRecovery), c.trace ? 1 : 0) << label;
  }
}

TEST_F(SpineTest, DatabaseThatIsNotReadyFailsStartUp) {
  AddUnreachableDsn("down");
  DaemonOptions options;
  options.env["KORB_DSN"] = "down";
  DaemonProcess daemon(options);
  EXPECT_EQ(ExitCodeOf(daemon), 255);
  EXPECT_EQ(daemon.Stdout(), "Initialization of Probe Scheduler failed\n");
  EXPECT_EQ(CountInLog("Failed to create the DB object."), 1);
  EXPECT_EQ(CountInLog(kInitializing), 0);
}

TEST_F(SpineTest, UnusableSignalIdentifierFailsStartUpBeforeRecovery) {
  Exec("insert into softwaremeterdetail (SystemID, CollectionStatus) values (1, 2)");
  korbtest::UdpListener busy;
  for (const std::string& id :
       {std::string("0"), std::string("-1"), std::string("70000"),
        std::string("abc"), std::to_string(busy.Port())}) {
    std::filesystem::remove(korbtest::DaemonLogPath());
    DaemonOptions options;
    options.args = std::vector<std::string>{
        std::to_string(getpid()), id, korbtest::OwnExecutableName()};
    DaemonProcess daemon(options);
    EXPECT_EQ(ExitCodeOf(daemon), 255) << id;
    EXPECT_EQ(daemon.Stdout(), "Initialization of Probe Scheduler failed\n") << id;
    EXPECT_EQ(CountInLog("CSignalHandler object creation failed."
                         "CSignalHandler init Failed"), 1) << id;
  }
  EXPECT_EQ(Scalar("select CollectionStatus from softwaremeterdetail"), "2");
}

}  // namespace
}  // namespace spinetest
