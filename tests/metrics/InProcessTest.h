// Scrapes of this test process's own registry over a real HTTP endpoint,
// for counters that the tests move by calling the daemon's routines
// directly (statements, postings, worker thread restarts). Counters add up
// over the whole binary, so tests compare before and after.
#pragma once

#include <string>

#include "MetricsTest.h"

namespace metricstest {

// The process's exposition, through an endpoint opened on first use.
std::string ScrapeSelf();

// Differences of chosen series between two scrapes.
class SeriesDelta {
 public:
  explicit SeriesDelta(std::string series) : series_(std::move(series)) { Reset(); }
  void Reset() { base_ = SeriesValue(ScrapeSelf(), series_); }
  double Get() const { return SeriesValue(ScrapeSelf(), series_) - base_; }

 private:
  std::string series_;
  double base_ = 0;
};

}  // namespace metricstest
