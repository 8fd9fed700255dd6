// The operators' tools: korb-supervisor with the real scheduler and with
// stand-ins that fail at once or ignore every polite request to end, and
// korb-signal, one instance listening while another sends.
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "DaemonProcess.h"
#include "TestDatabase.h"
#include "utilLib.h"

namespace {

using namespace std::chrono_literals;
using korbtest::ChildProcess;
using korbtest::CountInLog;

constexpr char kLoopRunning[] = "PostAutomationScheduleJobs:: -- Started --";

std::vector<std::string> SupervisorArgs(const std::string& scheduler, std::vector<std::string> extra) {
  std::vector<std::string> argv = {korbtest::SupervisorPath(), "--scheduler", scheduler,
                                   "--identifier", std::to_string(korbtest::FreeUdpPort())};
  argv.insert(argv.end(), extra.begin(), extra.end());
  return argv;
}

int Occurrences(const std::string& text, const std::string& what) {
  int count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

class SupervisorToolTest : public korbtest::DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    Exec("insert into jobhandlermaster (HostName, PortNumber) values ('127.0.0.1', 7301)");
    // Scaled days log a lot; keep all of it in one file.
    Exec("insert into configsettings (SettingKey, SettingValue) values ('LOG_SIZE', '200000000')");
  }
};

TEST_F(SupervisorToolTest, SchedulerSurvivesItsDailyRestartAndStopsWithTheEndSignal) {
  // A scaled day is about four seconds; a run of two counts as healthy.
  ChildProcess supervisor(
      SupervisorArgs(korbtest::DaemonPath(), {"--min-backoff-ms", "100", "--healthy-run-ms", "2000"}),
      {{"KORB_TIME_SCALE", "20000"}});
  ASSERT_TRUE(korbtest::WaitForLog("Process is exiting for Internal Restart", 120s))
      << supervisor.Stdout();
  ASSERT_TRUE(korbtest::WaitForLog(kLoopRunning, 60s, 2)) << supervisor.Stdout();
  EXPECT_EQ(Occurrences(supervisor.Stdout(), "started "), 2);
  EXPECT_NE(supervisor.Stdout().find("ended with exit code 0"), std::string::npos);
  EXPECT_NE(supervisor.Stdout().find("restarting the scheduler in 0 ms"), std::string::npos);

  // A stop sends the end signal, which a loop running behind still serves.
  supervisor.SendSignal(SIGTERM);
  int code = -1;
  ASSERT_TRUE(supervisor.WaitExit(30s, &code)) << supervisor.Stdout();
  EXPECT_EQ(code, 0);
  EXPECT_EQ(CountInLog("NETWORK SIGNAL RECEIVED. Type 1\n"), 1);
  EXPECT_EQ(CountInLog("Unloaded the module succesfully..."), 2);
  const std::string out = supervisor.Stdout();
  EXPECT_NE(out.find("sending the end signal"), std::string::npos) << out;
  EXPECT_EQ(out.find("sending SIGTERM"), std::string::npos) << out;
}

TEST(SupervisorBackoffTest, DelayDoublesWhileTheSchedulerFailsAtOnce) {
  ChildProcess supervisor(SupervisorArgs(
      "/bin/false", {"--min-backoff-ms", "50", "--max-backoff-ms", "400", "--healthy-run-ms", "60000"}));
  ASSERT_TRUE(korbtest::WaitFor(
      [&] { return Occurrences(supervisor.Stdout(), "in 400 ms") >= 2; }, 30s))
      << supervisor.Stdout();
  supervisor.SendSignal(SIGTERM);
  int code = -1;
  ASSERT_TRUE(supervisor.WaitExit(30s, &code));
  EXPECT_EQ(code, 0);

  std::vector<long> delays;
  const std::string out = supervisor.Stdout();
  const std::regex delay("restarting the scheduler in ([0-9]+) ms");
  for (auto it = std::sregex_iterator(out.begin(), out.end(), delay); it != std::sregex_iterator(); ++it) {
    delays.push_back(std::stol((*it)[1]));
  }
  ASSERT_GE(delays.size(), 5u) << out;
  EXPECT_EQ(std::vector<long>(delays.begin(), delays.begin() + 5),
            (std::vector<long>{50, 100, 200, 400, 400}));
  EXPECT_NE(out.find("ended with exit code 1"), std::string::npos);
}

