// Distances between trees that may hold different taxa, each pair compared
// on the taxa the two trees share: both trees pruned to them (nodes left with
// one child merged into their neighbour, lengths of merged edges summed), as
// restrict.hpp describes at the level of splits, one pair at a time and in
// time proportional to the two trees' sizes (see PrunedLayout).
//
// Per pair, with S the shared taxa: each split's side is intersected with S
// and made canonical within S (unrooted: the side without S's first taxon;
// rooted: the clade); sides of two to |S| - 2 taxa (rooted: to |S| - 1) are
// the pair's splits, equal ones of one tree merging; a side of one taxon (or,
// unrooted, of all but S's first) is that taxon's pendant edge.  Then:
//   rf       splits in exactly one of the two pruned trees;
//   rf_norm  rf over the splits of both (0 when neither has any);
//   info_rf  the information of those splits for |S| taxa (see
//            information_bits);
//   wrf, kf  over splits and pendant edges of S, as for trees of one leaf
//            set.
// A pair sharing fewer than 4 taxa (3 rooted) has no distance: NaN.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "../snapshot/intern.hpp"
#include "../snapshot/result.hpp"
#include "block.hpp"
#include "split_lists.hpp"

namespace cladomatic {

// A set's trees laid out for restriction pair by pair.  Each tree is a
// circular order of its leaves in which every split is an arc: its canonical
// side over the tree's own taxa (unrooted: the side without the tree's first
// taxon, which sits at position 0; rooted: the clade) is the range
// [start, start + count) of the order.  Whatever taxa a pair shares, the
// shared ones inside an arc are then a run of consecutive shared taxa along
// the tree, so a split's restriction is a pair of numbers (where the run
// starts, how long it is), and comparing it with the other tree's is a sum
// over a range of prefix sums, never a walk over the split's leaves.
struct PrunedLayout {
  std::size_t words = 0;                    // per taxon bitset: ceil(universe / 64)
  std::vector<std::uint64_t> taxa;          // `words` per tree
  std::vector<std::uint64_t> leaf_offsets;  // per tree its first position, then the total
  std::vector<LeafId> order;                // per tree its leaves (universe places) in circular order
  std::vector<double> pendants;             // per position, the leaf's pendant length; empty without lengths
  std::vector<std::uint64_t> offsets;       // per tree its first split, then the total
  std::vector<std::uint32_t> starts;        // per split
  std::vector<std::uint32_t> counts;        // per split
  std::vector<double> lengths;              // per split; empty without lengths
  std::vector<std::uint32_t> taxon_set;     // per tree; equal for trees holding the same taxa

  std::size_t size() const noexcept { return offsets.size() - 1; }
};

// `universe_of[l]` is leaf l's place in a universe of `universe` leaves,
// increasing in l.  An error when a tree's splits do not nest as a tree's
// do (only a hostile saved set holds such splits).
Result<PrunedLayout> lay_out_pruned(const Snapshots& set, bool rooted, bool lengths,
                                    std::span<const LeafId> universe_of, std::uint32_t universe);

// What a block needs besides the layouts: `table` is log2_double_factorials
// of the universe's size (kInfoRf only).  Within one set (`same_set`) a pair
// is taken in the order of its trees' indices, so (i, j) and (j, i) get the
// same bits, and a tree against itself is 0.  `lists`, the set's split lists
// (same_set only), compare two trees holding the same taxa by their split
// ids, which then name the same splits, with nothing to prune (kRf and
// kRfNorm); ids below `n_pendant` are pendant edges.
struct PrunedContext {
  PairMetric metric = PairMetric::kRf;
  bool rooted = false;
  bool same_set = false;
  std::span<const double> table;
  const SplitLists* lists = nullptr;
  std::uint32_t n_pendant = 0;
};

// Fewer shared taxa than this leave a pair without a distance.
inline std::uint32_t fewest_shared_taxa(bool rooted) noexcept {
  return rooted ? 3 : 4;
}

// out[r * cols + c] = the metric between tree rows[r] of `a` and cols[c] of
// `b`, both laid out over one universe.  Throws InvariantFailure when an
// index is out of range.
void pruned_block(const PrunedContext& context, const PrunedLayout& a, const PrunedLayout& b, Block block,
                  double* out);

// The pairs of the block that share fewer than `fewest` taxa.
std::uint64_t short_pairs(const PrunedLayout& a, const PrunedLayout& b, Block block, std::uint32_t fewest);

}  // namespace cladomatic
