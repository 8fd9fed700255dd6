// korb-signal as an operator runs it: one tool instance listens, another
// sends; what it cannot use is refused with the usage text.
#include "DaemonProcess.h"
#include "TestDatabase.h"
#include "utilLib.h"

namespace {

using namespace std::chrono_literals;
using korbtest::ChildProcess;

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
  ChildProcess idle({korbtest::SignalToolPath(), "listen", "0", "--count", "1",
                     "--timeout", "1"});
  ASSERT_TRUE(idle.WaitExit(30s, &code));
  EXPECT_EQ(code, 1);
}

TEST(SignalToolTest, UnusableArgumentsAreRefusedWithUsage) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"shout"}, {"send", "127.0.0.1", "7000"},
           {"send", "127.0.0.1", "70000", "1"}, {"send", "127.0.0.1", "7000", "one"},
           {"listen", "7000", "--count"}, {"listen", "7000", "--color", "red"}}) {
    EXPECT_EQ(RunTool(args), 2) << (args.empty() ? "" : args[0]);
  }
}

}  // namespace
