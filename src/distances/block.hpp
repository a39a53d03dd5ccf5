// Any block of the pairwise matrix: chosen rows against chosen columns, over
// the same layout as the full matrix.  Every cell is computed on its own, from
// the lower-numbered tree of its pair, with the full fill's arithmetic in the
// full fill's order, so a block's cells equal the full matrix's bit for bit
// whatever the block, the thread count or the order of the trees picked.
//
// Which kernels each caller takes (why two families: README.md):
//   the cladomatic module's matrices    the whole-matrix family: rf.hpp
//                                       (distinct topologies, then
//                                       expand_topologies) and weighted.hpp,
//                                       each pair once, driven by matrix.hpp
//   TreeSet.distances: the command's    these block kernels; rows equal to
//   bands, Dask tiles, ESS, tree space  the columns through symmetric_block.hpp,
//                                       rf, rf_norm and info_rf over distinct
//                                       topologies (distinct_block)
//   TreeSet.against: --against,         merge joins of two sets' sorted split
//   --between, Dask's against tiles     lists (split_lists.hpp: merge_block)
//   TreeSet.mean_distances, medoid      sums from tree counts, no matrix
//                                       (split_lists.hpp: rf_sums, kf2_sums)
//   TreeSet.distances and against for   pair by pair from each tree alone:
//   kc, path, wpath; cid, cid_norm,     tree_vectors.hpp and matching.hpp,
//   pid, msid, msd                      each pair once in a square block
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "../primitives/cpu.hpp"
#include "../primitives/row_progress.hpp"
#include "rf.hpp"
#include "weighted_terms.hpp"

namespace cladomatic {

// Tree indices of a block's rows and columns, in output order; repeats allowed.
// Output cell (r, c) is at out[r * cols.size() + c].  `rows_done`, when given,
// grows by rows.size() in all as the kernel finishes rows (row_progress.hpp).
struct Block {
  std::span<const std::uint32_t> rows;
  std::span<const std::uint32_t> cols;
  RowCounter* rows_done = nullptr;
};

// Throws InvariantFailure when a row is not below `n_rows` or a column not
// below `n_cols`: the one check of a block for kernels taking trees one by one.
void check_block(const Block& block, std::size_t n_rows, std::size_t n_cols);

// Throws InvariantFailure when a tree index is out of range of the layout.
// Every `simd` gives the same cells.
void rf_block(const RfLayout& layout, Block block, std::uint32_t* out, Simd simd = Simd::kAuto);
// RF divided by the number of non-trivial splits of both trees (`splits`, per
// tree), 0 when neither has any.
void rf_norm_block(const RfLayout& layout, Block block, std::span<const std::uint32_t> splits, double* out);
// `self`: the metric's self terms over the layout's columns (the layout's own
// when it was built for that metric).
void wrf_block(const WeightedLayout& layout, std::span<const WeightedSelf> self, Block block, double* out);
void kf_block(const WeightedLayout& layout, std::span<const WeightedSelf> self, Block block, double* out);

// Split information laid out as the RF layout's columns: per dense column, per
// sparse index, and per tree the sum over its splits no other tree holds.
struct InfoWeights {
  std::vector<double> dense;
  std::vector<double> sparse;
  std::vector<double> lone;
};

// `information` by split id; the threshold is the one the layout was built with.
InfoWeights info_weights(std::span<const InternSnap> snaps, std::span<const std::uint32_t> freq,
                         std::span<const double> information, std::uint32_t dense_threshold);

// The information-weighted RF: the information of the splits in exactly one of
// the two trees, summed over dense columns ascending, then rare splits
// ascending, then the lower tree's own splits and the higher tree's, so the
// sum is exactly 0 for equal trees and the same for (i, j) and (j, i).
void info_rf_block(const RfLayout& layout, const InfoWeights& weights, Block block, double* out);

}  // namespace cladomatic
