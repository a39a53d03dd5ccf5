#include "restrict.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "result.hpp"

namespace cladomatic {
namespace {

constexpr LeafId kDropped = std::numeric_limits<LeafId>::max();

// What a split of the whole set becomes on the kept leaves.
struct Target {
  enum Kind : std::uint8_t { kGone, kPendant, kSplit };
  Kind kind = kGone;
  std::uint32_t id = 0;  // the leaf of a pendant edge, else the split's id
};

// `side` (ascending kept indices) made canonical among n kept leaves: rooted
// it is the clade, unrooted the side without leaf 0.
Target target_of(std::vector<LeafId>& side, std::uint32_t n, bool rooted) {
  if (!rooted && !side.empty() && side.front() == 0) side = complement(side, n);
  const std::size_t size = side.size();
  if (size == 0 || size == n) return {};
  if (size == 1) return {Target::kPendant, side.front()};
  // Unrooted, a side of all leaves but leaf 0 is leaf 0's pendant edge.
  if (!rooted && size == n - 1) return {Target::kPendant, 0};
  return {Target::kSplit, 0};
}

}  // namespace

Snapshots restricted(const Snapshots& set, std::span<const LeafId> keep, bool rooted, bool lengths) {
  const auto n_old = static_cast<std::uint32_t>(set.leaf_names.size());
  const auto n = static_cast<std::uint32_t>(keep.size());
  if (n == 0 || set.clades.rows() < n_old)
    throw InvariantFailure("a restriction keeps leaves of a set of clades");
  std::vector<LeafId> kept_as(n_old, kDropped);
  for (LeafId k = 0; k < n; ++k) {
    if (keep[k] >= n_old || (k > 0 && keep[k] <= keep[k - 1]))
      throw InvariantFailure("kept leaves ascending and in range");
    kept_as[keep[k]] = k;
  }

  Snapshots out;
  out.clades = CladeTable::singletons(n);
  std::vector<Target> targets(set.clades.rows());
  std::unordered_map<std::string, std::uint32_t> ids;
  std::vector<LeafId> side;
  for (std::size_t r = n_old; r < set.clades.rows(); ++r) {
    side.clear();
    for (LeafId leaf : set.clades.row(r))
      if (kept_as[leaf] != kDropped) side.push_back(kept_as[leaf]);
    Target target = target_of(side, n, rooted);
    if (target.kind == Target::kSplit) {
      std::string bytes(reinterpret_cast<const char*>(side.data()), side.size() * sizeof(LeafId));
      auto [at, added] = ids.try_emplace(std::move(bytes), static_cast<std::uint32_t>(out.clades.rows()));
      if (added) out.clades.push(side);
      target.id = at->second;
    }
    targets[r] = target;
  }

  out.snaps.resize(set.snaps.size());
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, set.snaps.size()),
                    [&](const tbb::blocked_range<std::size_t>& range) {
                      std::vector<std::pair<SplitId, double>> entries;
                      for (std::size_t t = range.begin(); t != range.end(); ++t) {
                        const InternSnap& snap = set.snaps[t];
                        InternSnap& pruned = out.snaps[t];
                        pruned.n_pendant = n;
                        if (lengths) {
                          pruned.lengths.resize(n);
                          for (LeafId k = 0; k < n; ++k) pruned.lengths[k] = snap.lengths[keep[k]];
                        }
                        entries.clear();
                        for (std::size_t p = 0; p < snap.ids.size(); ++p) {
                          const Target& target = targets[snap.ids[p]];
                          const double length = lengths ? snap.lengths[snap.n_pendant + p] : 0.0;
                          if (target.kind == Target::kPendant && lengths) pruned.lengths[target.id] += length;
                          if (target.kind == Target::kSplit) entries.emplace_back(target.id, length);
                        }
                        // Stable, so a chain's lengths are summed in the tree's split order.
                        std::stable_sort(entries.begin(), entries.end(),
                                         [](const auto& a, const auto& b) { return a.first < b.first; });
                        for (std::size_t e = 0; e < entries.size(); ++e) {
                          if (e > 0 && entries[e].first == entries[e - 1].first) {
                            if (lengths) pruned.lengths.back() += entries[e].second;
                            continue;
                          }
                          pruned.ids.push_back(entries[e].first);
                          if (lengths) pruned.lengths.push_back(entries[e].second);
                        }
                      }
                    });

  out.freq.assign(out.clades.rows(), 0);
  std::fill_n(out.freq.begin(), n, static_cast<std::uint32_t>(set.snaps.size()));
  for (const InternSnap& snap : out.snaps)
    for (SplitId id : snap.ids) ++out.freq[id];
  out.leaf_names.reserve(n);
  for (LeafId leaf : keep) out.leaf_names.push_back(set.leaf_names[leaf]);
  out.row_words = (std::size_t{n} + 63) / 64;
  return out;
}

}  // namespace cladomatic
