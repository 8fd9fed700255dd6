// CSignalHandler: signal datagrams from CUDPClient, the datagrams it must
// refuse, and its timeout events under a time scale (at scale 1000 a period
// of N seconds lasts N real milliseconds): order, no drift, reset, disable.
#include <chrono>
#include <future>
#include <thread>

#include "UtilTestHelpers.h"
#include "platform.h"

using utiltest::FreeUdpPort;
using utiltest::SendRaw;
using Ms = std::chrono::duration<double, std::milli>;
using SteadyClock = std::chrono::steady_clock;

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

std::vector<int> Periods(std::initializer_list<std::pair<int, int>> set) {
  std::vector<int> periods(17, 0);
  for (auto [k, seconds] : set) periods[static_cast<size_t>(k - 1)] = seconds;
  return periods;
}

class SignalRoundTripTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("KORB_SIGNAL_BIND", "127.0.0.1", 1); }
  void TearDown() override { unsetenv("KORB_SIGNAL_BIND"); }
  CSignalInfo info_;
};

TEST_F(SignalRoundTripTest, ClientSignalsArriveAndWrongLengthsAreRefused) {
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

  // Only a datagram of another length is refused; a flood of them is
  // written a few times, not once per datagram.
  const std::string good = Fields({"5", "1", "2", "3"});
  for (int i = 0; i < 40; ++i)
    SendRaw(handler.Port(), i % 2 == 0 ? std::string(10, '\0') : good + '\0');
  SendRaw(handler.Port(), good);
  for (int i = 0; i < 40; ++i) {
    info_ = CSignalInfo();
    ASSERT_EQ(handler.WaitForSignal(info_), -1) << "datagram " << i;
    EXPECT_STREQ(info_.GetSignalType(), "0") << "a refused datagram leaked";
  }
  ASSERT_EQ(handler.WaitForSignal(info_), 0);
  EXPECT_STREQ(info_.GetSignalType(), "5");
  const std::string log = utiltest::ReadFile(logger.GetLogPath());
  EXPECT_EQ(utiltest::CountOf(log, "[ERROR]"), 5) << log;
  EXPECT_EQ(utiltest::CountOf(log, "bytes instead of 64"), 5) << log;
  EXPECT_NE(log.find("receive buffer of 4194304 bytes asked, the kernel granted"),
            std::string::npos) << log;
}

// More datagrams than one receive takes: each wait hands out the next
// one in the order sent, a refused one in its place.
TEST_F(SignalRoundTripTest, QueuedDatagramsComeOutOneByOneInOrder) {
  CSignalHandler handler(FreeUdpPort(), &kNoEvents);
  ASSERT_EQ(static_cast<EObjectStatus>(handler), OBJECT_READY);
  constexpr int kCount = 150;
  for (int i = 0; i < kCount; ++i)
    SendRaw(handler.Port(), i % 10 == 9 ? std::string(63, '\0')
                                        : Fields({"17", std::to_string(i), "0", "0"}));
  for (int i = 0; i < kCount; ++i) {
    info_ = CSignalInfo();
    if (i % 10 == 9) {
      ASSERT_EQ(handler.WaitForSignal(info_), -1) << "datagram " << i;
    } else {
      ASSERT_EQ(handler.WaitForSignal(info_), 0) << "datagram " << i;
      EXPECT_EQ(ToLong(info_.GetSignalID()), i);
    }
  }
}

