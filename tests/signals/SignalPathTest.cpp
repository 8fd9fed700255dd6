// The running scheduler and what peers send it: fields read as atol reads
// them, a flood of junk that must leave the log readable and the process
// answering, the receiver's address and buffer from the option file, and
// the signalling's failures reported as failures.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <vector>

#include "DaemonProcess.h"
#include "TestDatabase.h"
#include "utilLib.h"

namespace {

using namespace std::chrono_literals;
using korbtest::CountInLog;
using korbtest::DaemonLog;
using korbtest::DaemonProcess;
using korbtest::WaitFor;
using korbtest::WaitForLog;

constexpr auto kStartTimeout = 60s;  // the sanitizer builds start slowly
constexpr auto kTimeout = 30s;
constexpr char kLoopRunning[] = "PostAutomationScheduleJobs:: -- Started --";

// Four fields of 16 bytes; each text is NUL-padded, or cut at 16 bytes.
std::string Record(std::vector<std::string> fields) {
  fields.resize(4);
  std::string out;
  for (std::string& field : fields) {
    field.resize(16, '\0');
    out += field;
  }
  return out;
}

// From a socket bound to `from` (any local address when null).
void SendTo(const char* address, int port, const std::string& bytes,
            const char* from = nullptr) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  inet_pton(AF_INET, address, &to.sin_addr);
  to.sin_port = htons(static_cast<uint16_t>(port));
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (from != nullptr) {
    sockaddr_in source{};
    source.sin_family = AF_INET;
    inet_pton(AF_INET, from, &source.sin_addr);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof(source)), 0) << from;
  }
  sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
  close(fd);
}

class SignalPathTest : public korbtest::DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    Exec("insert into jobhandlermaster (HostName, PortNumber) values ('127.0.0.1', 7301)");
  }

  static void ExpectRunning(DaemonProcess& daemon) {
    ASSERT_TRUE(WaitForLog(kLoopRunning, kStartTimeout))
        << "stdout: " << daemon.Stdout() << "\nlog:\n" << DaemonLog();
  }

  // Datagrams may be dropped while the receive buffer is full, so a
  // signal that must arrive is sent again until its effect shows.
  static bool SendUntil(const std::function<void()>& send, const std::function<bool()>& arrived) {
    return WaitFor(
        [&] {
          send();
          return WaitFor(arrived, 300ms);
        },
        kTimeout);
  }

  static void EndWithZero(DaemonProcess& daemon, const char* address = "127.0.0.1") {
    const int port = daemon_port_;
    ASSERT_TRUE(SendUntil([&] { SendTo(address, port, Record({"1"})); },
                          [&] { return daemon.Exited(); }))
        << DaemonLog();
    EXPECT_EQ(daemon.ExitCode(), 0) << DaemonLog();
  }

  // Options for a daemon listening on a port nobody else uses.
  static korbtest::DaemonOptions OnFreePort() {
    daemon_port_ = korbtest::FreeUdpPort();
    korbtest::DaemonOptions options;
    options.identifier = daemon_port_;
    return options;
  }

  static int daemon_port_;
};

int SignalPathTest::daemon_port_ = 0;

