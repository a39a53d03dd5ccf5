// What a summary tree says about each of its splits, gathered in one pass
// over the trees for the few splits it holds: how many trees of each group
// (run) hold the split, and the lengths it has in them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "../primitives/row_progress.hpp"
#include "../snapshot/intern.hpp"

namespace cladomatic {

// For each of the k ids: counts[g * k + i] trees of group g hold ids[i];
// over the trees holding it, `mean` of its lengths and, when asked for the
// spread, the upper `median` (the value at position floor(m / 2) of the m
// sorted lengths x) and the 95% interval [hpd_low, hpd_high], both as
// MrBayes's sumt reports them.  The interval holds w = floor(0.95 m + 0.5)
// of the sorted lengths, [x[s], x[s + w - 1]]: s is 0 unless some i in
// [1, m - w) has x[i + w] - x[i] below x[w - 1] - x[0], and then the first
// i of least x[i + w] - x[i].  (MrBayes scans stretches one value longer
// than the one it reports; matching its digits means scanning them too.)
// NaN where no tree holds the split or the set has no lengths (spread
// vectors are empty when not asked for).
struct SplitSummary {
  std::vector<std::int64_t> counts;
  std::vector<double> mean;
  std::vector<double> median;
  std::vector<double> hpd_low;
  std::vector<double> hpd_high;
};

// `groups` holds each tree's group, below `n_groups`; `freq` the set's tree
// count of every split id.  Means are updated in tree order, so they do not
// depend on the thread count.  The spread holds every length of the k
// splits at once: at most the set's own lengths.  Each tree passed, then
// with the spread each split ordered (the longer part), is counted into
// `trees_done`; once the task group is cancelled the pass stops between
// trees or splits and the summary is garbage (row_progress.hpp).
SplitSummary summarise_splits(std::span<const InternSnap> snaps, std::span<const std::uint32_t> freq,
                              std::span<const std::int32_t> groups, std::size_t n_groups,
                              std::span<const SplitId> ids, bool spread, RowCounter* trees_done = nullptr);

// Per asked split and then the root (index k): the mean (updated as MrBayes
// updates it), upper median and 95% interval of the heights of the split's
// node over the trees holding it, by SplitSummary's rules.  A node's height
// is the deepest leaf's depth less its own, depths summed from the root down
// (negative lengths counting as 0): the youngest leaf is at 0, dated leaves
// keep their ages.  For rooted trees with lengths; `clades` holds a row per
// split id.  NaN where no tree holds the split.
struct HeightSummary {
  std::vector<double> mean;
  std::vector<double> median;
  std::vector<double> low;
  std::vector<double> high;
};

HeightSummary summarise_heights(std::span<const InternSnap> snaps, const CladeTable& clades,
                                std::uint32_t n_leaves, std::span<const std::uint32_t> freq,
                                std::span<const SplitId> ids, RowCounter* trees_done = nullptr);

}  // namespace cladomatic
