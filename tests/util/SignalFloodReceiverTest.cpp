// CSignalHandler under floods and with an allow list: runs of identical
// datagrams handed out once, repeats held without reordering anything,
// senders outside the list refused before they are looked at.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "UtilTestHelpers.h"

using utiltest::FreeUdpPort;
using SteadyClock = std::chrono::steady_clock;

namespace {

const std::vector<int> kNoEvents(17, 0);

std::string Signal(int type, int id = 0) {
  CSignalInfo info;
  info.SetSignalType(type);
  info.SetSignalID(id);
  unsigned char wire[kSignalDatagramSize];
  info.Encode(wire);
  return std::string(reinterpret_cast<const char*>(wire), sizeof(wire));
}

// Sends bytes to 127.0.0.1:port from a socket bound to `from`.
void SendFrom(const char* from, int port, const std::string& bytes, int times = 1) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in source{};
  source.sin_family = AF_INET;
  inet_pton(AF_INET, from, &source.sin_addr);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof(source)), 0) << from;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(static_cast<uint16_t>(port));
  for (int i = 0; i < times; ++i)
    ASSERT_EQ(sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to),
                     sizeof(to)),
              static_cast<ssize_t>(bytes.size()));
  close(fd);
}

class SignalFloodReceiverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("KORB_SIGNAL_BIND", "127.0.0.1", 1);
    ASSERT_EQ(logger_.InitKORBLog(dir_.path, "sig.log", 1000000, 3), 1);
  }
  void TearDown() override { unsetenv("KORB_SIGNAL_BIND"); }
  std::string Log() { return utiltest::ReadFile(logger_.GetLogPath()); }

  // The type and signal ID of the next signal, and the repeats merged into it.
  std::string Next(CSignalHandler& handler) {
    CSignalInfo info;
    const int result = handler.WaitForSignal(info);
    if (result != 0) return "result " + std::to_string(result);
    return std::string(info.GetSignalType()) + "/" + info.GetSignalID() + " x" +
           std::to_string(handler.LastSignalRepeats());
  }

  utiltest::TempDir dir_;
  CLogger logger_;
};

// Runs merge only with the datagram right before them, so the order of
// different signals (and of wrong lengths between them) is as sent.
TEST_F(SignalFloodReceiverTest, RunsOfIdenticalDatagramsAreHandedOutOnceInOrder) {
  SignalReceiverOptions options;
  options.repeatHoldMs = 0;
  CSignalHandler handler(FreeUdpPort(), &kNoEvents, &logger_, options);
  ASSERT_EQ(static_cast<EObjectStatus>(handler), OBJECT_READY);
  const int port = handler.Port();
  SendFrom("127.0.0.1", port, Signal(13), 500);
  SendFrom("127.0.0.1", port, Signal(5));
  SendFrom("127.0.0.1", port, Signal(13), 30);
  SendFrom("127.0.0.1", port, Signal(13, 7), 2);  // another signal ID: another datagram
  SendFrom("127.0.0.1", port, std::string(10, 'j'), 2);
  SendFrom("127.0.0.1", port, Signal(1));
  EXPECT_EQ(Next(handler), "13/0 x499");
  EXPECT_EQ(Next(handler), "5/0 x0");
  EXPECT_EQ(Next(handler), "13/0 x29");
  EXPECT_EQ(Next(handler), "13/7 x1");
  CSignalInfo info;
  EXPECT_EQ(handler.WaitForSignal(info), -1);
  EXPECT_EQ(handler.LastFailure(), ReceiveFailure::kLength);
  EXPECT_EQ(handler.WaitForSignal(info), -1);
  EXPECT_EQ(Next(handler), "1/0 x0");
}

// A repeat of the signal handed out last waits out the hold, and what came
// after it waits behind it; a different signal is not held.
TEST_F(SignalFloodReceiverTest, ARepeatWaitsOutTheHoldWithWhatFollowsIt) {
  SignalReceiverOptions options;
  options.repeatHoldMs = 300;
  CSignalHandler handler(FreeUdpPort(), &kNoEvents, &logger_, options);
  ASSERT_EQ(static_cast<EObjectStatus>(handler), OBJECT_READY);
  const int port = handler.Port();
  SendFrom("127.0.0.1", port, Signal(4));
  EXPECT_EQ(Next(handler), "4/0 x0");
  const auto handled = SteadyClock::now();
  SendFrom("127.0.0.1", port, Signal(4), 50);
  SendFrom("127.0.0.1", port, Signal(1));
  EXPECT_EQ(Next(handler), "4/0 x49");
  EXPECT_GE(SteadyClock::now() - handled, std::chrono::milliseconds(290));
  const auto second = SteadyClock::now();
  EXPECT_EQ(Next(handler), "1/0 x0");
  EXPECT_LT(SteadyClock::now() - second, std::chrono::milliseconds(200));
}

