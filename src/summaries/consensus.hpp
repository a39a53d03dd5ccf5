// Which splits a consensus tree keeps: a pass over the interned set's split
// counts, never over the trees.  Ids below `n_pendant` are pendant edges,
// which every tree holds; the others are non-trivial splits.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "../snapshot/clades.hpp"
#include "../snapshot/intern.hpp"

namespace cladomatic {

// Per split id, the index of the first tree holding it (0 for pendant ids):
// the order of first appearance that decides ties.  This and greedy_splits
// stop between trees or splits once their task group is cancelled, their
// result then garbage (row_progress.hpp).
std::vector<std::uint32_t> first_holders(std::span<const InternSnap> snaps, std::size_t n_ids);

// The non-trivial splits held by at least `min_count` trees, ascending ids.
// With 2 * min_count > the number of trees they are pairwise compatible.
std::vector<SplitId> majority_splits(std::span<const std::uint32_t> freq, std::uint32_t n_pendant,
                                     std::uint32_t min_count);

// The greedy consensus: every non-trivial split in decreasing count, ties by
// first appearance, kept when it is compatible with all those kept before
// it.  Rows of `clades` are canonical sides (the clade when rooted, else the
// side without leaf 0), so two splits are compatible exactly when their rows
// are disjoint or nested.  Stops once the tree is fully resolved.
std::vector<SplitId> greedy_splits(const CladeTable& clades, std::span<const std::uint32_t> freq,
                                   std::span<const std::uint32_t> first_holder, std::uint32_t n_leaves,
                                   bool rooted);

}  // namespace cladomatic