TEST_F(SupervisorToolTest, SchedulerThatIgnoresTheEndSignalIsKilled) {
  // Ignored signals stay ignored across exec, so sleep ignores SIGTERM.
  const std::string stubborn = InstallDir() + "/stubborn.sh";
  std::ofstream(stubborn) << "#!/bin/sh\ntrap '' TERM\nexec sleep 600\n";
  std::filesystem::permissions(stubborn, std::filesystem::perms::owner_all);
  ChildProcess supervisor(SupervisorArgs(stubborn, {"--stop-timeout-ms", "1000"}));
  ASSERT_TRUE(supervisor.WaitForStdout("started ", 10s));
  supervisor.SendSignal(SIGTERM);
  int code = -1;
  ASSERT_TRUE(supervisor.WaitExit(30s, &code)) << supervisor.Stdout();
  EXPECT_EQ(code, 0);
  const std::string out = supervisor.Stdout();
  EXPECT_NE(out.find("sending SIGTERM"), std::string::npos) << out;
  EXPECT_NE(out.find("killing it"), std::string::npos) << out;
  EXPECT_NE(out.find("ended with signal 9"), std::string::npos) << out;
}

int RunTool(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {korbtest::SignalToolPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  ChildProcess tool(argv);
  int code = -1;
  EXPECT_TRUE(tool.WaitExit(30s, &code));
  return code;
}

TEST(SignalToolTest, ListenPrintsWhatSendSendsUntilTheCountIsReached) {
  ChildProcess listener({korbtest::SignalToolPath(), "listen", "0", "--count", "2",
                         "--timeout", "60", "--bind", "127.0.0.1"});
  ASSERT_TRUE(listener.WaitForStdout("listening on udp port ", 10s));
  const std::string out = listener.Stdout();
  const std::string port = std::to_string(ToInt(out.substr(out.find("port ") + 5)));

  EXPECT_EQ(RunTool({"send", "127.0.0.1", port, "4", "77", "3", "9"}), 0);
  ASSERT_TRUE(listener.WaitForStdout("type=4 id=77 source=3 subtype=9 from=127.0.0.1:", 10s));
  // Malformed datagrams are shown but not counted.
  korbtest::SendDatagram(ToInt(port), "garbage");
  ASSERT_TRUE(listener.WaitForStdout("malformed datagram of 7 bytes", 10s));
  EXPECT_FALSE(listener.Exited());
  EXPECT_EQ(RunTool({"send", "localhost", port, "-1"}), 0);
  int code = -1;
  ASSERT_TRUE(listener.WaitExit(30s, &code));
  EXPECT_EQ(code, 0);
  EXPECT_NE(listener.Stdout().find("type=-1 id=0 source=0 subtype=0"), std::string::npos);

  // Nothing more arrives: a second listener gives up at its time-out.
  ChildProcess idle({korbtest::SignalToolPath(), "listen", "0", "--count", "1", "--timeout", "1"});
  ASSERT_TRUE(idle.WaitExit(30s, &code));
  EXPECT_EQ(code, 1);
}

TEST(ToolsTest, UnusableArgumentsAreRefusedWithUsage) {
  const std::string signal = korbtest::SignalToolPath(), supervisor = korbtest::SupervisorPath();
  for (const std::vector<std::string>& argv : std::vector<std::vector<std::string>>{
           {signal}, {signal, "shout"}, {signal, "send", "127.0.0.1", "7000"},
           {signal, "send", "127.0.0.1", "70000", "1"}, {signal, "send", "127.0.0.1", "7000", "one"},
           {signal, "listen", "7000", "--count"}, {signal, "listen", "7000", "--color", "red"},
           {supervisor, "--identifier", ""}, {supervisor, "--identifier", "0"},
           {supervisor, "--identifier", "seven"}}) {
    ChildProcess tool(argv, {{"KORB_SIGNAL_IDENTIFIER", std::nullopt}});
    int code = -1;
    ASSERT_TRUE(tool.WaitExit(30s, &code));
    EXPECT_EQ(code, 2) << argv.back();
    EXPECT_NE(tool.Stderr().find("usage: "), std::string::npos) << argv.back();
  }
}

}  // namespace
