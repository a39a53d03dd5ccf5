#include "pruned.hpp"

#include <tbb/blocked_range.h>
#include <tbb/blocked_range2d.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string_view>
#include <unordered_map>

#include "../primitives/cpu.hpp"
#include "../snapshot/result.hpp"

namespace cladomatic {
namespace {

// The taxa a pair shares: their bits, which are zero outside words
// [lo, hi), and the first of them.  Restricted sides are kept as those words
// alone.
struct Shared {
  std::vector<std::uint64_t> bits;
  std::size_t lo = 0;
  std::size_t width = 0;  // hi - lo
  std::uint32_t count = 0;
  std::uint32_t first = 0;
};

[[gnu::always_inline]] inline void share(const PrunedLayout& a, std::size_t i, const PrunedLayout& b,
                                         std::size_t j, Shared& shared) {
  const std::uint64_t* x = a.taxa.data() + i * a.words;
  const std::uint64_t* y = b.taxa.data() + j * b.words;
  shared.bits.resize(a.words);
  shared.count = 0;
  std::size_t lo = a.words;
  std::size_t hi = 0;
  for (std::size_t w = 0; w < a.words; ++w) {
    const std::uint64_t both = x[w] & y[w];
    shared.bits[w] = both;
    if (both == 0) continue;
    shared.count += static_cast<std::uint32_t>(std::popcount(both));
    if (lo == a.words) {
      lo = w;
      shared.first = static_cast<std::uint32_t>(64 * w + std::countr_zero(both));
    }
    hi = w + 1;
  }
  shared.lo = lo == a.words ? 0 : lo;
  shared.width = hi - shared.lo;
}

std::uint32_t shared_count(const PrunedLayout& a, std::size_t i, const PrunedLayout& b, std::size_t j) {
  const std::uint64_t* x = a.taxa.data() + i * a.words;
  const std::uint64_t* y = b.taxa.data() + j * b.words;
  std::uint32_t count = 0;
  for (std::size_t w = 0; w < a.words; ++w) count += static_cast<std::uint32_t>(std::popcount(x[w] & y[w]));
  return count;
}

// What a stored side becomes in a pair.
enum class Role { kNone, kPendant, kSplit };

// Restricts `side` to the shared taxa into key[0, width) (words lo.. of the
// side), made canonical, and says what it is: a split of `size` taxa, or
// the pendant edge of `leaf`.
[[gnu::always_inline]] inline Role restrict_side(const std::uint64_t* __restrict side, const Shared& shared,
                                                 bool rooted, std::uint64_t* __restrict key,
                                                 std::uint32_t& size, std::uint32_t& leaf) {
  const std::uint64_t* __restrict bits = shared.bits.data() + shared.lo;
  const std::size_t width = shared.width;
  side += shared.lo;
  std::uint32_t count = 0;
  for (std::size_t w = 0; w < width; ++w) {
    key[w] = side[w] & bits[w];
    count += static_cast<std::uint32_t>(std::popcount(key[w]));
  }
  const std::uint32_t n = shared.count;
  const std::size_t first_word = shared.first / 64 - shared.lo;
  if (!rooted && (key[first_word] >> (shared.first % 64) & 1) != 0) {
    for (std::size_t w = 0; w < width; ++w) key[w] ^= bits[w];
    count = n - count;
  }
  if (count >= 2 && (rooted ? count < n : count < n - 1)) {
    size = count;
    return Role::kSplit;
  }
  if (count == 0 || count == n) return Role::kNone;
  if (count == 1) {
    for (std::size_t w = 0; w < width; ++w) {
      if (key[w] != 0) leaf = static_cast<std::uint32_t>(64 * (shared.lo + w) + std::countr_zero(key[w]));
    }
    return Role::kPendant;
  }
  // Unrooted, a side of all but the first taxon is that taxon's pendant edge.
  leaf = shared.first;
  return Role::kPendant;
}

// The splits of one pair, both trees', each held once with its summed length
// per tree; open addressing over entry numbers, entries in insertion order.
class PairSplits {
 public:
  struct Entry {
    double length[2] = {0.0, 0.0};
    std::uint32_t size = 0;
    std::uint8_t held = 0;  // bit t: tree t of the pair holds it
  };

  explicit PairSplits(std::size_t words) : words_(words) {}

  // Empties the table for a pair of at most `most` splits.
  void reset(std::size_t most) {
    for (const std::uint32_t slot : used_) slots_[slot] = 0;
    used_.clear();
    entries_.clear();
    const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(4 * most, 16));
    if (capacity > slots_.size()) {
      slots_.assign(capacity, 0);
      keys_.resize(capacity / 2 * words_);
    }
  }

