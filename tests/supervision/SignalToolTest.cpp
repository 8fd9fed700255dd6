// korb-signal as an operator runs it: send to a listener, listen for
// datagrams, refuse what it cannot use.
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

TEST(SignalToolTest, SendDeliversTheGivenFieldsAndZeroForTheRest) {
  korbtest::UdpListener listener;
  const std::string port = std::to_string(listener.Port());
  std::vector<std::string> fields;

  EXPECT_EQ(RunTool({"send", "127.0.0.1", port, "4", "77", "3", "4"}), 0);
  ASSERT_TRUE(listener.Receive(&fields, 10s));
  EXPECT_EQ(fields, (std::vector<std::string>{"4", "77", "3", "4"}));

  EXPECT_EQ(RunTool({"send", "localhost", port, "-1"}), 0);
  ASSERT_TRUE(listener.Receive(&fields, 10s));
  EXPECT_EQ(fields, (std::vector<std::string>{"-1", "0", "0", "0"}));
}

TEST(SignalToolTest, UnusableArgumentsAreRefusedWithUsage) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"shout"}, {"send", "127.0.0.1", "7000"},
           {"send", "127.0.0.1", "70000", "1"}, {"send", "127.0.0.1", "7000", "one"},
           {"send", "127.0.0.1", "7000", "1", "2", "3", "4", "5"},
           {"listen"}, {"listen", "7000", "--count"}, {"listen", "7000", "--color", "red"}}) {
    EXPECT_EQ(RunTool(args), 2) << (args.empty() ? "" : args[0]);
  }
}

TEST(SignalToolTest, ListenPrintsEachDatagramUntilTheCountIsReached) {
  ChildProcess listener({korbtest::SignalToolPath(), "listen", "0", "--count", "2",
                         "--timeout", "60", "--bind", "127.0.0.1"});
  ASSERT_TRUE(listener.WaitForStdout("listening on udp port ", 10s));
  const std::string out = listener.Stdout();
  const int port = ToInt(out.substr(out.find("port ") + 5));
  ASSERT_GT(port, 0);

  CSignalInfo info;
  info.SetSignalType(17);
  info.SetSignalID(5);
  info.SetSourceID(2);
  info.SetSubType(9);
  CUDPClient client(port, "127.0.0.1");
  ASSERT_EQ(client.SendUDPSignal(info), KORB_SUCCESS);
  ASSERT_TRUE(listener.WaitForStdout("type=17 id=5 source=2 subtype=9 from=127.0.0.1:", 10s));
  EXPECT_FALSE(listener.Exited());

  // A malformed datagram is shown but not counted.
  korbtest::SendDatagram(port, "garbage");
  ASSERT_TRUE(listener.WaitForStdout("malformed datagram of 7 bytes", 10s));
  EXPECT_FALSE(listener.Exited());
  EXPECT_EQ(RunTool({"send", "127.0.0.1", std::to_string(port), "1"}), 0);
  int code = -1;
  ASSERT_TRUE(listener.WaitExit(30s, &code));
  EXPECT_EQ(code, 0);
  EXPECT_NE(listener.Stdout().find("type=1 id=0 source=0 subtype=0"), std::string::npos);
}

TEST(SignalToolTest, ListenFailsWhenTheTimeOutComesFirst) {
  ChildProcess listener({korbtest::SignalToolPath(), "listen", "0", "--count", "1",
                         "--timeout", "1"});
  int code = -1;
  ASSERT_TRUE(listener.WaitExit(30s, &code));
  EXPECT_EQ(code, 1);
  EXPECT_NE(listener.Stdout().find("listening on udp port"), std::string::npos);
}

}  // namespace
