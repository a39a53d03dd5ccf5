#include "columns.hpp"

#include <numeric>

#include "../snapshot/result.hpp"

namespace cladomatic {

ColumnMap assign_columns(std::span<const std::uint32_t> freq, std::size_t n, Eligible eligible,
                         std::uint32_t dense_threshold) {
  const auto is_eligible = [&](std::uint32_t f) { return f >= eligible.lo && f <= eligible.hi; };
  std::vector<std::uint32_t> start(n + 1, 0);
  for (std::uint32_t f : freq) {
    if (f > n) throw InvariantFailure("tree count above the number of trees");
    if (is_eligible(f)) ++start[f];
  }
  // Exclusive suffix sums: start[f] = eligible splits with a larger count.
  const std::uint32_t at_zero = start[0];
  std::exclusive_scan(start.rbegin(), start.rend(), start.rbegin(), std::uint32_t{0});
  const std::uint32_t running = start[0] + at_zero;
  ColumnMap map;
  map.n_columns = running;
  if (dense_threshold == 0) {
    map.n_dense = running;
  } else if (dense_threshold <= n) {
    map.n_dense = start[dense_threshold - 1];
  }
  map.column_of.resize(freq.size());
  for (std::size_t s = 0; s < freq.size(); ++s) {
    const std::uint32_t f = freq[s];
    map.column_of[s] = is_eligible(f) ? start[f]++ : kNoColumn;
  }
  return map;
}

}  // namespace cladomatic