TEST_F(SignalPathTest, FieldsAreReadAsAtolAndAJunkFloodLeavesTheLogBounded) {
  korbtest::DaemonOptions options = OnFreePort();
  DaemonProcess daemon(options);
  ExpectRunning(daemon);

  // A sub-type that is not a number reads 0: the WMI path.
  daemon.SendRaw(Record({"4", "0", "0", "x"}));
  ASSERT_TRUE(WaitForLog("WMI_PATCH_MGMT_JOB_SIGNAL Received.", kTimeout)) << DaemonLog();
  // All 16 bytes of an unterminated field count: 15 blanks and a 4.
  daemon.SendRaw(Record({"0000000000000004", "0", "0", std::string(15, ' ') + "4"}));
  ASSERT_TRUE(WaitForLog("SSH_PATCH_MGMT_JOB_SIGNAL received!!", kTimeout)) << DaemonLog();
  // Beyond 32 bits: never wrapped onto a known type (2^32 + 1 is not 1),
  // shown as received where the line takes a long, saturated where an int.
  daemon.SendRaw(Record({"4294967297", "+5"}));
  daemon.SendRaw(Record({"999999999999999", " 6abc"}));
  ASSERT_TRUE(WaitForLog("Unknown signal. Type 999999999999999 ID 6", kTimeout)) << DaemonLog();
  EXPECT_EQ(CountInLog("Unknown signal. Type 4294967297 ID 5"), 1);
  EXPECT_EQ(CountInLog("NETWORK SIGNAL RECEIVED. Type 2147483647"), 2);
  EXPECT_FALSE(daemon.Exited());

  // A few seconds of junk: wrong lengths and records of unknown types.
  const size_t log_before = DaemonLog().size();
  const std::string junk[] = {std::string(10, 'j'), std::string(100, 'j'),
                              std::string(64, 'x'), Record({"99", "1"})};
  const auto flood_end = std::chrono::steady_clock::now() + 2s;
  for (size_t sent = 0; std::chrono::steady_clock::now() < flood_end; ++sent)
    daemon.SendRaw(junk[sent % 4]);

  // Type 14 has no line but its receipt: once it shows, the junk before it
  // has been read.
  ASSERT_TRUE(SendUntil([&] { daemon.Send(14); },
                        [] { return CountInLog("NETWORK SIGNAL RECEIVED. Type 14") > 0; }))
      << DaemonLog();
  EXPECT_FALSE(daemon.Exited());
  const std::string log = DaemonLog();
  EXPECT_LT(log.size() - log_before, 16000u) << log;
  EXPECT_FALSE(std::filesystem::exists(korbtest::DaemonLogPath() + ".1"));
  for (const char* kind : {"Signal Handler receival failed", "refused signal datagram from",
                           "Unknown signal. Type"}) {
    const int lines = CountInLog(kind);
    EXPECT_GE(lines, 1) << kind;
    EXPECT_LE(lines, 5) << kind;
  }
  EndWithZero(daemon);
}

// Signals that queued up while the process was held are handled one by
// one in the order sent, up to the end signal; those behind it are not.
TEST_F(SignalPathTest, QueuedSignalsAreHandledInOrderUpToTheEndSignal) {
  korbtest::DaemonOptions options = OnFreePort();
  DaemonProcess daemon(options);
  ExpectRunning(daemon);

  std::vector<int> sent;
  for (int i = 0; i < 20; ++i) sent.insert(sent.end(), {17, 14});
  sent.push_back(1);
  ASSERT_EQ(kill(daemon.Pid(), SIGSTOP), 0);
  for (int type : sent) daemon.Send(type);
  for (int i = 0; i < 10; ++i) daemon.Send(17);
  ASSERT_EQ(kill(daemon.Pid(), SIGCONT), 0);

  int code = -1;
  ASSERT_TRUE(daemon.WaitExit(kTimeout, &code)) << DaemonLog();
  EXPECT_EQ(code, 0) << DaemonLog();
  std::vector<int> handled;
  const std::string receipt = "NETWORK SIGNAL RECEIVED. Type ";
  std::istringstream log(DaemonLog());
  for (std::string line; std::getline(log, line);)
    if (const size_t at = line.find(receipt); at != std::string::npos)
      handled.push_back(std::stoi(line.substr(at + receipt.size())));
  EXPECT_EQ(handled, sent);
  EXPECT_EQ(CountInLog("SH_PATCH_DOWNLOAD_SUCCESS signal Received."), 20);
}