// Fields are read as atol reads them, within their own 16 bytes.
TEST_F(SignalRoundTripTest, FieldsReadAsAtolWithinTheirSixteenBytes) {
  CSignalHandler handler(FreeUdpPort(), &kNoEvents);
  ASSERT_EQ(static_cast<EObjectStatus>(handler), OBJECT_READY);
  struct Reading {
    std::string datagram;
    std::vector<long> values;  // type, signal ID, source ID, sub-type
  };
  const std::string sixteen = "1234567890123456";  // no NUL in the field
  const std::vector<Reading> readings = {
      {Fields({" 4", "+4", "4abc", "x"}), {4, 4, 4, 0}},
      {Fields({"\t 12", "- 5", "--5", std::string("3\0x9", 4)}), {12, 0, 0, 3}},
      {sixteen + Fields({"-999999999999999", "", "7 7"}),
       {1234567890123456, -999999999999999, 0, 7}},
      {std::string(64, '7'),
       {7777777777777777, 7777777777777777, 7777777777777777, 7777777777777777}},
  };
  for (const Reading& reading : readings) SendRaw(handler.Port(), reading.datagram);
  for (const Reading& reading : readings) {
    ASSERT_EQ(handler.WaitForSignal(info_), 0);
    const long got[] = {ToLong(info_.GetSignalType()), ToLong(info_.GetSignalID()),
                        ToLong(info_.GetSourceID()), ToLong(info_.GetSubType())};
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(got[i], reading.values[i]) << "field " << i;
  }
  // The last reading kept all 16 bytes of each field; beyond 32 bits an
  // int reading saturates instead of wrapping.
  EXPECT_EQ(std::string(info_.GetSubType()), std::string(16, '7'));
  EXPECT_EQ(ToInt(info_.GetSignalType()), 2147483647);
  EXPECT_EQ(ToInt("-999999999999999"), -2147483647 - 1);
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

class TimeoutEventsTest : public SignalRoundTripTest {
  utiltest::ScopedTimeScale scale_{"1000"};
};

TEST_F(TimeoutEventsTest, OrderOfDueEventsAndOfADatagramAfterAnEvent) {
  const auto periods = Periods({{2, 50}, {3, 50}, {9, 86400}, {12, 86400}});
  CSignalHandler handler(FreeUdpPort(), &periods);
  ASSERT_EQ(static_cast<EObjectStatus>(handler), OBJECT_READY);

  // Same period from the same start: due together, lower number first.
  EXPECT_EQ(handler.WaitForSignal(info_), 2);
  EXPECT_EQ(handler.WaitForSignal(info_), 3);
  handler.DisableTimeoutEvent(2);
  handler.DisableTimeoutEvent(3);

  // Right after an event a waiting datagram goes first; then reset order
  // decides between events made due at once.
  CSignalInfo sent;
  sent.SetSignalType(13);
  CUDPClient(handler.Port(), "127.0.0.1").SendUDPSignal(sent);
  handler.ResetEvent(12);
  handler.ResetEvent(9);
  EXPECT_EQ(handler.WaitForSignal(info_), 0);
  EXPECT_STREQ(info_.GetSignalType(), "13");
  EXPECT_EQ(handler.WaitForSignal(info_), 12);
  EXPECT_EQ(handler.WaitForSignal(info_), 9);
}

TEST_F(TimeoutEventsTest, LateHandlingSkipsMissedPeriodsWithoutDrift) {
  const auto periods = Periods({{1, 200}});
  const auto start = SteadyClock::now();
  CSignalHandler handler(FreeUdpPort(), &periods);
  ASSERT_EQ(handler.WaitForSignal(info_), 1);
  EXPECT_GE(Ms(SteadyClock::now() - start).count(), 199.0);

  // A handler that overruns 2.5 periods: deadlines 400 and 600 are missed.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ASSERT_EQ(handler.WaitForSignal(info_), 1);  // once, at once
  const double late = Ms(SteadyClock::now() - start).count();
  ASSERT_EQ(handler.WaitForSignal(info_), 1);
  const double fired = Ms(SteadyClock::now() - start).count();
  // Back on the grid of the start (800 ms): neither a burst of the missed
  // ones nor a full period after the late one.
  EXPECT_GE(fired, 799.0) << "late one at " << late;
  EXPECT_LT(fired, late + 160.0);
}

TEST_F(TimeoutEventsTest, DisabledEventsNeverFireAndResetWakesTheWait) {
  const auto periods = Periods({{1, 30}, {2, 60}, {6, 86400}});
  CSignalHandler handler(FreeUdpPort(), &periods);
  EXPECT_EQ(handler.DisableTimeoutEvent(1), 1);
  EXPECT_EQ(handler.ResetEvent(1), -1);
  for (int k : {0, 18}) {
    EXPECT_EQ(handler.ResetEvent(k), -1);
    EXPECT_EQ(handler.DisableTimeoutEvent(k), -1);
  }
  EXPECT_EQ(handler.ResetEvent(3), -1);  // a period of 0 never fires

  // Event 2 is disabled while the wait is already armed for it; only a
  // reset from this thread ends the wait.
  auto result = std::async(std::launch::async, [&] {
    CSignalInfo info;
    return handler.WaitForSignal(info);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(handler.DisableTimeoutEvent(2), 1);
  EXPECT_EQ(result.wait_for(std::chrono::milliseconds(150)),
            std::future_status::timeout);
  EXPECT_EQ(handler.ResetEvent(6), 1);
  ASSERT_EQ(result.wait_for(std::chrono::seconds(10)),
            std::future_status::ready);
  EXPECT_EQ(result.get(), 6);
}

}  // namespace