// The bound address (where the supervisor sends from) is taken without
// being listed; another loopback address is not.
TEST_F(SignalFloodReceiverTest, SendersOutsideTheAllowListAreRefusedBeforeDecoding) {
  SignalReceiverOptions options;
  std::string error;
  ASSERT_TRUE(ParseAddressPrefixes("10.0.0.0/8, fd00::/8", &options.allow, &error))
      << error;
  CSignalHandler handler(FreeUdpPort(), &kNoEvents, &logger_, options);
  ASSERT_EQ(static_cast<EObjectStatus>(handler), OBJECT_READY);
  const int port = handler.Port();
  for (int i = 0; i < 20; ++i) {
    SendFrom("127.0.0.2", port, Signal(1));
    SendFrom("127.0.0.2", port, std::string(3, 'x'));
  }
  SendFrom("127.0.0.1", port, Signal(14));
  EXPECT_EQ(Next(handler), "14/0 x0");
  const std::string log = Log();
  EXPECT_EQ(utiltest::CountOf(log, "refused signal datagram from 127.0.0.2:"), 5) << log;
  EXPECT_EQ(utiltest::CountOf(log, "the sender is not in korb-signal-allow"), 5) << log;
  EXPECT_EQ(utiltest::CountOf(log, "bytes instead of"), 0) << log;
  EXPECT_EQ(utiltest::CountOf(log, "taken from every sender"), 0) << log;
}

TEST_F(SignalFloodReceiverTest, AnOpenReceiverSaysSoOnceAndLoopbackDoesNot) {
  {
    CSignalHandler loopback(FreeUdpPort(), &kNoEvents, &logger_);
    ASSERT_EQ(static_cast<EObjectStatus>(loopback), OBJECT_READY);
  }
  EXPECT_EQ(utiltest::CountOf(Log(), "taken from every sender"), 0);
  setenv("KORB_SIGNAL_BIND", "0.0.0.0", 1);
  CSignalHandler open(FreeUdpPort(), &kNoEvents, &logger_);
  ASSERT_EQ(static_cast<EObjectStatus>(open), OBJECT_READY);
  const std::string log = Log();
  EXPECT_EQ(utiltest::CountOf(log, "[WARNING]"), 1) << log;
  EXPECT_EQ(utiltest::CountOf(log, "CSignalHandler: signals on 0.0.0.0:" +
                                       std::to_string(open.Port()) +
                                       " are taken from every sender that reaches the port; "
                                       "korb-signal-allow limits the senders"),
            1)
      << log;
}

TEST(AddressPrefixesTest, ListsOfAddressesAndPrefixes) {
  std::vector<AddressPrefix> prefixes;
  std::string error;
  ASSERT_TRUE(ParseAddressPrefixes(" 192.0.2.7,10.20.0.0/24\t::1 fd00::/8,,0.0.0.0/0 ",
                                   &prefixes, &error))
      << error;
  ASSERT_EQ(prefixes.size(), 5u);
  EXPECT_EQ(prefixes[0].bits, 32);
  EXPECT_FALSE(prefixes[0].ipv6);
  EXPECT_EQ(prefixes[1].bits, 24);
  EXPECT_TRUE(prefixes[2].ipv6);
  EXPECT_EQ(prefixes[2].bits, 128);
  EXPECT_EQ(prefixes[3].bits, 8);
  EXPECT_EQ(prefixes[4].bits, 0);
  ASSERT_TRUE(ParseAddressPrefixes("", &prefixes, &error));
  EXPECT_TRUE(prefixes.empty());
  for (const char* bad : {"10.0.0.1/24", "10.0.0.0/33", "fd00::/129", "10.0.0.0/", "10.0.0/8",
                          "host.example", "10.0.0.0/8;", "1.2.3.4/-1", "fe80::1%lo", "*"}) {
    prefixes.clear();
    EXPECT_FALSE(ParseAddressPrefixes(std::string("127.0.0.1 ") + bad, &prefixes, &error)) << bad;
    EXPECT_NE(error.find(bad), std::string::npos) << error;
    EXPECT_TRUE(prefixes.empty()) << bad;
  }
}

}  // namespace
