// Counters, gauges and histograms that any thread may update without a
// lock, and the registry that renders them in the Prometheus text format.
//
// A family is one metric name with a fixed set of label names; its series
// (one per label value combination) are all made when the family is
// registered, so the hot path only touches atomics it already holds a
// reference to. Registration takes the registry's mutex; so does
// rendering, which reads every atomic once.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace metrics {

class Counter {
 public:
  void Inc(uint64_t n = 1) { value_.fetch_add(n, std::memory_order_relaxed); }
  uint64_t Value() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t> value_{0};
};

class Gauge {
 public:
  void Set(double v) { value_.store(v, std::memory_order_relaxed); }
  void Add(double v) { value_.fetch_add(v, std::memory_order_relaxed); }
  double Value() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<double> value_{0};
};

// Buckets are upper bounds in increasing order; +Inf is implied.
class Histogram {
 public:
  explicit Histogram(std::vector<double> bounds);
  void Observe(double value);

  struct Snapshot {
    std::vector<uint64_t> cumulative;  // one per bound, then +Inf
    double sum = 0;
  };
  Snapshot Read() const;
  const std::vector<double>& Bounds() const { return bounds_; }

 private:
  const std::vector<double> bounds_;
  std::unique_ptr<std::atomic<uint64_t>[]> counts_;  // bounds_.size() + 1
  std::atomic<double> sum_{0};
};

// Bucket bounds in seconds from 1 ms to about 5 minutes.
std::vector<double> DurationBuckets();
// Bucket bounds for counts (targets of a posting): 1 to 100,000.
std::vector<double> CountBuckets();

using Labels = std::vector<std::string>;

// One sample of a family read at scrape time.
struct Sample {
  Labels label_values;
  double value;
};

class Registry {
 public:
  Registry();
  ~Registry();
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // REQUIRES: name follows the Prometheus naming rules; counters end in
  // _total. label_sets holds one list of values per series (one empty list
  // for a family without labels). The returned references stay valid for
  // the life of the registry.
  std::vector<Counter*> AddCounters(const std::string& name, const std::string& help,
                                    const Labels& label_names,
                                    const std::vector<Labels>& label_sets);
  std::vector<Gauge*> AddGauges(const std::string& name, const std::string& help,
                                const Labels& label_names,
                                const std::vector<Labels>& label_sets);
  std::vector<Histogram*> AddHistograms(const std::string& name, const std::string& help,
                                        const Labels& label_names,
                                        const std::vector<Labels>& label_sets,
                                        const std::vector<double>& bounds);
  // A family whose samples are computed on each scrape (process figures,
  // state kept elsewhere). type is "counter" or "gauge". read must be
  // thread-safe and must not call back into the registry.
  void AddComputed(const std::string& name, const std::string& help, const std::string& type,
                   const Labels& label_names, std::function<std::vector<Sample>()> read);

  // The exposition text (format version 0.0.4).
  std::string Render() const;

 private:
  struct Family;
  Family& NewFamily(const std::string& name, const std::string& help, const char* type,
                    const Labels& label_names);
  mutable std::mutex mu_;
  std::vector<std::unique_ptr<Family>> families_;
};

// The process's registry, which the endpoint renders.
Registry& DefaultRegistry();

}  // namespace metrics
