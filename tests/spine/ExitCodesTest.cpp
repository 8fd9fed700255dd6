// The entry point's refusals and exit codes, seen from the outside: the
// console text on stdout and the exit status (-1 shows as 255).
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "SpineTest.h"

namespace spinetest {
namespace {

using korbtest::DaemonOptions;
using korbtest::DaemonProcess;

TEST_F(SpineTest, TooFewArgumentsIsRefusedWithMinusOne) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"1"}, {"1", "2"}}) {
    DaemonOptions options;
    options.args = args;
    DaemonProcess daemon(options);
    EXPECT_EQ(ExitCodeOf(daemon), 255);
    EXPECT_EQ(daemon.Stdout(), "Too few arguments...");
  }
}

TEST_F(SpineTest, LockThatCannotBeMadeEndsWithZero) {
  // A lock folder below a regular file cannot exist.
  const std::string file = InstallDir() + "/not-a-folder";
  std::ofstream(file) << "x";
  DaemonOptions options;
  options.env["KORB_LOCK_DIR"] = file;
  DaemonProcess daemon(options);
  EXPECT_EQ(ExitCodeOf(daemon), 0);
  EXPECT_EQ(daemon.Stdout(), "KORB Probe Scheduler Failed. Error Code: 1.\n");
}

TEST_F(SpineTest, SecondInstanceIsRefusedAndFirstKeepsRunning) {
  DaemonProcess first;
  ExpectRunning(first);

  DaemonProcess second;
  EXPECT_EQ(ExitCodeOf(second), 1);
  EXPECT_EQ(second.Stdout(), "KORB Probe Scheduler  Failed. Error Code: 2.\n");

  // The first one still answers signals.
  EXPECT_FALSE(first.Exited());
  first.Send(1);
  EXPECT_EQ(ExitCodeOf(first), 0);
  EXPECT_EQ(first.Stdout(), "");
}

TEST_F(SpineTest, SupervisorThatIsNotRunningIsRefusedBeforeAnyLogOrDatabaseWork) {
  // No process of that name at all: the error code 3 line.
  DaemonOptions unknown_name;
  unknown_name.supervisor_exe = "no-such-supervisor-program";
  DaemonProcess refused(unknown_name);
  EXPECT_EQ(ExitCodeOf(refused), 255);
  EXPECT_EQ(refused.Stdout(), "KORB Probe Scheduler  Failed. Error Code: 3.\n");

  // Processes of that name, none with the pid (a non-number converts to 0,
  // pid 1 is not a test binary): refused without a message.
  for (const char* pid : {"abc", "1", "0"}) {
    DaemonOptions wrong_pid;
    wrong_pid.supervisor_pid = pid;
    DaemonProcess daemon(wrong_pid);
    EXPECT_EQ(ExitCodeOf(daemon), 255) << pid;
    EXPECT_EQ(daemon.Stdout(), "") << pid;
  }

  EXPECT_FALSE(std::filesystem::exists(korbtest::DaemonLogPath()));
  EXPECT_EQ(Count("select count(*) from procedurecalllog"), 0);
}

TEST_F(SpineTest, FailedInitialisationEndsWithMinusOne) {
  DaemonOptions options;
  options.identifier = 70000;  // not a port
  DaemonProcess daemon(options);
  EXPECT_EQ(ExitCodeOf(daemon), 255);
  EXPECT_EQ(daemon.Stdout(), "Initialization of Probe Scheduler failed\n");
}

TEST_F(SpineTest, ExtraArgumentsAreIgnoredAndAnOrderlyEndGivesZero) {
  DaemonOptions options;
  options.identifier = korbtest::FreeUdpPort();
  options.args = std::vector<std::string>{
      std::to_string(getpid()), std::to_string(options.identifier),
      korbtest::OwnExecutableName(), "extra", "arguments"};
  DaemonProcess daemon(options);
  ExpectRunning(daemon);
  daemon.Send(1);
  EXPECT_EQ(ExitCodeOf(daemon), 0);
  EXPECT_EQ(daemon.Stdout(), "");
}

TEST_F(SpineTest, InvalidTimeScaleIsRefusedBeforeAnythingElse) {
  for (const char* scale : {"0", "-5", "fast", "inf"}) {
    DaemonOptions options;
    options.env["KORB_TIME_SCALE"] = scale;
    DaemonProcess daemon(options);
    EXPECT_EQ(ExitCodeOf(daemon), 255) << scale;
    EXPECT_NE(daemon.Stdout().find("KORB_TIME_SCALE"), std::string::npos)
        << scale;
  }
  EXPECT_FALSE(std::filesystem::exists(korbtest::DaemonLogPath()));
}

}  // namespace
}  // namespace spinetest
