#include "Stats.h"

#include <algorithm>
#include <cmath>

namespace tidewell::bench {

double NearestRank(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  const auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * sorted.size()));
  return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

std::optional<Summary> Summarise(std::vector<double> samples) {
  if (samples.empty()) return std::nullopt;
  std::sort(samples.begin(), samples.end());
  Summary summary;
  summary.count = samples.size();
  const std::size_t middle = samples.size() / 2;
  // The usual median: the mean of the two middle samples when the count is even.
  summary.median =
      samples.size() % 2 == 1 ? samples[middle] : (samples[middle - 1] + samples[middle]) / 2;
  summary.p95 = NearestRank(samples, 95);
  summary.max = samples.back();
  return summary;
}

}  // namespace tidewell::bench