TEST_F(SignalPathTest, ReceiverListensWhereTheOptionFileSays) {
  AddOptions("orb", "korb-signal-address=127.0.0.2\nkorb-signal-rcvbuf=1048576\n");
  korbtest::DaemonOptions options = OnFreePort();
  DaemonProcess daemon(options);
  ExpectRunning(daemon);
  EXPECT_EQ(CountInLog("receive buffer of 1048576 bytes asked, the kernel granted"), 1)
      << DaemonLog();

  // An end signal to another local address never reaches it; a signal
  // sent after it to the bound address does.
  SendTo("127.0.0.1", daemon_port_, Record({"1"}));
  ASSERT_TRUE(SendUntil([&] { SendTo("127.0.0.2", daemon_port_, Record({"14"})); },
                        [] { return CountInLog("NETWORK SIGNAL RECEIVED. Type 14") > 0; }))
      << DaemonLog();
  EXPECT_FALSE(daemon.Exited());
  EndWithZero(daemon, "127.0.0.2");
}

// Only the listed senders are heard: an end signal from another local
// address changes nothing. Without a list, an open port says so at start.
TEST_F(SignalPathTest, OnlyListedSendersAreHeard) {
  AddOptions("orb", "korb-signal-allow=127.0.0.1/32, 10.20.0.0/24 fd00::/8\n");
  korbtest::DaemonOptions options = OnFreePort();
  DaemonProcess daemon(options);
  ExpectRunning(daemon);
  EXPECT_EQ(CountInLog("are taken from every sender"), 0) << DaemonLog();

  for (int i = 0; i < 20; ++i) SendTo("127.0.0.1", daemon_port_, Record({"1"}), "127.0.0.2");
  ASSERT_TRUE(SendUntil([&] { SendTo("127.0.0.1", daemon_port_, Record({"14"}), "127.0.0.1"); },
                        [] { return CountInLog("NETWORK SIGNAL RECEIVED. Type 14") > 0; }))
      << DaemonLog();
  EXPECT_FALSE(daemon.Exited());
  EXPECT_EQ(CountInLog("NETWORK SIGNAL RECEIVED. Type 1\n"), 0) << DaemonLog();
  const int refused = CountInLog("refused signal datagram from 127.0.0.2:");
  EXPECT_GE(refused, 1) << DaemonLog();
  EXPECT_LE(refused, 5) << DaemonLog();
  EXPECT_EQ(CountInLog("the sender is not in korb-signal-allow"), refused);
  EndWithZero(daemon);

  SetUp();
  korbtest::DaemonOptions open = OnFreePort();
  DaemonProcess open_daemon(open);
  ExpectRunning(open_daemon);
  EXPECT_EQ(CountInLog(Format("CSignalHandler: signals on 0.0.0.0:%d are taken from "
                              "every sender that reaches the port; korb-signal-allow limits the "
                              "senders", daemon_port_)), 1) << DaemonLog();
  EndWithZero(open_daemon);
}

TEST_F(SignalPathTest, UnusableReceiverSettingsRefuseTheStart) {
  struct Case {
    const char* setting;
    const char* logged;  // what the log says about it
  };
  const Case cases[] = {
      {"korb-signal-rcvbuf=lots\n", "korb-signal-rcvbuf=lots"},
      {"korb-signal-rcvbuf=-1\n", "korb-signal-rcvbuf=-1 is not a byte count"},
      {"korb-signal-address=not-an-address\n",
       "bind address 'not-an-address' is not an IPv4 address"},
      {"korb-signal-allow=127.0.0.1 10.0.0.1/8\n",
       "Option korb-signal-allow=127.0.0.1 10.0.0.1/8 is not a list of addresses and prefixes: "
       "'10.0.0.1/8' is not"},
      {"korb-signal-allow=suite-hosts\n", "'suite-hosts' is not an IPv4 or IPv6 address"},
  };
  for (const Case& c : cases) {
    SetUp();  // a fresh option file and install folder each
    AddOptions("orb", c.setting);
    DaemonProcess daemon;
    int code = -1;
    ASSERT_TRUE(daemon.WaitExit(kTimeout, &code)) << c.setting;
    EXPECT_EQ(code, 255) << c.setting << DaemonLog();
    EXPECT_NE(DaemonLog().find(c.logged), std::string::npos) << DaemonLog();
  }
}

