// The scheduler process and its database: settings that refuse the start,
// and no session left for the server to abort when it ends.
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "DaemonProcess.h"
#include "DbiFixture.h"

namespace {

using korbtest::DaemonOptions;
using korbtest::DaemonProcess;
using korbtest::WaitFor;

constexpr auto kExitWait = std::chrono::seconds(60);

class DaemonSessions : public DbiTest {
 protected:
  long AbortedClients() {
    return std::stol(Query("show global status like 'Aborted_clients'")[0][1]);
  }
};

}  // namespace

TEST_F(DaemonSessions, OrderlyEndLeavesNoSessionForTheServerToAbort) {
  Exec("insert into jobhandlermaster (HostName, PortNumber) values ('127.0.0.1', 1)");
  db_.reset();
  CDBI::CloseIdleSessions();
  const long aborted_before = AbortedClients();
  DaemonProcess daemon;
  ASSERT_TRUE(korbtest::WaitForLog("Initializing the module...", kExitWait));
  // The main loop and the worker threads have sessions by now, and both
  // patch threads have finished their first pass.
  EXPECT_TRUE(WaitFor([&] { return Count("select * from information_schema.processlist "
                                         "where db = 'orb' and id <> connection_id()") >= 2; },
                      kExitWait));
  EXPECT_TRUE(WaitFor([] { return korbtest::CountInLog("Waiting for event!!!") >= 2; },
                      kExitWait));
  daemon.Send(1);
  int code = -1;
  ASSERT_TRUE(daemon.WaitExit(kExitWait, &code));
  EXPECT_EQ(0, code);
  EXPECT_TRUE(WaitFor([&] { return Count("select * from information_schema.processlist "
                                         "where db = 'orb' and id <> connection_id()") == 0; },
                      std::chrono::seconds(10)));
  EXPECT_EQ(aborted_before, AbortedClients());
}

// The patch threads' first statement of every pass reads this table; a
// session of the test's own that holds it keeps them in that statement.
TEST_F(DaemonSessions, EndWaitsAFewSecondsForAStatementUnderWayOutsideAPosting) {
  Exec("insert into jobhandlermaster (HostName, PortNumber) values ('127.0.0.1', 1)");
  // The orderly end waits for the statement up to the grace period first.
  // The changed group no longer matches the kept session of db_.
  AddOptions("orb", "korb-grace-period=2\n");
  db_.reset();
  CDBI::CloseIdleSessions();
  for (const bool released : {true, false}) {
    SCOPED_TRACE(released ? "lock released after the end signal" : "lock held");
    CDBI holder(logger_.get(), "orb", "orb");
    ASSERT_EQ(0, holder.executeSQL("lock tables updateagentdetails write"));
    const long aborted_before = AbortedClients();
    DaemonProcess daemon;
    ASSERT_TRUE(WaitFor(
        [&] {
          return Count("select * from information_schema.processlist where db = 'orb' and "
                       "state like 'Waiting for table metadata lock'") >= 1;
        },
        kExitWait));
    daemon.Send(1);
    if (released) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      EXPECT_GE(holder.executeSQL("unlock tables"), 0);
    }
    int code = -1;
    ASSERT_TRUE(daemon.WaitExit(kExitWait, &code));
    EXPECT_EQ(0, code);
    if (!released) {
      EXPECT_GE(holder.executeSQL("unlock tables"), 0);
    }
    // Only the holder's session is left.
    EXPECT_TRUE(WaitFor([&] { return Count("select * from information_schema.processlist "
                                           "where db = 'orb' and id <> connection_id()") == 1; },
                        std::chrono::seconds(10)));
    const int cut = korbtest::CountInLog("still under way at the end; the server will count "
                                         "their sessions as aborted");
    if (released) {
      EXPECT_EQ(aborted_before, AbortedClients());
      EXPECT_EQ(0, cut);
    } else {
      EXPECT_EQ(1, cut);
      EXPECT_LT(aborted_before, AbortedClients());
    }
  }
}

TEST_F(DaemonSessions, SettingsThatAreNoNumbersRefuseTheStart) {
  struct Case {
    std::string option;  // a line for the main group, or ""
    std::optional<std::string> scale;
    std::string said;  // on the console
  };
  const Case cases[] = {
      {"korb-site-id=abc", std::nullopt,
       "Database settings refused: option korb-site-id=abc is not an integer"},
      {"korb-install-type=two", std::nullopt, "option korb-install-type=two is not an integer"},
      {"", "1e300", "KORB_TIME_SCALE must be a positive number, at most 100000, not '1e300'"},
      {"", "100001", "not '100001'"},
  };
  for (const Case& c : cases) {
    SetMainIdentity(korbtest::Identity());
    if (!c.option.empty()) AddOptions("orb", c.option + "\n");
    DaemonOptions options;
    if (c.scale) options.env["KORB_TIME_SCALE"] = *c.scale;
    DaemonProcess daemon(options);
    int code = -1;
    ASSERT_TRUE(daemon.WaitExit(kExitWait, &code)) << c.said;
    EXPECT_EQ(255, code) << c.said;
    EXPECT_NE(std::string::npos, daemon.Stdout().find(c.said)) << daemon.Stdout();
    if (!c.option.empty()) {
      EXPECT_EQ(1, korbtest::CountInLog(c.option)) << c.said;
    }
  }
}

TEST_F(DaemonSessions, LogWithoutAnInstallLocationIsAnnouncedOnStandardError) {
  // The log goes into the working directory, which the child inherits.
  const std::string here = std::filesystem::current_path().string();
  const std::string folder = InstallDir() + "/cwd";
  std::filesystem::create_directories(folder);
  ASSERT_EQ(0, chdir(folder.c_str()));
  DaemonOptions options;
  options.env["KORB_INSTALL_DIR"] = std::nullopt;
  options.env["KORB_DSN"] = "no-such-group";  // ends the start right after the log is made
  DaemonProcess daemon(options);
  ASSERT_EQ(0, chdir(here.c_str()));
  int code = -1;
  ASSERT_TRUE(daemon.WaitExit(kExitWait, &code));
  EXPECT_EQ(255, code);
  EXPECT_NE(std::string::npos,
            daemon.Stderr().find("KORB_INSTALL_DIR is not set: the log goes to " + folder +
                                 "/KORB_ProbeScheduler.log"))
      << daemon.Stderr();
  EXPECT_TRUE(std::filesystem::exists(folder + "/KORB_ProbeScheduler.log"));
}
