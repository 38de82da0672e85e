// The console reporter of benchmark programs that compare their benchmarks: it keeps each
// benchmark's best time per run over its rounds, so that the program can print the ratios after
// the table.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // Wall-clock time, or processor time (steadier on a machine that others share).
  enum class Clock { kReal, kProcessor };
  explicit RatioReporter(Clock clock = Clock::kReal) : clock_(clock) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && run.iterations > 0 && !run.error_occurred) {
        const double total =
            clock_ == Clock::kReal ? run.real_accumulated_time : run.cpu_accumulated_time;
        double& best = seconds_[run.run_name.function_name];
        const double seconds = total / double(run.iterations);
        if (best == 0 || seconds < best) best = seconds;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // Best seconds per run of the benchmark function of that name; 0 when it did not run.
  double Seconds(const char* name) const {
    const auto it = seconds_.find(name);
    return it == seconds_.end() ? 0 : it->second;
  }

 private:
  Clock clock_;
  std::map<std::string, double> seconds_;
};