// Steps whose query fails say so with the statement instead of "no
// jobs"; a probe host that cannot be resolved is reported, and the run
// goes on to the end.
TEST_F(SignalPathTest, FailedTargetQueriesAndUnreachableHostsAreReported) {
  Exec("replace into configsettings (SettingKey, SettingValue) values ('LOG_LEVEL', '4');"
       "insert into probemaster (ProbeID, HostName, ProbeType, Status) "
       "values (1, 'no-such-host.invalid', 1, 1);"
       "insert into kovaorbprocessmaster (ProbeType, ProcessNo, PortNumber) values (1, 1, 7400);"
       "insert into processmapper (ProcessNo, TaskID) values (1, 1);"
       "insert into tasklist (TaskID, TaskTypeID, TaskCategoryID, SignalType) values (1, 3, 7, 33);"
       "insert into jobtypemaster (JobTypeID, IsSignalRequiredForJob) values (100, 1);"
       "insert into jobdetails (JobID, JobTypeID, ScheduleTime, Status) "
       "values (1, 100, NOW() - INTERVAL 1 MINUTE, 0);"
       "insert into probescheduledetail (ProbeID, TaskTypeID, TaskCategoryID, ProbeSchedulerID) "
       "values (1, 3, 7, 1)");
  // The inventory steps (task types 1, 2 and 7) read a table that is gone.
  Exec("rename table inventorymaster to inventorymaster_away");
  const std::unique_ptr<void, std::function<void(void*)>> restore(
      this, [this](void*) { Exec("rename table inventorymaster_away to inventorymaster"); });

  korbtest::DaemonOptions options = OnFreePort();
  DaemonProcess daemon(options);
  ExpectRunning(daemon);
  ASSERT_TRUE(WaitForLog("SignallingRelatedModules - END ", kTimeout)) << DaemonLog();
  // Only the first run counts: under load the next one may have begun by
  // the time the log is read.
  const std::string log = DaemonLog();
  const size_t end = log.find("SignallingRelatedModules - END ");
  const std::string run = log.substr(0, end);
  auto count = [&](const std::string& text) {
    int n = 0;
    for (size_t at = run.find(text); at != std::string::npos; at = run.find(text, at + 1)) ++n;
    return n;
  };
  const std::string failed = "SignallingRelatedModules: signal target query failed: select ";
  EXPECT_EQ(count(failed), 3) << log;
  for (size_t at = run.find(failed); at != std::string::npos; at = run.find(failed, at + 1)) {
    const std::string line = run.substr(at, run.find('\n', at) - at);
    EXPECT_NE(line.find("inventorymaster im where"), std::string::npos) << line;
  }
  // Steps 4 and 5 only: the failed steps are not reported as empty.
  EXPECT_EQ(count("SignallingRelatedModules: No jobs to signal"), 2) << log;
  // The run's one warning besides the receiver's own about taking every
  // sender. Other threads (a reconnect under load, a stray datagram from a
  // neighbouring test) may warn too, so only the loop's thread counts.
  const size_t tag_at = log.rfind("] [", end);
  const std::string thread = log.substr(tag_at + 2, log.find(']', tag_at + 2) - tag_at - 1);
  int warnings = 0;
  for (size_t at = run.find("[WARNING] " + thread); at != std::string::npos;
       at = run.find("[WARNING] " + thread, at + 1)) {
    const std::string line = run.substr(at, run.find('\n', at) - at);
    if (line.find("are taken from every sender") == std::string::npos) ++warnings;
  }
  EXPECT_EQ(warnings, 1) << log;
  EXPECT_EQ(count("signal to no-such-host.invalid port 7400 not sent: resolve"), 1) << log;
  EndWithZero(daemon);
}

}  // namespace
