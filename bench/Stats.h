#pragma once

// Summaries of a handful of samples. With the few runs a benchmark here can afford, the
// percentiles are nearest-rank: p95 of ten samples is the largest of them.

#include <optional>
#include <vector>

namespace tidewell::bench {

struct Summary {
  std::size_t count = 0;
  double median = 0;
  double p95 = 0;
  double max = 0;
};

// Empty when there are no samples.
std::optional<Summary> Summarise(std::vector<double> samples);

// The nearest-rank percentile `p` (0..100) of sorted samples.
double NearestRank(const std::vector<double>& sorted, double p);

}  // namespace tidewell::bench
