// A peer gone wrong: thousands of identical valid signals a second at the
// running scheduler. The log stays short, the work runs a bounded number
// of times, the timeout events stay on time, nothing is dropped in the
// kernel, and a signal sent right after the flood is served at once.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "MetricsTest.h"
#include "utilLib.h"

namespace metricstest {
namespace {

using korbtest::CountInLog;
using korbtest::DaemonLog;
using korbtest::WaitForLog;

constexpr double kTimeScale = 20;  // event 17 every 1 s, 14 to 16 every 2.25 s
constexpr long kHoldMs = 1000;     // the receiver's hold of a repeat, scaled

std::string Signal(int type) {
  CSignalInfo info;
  info.SetSignalType(type);
  unsigned char wire[kSignalDatagramSize];
  info.Encode(wire);
  return std::string(reinterpret_cast<const char*>(wire), sizeof(wire));
}

// count datagrams to 127.0.0.1:port, spread evenly over `spread`.
void Flood(int port, const std::string& datagram, int count, std::chrono::milliseconds spread) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(static_cast<uint16_t>(port));
  const auto start = std::chrono::steady_clock::now();
  constexpr int kPerStep = 20;
  for (int sent = 0; sent < count; sent += kPerStep) {
    for (int i = sent; i < std::min(count, sent + kPerStep); ++i)
      ASSERT_EQ(sendto(fd, datagram.data(), datagram.size(), 0,
                       reinterpret_cast<const sockaddr*>(&to), sizeof(to)),
                static_cast<ssize_t>(datagram.size()));
    // Pacing of the sender, not a wait for the daemon.
    std::this_thread::sleep_until(start + spread * (sent + kPerStep) / count);
  }
  close(fd);
}

size_t Lines(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }

struct Lateness {
  double sum = 0;
  double count = 0;
};

Lateness AllEventsLateness(const std::string& exposition) {
  Lateness total;
  for (int event = 1; event <= 17; ++event) {
    const std::string labels = Format("{event=\"%d\"}", event);
    total.sum += std::max(0.0, SeriesValue(exposition,
                                           "korb_timeout_event_lateness_seconds_sum" + labels));
    total.count += std::max(
        0.0, SeriesValue(exposition, "korb_timeout_event_lateness_seconds_count" + labels));
  }
  return total;
}

class SignalFloodTest : public MetricsDaemonTest {};

TEST_F(SignalFloodTest, AFloodOfOneValidSignalIsHandledAFewTimesAndTheLogStaysShort) {
  StartDaemon(kTimeScale);
  const int port = daemon_->Port();
  const size_t lines_before = Lines(DaemonLog());
  const Lateness before = AllEventsLateness(HttpGet(metrics_port_, "/metrics").body);
  const size_t calls_before = ProcedureCalls("Load_Distribution").size();

  // 20,000 type 13 signals in 2 s, then one type 14 right behind them.
  constexpr int kFlood = 20000;
  const auto flood_start = std::chrono::steady_clock::now();
  Flood(port, Signal(13), kFlood, 2s);
  const double flood_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - flood_start).count();
  Flood(port, Signal(14), 1, 0ms);
  ASSERT_TRUE(WaitForLog("NETWORK SIGNAL RECEIVED. Type 14", 10s)) << DaemonLog();

  // Every datagram is accounted for: handled, or merged into one handled.
  const std::string type13 = "{type=\"13\"}";
  EXPECT_EQ(WaitForSeries("korb_signals_received_total" + type13, AtLeast, 1) +
                Scrape("korb_signals_coalesced_total" + type13),
            kFlood);
  // At most one distribution per hold, plus the first and the last.
  std::vector<std::string> calls = ProcedureCalls("Load_Distribution");
  calls.erase(calls.begin(), calls.begin() + static_cast<long>(calls_before));
  const long distributions =
      std::count_if(calls.begin(), calls.end(),
                    [](const std::string& call) { return call.starts_with("Load_Distribution(3,"); });
  const double hold_seconds = kHoldMs / 1000.0 / kTimeScale;
  EXPECT_GE(distributions, 2);
  EXPECT_LE(distributions, static_cast<long>(flood_seconds / hold_seconds) + 3) << flood_seconds;

  // What was held back is said once the type is quiet, without another
  // type 13 signal.
  ASSERT_TRUE(WaitForLog("Signal type 13: ", 10s)) << DaemonLog();
  const std::string log = DaemonLog();
  EXPECT_LE(Lines(log) - lines_before, 300u) << log;
  EXPECT_GE(CountInLog("identical datagrams were handled together with the one waiting before "
                       "them"), 1) << log;

  // The timeout events that ran meanwhile were on time.
  const Lateness after = AllEventsLateness(HttpGet(metrics_port_, "/metrics").body);
  ASSERT_GE(after.count - before.count, 3) << "events ran during the flood";
  EXPECT_LT((after.sum - before.sum) / (after.count - before.count), 0.25);

  // An end signal right behind another flood is served at once, not lost
  // in a full receive buffer.
  Flood(port, Signal(13), kFlood / 4, 500ms);
  Flood(port, Signal(1), 1, 0ms);
  int code = -1;
  ASSERT_TRUE(daemon_->WaitExit(20s, &code)) << DaemonLog();
  EXPECT_EQ(code, 0) << DaemonLog();
}

}  // namespace
}  // namespace metricstest
