// Signal datagrams from CUDPClient through CSignalHandler, and the
// datagrams the receiver must refuse.
#include "UtilTestHelpers.h"
#include "platform.h"

using utiltest::FreeUdpPort;
using utiltest::SendRaw;

namespace {

const std::vector<int> kNoEvents(17, 0);  // every wait ends in a datagram

std::string Fields(const std::vector<std::string>& texts) {
  std::string out;
  for (std::string text : texts) {
    text.resize(kSignalFieldSize, '\0');
    out += text;
  }
  return out;
}

class SignalRoundTripTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("KORB_SIGNAL_BIND", "127.0.0.1", 1); }
  void TearDown() override { unsetenv("KORB_SIGNAL_BIND"); }
  CSignalInfo info_;
};

TEST_F(SignalRoundTripTest, ClientSignalsArriveAndMalformedDatagramsFail) {
  utiltest::TempDir dir;
  CLogger logger;
  ASSERT_EQ(logger.InitKORBLog(dir.path, "sig.log", 1000000, 3), 1);
  CSignalHandler handler(FreeUdpPort(), &kNoEvents, &logger);
  ASSERT_EQ(static_cast<EObjectStatus>(handler), OBJECT_READY);
  CSignalInfo sent;
  sent.SetSignalType(4);
  sent.SetSignalID(-12);
  sent.SetSourceID(99);
  sent.SetSubType(2147483647);
  // "localhost" may resolve to ::1 first; the receiver listens on IPv4.
  for (const char* host : {"127.0.0.1", "localhost"}) {
    CUDPClient client(handler.Port(), host);
    ASSERT_EQ(client.SendUDPSignal(sent), KORB_SUCCESS) << client.LastError();
    ASSERT_EQ(handler.WaitForSignal(info_, nullptr), 0) << host;
    EXPECT_STREQ(info_.GetSignalType(), "4");
    EXPECT_STREQ(info_.GetSignalID(), "-12");
    EXPECT_STREQ(info_.GetSourceID(), "99");
    EXPECT_STREQ(info_.GetSubType(), "2147483647");
  }
  CUDPClient unknown(handler.Port(), "no-such-host.invalid");
  EXPECT_EQ(unknown.SendUDPSignal(sent), KORB_FAILURE);
  EXPECT_NE(unknown.LastError().find("no-such-host.invalid"), std::string::npos);

  const std::string good = Fields({"5", "1", "2", "3"});
  const std::vector<std::string> bad = {
      std::string(10, '\0'),
      good + std::string(1, '\0'),  // one byte too long
      std::string(64, '7'),         // no NUL at all
      Fields({"12a", "1", "2", "3"}),
      Fields({"5", "-", "2", "3"}),
      Fields({"5", "1", "", "3"}),
      Fields({"5", "1", "2", "+3"}),
      Fields({"5", "1", "2", std::string("3\0x", 3)}),  // bytes after NUL
  };
  for (const auto& datagram : bad) SendRaw(handler.Port(), datagram);
  SendRaw(handler.Port(), Fields({"-7", "123456789012345", "0", "4"}));
  for (size_t i = 0; i < bad.size(); ++i) {
    info_ = CSignalInfo();
    EXPECT_EQ(handler.WaitForSignal(info_), -1) << "datagram " << i;
    EXPECT_STREQ(info_.GetSignalType(), "0") << "a refused datagram leaked";
  }
  ASSERT_EQ(handler.WaitForSignal(info_), 0);
  EXPECT_STREQ(info_.GetSignalType(), "-7");
  EXPECT_STREQ(info_.GetSignalID(), "123456789012345");
  EXPECT_STREQ(info_.GetSubType(), "4");
  // A flood is reported once, not once per datagram.
  const std::string log = utiltest::ReadFile(logger.GetLogPath());
  EXPECT_EQ(utiltest::CountOf(log, "[ERROR]"), 1) << log;
}

TEST_F(SignalRoundTripTest, UnusableIdentifierPortOrAddressIsNotReady) {
  for (int identifier : {0, -5, 65536}) {
    CSignalHandler handler(identifier, &kNoEvents);
    EXPECT_EQ(static_cast<EObjectStatus>(handler), OBJECT_NOT_READY);
    EXPECT_EQ(handler.WaitForSignal(info_), -1);
  }
  CSignalHandler first(FreeUdpPort(), &kNoEvents);
  CSignalHandler same_port(first.Port(), &kNoEvents);
  EXPECT_EQ(static_cast<EObjectStatus>(same_port), OBJECT_NOT_READY);
  setenv("KORB_SIGNAL_BIND", "not-an-address", 1);
  CSignalHandler unbound(FreeUdpPort(), &kNoEvents);
  EXPECT_EQ(static_cast<EObjectStatus>(unbound), OBJECT_NOT_READY);
}

// A loop that is always behind on its events must still hear a signal.
TEST_F(SignalRoundTripTest, WaitingDatagramIsNotStarvedByDueEvents) {
  utiltest::ScopedTimeScale scale("1000");
  const std::vector<int> always_due(17, 1);  // every event due each 1 ms
  CSignalHandler handler(FreeUdpPort(), &always_due);
  ASSERT_EQ(static_cast<EObjectStatus>(handler), OBJECT_READY);
  port::SleepMs(20);  // let every event fall due, and stay due
  CSignalInfo end;
  end.SetSignalType(1);
  CUDPClient client(handler.Port(), "127.0.0.1");
  ASSERT_EQ(client.SendUDPSignal(end), KORB_SUCCESS);
  port::SleepMs(5);
  EXPECT_GE(handler.WaitForSignal(info_, nullptr), 1);
  ASSERT_EQ(handler.WaitForSignal(info_, nullptr), 0);
  EXPECT_STREQ(info_.GetSignalType(), "1");
}

}  // namespace
