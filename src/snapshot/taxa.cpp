#include "taxa.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <bit>
#include <numeric>

#include "result.hpp"

namespace cladomatic {
namespace {

// The leaves whose bits are set.
std::vector<LeafId> leaves_of(std::span<const std::uint64_t> words) {
  std::vector<LeafId> leaves;
  for (std::size_t w = 0; w < words.size(); ++w) {
    for (std::uint64_t bits = words[w]; bits != 0; bits &= bits - 1)
      leaves.push_back(static_cast<LeafId>(64 * w + std::countr_zero(bits)));
  }
  return leaves;
}

}  // namespace

std::vector<LeafId> TaxonIndex::add(std::span<const std::string> names) {
  std::vector<LeafId> leaves;
  leaves.reserve(names.size());
  for (const std::string& name : names) {
    auto [at, added] = index_.try_emplace(name, static_cast<LeafId>(names_.size()));
    if (added) names_.push_back(name);
    leaves.push_back(at->second);
  }
  return leaves;
}

Snapshots sort_taxa(Snapshots&& set, const CladeTable& tree_taxa, bool rooted) {
  const auto n = static_cast<std::uint32_t>(set.leaf_names.size());
  const std::size_t n_trees = set.snaps.size();
  if (tree_taxa.rows() != n_trees || set.clades.rows() < n) throw InvariantFailure("taxa for every tree");
  std::vector<LeafId> by_name(n);
  std::iota(by_name.begin(), by_name.end(), 0u);
  std::sort(by_name.begin(), by_name.end(),
            [&](LeafId a, LeafId b) { return set.leaf_names[a] < set.leaf_names[b]; });
  std::vector<LeafId> renumbered(n);
  std::vector<std::string> names(n);
  for (LeafId rank = 0; rank < n; ++rank) {
    renumbered[by_name[rank]] = rank;
    names[rank] = std::move(set.leaf_names[by_name[rank]]);
  }
  set.leaf_names = std::move(names);
  bool uniform = true;
  for (std::size_t t = 0; t < n_trees; ++t) uniform = uniform && tree_taxa.row(t).size() == n;

  CladeTable clades = CladeTable::singletons(n);
  std::vector<LeafId> row;
  for (std::size_t r = n; r < set.clades.rows(); ++r) {
    row.clear();
    for (LeafId leaf : set.clades.row(r)) row.push_back(renumbered[leaf]);
    std::sort(row.begin(), row.end());
    if (uniform && !rooted && row.front() == 0) row = complement(row, n);
    clades.push(row);
  }
  set.clades = std::move(clades);

  set.row_words = (std::size_t{n} + 63) / 64;
  std::fill_n(set.freq.begin(), n, 0u);
  if (!uniform) set.taxa.assign(n_trees * set.row_words, 0);
  for (std::size_t t = 0; t < n_trees; ++t) {
    for (LeafId leaf : tree_taxa.row(t)) {
      const LeafId sorted = renumbered[leaf];
      ++set.freq[sorted];
      if (!uniform) set.taxa[t * set.row_words + sorted / 64] |= std::uint64_t{1} << (sorted % 64);
    }
  }
  tbb::parallel_for(
      tbb::blocked_range<std::size_t>(0, n_trees), [&](const tbb::blocked_range<std::size_t>& r) {
        for (std::size_t t = r.begin(); t != r.end(); ++t) {
          InternSnap& snap = set.snaps[t];
          if (!snap.lengths.empty()) {
            std::vector<double> lengths(n + snap.ids.size(), 0.0);
            for (LeafId leaf = 0; leaf < snap.n_pendant; ++leaf)
              lengths[renumbered[leaf]] = snap.lengths[leaf];
            std::copy(snap.lengths.begin() + snap.n_pendant, snap.lengths.end(), lengths.begin() + n);
            snap.lengths = std::move(lengths);
          }
          snap.n_pendant = n;
        }
      });
  return std::move(set);
}

std::vector<LeafId> taxa_of(const Snapshots& set, std::size_t t) {
  if (set.taxa.empty()) {
    std::vector<LeafId> leaves(set.leaf_names.size());
    std::iota(leaves.begin(), leaves.end(), 0u);
    return leaves;
  }
  return leaves_of(std::span(set.taxa).subspan(t * set.row_words, set.row_words));
}

std::vector<LeafId> common_taxa(const Snapshots& set) {
  if (set.taxa.empty() || set.snaps.empty()) return taxa_of(set, 0);
  std::vector<std::uint64_t> all(set.taxa.begin(), set.taxa.begin() + set.row_words);
  for (std::size_t t = 1; t < set.snaps.size(); ++t) {
    for (std::size_t w = 0; w < set.row_words; ++w) all[w] &= set.taxa[t * set.row_words + w];
  }
  return leaves_of(all);
}

}  // namespace cladomatic