  [[gnu::always_inline]] void add(const std::uint64_t* key, const Shared& shared, std::uint32_t size,
                                  unsigned tree, double length) {
    // Products of the words are independent of each other, so they overlap.
    const std::size_t width = shared.width;
    std::uint64_t hash = 0;
    for (std::size_t w = 0; w < width; ++w) hash += (key[w] ^ w) * 0xff51afd7ed558ccdull;
    hash ^= hash >> 29;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
      const std::uint32_t slot = slots_[at];
      if (slot == 0) {
        const std::size_t e = entries_.size();
        std::copy(key, key + width, keys_.data() + e * width);
        entries_.push_back(Entry{{0.0, 0.0}, size, 0});
        slots_[at] = static_cast<std::uint32_t>(e + 1);
        used_.push_back(static_cast<std::uint32_t>(at));
        hold(entries_.back(), tree, length);
        return;
      }
      const std::uint64_t* known = keys_.data() + (slot - 1) * width;
      if (std::equal(key, key + width, known)) {
        hold(entries_[slot - 1], tree, length);
        return;
      }
    }
  }

  std::span<const Entry> entries() const noexcept { return entries_; }

 private:
  static void hold(Entry& entry, unsigned tree, double length) noexcept {
    entry.length[tree] += length;
    entry.held |= static_cast<std::uint8_t>(1u << tree);
  }

  std::size_t words_;
  std::vector<std::uint32_t> slots_;  // entry number + 1, 0 when free
  std::vector<std::uint32_t> used_;   // slots taken, to free them
  std::vector<std::uint64_t> keys_;   // `words_` per entry
  std::vector<Entry> entries_;
};

// What one task keeps from pair to pair.
struct Scratch {
  explicit Scratch(std::size_t words, std::size_t universe, bool weighted)
      : splits(words),
        key(words),
        pendant{std::vector<double>(weighted ? universe : 0), std::vector<double>(weighted ? universe : 0)} {}
  Shared shared;
  PairSplits splits;
  std::vector<std::uint64_t> key;
  std::vector<double> pendant[2];  // per tree of the pair, by leaf; zero between pairs
};

bool weighted_metric(PairMetric metric) noexcept {
  return metric == PairMetric::kWrf || metric == PairMetric::kKf;
}

// Tree t's own pendant lengths of the shared taxa, in leaf order.
[[gnu::always_inline]] inline void add_own_pendants(const PrunedLayout& layout, std::size_t t,
                                                    const Shared& shared, std::vector<double>& to) {
  const std::uint64_t* taxa = layout.taxa.data() + t * layout.words;
  const double* lengths = layout.pendants.data() + layout.pendant_offsets[t];
  std::size_t rank = 0;
  for (std::size_t w = 0; w < layout.words; ++w) {
    for (std::uint64_t bits = taxa[w]; bits != 0; bits &= bits - 1, ++rank) {
      const int bit = std::countr_zero(bits);
      if ((shared.bits[w] >> bit & 1) != 0) to[64 * w + static_cast<std::size_t>(bit)] += lengths[rank];
    }
  }
}

[[gnu::always_inline]] inline void add_tree(const PrunedContext& context, const PrunedLayout& layout,
                                            std::size_t t, unsigned tree, Scratch& scratch) {
  const bool weighted = weighted_metric(context.metric);
  if (weighted) add_own_pendants(layout, t, scratch.shared, scratch.pendant[tree]);
  for (std::uint64_t e = layout.offsets[t]; e < layout.offsets[t + 1]; ++e) {
    std::uint32_t size = 0;
    std::uint32_t leaf = 0;
    const Role role = restrict_side(layout.sides.data() + e * layout.words, scratch.shared, context.rooted,
                                    scratch.key.data(), size, leaf);
    const double length = weighted ? layout.lengths[e] : 0.0;
    if (role == Role::kSplit) scratch.splits.add(scratch.key.data(), scratch.shared, size, tree, length);
    if (role == Role::kPendant && weighted) scratch.pendant[tree][leaf] += length;
  }
}

