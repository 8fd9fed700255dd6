#include "metric_types.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace metrics {

Histogram::Histogram(std::vector<double> bounds)
    : bounds_(std::move(bounds)),
      counts_(std::make_unique<std::atomic<uint64_t>[]>(bounds_.size() + 1)) {
  for (size_t i = 0; i <= bounds_.size(); ++i) counts_[i].store(0);
}

void Histogram::Observe(double value) {
  const size_t bucket = static_cast<size_t>(
      std::lower_bound(bounds_.begin(), bounds_.end(), value) - bounds_.begin());
  counts_[bucket].fetch_add(1, std::memory_order_relaxed);
  sum_.fetch_add(value, std::memory_order_relaxed);
}

Histogram::Snapshot Histogram::Read() const {
  Snapshot snapshot;
  uint64_t running = 0;
  for (size_t i = 0; i <= bounds_.size(); ++i) {
    running += counts_[i].load(std::memory_order_relaxed);
    snapshot.cumulative.push_back(running);
  }
  snapshot.sum = sum_.load(std::memory_order_relaxed);
  return snapshot;
}

std::vector<double> DurationBuckets() {
  return {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5,
          1,     2.5,    5,     10,   30,    60,   120, 300};
}

std::vector<double> CountBuckets() {
  return {1, 5, 10, 50, 100, 500, 1000, 5000, 10000, 50000, 100000};
}

namespace {

void AppendNumber(std::string* out, double value) {
  if (std::isnan(value)) {
    *out += "NaN";
  } else if (std::isinf(value)) {
    *out += value > 0 ? "+Inf" : "-Inf";
  } else {
    char text[64];
    auto result = std::to_chars(text, text + sizeof(text), value);
    out->append(text, result.ptr);
  }
}

void AppendEscaped(std::string* out, const std::string& value) {
  for (char c : value) {
    if (c == '\\') {
      *out += "\\\\";
    } else if (c == '"') {
      *out += "\\\"";
    } else if (c == '\n') {
      *out += "\\n";
    } else {
      *out += c;
    }
  }
}

// name{a="x",b="y"} with an optional extra label (le) last.
void AppendSeries(std::string* out, const std::string& name, const Labels& names,
                  const Labels& values, const char* extra_name = nullptr,
                  const std::string& extra_value = std::string()) {
  *out += name;
  if (names.empty() && extra_name == nullptr) return;
  *out += '{';
  bool first = true;
  for (size_t i = 0; i < names.size() && i < values.size(); ++i) {
    if (!first) *out += ',';
    first = false;
    *out += names[i];
    *out += "=\"";
    AppendEscaped(out, values[i]);
    *out += '"';
  }
  if (extra_name != nullptr) {
    if (!first) *out += ',';
    *out += extra_name;
    *out += "=\"";
    *out += extra_value;
    *out += '"';
  }
  *out += '}';
}

}  // namespace

struct Registry::Family {
  std::string name;
  std::string help;
  const char* type;
  Labels label_names;
  std::vector<Labels> label_sets;
  std::vector<std::unique_ptr<Counter>> counters;
  std::vector<std::unique_ptr<Gauge>> gauges;
  std::vector<std::unique_ptr<Histogram>> histograms;
  std::string computed_type;
  std::function<std::vector<Sample>()> read;

  void Render(std::string* out) const;
};

