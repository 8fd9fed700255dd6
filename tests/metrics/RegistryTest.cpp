// The registry over prometheus-cpp: families in registration order, series
// in the order of their label sets, computed families read on each render,
// histogram buckets (a value on a bound counts in that bucket), updates
// from several threads all counted, and a name registered twice refused.
#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "MetricsTest.h"
#include "metric_types.h"

namespace metricstest {
namespace {

// The sample lines of an exposition, without the comments.
std::vector<std::string> SampleLines(const std::string& exposition) {
  std::vector<std::string> lines;
  std::istringstream in(exposition);
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && line[0] != '#') lines.push_back(line);
  return lines;
}

TEST(RegistryTest, OrderValuesAndComputedFamilies) {
  metrics::Registry registry;
  const auto jobs = registry.AddCounters("t_jobs_total", "Jobs.", {"type", "outcome"},
                                         {{"b", "open"}, {"a", "failed"}});
  int reads = 0;
  registry.AddComputed("t_reads", "Renders so far.", "gauge", {"side"}, [&reads] {
    ++reads;
    return std::vector<metrics::Sample>{{{"left"}, double(reads)}};
  });
  const auto level = registry.AddGauges("t_level", "Level.", {}, {{}});
  const auto sizes =
      registry.AddHistograms("t_size", "Sizes.", {"kind"}, {{"z"}, {"y"}}, {1, 5, 100000});
  jobs[1]->Inc(3);
  jobs[0]->Inc();
  level[0]->Set(2.5);
  level[0]->Add(-1);
  sizes[1]->Observe(5);  // on a bound: counts in le="5"
  sizes[1]->Observe(7);
  EXPECT_EQ(jobs[1]->Value(), 3u);
  EXPECT_EQ(level[0]->Value(), 1.5);

  const std::string text = registry.Render();
  EXPECT_TRUE(PromtoolAccepts(text)) << text;
  const std::vector<std::string> expected = {
      R"(t_jobs_total{outcome="open",type="b"} 1)",
      R"(t_jobs_total{outcome="failed",type="a"} 3)",
      R"(t_reads{side="left"} 1)",
      R"(t_level 1.5)",
      R"(t_size_count{kind="z"} 0)",
      R"(t_size_sum{kind="z"} 0)",
      R"(t_size_bucket{kind="z",le="1"} 0)",
      R"(t_size_bucket{kind="z",le="5"} 0)",
      R"(t_size_bucket{kind="z",le="100000"} 0)",
      R"(t_size_bucket{kind="z",le="+Inf"} 0)",
      R"(t_size_count{kind="y"} 2)",
      R"(t_size_sum{kind="y"} 12)",
      R"(t_size_bucket{kind="y",le="1"} 0)",
      R"(t_size_bucket{kind="y",le="5"} 1)",
      R"(t_size_bucket{kind="y",le="100000"} 2)",
      R"(t_size_bucket{kind="y",le="+Inf"} 2)",
  };
  EXPECT_EQ(SampleLines(text), expected) << text;
  EXPECT_NE(text.find("# TYPE t_reads gauge\n"), std::string::npos);
  EXPECT_NE(text.find("# TYPE t_size histogram\n"), std::string::npos);
  EXPECT_EQ(SeriesValue(registry.Render(), R"(t_reads{side="left"})"), 2);
}

TEST(RegistryTest, ConcurrentUpdatesAllCountedAndNamesAreUnique) {
  metrics::Registry registry;
  metrics::Counter* counter = registry.AddCounters("t_hits_total", "Hits.", {}, {{}})[0];
  metrics::Histogram* histogram =
      registry.AddHistograms("t_wait_seconds", "Waits.", {}, {{}}, metrics::DurationBuckets())[0];
  constexpr int kThreads = 4;
  constexpr int kEach = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        counter->Inc();
        histogram->Observe(0.002);
      }
    });
  // Renders while the threads count see consistent, growing figures.
  double last = 0;
  for (int i = 0; i < 20; ++i) {
    const double now = SeriesValue(registry.Render(), "t_hits_total");
    EXPECT_GE(now, last);
    last = now;
  }
  for (std::thread& thread : threads) thread.join();
  const std::string text = registry.Render();
  EXPECT_EQ(SeriesValue(text, "t_hits_total"), kThreads * kEach);
  EXPECT_EQ(SeriesValue(text, R"(t_wait_seconds_bucket{le="0.0025"})"), kThreads * kEach);
  EXPECT_EQ(SeriesValue(text, R"(t_wait_seconds_bucket{le="0.001"})"), 0);

  EXPECT_THROW(registry.AddGauges("t_hits_total", "Again.", {}, {{}}), std::invalid_argument);
  EXPECT_THROW(registry.AddComputed("t_wait_seconds", "Again.", "gauge", {}, [] {
    return std::vector<metrics::Sample>{};
  }),
               std::invalid_argument);
  EXPECT_THROW(registry.AddCounters("t_bad_total", "Bad.", {"a"}, {{"x", "y"}}),
               std::invalid_argument);
  EXPECT_TRUE(PromtoolAccepts(registry.Render()));
}

}  // namespace
}  // namespace metricstest
