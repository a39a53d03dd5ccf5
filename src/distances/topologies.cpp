#include "topologies.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <unordered_map>

#include "matrix.hpp"

namespace cladomatic {
namespace {

constexpr std::uint32_t kNoGroup = 0xFFFFFFFFu;

std::uint64_t mix(std::uint64_t x) noexcept {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// Independent of the order in which a tree lists its splits.
std::uint64_t topology_hash(const InternSnap& snap) noexcept {
  std::uint64_t sum = mix(snap.ids.size()) ^ mix(~std::uint64_t{snap.n_pendant});
  for (SplitId s : snap.ids) sum += mix(s);
  return sum;
}

std::vector<SplitId> sorted_ids(const InternSnap& snap) {
  std::vector<SplitId> ids = snap.ids;
  std::sort(ids.begin(), ids.end());
  return ids;
}

// Rows [0, k) of an n-row triangle hold this share of `pairs_left`: credits
// of rows finishing in any order add up to exactly `pairs_left`.
std::uint64_t credited(std::size_t n, std::size_t k, std::uint64_t pairs_left) noexcept {
  const std::uint64_t all = pairs_in_rows(n, 0, n);
  if (all == 0) return 0;
  const auto share = static_cast<unsigned __int128>(pairs_left) * pairs_in_rows(n, 0, k) / all;
  return static_cast<std::uint64_t>(share);
}

// `trees` cut down to one per group: `kept` the groups' first trees in order
// of first appearance, `at` each tree's place among them.
void keep_first_of_groups(const Topologies& topologies, std::span<const std::uint32_t> trees,
                          std::vector<std::uint32_t>& kept, std::vector<std::uint32_t>& at) {
  const std::size_t n = topologies.group_of.size();
  std::vector<std::uint32_t> slot(topologies.first.size(), kNoGroup);
  at.reserve(trees.size());
  for (std::uint32_t t : trees) {
    if (t >= n) throw InvariantFailure("block tree out of range");
    const std::uint32_t g = topologies.group_of[t];
    if (slot[g] == kNoGroup) {
      slot[g] = static_cast<std::uint32_t>(kept.size());
      kept.push_back(topologies.first[g]);
    }
    at.push_back(slot[g]);
  }
}

}  // namespace

Topologies distinct_topologies(std::span<const InternSnap> snaps) {
  const std::size_t n = snaps.size();
  std::vector<std::uint64_t> hashes(n);
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, 256),
                    [&](const tbb::blocked_range<std::size_t>& r) {
                      for (std::size_t t = r.begin(); t != r.end(); ++t) hashes[t] = topology_hash(snaps[t]);
                    });
  Topologies topologies;
  topologies.group_of.resize(n);
  // Groups with one hash are chained from the last one made; a group's
  // sorted ids are made only once a later tree meets its hash, so a set
  // without repeats sorts nothing.
  std::unordered_map<std::uint64_t, std::uint32_t> last_with_hash;
  std::vector<std::uint32_t> previous_with_hash;
  std::vector<std::vector<SplitId>> sorted;
  for (std::size_t t = 0; t < n; ++t) {
    const auto [slot, fresh] = last_with_hash.try_emplace(hashes[t], kNoGroup);
    std::uint32_t found = kNoGroup;
    if (!fresh) {
      const std::vector<SplitId> mine = sorted_ids(snaps[t]);
      for (std::uint32_t g = slot->second; g != kNoGroup; g = previous_with_hash[g]) {
        const InternSnap& rep = snaps[topologies.first[g]];
        if (rep.n_pendant != snaps[t].n_pendant) continue;
        if (sorted[g].empty() && !rep.ids.empty()) sorted[g] = sorted_ids(rep);
        if (sorted[g] == mine) {
          found = g;
          break;
        }
      }
    }
    if (found == kNoGroup) {
      found = static_cast<std::uint32_t>(topologies.first.size());
      topologies.first.push_back(static_cast<std::uint32_t>(t));
      previous_with_hash.push_back(slot->second);
      sorted.emplace_back();
      slot->second = found;
    }
    topologies.group_of[t] = found;
  }
  return topologies;
}

DistinctBlock distinct_block(const Topologies& row_groups, std::span<const std::uint32_t> rows,
                             const Topologies& col_groups, std::span<const std::uint32_t> cols) {
  DistinctBlock block;
  keep_first_of_groups(row_groups, rows, block.rows, block.row_at);
  keep_first_of_groups(col_groups, cols, block.cols, block.col_at);
  return block;
}

void expand_topologies(std::span<const std::uint32_t> groups_matrix, const Topologies& topologies,
                       std::atomic<std::uint64_t>* progress, std::uint64_t pairs_left,
                       std::span<std::byte> out) {
  const std::size_t n = topologies.group_of.size();
  const std::size_t m = topologies.first.size();
  require_matrix_bytes<std::uint32_t>(out, n);
  if (groups_matrix.size() != m * m) throw InvariantFailure("group matrix does not hold m * m cells");
  const std::uint32_t* group_of = topologies.group_of.data();
  // A band of rows per task: every row costs the same, and a band keeps the
  // progress adds few.
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, 16), [&](const tbb::blocked_range<std::size_t>& r) {
    for (std::size_t i = r.begin(); i != r.end(); ++i) {
      const std::uint32_t* source = groups_matrix.data() + std::size_t{group_of[i]} * m;
      std::byte* row = out.data() + i * n * sizeof(std::uint32_t);
      for (std::size_t j = 0; j < n; ++j)
        store_cell<std::uint32_t>(row + j * sizeof(std::uint32_t), source[group_of[j]]);
    }
    if (progress != nullptr) {
      progress->fetch_add(credited(n, r.end(), pairs_left) - credited(n, r.begin(), pairs_left),
                          std::memory_order_relaxed);
    }
  });
}

}  // namespace cladomatic
