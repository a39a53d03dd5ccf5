// Trees grouped by topology.  A distance that depends only on which splits two
// trees hold (RF) is the same for every member of a group, so a posterior that
// repeats topologies needs the distinct ones compared once; the full matrix is
// then copied out of the small one.
#pragma once

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "../snapshot/intern.hpp"

namespace cladomatic {

// Groups are numbered in order of their first tree; two trees share a group
// exactly when their split id lists are permutations of each other (and they
// hold the same pendant ids).
struct Topologies {
  std::vector<std::uint32_t> group_of;  // per tree
  std::vector<std::uint32_t> first;     // per group, its first tree (ascending)
};

Topologies distinct_topologies(std::span<const InternSnap> snaps);

// Fills `out` (n x n little-endian u32, any alignment) with cell (i, j) =
// cell (group_of[i], group_of[j]) of `groups_matrix` (m x m, m = number of
// groups).  `progress`, when given, grows by exactly `pairs_left` in all,
// spread over the rows in proportion to their upper-triangle pairs.
void expand_topologies(std::span<const std::uint32_t> groups_matrix, const Topologies& topologies,
                       std::atomic<std::uint64_t>* progress, std::uint64_t pairs_left,
                       std::span<std::byte> out);

// A block of trees (rows against columns, repeats allowed) cut down to one
// tree per topology: `rows` and `cols` hold each group's first tree once, in
// order of first appearance; original row r finds its cells in small row
// row_at[r], column c in small column col_at[c].  Rows and columns may come
// from two sets, each grouped on its own.
struct DistinctBlock {
  std::vector<std::uint32_t> rows;
  std::vector<std::uint32_t> cols;
  std::vector<std::uint32_t> row_at;
  std::vector<std::uint32_t> col_at;
};

// Throws InvariantFailure for a tree outside the grouping.
DistinctBlock distinct_block(const Topologies& row_groups, std::span<const std::uint32_t> rows,
                             const Topologies& col_groups, std::span<const std::uint32_t> cols);

// out (row_at.size() x col_at.size()) from small (rows.size() x cols.size()).
template <class Cell>
void expand_block(const DistinctBlock& block, const Cell* small, Cell* out) {
  const std::size_t width = block.col_at.size();
  const std::size_t small_width = block.cols.size();
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, block.row_at.size()),
                    [&](const tbb::blocked_range<std::size_t>& range) {
                      for (std::size_t r = range.begin(); r != range.end(); ++r) {
                        const Cell* source = small + std::size_t{block.row_at[r]} * small_width;
                        Cell* row = out + r * width;
                        for (std::size_t c = 0; c < width; ++c) row[c] = source[block.col_at[c]];
                      }
                    });
}

}  // namespace cladomatic
