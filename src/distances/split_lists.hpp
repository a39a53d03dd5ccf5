// Trees as ascending lists of split ids: the form in which two trees, of one
// set or of two sets joined on their clade rows, are compared split by split,
// and from which per-tree sums over all other trees come without any matrix.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "../primitives/row_progress.hpp"
#include "../snapshot/clades.hpp"
#include "../snapshot/intern.hpp"

namespace cladomatic {

// Tree t holds ids[offsets[t] .. offsets[t+1]), ascending, its pendant ids
// included; lengths are aligned with ids, or empty when not kept.
struct SplitLists {
  std::vector<std::uint64_t> offsets{0};
  std::vector<SplitId> ids;
  std::vector<double> lengths;

  std::size_t size() const noexcept { return offsets.size() - 1; }
  std::span<const SplitId> ids_of(std::size_t t) const noexcept {
    return {ids.data() + offsets[t], ids.data() + offsets[t + 1]};
  }
  std::span<const double> lengths_of(std::size_t t) const noexcept {
    if (lengths.empty()) return {};
    return {lengths.data() + offsets[t], lengths.data() + offsets[t + 1]};
  }
};

SplitLists split_lists(std::span<const InternSnap> snaps, bool with_lengths);

// The lists with every id s replaced by map[s], re-sorted.
SplitLists remapped(const SplitLists& lists, std::span<const SplitId> map);

// For every row of `from`, the row of `into` holding the same leaves, or
// into.rows() + that row's index when `into` has none.
std::vector<SplitId> join_rows(const CladeTable& from, const CladeTable& into);

// log2((2k - 3)!!) for k = 0 .. n, with (-1)!! = 1.
std::vector<double> log2_double_factorials(std::uint32_t n);

// The phylogenetic information content, in bits, of a split of a and n - a
// leaves: -log2[(2a-3)!! (2(n-a)-3)!! / (2n-5)!!], 0 unless both sides hold
// two leaves or more.  `table` is log2_double_factorials(m) for some m >= n.
inline double information_bits(std::span<const double> table, std::size_t a, std::size_t n) noexcept {
  const std::size_t b = n - std::min(a, n);
  return a >= 2 && b >= 2 ? table[n - 1] - table[a] - table[b] : 0.0;
}

// The phylogenetic information content of each split, in bits:
// -log2[(2a-3)!! (2b-3)!! / (2n-5)!!] for a split of a and b = n - a leaves,
// 0 for pendant edges.  Row r of `clades` is split r's canonical side.
std::vector<double> split_information(const CladeTable& clades, std::uint32_t n_leaves);

enum class PairMetric { kRf, kRfNorm, kInfoRf, kWrf, kKf };

// What a pair metric needs beyond the lists: ids below `n_pendant` are pendant
// edges, `information` is indexed by id (kInfoRf only).
struct PairContext {
  PairMetric metric = PairMetric::kRf;
  std::uint32_t n_pendant = 0;
  std::span<const double> information;
};

// The metric between tree i of `a` and tree j of `b`, both in one id space.
double merged_pair(const PairContext& context, const SplitLists& a, std::size_t i, const SplitLists& b,
                   std::size_t j);

// out[r * cols.size() + c] = the metric between tree rows[r] of `a` and tree
// cols[c] of `b`, both in one id space; kRf gives whole numbers.  Throws
// InvariantFailure when an index is out of range.  `rows_done`, when given,
// grows by rows.size() in all as rows are finished (row_progress.hpp).
void merge_block(const PairContext& context, const SplitLists& a, std::span<const std::uint32_t> rows,
                 const SplitLists& b, std::span<const std::uint32_t> cols, double* out,
                 RowCounter* rows_done = nullptr);
void merge_block_rf(const SplitLists& a, std::span<const std::uint32_t> rows, const SplitLists& b,
                    std::span<const std::uint32_t> cols, std::uint32_t n_pendant, std::uint32_t* out,
                    RowCounter* rows_done = nullptr);

// Per tree, the sum of its RF distances to every tree of the set, each split
// weighted by `information` (by 1 when empty), from the tree counts alone.
std::vector<double> rf_sums(const SplitLists& lists, std::span<const std::uint32_t> freq,
                            std::uint32_t n_pendant, std::span<const double> information);

// Per tree, the sum of its squared KF distances to every tree of the set, from
// per-split sums of lengths; never negative.
std::vector<double> kf2_sums(const SplitLists& lists, std::size_t n_ids);

// out[g * n_splits + (s - first)] counts the trees of group g holding split s,
// for split ids first .. first + n_splits - 1.  Groups must be below n_groups.
void group_counts(const SplitLists& lists, std::span<const std::int32_t> groups, std::size_t n_groups,
                  std::uint32_t first, std::size_t n_splits, std::int64_t* out);

}  // namespace cladomatic
