// Columns of the distance layout: which splits get one, in which order, and
// which of them are dense.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace cladomatic {

inline constexpr std::uint32_t kNoColumn = 0xFFFFFFFFu;

// Column c < n_dense is dense; the others are sparse, referred to everywhere
// else by their sparse index c - n_dense.  Columns run from the most frequent
// split down, ties by ascending split id.
struct ColumnMap {
  std::vector<std::uint32_t> column_of;  // per split id, or kNoColumn
  std::size_t n_dense = 0;
  std::uint32_t n_columns = 0;
};

// Tree counts that give a split a column: lo <= f <= hi.
struct Eligible {
  std::uint32_t lo;
  std::uint32_t hi;
};

// Splits with an eligible tree count of at least `dense_threshold` are dense.
// Throws InvariantFailure when a tree count exceeds n.
ColumnMap assign_columns(std::span<const std::uint32_t> freq, std::size_t n, Eligible eligible,
                         std::uint32_t dense_threshold);

}  // namespace cladomatic
