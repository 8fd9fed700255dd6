#include "report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>

#include "utilLib.h"

namespace bench {

namespace {

std::vector<double> Sorted(const std::vector<double>& values) {
  std::vector<double> sorted = values;
  std::sort(sorted.begin(), sorted.end());
  return sorted;
}

// Three significant digits at least, no exponent.
std::string Number(double v) {
  if (v == 0) return "0";
  const double a = std::fabs(v);
  if (a >= 100) return Format("%.0f", v);
  if (a >= 10) return Format("%.1f", v);
  if (a >= 1) return Format("%.2f", v);
  return Format("%.3g", v);
}

}  // namespace

double Series::Min() const {
  return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}

double Series::Median() const {
  if (values.empty()) return 0;
  const std::vector<double> s = Sorted(values);
  const size_t n = s.size();
  return n % 2 == 1 ? s[n / 2] : (s[n / 2 - 1] + s[n / 2]) / 2;
}

double Series::Percentile(double p) const {
  if (values.empty()) return 0;
  const std::vector<double> s = Sorted(values);
  size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(s.size())));
  rank = std::clamp<size_t>(rank, 1, s.size());
  return s[rank - 1];
}

double Figure::Ratio() const {
  if (base.Empty() || base.Median() == 0) return 0;
  return measured.Median() / base.Median();
}

bool Figure::GoalMet() const {
  switch (goal) {
    case Goal::kNone: return true;
    case Goal::kRatioAtMost: return Ratio() <= goal_value;
    case Goal::kValueAtMost: return measured.Median() <= goal_value;
    case Goal::kValueAtLeast: return measured.Median() >= goal_value;
  }
  return true;
}

std::string Figure::GoalText() const {
  switch (goal) {
    case Goal::kNone: return "";
    case Goal::kRatioAtMost: return "ratio <= " + Number(goal_value);
    case Goal::kValueAtMost: return "<= " + Number(goal_value);
    case Goal::kValueAtLeast: return ">= " + Number(goal_value);
  }
  return "";
}

Report::Report(std::string out_path) : out_path_(std::move(out_path)) {}

void Report::Write(const std::string& line) const {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
  if (out_path_.empty()) return;
  std::ofstream out(out_path_, std::ios::app);
  out << line << "\n";
}

void Report::Say(const std::string& text) const { Write("# " + text); }

void Report::Add(const Figure& f) {
  std::string line = Format("%-34s : rounds %zu  min %s  median %s %s", f.name.c_str(),
                            f.measured.values.size(), Number(f.measured.Min()).c_str(),
                            Number(f.measured.Median()).c_str(), f.unit.c_str());
  if (!f.baseline.empty())
    line += Format("  | %s: rounds %zu  min %s  median %s  | ratio %.2f", f.baseline.c_str(),
                   f.base.values.size(), Number(f.base.Min()).c_str(),
                   Number(f.base.Median()).c_str(), f.Ratio());
  if (f.goal != Goal::kNone)
    line += Format("  | goal %s %s", f.GoalText().c_str(), f.GoalMet() ? "met" : "NOT met");
  if (!f.note.empty()) line += "  (" + f.note + ")";
  Write(line);
  figures_.push_back(f);
}

void Report::PrintTable() const {
  Write("");
  Write(Format("| %-32s | %-12s | %10s | %10s | %6s | %-18s |", "figure", "unit", "median",
               "baseline", "ratio", "goal"));
  Write("|----------------------------------|--------------|------------|------------|"
        "--------|--------------------|");
  for (const Figure& f : figures_) {
    const std::string goal =
        f.goal == Goal::kNone ? "" : f.GoalText() + (f.GoalMet() ? " met" : " NOT met");
    Write(Format("| %-32s | %-12s | %10s | %10s | %6s | %-18s |", f.name.c_str(), f.unit.c_str(),
                 Number(f.measured.Median()).c_str(),
                 f.base.Empty() ? "" : Number(f.base.Median()).c_str(),
                 f.base.Empty() ? "" : Format("%.2f", f.Ratio()).c_str(), goal.c_str()));
  }
}

}  // namespace bench
