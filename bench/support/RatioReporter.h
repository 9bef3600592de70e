#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace orvel::bench {

// The console reporter that also keeps, for the ratio lines printed after the
// run, each benchmark's fastest time over its repetitions (or the mean, when
// only aggregates are reported).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const std::string name = run.run_name.function_name;
      const double time = run.GetAdjustedRealTime();
      if (run.run_type == Run::RT_Iteration && (!fastest_.count(name) || time < fastest_[name])) fastest_[name] = time;
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "mean") mean_[name] = time;
    }
  }

  // The time of the benchmark named `name`, in its display unit; none when it did not run.
  std::optional<double> time(const std::string& name) const {
    const auto& times = fastest_.empty() ? mean_ : fastest_;
    auto found = times.find(name);
    if (found == times.end()) return std::nullopt;
    return found->second;
  }

 private:
  std::map<std::string, double> fastest_, mean_;
};

}  // namespace orvel::bench