// The distance of one pair, (a, i) taken first.
[[gnu::always_inline]] inline double pair_distance(const PrunedContext& context, const PrunedLayout& a,
                                                   std::size_t i, const PrunedLayout& b, std::size_t j,
                                                   Scratch& scratch) {
  share(a, i, b, j, scratch.shared);
  const Shared& shared = scratch.shared;
  if (shared.count < fewest_shared_taxa(context.rooted)) return std::numeric_limits<double>::quiet_NaN();
  scratch.splits.reset((a.offsets[i + 1] - a.offsets[i]) + (b.offsets[j + 1] - b.offsets[j]));
  add_tree(context, a, i, 0, scratch);
  add_tree(context, b, j, 1, scratch);
  const std::span<const PairSplits::Entry> entries = scratch.splits.entries();
  switch (context.metric) {
    case PairMetric::kRf:
    case PairMetric::kRfNorm: {
      std::uint64_t only = 0;
      std::uint64_t held = 0;
      for (const PairSplits::Entry& entry : entries) {
        only += entry.held != 3;
        held += entry.held == 3 ? 2 : 1;
      }
      if (context.metric == PairMetric::kRf) return double(only);
      return held == 0 ? 0.0 : double(only) / double(held);
    }
    case PairMetric::kInfoRf: {
      double sum = 0.0;
      for (const PairSplits::Entry& entry : entries)
        if (entry.held != 3) sum += information_bits(context.table, entry.size, shared.count);
      return sum;
    }
    case PairMetric::kWrf:
    case PairMetric::kKf: {
      const bool kf = context.metric == PairMetric::kKf;
      const auto term = [kf](double x, double y) { return kf ? (x - y) * (x - y) : std::fabs(x - y); };
      double sum = 0.0;
      for (const PairSplits::Entry& entry : entries) sum += term(entry.length[0], entry.length[1]);
      std::vector<double>& first = scratch.pendant[0];
      std::vector<double>& second = scratch.pendant[1];
      for (std::size_t w = shared.lo; w < shared.lo + shared.width; ++w) {
        for (std::uint64_t bits = shared.bits[w]; bits != 0; bits &= bits - 1) {
          const std::size_t leaf = 64 * w + static_cast<std::size_t>(std::countr_zero(bits));
          sum += term(first[leaf], second[leaf]);
          first[leaf] = 0.0;
          second[leaf] = 0.0;
        }
      }
      return kf ? std::sqrt(sum) : sum;
    }
  }
  throw InvariantFailure("unknown pair metric");
}

void check_block(const PrunedLayout& a, const PrunedLayout& b, Block block) {
  if (a.words != b.words) throw InvariantFailure("pruned layouts over different universes");
  for (std::uint32_t t : block.rows)
    if (t >= a.size()) throw InvariantFailure("tree index out of range");
  for (std::uint32_t t : block.cols)
    if (t >= b.size()) throw InvariantFailure("tree index out of range");
}

}  // namespace

PrunedLayout lay_out_pruned(const Snapshots& set, bool lengths, std::span<const LeafId> universe_of,
                            std::uint32_t universe) {
  const std::size_t n = set.snaps.size();
  const auto n_leaves = static_cast<std::uint32_t>(set.leaf_names.size());
  if (universe_of.size() != n_leaves || set.clades.rows() < n_leaves)
    throw InvariantFailure("a pruned layout needs clade rows and every leaf's place");
  PrunedLayout layout;
  layout.words = (std::size_t{universe} + 63) / 64;
  const std::size_t words = layout.words;
  const auto set_bit = [](std::uint64_t* row, LeafId leaf) {
    row[leaf / 64] |= std::uint64_t{1} << (leaf % 64);
  };
  layout.taxa.assign(n * words, 0);
  layout.offsets.assign(n + 1, 0);
  layout.pendant_offsets.assign(n + 1, 0);
  for (std::size_t t = 0; t < n; ++t) {
    std::uint64_t* taxa = layout.taxa.data() + t * words;
    std::uint32_t held = 0;
    for (LeafId leaf = 0; leaf < n_leaves; ++leaf) {
      if (!set.taxa.empty() && (set.taxa[t * set.row_words + leaf / 64] >> (leaf % 64) & 1) == 0) continue;
      set_bit(taxa, universe_of[leaf]);
      ++held;
    }
    layout.offsets[t + 1] = layout.offsets[t] + set.snaps[t].ids.size();
    layout.pendant_offsets[t + 1] = layout.pendant_offsets[t] + (lengths ? held : 0);
  }
  std::unordered_map<std::string_view, std::uint32_t> sets;
  layout.taxon_set.resize(n);
  for (std::size_t t = 0; t < n; ++t) {
    const std::string_view taxa(reinterpret_cast<const char*>(layout.taxa.data() + t * words), words * 8);
    layout.taxon_set[t] = sets.try_emplace(taxa, static_cast<std::uint32_t>(sets.size())).first->second;
  }
  layout.sides.assign(layout.offsets.back() * words, 0);
  if (lengths) {
    layout.lengths.resize(layout.offsets.back());
    layout.pendants.resize(layout.pendant_offsets.back());
  }
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n), [&](const tbb::blocked_range<std::size_t>& r) {
    for (std::size_t t = r.begin(); t != r.end(); ++t) {
      const InternSnap& snap = set.snaps[t];
      for (std::size_t p = 0; p < snap.ids.size(); ++p) {
        std::uint64_t* side = layout.sides.data() + (layout.offsets[t] + p) * words;
        for (LeafId leaf : set.clades.row(snap.ids[p])) set_bit(side, universe_of[leaf]);
        if (lengths) layout.lengths[layout.offsets[t] + p] = snap.lengths[snap.n_pendant + p];
      }
      if (!lengths) continue;
      std::uint64_t k = layout.pendant_offsets[t];
      for (LeafId leaf = 0; leaf < n_leaves; ++leaf) {
        if (set.taxa.empty() || (set.taxa[t * set.row_words + leaf / 64] >> (leaf % 64) & 1) != 0)
          layout.pendants[k++] = snap.lengths[leaf];
      }
    }
  });
  return layout;
}

