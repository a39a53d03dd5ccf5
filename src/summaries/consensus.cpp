#include "consensus.hpp"

#include <algorithm>
#include <numeric>

#include "../primitives/row_progress.hpp"
#include "../snapshot/result.hpp"

namespace cladomatic {
namespace {

// A canonical side as a bit row over the leaves, padding bits 0.
void fill_row(std::span<const LeafId> leaves, std::span<std::uint64_t> row) noexcept {
  std::fill(row.begin(), row.end(), 0);
  for (LeafId leaf : leaves) row[leaf / 64] |= std::uint64_t{1} << (leaf % 64);
}

// Disjoint or nested.
bool compatible(std::span<const std::uint64_t> a, std::span<const std::uint64_t> b) noexcept {
  bool meet = false;
  bool a_in_b = true;
  bool b_in_a = true;
  for (std::size_t w = 0; w < a.size(); ++w) {
    meet |= (a[w] & b[w]) != 0;
    a_in_b &= (a[w] & ~b[w]) == 0;
    b_in_a &= (b[w] & ~a[w]) == 0;
  }
  return !meet || a_in_b || b_in_a;
}

}  // namespace

std::vector<std::uint32_t> first_holders(std::span<const InternSnap> snaps, std::size_t n_ids) {
  constexpr std::uint32_t kUnseen = 0xFFFFFFFFu;
  std::vector<std::uint32_t> first(n_ids, kUnseen);
  for (std::size_t t = 0; t < snaps.size(); ++t) {
    if (stop_requested()) break;
    for (SplitId s : snaps[t].ids) {
      if (s >= n_ids) throw InvariantFailure("split id outside the set");
      if (first[s] == kUnseen) first[s] = static_cast<std::uint32_t>(t);
    }
  }
  // Pendant ids are listed by no tree and held by all.
  for (std::uint32_t& f : first)
    if (f == kUnseen) f = 0;
  return first;
}

std::vector<SplitId> majority_splits(std::span<const std::uint32_t> freq, std::uint32_t n_pendant,
                                     std::uint32_t min_count) {
  std::vector<SplitId> kept;
  for (std::size_t s = n_pendant; s < freq.size(); ++s)
    if (freq[s] >= min_count) kept.push_back(static_cast<SplitId>(s));
  return kept;
}

std::vector<SplitId> greedy_splits(const CladeTable& clades, std::span<const std::uint32_t> freq,
                                   std::span<const std::uint32_t> first_holder, std::uint32_t n_leaves,
                                   bool rooted) {
  if (clades.rows() != freq.size() || first_holder.size() != freq.size() || freq.size() < n_leaves)
    throw InvariantFailure("a clade row, a count and a first holder per split");
  std::vector<SplitId> order(freq.size() - n_leaves);
  std::iota(order.begin(), order.end(), n_leaves);
  // Ids break the remaining ties only between splits first held by one
  // tree, which are compatible with each other: the result does not depend
  // on their order.
  std::sort(order.begin(), order.end(), [&](SplitId a, SplitId b) {
    if (freq[a] != freq[b]) return freq[a] > freq[b];
    if (first_holder[a] != first_holder[b]) return first_holder[a] < first_holder[b];
    return a < b;
  });
  // A resolved tree holds n - 2 clades or n - 3 bipartitions besides its
  // pendant edges; nothing is compatible with it beyond those.
  const std::size_t resolved = n_leaves < 3 ? 0 : n_leaves - (rooted ? 2 : 3);
  const std::size_t words = (std::size_t{n_leaves} + 63) / 64;
  std::vector<std::uint64_t> kept_rows;
  std::vector<std::uint64_t> row(words);
  std::vector<SplitId> kept;
  for (SplitId s : order) {
    if (kept.size() >= resolved || stop_requested()) break;
    fill_row(clades.row(s), row);
    bool fits = true;
    for (std::size_t k = 0; fits && k < kept.size(); ++k)
      fits = compatible(row, std::span<const std::uint64_t>(kept_rows.data() + k * words, words));
    if (!fits) continue;
    kept.push_back(s);
    kept_rows.insert(kept_rows.end(), row.begin(), row.end());
  }
  std::sort(kept.begin(), kept.end());
  return kept;
}

}  // namespace cladomatic
