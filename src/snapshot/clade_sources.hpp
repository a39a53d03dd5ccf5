// Clade rows kept as where they come from until something asks for them.
// Distances need only split ids, and on deep trees the rows are quadratic:
// a caterpillar of n leaves holds splits of 2, 3, ... n - 2 leaves, about
// n^2 / 2 entries, where the tree's leaf order holds every one of them as a
// range in n entries.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "clades.hpp"

namespace cladomatic {

// One split's row: `count` sorted leaves at `at` in the pool when `order` is
// 0, else a range (`count` leaves from `start`) of a tree's leaf order of
// `order` leaves kept whole at `at`, or that range's complement.
struct RowSource {
  std::uint64_t at = 0;
  std::uint32_t start = 0;
  std::uint32_t count = 0;
  std::uint32_t order = 0;
  bool complement = false;
};

struct CladeSources {
  bool pending = false;         // rows not laid out yet: the set's CladeTable is empty until then
  bool too_many = false;        // the rows would take more entries than the set may address
  std::uint32_t n_leaves = 0;   // the singleton rows before the sources'
  std::vector<LeafId> pool;     // sorted rows and whole leaf orders
  std::vector<RowSource> rows;  // by split id, past the pendant ids
};

// Appends a row's leaves (already sorted) to the pool.
RowSource sorted_row(CladeSources& sources, std::span<const LeafId> first, std::span<const LeafId> second);

// The clade table: the n singleton rows, then each source's row, sorted.
CladeTable lay_out_clades(const CladeSources& sources);

}  // namespace cladomatic
