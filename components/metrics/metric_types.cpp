#include "metric_types.h"

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/metric_family.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <algorithm>
#include <deque>
#include <stdexcept>
#include <unordered_map>

namespace metrics {

void Counter::Inc(uint64_t n) { counter_.Increment(static_cast<double>(n)); }
uint64_t Counter::Value() const { return static_cast<uint64_t>(counter_.Value()); }

void Gauge::Set(double v) { gauge_.Set(v); }
void Gauge::Add(double v) { gauge_.Increment(v); }
double Gauge::Value() const { return gauge_.Value(); }

void Histogram::Observe(double value) { histogram_.Observe(value); }

std::vector<double> DurationBuckets() {
  return {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5,
          1,     2.5,    5,     10,   30,    60,   120, 300};
}

std::vector<double> CountBuckets() {
  return {1, 5, 10, 50, 100, 500, 1000, 5000, 10000, 50000, 100000};
}

namespace {

// The library's label map for one series.
prometheus::Labels LabelMap(const Labels& names, const Labels& values) {
  if (names.size() != values.size())
    throw std::invalid_argument("label values do not match the label names");
  prometheus::Labels map;
  for (size_t i = 0; i < names.size(); ++i) map.emplace(names[i], values[i]);
  return map;
}

// One key per series, built the same way from a label map and from a
// collected sample (whose labels come in the map's order).
std::string SeriesKey(const prometheus::Labels& labels) {
  std::string key;
  for (const auto& [name, value] : labels) key += name + '\x1f' + value + '\x1e';
  return key;
}

std::string SeriesKey(const prometheus::ClientMetric& metric) {
  std::string key;
  for (const auto& label : metric.label) key += label.name + '\x1f' + label.value + '\x1e';
  return key;
}

}  // namespace

struct Registry::Family {
  std::string name;
  Labels label_names;
  std::unordered_map<std::string, size_t> rank;  // series key -> position
  // Computed families only.
  std::string help;
  prometheus::MetricType type = prometheus::MetricType::Gauge;
  std::function<std::vector<Sample>()> read;

  prometheus::MetricFamily Compute() const;
  void Order(prometheus::MetricFamily* collected) const;
};

prometheus::MetricFamily Registry::Family::Compute() const {
  prometheus::MetricFamily family{name, help, type, {}};
  for (const Sample& sample : read()) {
    prometheus::ClientMetric metric;
    for (size_t i = 0; i < label_names.size() && i < sample.label_values.size(); ++i)
      metric.label.push_back({label_names[i], sample.label_values[i]});
    if (type == prometheus::MetricType::Counter)
      metric.counter.value = sample.value;
    else
      metric.gauge.value = sample.value;
    family.metric.push_back(std::move(metric));
  }
  return family;
}

void Registry::Family::Order(prometheus::MetricFamily* collected) const {
  auto position = [this](const prometheus::ClientMetric& metric) {
    const auto it = rank.find(SeriesKey(metric));
    return it == rank.end() ? rank.size() : it->second;
  };
  std::stable_sort(collected->metric.begin(), collected->metric.end(),
                   [&](const prometheus::ClientMetric& a, const prometheus::ClientMetric& b) {
                     return position(a) < position(b);
                   });
}

struct Registry::Impl {
  prometheus::Registry library;
  std::vector<std::unique_ptr<Family>> families;  // registration order
  std::unordered_map<std::string, Family*> by_name;
  std::deque<Counter> counters;
  std::deque<Gauge> gauges;
  std::deque<Histogram> histograms;
};

Registry::Registry() : impl_(std::make_unique<Impl>()) {}
Registry::~Registry() = default;

std::unique_ptr<Registry::Family> Registry::NewFamily(const std::string& name,
                                                     const Labels& label_names,
                                                     const std::vector<Labels>& label_sets) {
  if (impl_->by_name.count(name) > 0)
    throw std::invalid_argument("metric " + name + " is registered twice");
  auto family = std::make_unique<Family>();
  family->name = name;
  family->label_names = label_names;
  for (const Labels& values : label_sets)
    family->rank.emplace(SeriesKey(LabelMap(label_names, values)), family->rank.size());
  return family;
}

void Registry::Keep(std::unique_ptr<Family> family) {
  impl_->by_name.emplace(family->name, family.get());
  impl_->families.push_back(std::move(family));
}

std::vector<Counter*> Registry::AddCounters(const std::string& name, const std::string& help,
                                            const Labels& label_names,
                                            const std::vector<Labels>& label_sets) {
  std::lock_guard<std::mutex> lock(mu_);
  auto kept = NewFamily(name, label_names, label_sets);
  auto& family = prometheus::BuildCounter().Name(name).Help(help).Register(impl_->library);
  std::vector<Counter*> out;
  for (const Labels& values : label_sets)
    out.push_back(&impl_->counters.emplace_back(family.Add(LabelMap(label_names, values))));
  Keep(std::move(kept));
  return out;
}

std::vector<Gauge*> Registry::AddGauges(const std::string& name, const std::string& help,
                                        const Labels& label_names,
                                        const std::vector<Labels>& label_sets) {
  std::lock_guard<std::mutex> lock(mu_);
  auto kept = NewFamily(name, label_names, label_sets);
  auto& family = prometheus::BuildGauge().Name(name).Help(help).Register(impl_->library);
  std::vector<Gauge*> out;
  for (const Labels& values : label_sets)
    out.push_back(&impl_->gauges.emplace_back(family.Add(LabelMap(label_names, values))));
  Keep(std::move(kept));
  return out;
}

std::vector<Histogram*> Registry::AddHistograms(const std::string& name,
                                                const std::string& help,
                                                const Labels& label_names,
                                                const std::vector<Labels>& label_sets,
                                                const std::vector<double>& bounds) {
  std::lock_guard<std::mutex> lock(mu_);
  auto kept = NewFamily(name, label_names, label_sets);
  auto& family = prometheus::BuildHistogram().Name(name).Help(help).Register(impl_->library);
  std::vector<Histogram*> out;
  for (const Labels& values : label_sets)
    out.push_back(
        &impl_->histograms.emplace_back(family.Add(LabelMap(label_names, values), bounds)));
  Keep(std::move(kept));
  return out;
}

void Registry::AddComputed(const std::string& name, const std::string& help,
                           const std::string& type, const Labels& label_names,
                           std::function<std::vector<Sample>()> read) {
  std::lock_guard<std::mutex> lock(mu_);
  auto family = NewFamily(name, label_names, {});
  family->help = help;
  family->type =
      type == "counter" ? prometheus::MetricType::Counter : prometheus::MetricType::Gauge;
  family->read = std::move(read);
  Keep(std::move(family));
}

std::string Registry::Render() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<prometheus::MetricFamily> collected = impl_->library.Collect();
  std::unordered_map<std::string, prometheus::MetricFamily*> by_name;
  for (prometheus::MetricFamily& family : collected) by_name.emplace(family.name, &family);
  std::vector<prometheus::MetricFamily> ordered;
  ordered.reserve(impl_->families.size());
  for (const auto& family : impl_->families) {
    if (family->read) {
      ordered.push_back(family->Compute());
      continue;
    }
    const auto it = by_name.find(family->name);
    if (it == by_name.end()) continue;
    family->Order(it->second);
    ordered.push_back(std::move(*it->second));
  }
  return prometheus::TextSerializer().Serialize(ordered);
}

Registry& DefaultRegistry() {
  static Registry* registry = new Registry();  // outlives every thread
  return *registry;
}

}  // namespace metrics
