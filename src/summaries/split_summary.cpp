#include "split_summary.hpp"

#include <tbb/parallel_for.h>

#include <algorithm>
#include <bit>
#include <limits>

#include "../snapshot/result.hpp"
#include "shape.hpp"

namespace cladomatic {
namespace {

constexpr std::uint32_t kNotAsked = 0xFFFFFFFFu;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;

// IEEE 754's total order (NaN last, -0 before +0) as unsigned keys: keys
// order as std::strong_order orders the doubles, and integers compare in one
// instruction.
std::uint64_t total_order_key(double x) {
  const auto bits = std::bit_cast<std::uint64_t>(x);
  return bits >> 63 ? ~bits : bits | kSignBit;
}

double from_total_order_key(std::uint64_t key) {
  return std::bit_cast<double>(key >> 63 ? key & ~kSignBit : ~key);
}

// The width of the interval in double arithmetic, as MrBayes takes it:
// 1 <= width <= m for every m >= 1.
std::size_t interval_width(std::size_t m) {
  return static_cast<std::size_t>(static_cast<double>(m) * 0.95 + 0.5);
}

// Puts in their sorted places the keys that spread_of reads: the lowest
// m - w, the highest m - w + 1 and the median; the rest stay unordered.
// Selection then sorting a tenth of the keys takes about a third of the time
// of sorting them all (20,000 lengths a split); few keys are sorted whole.
void order_ends(std::span<std::uint64_t> keys) {
  const std::size_t m = keys.size();
  if (m < 64) {
    std::ranges::sort(keys);
    return;
  }
  // From 64 keys on, the low tail [0, m - w), the middle [m - w, w - 1)
  // holding the median, and the high tail [w - 1, m) are disjoint.
  const auto low_end = keys.begin() + static_cast<std::ptrdiff_t>(m - interval_width(m));
  const auto high_begin = keys.begin() + static_cast<std::ptrdiff_t>(interval_width(m) - 1);
  std::ranges::nth_element(keys, low_end);
  std::ranges::sort(keys.begin(), low_end);
  std::ranges::nth_element(low_end, high_begin, keys.end());
  std::ranges::sort(high_begin, keys.end());
  std::ranges::nth_element(low_end, keys.begin() + static_cast<std::ptrdiff_t>(m / 2), high_begin);
}

// Median and interval of lengths ordered by order_ends, as SplitSummary
// defines them.
void spread_of(std::span<const double> ordered, double& median, double& low, double& high) {
  const std::size_t m = ordered.size();
  median = ordered[m / 2];
  const std::size_t width = interval_width(m);
  std::size_t start = 0;
  double narrowest = ordered[width - 1] - ordered[0];
  for (std::size_t i = 1; i + width < m; ++i) {
    if (ordered[i + width] - ordered[i] < narrowest) {
      narrowest = ordered[i + width] - ordered[i];
      start = i;
    }
  }
  low = ordered[start];
  high = ordered[start + width - 1];
}

}  // namespace

SplitSummary summarise_splits(std::span<const InternSnap> snaps, std::span<const std::uint32_t> freq,
                              std::span<const std::int32_t> groups, std::size_t n_groups,
                              std::span<const SplitId> ids, bool spread, RowCounter* trees_done) {
  if (groups.size() != snaps.size()) throw InvariantFailure("one group per tree");
  const std::size_t k = ids.size();
  std::vector<std::uint32_t> slot_of(freq.size(), kNotAsked);
  for (std::size_t i = 0; i < k; ++i) {
    if (ids[i] >= freq.size() || slot_of[ids[i]] != kNotAsked)
      throw InvariantFailure("split ids must be distinct ids of the set");
    slot_of[ids[i]] = static_cast<std::uint32_t>(i);
  }
  // Where each split's lengths go when the spread is asked for.
  std::vector<std::size_t> start(k + 1, 0);
  for (std::size_t i = 0; i < k; ++i) start[i + 1] = start[i] + (spread ? freq[ids[i]] : 0);
  std::vector<double> gathered(start[k]);
  std::vector<std::size_t> filled(start.begin(), start.end() - 1);

  SplitSummary summary;
  summary.counts.assign(n_groups * k, 0);
  std::vector<double> running_mean(k, 0.0);
  std::vector<std::uint64_t> held(k, 0);
  const bool lengths = !snaps.empty() && !snaps.front().lengths.empty();
  for (std::size_t t = 0; t < snaps.size(); ++t) {
    if (stop_requested()) return summary;
    const InternSnap& snap = snaps[t];
    const std::int32_t g = groups[t];
    if (g < 0 || static_cast<std::size_t>(g) >= n_groups) throw InvariantFailure("group out of range");
    const auto take = [&](std::size_t s, std::size_t p) {
      const std::uint32_t i = slot_of[s];
      if (i == kNotAsked) return;
      ++summary.counts[static_cast<std::size_t>(g) * k + i];
      ++held[i];
      if (!lengths) return;
      if (p >= snap.lengths.size()) throw InvariantFailure("a split without its length");
      // Updated as MrBayes updates it, not summed: the two differ in the
      // ninth digit MrBayes prints often enough to matter.
      running_mean[i] += (snap.lengths[p] - running_mean[i]) / static_cast<double>(held[i]);
      if (spread) {
        if (filled[i] == start[i + 1]) throw InvariantFailure("more holders than the split's count");
        gathered[filled[i]++] = snap.lengths[p];
      }
    };
    const std::size_t pendant = std::min<std::size_t>(snap.n_pendant, freq.size());
    for (std::size_t s = 0; s < pendant; ++s) take(s, s);
    for (std::size_t p = 0; p < snap.ids.size(); ++p) take(snap.ids[p], snap.n_pendant + p);
    count_rows(trees_done, 1);
  }

  summary.mean.assign(k, kNaN);
  for (std::size_t i = 0; i < k; ++i)
    if (lengths && held[i] > 0) summary.mean[i] = running_mean[i];
  if (!spread) return summary;
  summary.median.assign(k, kNaN);
  summary.hpd_low.assign(k, kNaN);
  summary.hpd_high.assign(k, kNaN);
  if (!lengths) {
    count_rows(trees_done, k);
    return summary;
  }
  for (std::size_t i = 0; i < k; ++i)
    if (filled[i] != start[i + 1]) throw InvariantFailure("fewer holders than the split's count");
  // One split per task: their lengths are ordered where they lie.
  tbb::parallel_for(std::size_t{0}, k, [&](std::size_t i) {
    if (stop_requested()) return;
    const std::span<double> own(gathered.data() + start[i], start[i + 1] - start[i]);
    if (!own.empty()) {
      // A total order, so that NaN lengths sort last instead of breaking the sort.
      std::vector<std::uint64_t> keys(own.size());
      std::ranges::transform(own, keys.begin(), total_order_key);
      order_ends(keys);
      std::ranges::transform(keys, own.begin(), from_total_order_key);
      spread_of(own, summary.median[i], summary.hpd_low[i], summary.hpd_high[i]);
    }
    count_rows(trees_done, 1);
  });
  return summary;
}

namespace {

// A tree's node heights, by its shape in preorder and its own lengths.
void node_heights(const InternSnap& snap, const Shape& shape, std::vector<double>& height) {
  const std::vector<double> lengths = node_lengths(snap, shape);
  const std::size_t nodes = shape.parent.size();
  height.assign(nodes, 0.0);  // depths first
  double deepest = 0.0;
  for (std::size_t v = 1; v < nodes; ++v) {
    height[v] = height[shape.parent[v]] + (lengths[v] > 0.0 ? lengths[v] : 0.0);
    if (shape.split[v] < snap.n_pendant) deepest = std::max(deepest, height[v]);
  }
  for (double& h : height) h = deepest - h;
}

}  // namespace

HeightSummary summarise_heights(std::span<const InternSnap> snaps, const CladeTable& clades,
                                std::uint32_t n_leaves, std::span<const std::uint32_t> freq,
                                std::span<const SplitId> ids, RowCounter* trees_done) {
  const std::size_t k = ids.size();
  std::vector<std::uint32_t> slot_of(freq.size(), kNotAsked);
  std::vector<std::size_t> start(k + 2, 0);
  for (std::size_t i = 0; i < k; ++i) {
    if (ids[i] >= freq.size() || slot_of[ids[i]] != kNotAsked)
      throw InvariantFailure("split ids must be distinct ids of the set");
    slot_of[ids[i]] = static_cast<std::uint32_t>(i);
    start[i + 1] = start[i] + freq[ids[i]];
  }
  start[k + 1] = start[k] + snaps.size();
  std::vector<double> gathered(start[k + 1]);
  std::vector<std::size_t> filled(start.begin(), start.end() - 1);
  std::vector<double> running_mean(k + 1, 0.0);
  std::vector<std::uint64_t> held(k + 1, 0);
  HeightSummary summary;
  const auto take = [&](std::size_t i, double value) {
    if (filled[i] == start[i + 1]) throw InvariantFailure("more holders than the split's count");
    ++held[i];
    running_mean[i] += (value - running_mean[i]) / static_cast<double>(held[i]);
    gathered[filled[i]++] = value;
  };
  std::vector<double> height;
  for (const InternSnap& snap : snaps) {
    if (stop_requested()) return summary;
    const Shape shape = shape_of(clades, snap.ids, n_leaves);
    node_heights(snap, shape, height);
    take(k, height[0]);
    for (std::size_t v = 1; v < height.size(); ++v) {
      const SplitId s = shape.split[v];
      if (s < slot_of.size() && slot_of[s] != kNotAsked) take(slot_of[s], height[v]);
    }
    count_rows(trees_done, 1);
  }
  summary.mean.assign(k + 1, kNaN);
  summary.median.assign(k + 1, kNaN);
  summary.low.assign(k + 1, kNaN);
  summary.high.assign(k + 1, kNaN);
  tbb::parallel_for(std::size_t{0}, k + 1, [&](std::size_t i) {
    if (stop_requested()) return;
    const std::span<double> own(gathered.data() + start[i], filled[i] - start[i]);
    if (own.empty()) return;
    summary.mean[i] = running_mean[i];
    std::vector<std::uint64_t> keys(own.size());
    std::ranges::transform(own, keys.begin(), total_order_key);
    order_ends(keys);
    std::ranges::transform(keys, own.begin(), from_total_order_key);
    spread_of(own, summary.median[i], summary.low[i], summary.high[i]);
  });
  return summary;
}

}  // namespace cladomatic
