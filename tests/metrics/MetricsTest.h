// Helpers of the metrics tests: a plain HTTP/1.1 client over a real TCP
// socket, reading one series out of an exposition, promtool's verdict on
// an exposition, and a fixture that runs the scheduler with its endpoint
// on a free port.
#pragma once

#include <chrono>
#include <string>

#include "DaemonProcess.h"
#include "TestDatabase.h"

namespace metricstest {

using namespace std::chrono_literals;

constexpr auto kStartTimeout = 60s;
constexpr auto kWaitTimeout = 30s;

struct HttpReply {
  int status = 0;  // 0: no answer
  std::string body;
};

// GET path from 127.0.0.1:port (connection closed after the reply).
HttpReply HttpGet(int port, const std::string& path);

// Value of the sample whose name and labels are exactly `series` (for
// example korb_signals_received_total{type="13"}); -1 when absent.
double SeriesValue(const std::string& exposition, const std::string& series);

// True when `promtool check metrics` accepts the exposition (its findings
// go to the test's output).
bool PromtoolAccepts(const std::string& exposition);

int FreeTcpPort();

// The scheduler (install type as the test sets it) with its endpoint on
// a free port of 127.0.0.1.
class MetricsDaemonTest : public korbtest::DbTest {
 protected:
  void SetUp() override;
  // Starts the daemon and waits for its first loop turn.
  void StartDaemon(double time_scale);
  // Scrapes /metrics until pred holds for `series`, or the timeout passes;
  // returns the last value seen.
  double WaitForSeries(const std::string& series, bool (*pred)(double, double), double operand,
                       std::chrono::milliseconds timeout = kWaitTimeout);
  double Scrape(const std::string& series);

  int metrics_port_ = 0;
  std::unique_ptr<korbtest::DaemonProcess> daemon_;
};

// Scrapes of this test process's own registry, for counters that tests
// move by calling the daemon's routines directly. Counters add up over the
// whole binary, so tests compare before and after. The endpoint opens on
// first use.
std::string ScrapeSelf();

// Differences of chosen series between two scrapes.
class SeriesDelta {
 public:
  explicit SeriesDelta(std::string series)
      : series_(std::move(series)), base_(SeriesValue(ScrapeSelf(), series_)) {}
  double Get() const { return SeriesValue(ScrapeSelf(), series_) - base_; }

 private:
  std::string series_;
  double base_;
};

inline bool AtLeast(double value, double bound) { return value >= bound; }
inline bool Equals(double value, double expected) { return value == expected; }

}  // namespace metricstest
