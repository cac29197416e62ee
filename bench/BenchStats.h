#pragma once
// The figures a benchmark prints of its runs: the median, and the smallest and largest run beside it.
#include <algorithm>
#include <vector>

namespace kesi::bench {

inline double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Spread {
  double min = 0, median = 0, max = 0;
};

inline Spread SpreadOf(const std::vector<double>& values) {
  Spread spread;
  if (values.empty()) return spread;
  const auto [low, high] = std::minmax_element(values.begin(), values.end());
  spread.min = *low;
  spread.max = *high;
  spread.median = Median(values);
  return spread;
}

}  // namespace kesi::bench
