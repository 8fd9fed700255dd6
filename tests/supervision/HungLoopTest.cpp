// korb-supervisor against a scheduler whose main loop stops making
// progress: the real scheduler, frozen with SIGSTOP, is taken for hung once
// its last progress notice runs out (statement time-out plus margin), is
// killed, and the next start runs restart recovery because the end was
// not an orderly one.
#include <signal.h>

#include <filesystem>
#include <fstream>

#include "DaemonProcess.h"
#include "TestDatabase.h"

namespace {

using namespace std::chrono_literals;
using korbtest::ChildProcess;
using korbtest::CountInLog;

constexpr char kCleanStart[] = "The previous run ended in order; restart recovery is not needed";
constexpr char kRecovery[] =
    "The previous run left no record of an orderly end; running restart recovery";

int Occurrences(const std::string& text, const std::string& what) {
  int count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

class HungLoopTest : public korbtest::DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    Exec("insert into jobhandlermaster (HostName, PortNumber) values ('127.0.0.1', 7301)");
  }
};

TEST_F(HungLoopTest, FrozenSchedulerIsKilledAndTheNextStartRunsRecovery) {
  // Statements may take a second, so a silence of 1 s + 10 s margin ends it.
  AddOptions("orb", "korb-statement-timeout=1\n");
  // The previous run ended in order, so only an unclean end brings recovery.
  const std::string state = InstallDir() + "/ConsoleManagement/state";
  std::filesystem::create_directories(state);
  std::ofstream(state + "/KORB_ProbeScheduler.clean-end") << "ended in order\n";

  ChildProcess supervisor({korbtest::SupervisorPath(), "--scheduler", korbtest::DaemonPath(),
                           "--identifier", std::to_string(korbtest::FreeUdpPort()),
                           "--min-backoff-ms", "100", "--healthy-run-ms", "600000"},
                          {{"KORB_TIME_SCALE", "1000"}});
  ASSERT_TRUE(supervisor.WaitForStdout("reports its start-up done", 60s)) << supervisor.Stdout();
  ASSERT_TRUE(supervisor.WaitForStdout("a silence of 11000 ms ends it", 30s)) << supervisor.Stdout();
  EXPECT_EQ(CountInLog(kCleanStart), 1);
  EXPECT_EQ(CountInLog(kRecovery), 0);

  // The first scheduler is the only child so far; its pid is in the log.
  const std::string out = supervisor.Stdout();
  const size_t at = out.find("(pid ");
  ASSERT_NE(at, std::string::npos) << out;
  const pid_t first = static_cast<pid_t>(std::stol(out.substr(at + 5)));
  const auto frozen = std::chrono::steady_clock::now();
  ASSERT_EQ(kill(first, SIGSTOP), 0);

  ASSERT_TRUE(supervisor.WaitForStdout("main loop made no progress", 60s)) << supervisor.Stdout();
  const auto waited = std::chrono::steady_clock::now() - frozen;
  // Not before the notice ran out: at least the margin.
  EXPECT_GE(waited, 9s);
  ASSERT_TRUE(supervisor.WaitForStdout("ended with signal 9", 30s)) << supervisor.Stdout();
  ASSERT_TRUE(korbtest::WaitForLog(kRecovery, 60s)) << supervisor.Stdout();

  // The new scheduler runs and is watched in turn; a stop ends it in order.
  ASSERT_TRUE(korbtest::WaitFor(
      [&] { return Occurrences(supervisor.Stdout(), "reports its start-up done") == 2; }, 60s))
      << supervisor.Stdout();
  supervisor.SendSignal(SIGTERM);
  int code = -1;
  ASSERT_TRUE(supervisor.WaitExit(60s, &code)) << supervisor.Stdout();
  EXPECT_EQ(code, 0);
  const std::string all = supervisor.Stdout();
  EXPECT_NE(all.find("ended with exit code 0"), std::string::npos) << all;
  EXPECT_EQ(Occurrences(all, "made no progress"), 1) << all;
}

}  // namespace