void Registry::Family::Render(std::string* out) const {
  const char* shown_type = read ? computed_type.c_str() : type;
  *out += "# HELP " + name + " " + help + "\n";
  *out += "# TYPE " + name + " " + shown_type + "\n";
  if (read) {
    for (const Sample& sample : read()) {
      AppendSeries(out, name, label_names, sample.label_values);
      *out += ' ';
      AppendNumber(out, sample.value);
      *out += '\n';
    }
    return;
  }
  for (size_t i = 0; i < label_sets.size(); ++i) {
    const Labels& values = label_sets[i];
    if (!counters.empty() || !gauges.empty()) {
      AppendSeries(out, name, label_names, values);
      *out += ' ';
      AppendNumber(out, !counters.empty() ? static_cast<double>(counters[i]->Value())
                                          : gauges[i]->Value());
      *out += '\n';
      continue;
    }
    const Histogram& histogram = *histograms[i];
    const Histogram::Snapshot snapshot = histogram.Read();
    const std::vector<double>& bounds = histogram.Bounds();
    for (size_t b = 0; b <= bounds.size(); ++b) {
      std::string le;
      if (b < bounds.size())
        AppendNumber(&le, bounds[b]);
      else
        le = "+Inf";
      AppendSeries(out, name + "_bucket", label_names, values, "le", le);
      *out += ' ' + std::to_string(snapshot.cumulative[b]) + '\n';
    }
    AppendSeries(out, name + "_sum", label_names, values);
    *out += ' ';
    AppendNumber(out, snapshot.sum);
    *out += '\n';
    AppendSeries(out, name + "_count", label_names, values);
    *out += ' ' + std::to_string(snapshot.cumulative.back()) + '\n';
  }
}

Registry::Registry() = default;
Registry::~Registry() = default;

Registry::Family& Registry::NewFamily(const std::string& name, const std::string& help,
                                      const char* type, const Labels& label_names) {
  auto family = std::make_unique<Family>();
  family->name = name;
  family->help = help;
  family->type = type;
  family->label_names = label_names;
  families_.push_back(std::move(family));
  return *families_.back();
}

std::vector<Counter*> Registry::AddCounters(const std::string& name, const std::string& help,
                                            const Labels& label_names,
                                            const std::vector<Labels>& label_sets) {
  std::lock_guard<std::mutex> lock(mu_);
  Family& family = NewFamily(name, help, "counter", label_names);
  family.label_sets = label_sets;
  std::vector<Counter*> out;
  for (size_t i = 0; i < label_sets.size(); ++i) {
    family.counters.push_back(std::make_unique<Counter>());
    out.push_back(family.counters.back().get());
  }
  return out;
}

std::vector<Gauge*> Registry::AddGauges(const std::string& name, const std::string& help,
                                        const Labels& label_names,
                                        const std::vector<Labels>& label_sets) {
  std::lock_guard<std::mutex> lock(mu_);
  Family& family = NewFamily(name, help, "gauge", label_names);
  family.label_sets = label_sets;
  std::vector<Gauge*> out;
  for (size_t i = 0; i < label_sets.size(); ++i) {
    family.gauges.push_back(std::make_unique<Gauge>());
    out.push_back(family.gauges.back().get());
  }
  return out;
}

std::vector<Histogram*> Registry::AddHistograms(const std::string& name,
                                                const std::string& help,
                                                const Labels& label_names,
                                                const std::vector<Labels>& label_sets,
                                                const std::vector<double>& bounds) {
  std::lock_guard<std::mutex> lock(mu_);
  Family& family = NewFamily(name, help, "histogram", label_names);
  family.label_sets = label_sets;
  std::vector<Histogram*> out;
  for (size_t i = 0; i < label_sets.size(); ++i) {
    family.histograms.push_back(std::make_unique<Histogram>(bounds));
    out.push_back(family.histograms.back().get());
  }
  return out;
}

void Registry::AddComputed(const std::string& name, const std::string& help,
                           const std::string& type, const Labels& label_names,
                           std::function<std::vector<Sample>()> read) {
  std::lock_guard<std::mutex> lock(mu_);
  Family& family = NewFamily(name, help, "untyped", label_names);
  family.computed_type = type;
  family.read = std::move(read);
}

std::string Registry::Render() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::string out;
  out.reserve(16384);
  for (const auto& family : families_) family->Render(&out);
  return out;
}

Registry& DefaultRegistry() {
  static Registry* registry = new Registry();  // outlives every thread
  return *registry;
}

}  // namespace metrics