namespace {

// Whether trees i and j of one set hold the same taxa and the metric can
// compare them by their split ids.  Only counts qualify: they come out the
// same either way, where sums of lengths in another order would not, and
// the sets compared by `against` have ids of their own.
bool same_taxa(const PrunedContext& context, const PrunedLayout& layout, std::uint32_t i, std::uint32_t j) {
  return context.lists != nullptr &&
         (context.metric == PairMetric::kRf || context.metric == PairMetric::kRfNorm) &&
         layout.taxon_set[i] == layout.taxon_set[j];
}

// Cells of rows [r0, r1) and columns [c0, c1) of the block, on one task.
[[gnu::always_inline]] inline void fill_cells(const PrunedContext& context, const PrunedLayout& a,
                                              const PrunedLayout& b, Block block,
                                              const tbb::blocked_range2d<std::size_t>& range, double* out) {
  Scratch scratch(a.words, 64 * a.words, weighted_metric(context.metric));
  for (std::size_t r = range.rows().begin(); r != range.rows().end(); ++r) {
    for (std::size_t c = range.cols().begin(); c != range.cols().end(); ++c) {
      const std::uint32_t i = block.rows[r];
      const std::uint32_t j = block.cols[c];
      double& cell = out[r * block.cols.size() + c];
      if (context.same_set && i == j) {
        cell = shared_count(a, i, a, i) < fewest_shared_taxa(context.rooted)
                   ? std::numeric_limits<double>::quiet_NaN()
                   : 0.0;
      } else if (same_taxa(context, a, i, j)) {
        cell = shared_count(a, i, a, j) < fewest_shared_taxa(context.rooted)
                   ? std::numeric_limits<double>::quiet_NaN()
                   : merged_pair(PairContext{context.metric, context.n_pendant, {}}, *context.lists,
                                 std::min(i, j), *context.lists, std::max(i, j));
      } else if (context.same_set && j < i) {
        cell = pair_distance(context, b, j, a, i, scratch);
      } else {
        cell = pair_distance(context, a, i, b, j, scratch);
      }
    }
  }
}

using FillCells = void (*)(const PrunedContext&, const PrunedLayout&, const PrunedLayout&, Block,
                           const tbb::blocked_range2d<std::size_t>&, double*);

void fill_cells_baseline(const PrunedContext& context, const PrunedLayout& a, const PrunedLayout& b,
                         Block block, const tbb::blocked_range2d<std::size_t>& range, double* out) {
  fill_cells(context, a, b, block, range, out);
}

#if CLADOMATIC_X86_KERNELS
// The baseline instruction set counts bits through a library call per word.
[[gnu::target("popcnt")]] void fill_cells_popcnt(const PrunedContext& context, const PrunedLayout& a,
                                                 const PrunedLayout& b, Block block,
                                                 const tbb::blocked_range2d<std::size_t>& range,
                                                 double* out) {
  fill_cells(context, a, b, block, range, out);
}
#endif

}  // namespace

void pruned_block(const PrunedContext& context, const PrunedLayout& a, const PrunedLayout& b, Block block,
                  double* out) {
  check_block(a, b, block);
  if (weighted_metric(context.metric) &&
      (a.lengths.size() != a.offsets.back() || b.lengths.size() != b.offsets.back()))
    throw InvariantFailure("pruned layouts without their lengths");
  FillCells fill = fill_cells_baseline;
#if CLADOMATIC_X86_KERNELS
  if (cpu_features().popcnt) fill = fill_cells_popcnt;
#endif
  tbb::parallel_for(
      tbb::blocked_range2d<std::size_t>(0, block.rows.size(), 0, block.cols.size()),
      [&](const tbb::blocked_range2d<std::size_t>& range) { fill(context, a, b, block, range, out); });
}

std::uint64_t short_pairs(const PrunedLayout& a, const PrunedLayout& b, Block block, std::uint32_t fewest) {
  check_block(a, b, block);
  std::vector<std::uint64_t> per_row(block.rows.size(), 0);
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, block.rows.size()),
                    [&](const tbb::blocked_range<std::size_t>& range) {
                      for (std::size_t r = range.begin(); r != range.end(); ++r) {
                        for (const std::uint32_t j : block.cols)
                          per_row[r] += shared_count(a, block.rows[r], b, j) < fewest;
                      }
                    });
  std::uint64_t count = 0;
  for (const std::uint64_t row : per_row) count += row;
  return count;
}

}  // namespace cladomatic
