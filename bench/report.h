// Figures of one benchmark run: each measured series beside its baseline
// from the same run, one line per figure (rounds, min, median, ratio), and
// a short table at the end. Lines go to stdout and are appended to the
// results file.
#pragma once

#include <string>
#include <vector>

namespace bench {

// Samples of one quantity, one per round (or per event for latencies).
struct Series {
  std::vector<double> values;
  void Add(double v) { values.push_back(v); }
  bool Empty() const { return values.empty(); }
  double Min() const;
  double Median() const;
  // p in [0, 100]; nearest rank.
  double Percentile(double p) const;
};

// What a figure must reach: its ratio to the baseline (medians), or its
// own median.
enum class Goal { kNone, kRatioAtMost, kValueAtMost, kValueAtLeast };

struct Figure {
  Figure(std::string figure_name, std::string figure_unit, std::string baseline_name = "")
      : name(std::move(figure_name)), unit(std::move(figure_unit)),
        baseline(std::move(baseline_name)) {}
  std::string name;      // e.g. "posting.scan.10000"
  std::string unit;      // e.g. "us/target"
  std::string baseline;  // what the baseline is; empty when there is none
  Series measured;
  Series base;
  Goal goal = Goal::kNone;
  double goal_value = 0;
  std::string note;      // free text shown after the figures
  void SetGoal(Goal kind, double value) {
    goal = kind;
    goal_value = value;
  }
  double Ratio() const;  // measured median / baseline median, 0 without one
  bool GoalMet() const;
  std::string GoalText() const;  // "" without a goal
};

class Report {
 public:
  // out_path: results file to append to ("" for none).
  explicit Report(std::string out_path);
  void Add(const Figure& figure);  // prints and records its line
  void Say(const std::string& text) const;  // a comment line
  // The short table of every figure added so far.
  void PrintTable() const;

 private:
  void Write(const std::string& line) const;
  std::string out_path_;
  std::vector<Figure> figures_;
};

}  // namespace bench
