// SPDX-License-Identifier: MPL-2.0
// Shared by the benchmarks: the reporter of those that print a ratio table after their runs, and
// the process CPU clock of those that measure a client with its threads.
#pragma once

#include <benchmark/benchmark.h>
#include <time.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace varo::bench {

// CPU time of the whole process (every thread) in nanoseconds.
inline int64_t ProcessCpuNs() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

// Console output as usual, and the CPU time per iteration in seconds (steadier than wall time
// on a busy machine) of every run kept for the ratio table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
      times_[run.benchmark_name()] = run.cpu_accumulated_time / static_cast<double>(run.iterations);
    }
  }
  // The CPU time per iteration of the named benchmark, 0 when it did not run.
  double time(const std::string& name) const {
    const auto it = times_.find(name);
    return it == times_.end() ? 0.0 : it->second;
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace varo::bench
