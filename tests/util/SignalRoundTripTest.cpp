// Signal datagrams from CUDPClient through CSignalHandler, and the
// datagrams the receiver must refuse.
#include "UtilTestHelpers.h"

using utiltest::FreeUdpPort;
using utiltest::ScopedEnv;
using utiltest::SendRaw;

namespace {

// Timeout events that never fire, so every wait ends in a datagram.
const std::vector<int> kNoEvents(17, 0);

std::string Field(const std::string& text) {
  std::string field = text;
  field.resize(kSignalFieldSize, '\0');
  return field;
}

std::string Datagram(const std::string& a, const std::string& b,
                     const std::string& c, const std::string& d) {
  return Field(a) + Field(b) + Field(c) + Field(d);
}

class SignalRoundTripTest : public ::testing::Test {
 protected:
  ScopedEnv bind_{"KORB_SIGNAL_BIND", std::string("127.0.0.1")};
};

TEST_F(SignalRoundTripTest, ClientSignalArrivesWithAllFields) {
  CSignalHandler handler(FreeUdpPort(), &kNoEvents);
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
    CSignalInfo got;
    got.SetSignalType(1);
    ASSERT_EQ(handler.WaitForSignal(got, nullptr), 0) << host;
    EXPECT_STREQ(got.GetSignalType(), "4");
    EXPECT_STREQ(got.GetSignalID(), "-12");
    EXPECT_STREQ(got.GetSourceID(), "99");
    EXPECT_STREQ(got.GetSubType(), "2147483647");
  }
  // A default record goes out as four zeros.
  CSignalInfo zeros;
  CUDPClient(handler.Port(), "127.0.0.1").SendUDPSignal(zeros);
  CSignalInfo got;
  ASSERT_EQ(handler.WaitForSignal(got), 0);
  EXPECT_STREQ(got.GetSignalType(), "0");
  EXPECT_STREQ(got.GetSubType(), "0");
}

TEST_F(SignalRoundTripTest, ClientReportsWhatFailed) {
  CSignalInfo info;
  CUDPClient unknown(5000, "no-such-host.invalid");
  EXPECT_EQ(unknown.SendUDPSignal(info), KORB_FAILURE);
  EXPECT_NE(unknown.LastError().find("no-such-host.invalid"),
            std::string::npos);
  CUDPClient bad_port(0, "127.0.0.1");
  EXPECT_EQ(bad_port.SendUDPSignal(info), KORB_FAILURE);
  EXPECT_FALSE(bad_port.LastError().empty());
}

TEST_F(SignalRoundTripTest, MalformedDatagramsFailAndTheNextGoodOneArrives) {
  utiltest::TempDir dir;
  CLogger logger;
  ASSERT_EQ(logger.InitKORBLog(dir.path(), "sig.log", 1000000, 3), 1);
  CSignalHandler handler(FreeUdpPort(), &kNoEvents, &logger);
  ASSERT_EQ(static_cast<EObjectStatus>(handler), OBJECT_READY);

  const std::string good = Datagram("5", "1", "2", "3");
  const std::vector<std::string> bad = {
      std::string(10, '\0'),
      good + std::string(1, '\0'),                  // 65 bytes
      good + good,                                  // 128 bytes
      std::string(64, 'A'),                         // no NUL at all
      Datagram("12a", "1", "2", "3"),
      Datagram("5", "-", "2", "3"),
      Datagram("5", "1", "", "3"),
      Datagram("5", "1", "2", "+3"),
      Datagram("5", "1", "2", " 3"),
      Datagram("5", "1", "2", std::string("3\0x", 3)),  // bytes after NUL
      Field("5") + Field("1") + Field("2") + std::string(16, '7'),
  };
  for (const auto& datagram : bad) SendRaw(handler.Port(), datagram);
  SendRaw(handler.Port(), Datagram("-7", "123456789012345", "0", "4"));

  for (size_t i = 0; i < bad.size(); ++i) {
    CSignalInfo info;
    EXPECT_EQ(handler.WaitForSignal(info), -1) << "datagram " << i;
    EXPECT_STREQ(info.GetSignalType(), "0") << "a refused datagram leaked";
  }
  CSignalInfo info;
  ASSERT_EQ(handler.WaitForSignal(info), 0);
  EXPECT_STREQ(info.GetSignalType(), "-7");
  EXPECT_STREQ(info.GetSignalID(), "123456789012345");
  EXPECT_STREQ(info.GetSubType(), "4");

  // A flood is reported once, not once per datagram.
  const std::string log = utiltest::ReadFile(logger.GetLogPath());
  size_t reports = 0;
  for (size_t at = log.find("rejected signal datagram");
       at != std::string::npos; at = log.find("rejected signal datagram", at + 1))
    ++reports;
  EXPECT_EQ(reports, 1u) << log;
  EXPECT_NE(log.find("[ERROR]"), std::string::npos);
  EXPECT_NE(log.find("10 bytes instead of 64"), std::string::npos) << log;
}

TEST_F(SignalRoundTripTest, UnusableIdentifierOrAddressIsNotReady) {
  for (int identifier : {0, -5, 65536}) {
    CSignalHandler handler(identifier, &kNoEvents);
    EXPECT_EQ(static_cast<EObjectStatus>(handler), OBJECT_NOT_READY)
        << identifier;
    CSignalInfo info;
    EXPECT_EQ(handler.WaitForSignal(info), -1);
  }
  CSignalHandler first(FreeUdpPort(), &kNoEvents);
  ASSERT_EQ(static_cast<EObjectStatus>(first), OBJECT_READY);
  CSignalHandler same_port(first.Port(), &kNoEvents);
  EXPECT_EQ(static_cast<EObjectStatus>(same_port), OBJECT_NOT_READY);

  utiltest::TempDir dir;
  CLogger logger;
  logger.InitKORBLog(dir.path(), "bind.log", 1000000, 3);
  ScopedEnv bad_bind("KORB_SIGNAL_BIND", std::string("not-an-address"));
  CSignalHandler unbound(FreeUdpPort(), &kNoEvents, &logger);
  EXPECT_EQ(static_cast<EObjectStatus>(unbound), OBJECT_NOT_READY);
  EXPECT_NE(utiltest::ReadFile(logger.GetLogPath()).find("not-an-address"),
            std::string::npos);
}

}  // namespace
