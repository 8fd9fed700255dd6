// Counters, gauges and histograms that any thread may update without
// waiting, and the registry that renders them in the Prometheus text
// format. The values live in prometheus-cpp's core library (its Registry,
// Counter, Gauge and Histogram) and the text comes from its TextSerializer;
// this file only adds the registration by label value lists the callers
// use, families computed on each scrape, and a stable order of families
// and series in the exposition.
//
// A family is one metric name with a fixed set of label names; its series
// (one per label value combination) are all made when the family is
// registered, so the hot path only touches objects it already holds a
// pointer to: a counter or gauge update is one atomic operation, a
// histogram observation takes that series' own (uncontended) mutex.
// Registration takes the registry's mutex; so does rendering.
//
// Families appear in the order they were registered, series in the order
// of their label sets; within a series the labels appear sorted by name.
#pragma once

#include <atomic>  // for the callers that keep state beside their families
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace prometheus {
class Counter;
class Gauge;
class Histogram;
}  // namespace prometheus

namespace metrics {

class Counter {
 public:
  explicit Counter(prometheus::Counter& counter) : counter_(counter) {}
  void Inc(uint64_t n = 1);
  uint64_t Value() const;

 private:
  prometheus::Counter& counter_;
};

class Gauge {
 public:
  explicit Gauge(prometheus::Gauge& gauge) : gauge_(gauge) {}
  void Set(double v);
  void Add(double v);
  double Value() const;

 private:
  prometheus::Gauge& gauge_;
};

// Buckets are upper bounds in increasing order; +Inf is implied. A value
// equal to a bound counts in that bound's bucket.
class Histogram {
 public:
  explicit Histogram(prometheus::Histogram& histogram) : histogram_(histogram) {}
  void Observe(double value);

 private:
  prometheus::Histogram& histogram_;
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

  // REQUIRES: name follows the Prometheus naming rules and is not yet
  // registered; counters end in _total. label_sets holds one list of
  // values per series (one empty list for a family without labels), each
  // as long as label_names. The returned pointers stay valid for the life
  // of the registry. A name registered twice, label values that do not
  // match the names, or a name or label that the library refuses throw
  // std::invalid_argument (a programming fault, met at start-up).
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
  struct Impl;
  // A family not yet kept: checks the name is new and the label sets.
  std::unique_ptr<Family> NewFamily(const std::string& name, const Labels& label_names,
                                    const std::vector<Labels>& label_sets);
  void Keep(std::unique_ptr<Family> family);
  mutable std::mutex mu_;
  std::unique_ptr<Impl> impl_;
};

// The process's registry, which the endpoint renders.
Registry& DefaultRegistry();

}  // namespace metrics
