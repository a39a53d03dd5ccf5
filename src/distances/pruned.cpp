#include "pruned.hpp"

#include <tbb/blocked_range.h>
#include <tbb/blocked_range2d.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>

#include "../primitives/cpu.hpp"
#include "../primitives/row_progress.hpp"
#include "../snapshot/result.hpp"

namespace cladomatic {
namespace {

std::uint32_t shared_count(const PrunedLayout& a, std::size_t i, const PrunedLayout& b, std::size_t j) {
  const std::uint64_t* x = a.taxa.data() + i * a.words;
  const std::uint64_t* y = b.taxa.data() + j * b.words;
  std::uint32_t count = 0;
  for (std::size_t w = 0; w < a.words; ++w) count += static_cast<std::uint32_t>(std::popcount(x[w] & y[w]));
  return count;
}

// The splits of one pair, both trees', each held once with its summed length
// per tree, under a key that names its shared taxa exactly; entries in
// insertion order.  Open addressing, slots stamped with the pair they belong
// to, so that a new pair needs no clearing.
class PairSplits {
 public:
  struct Entry {
    double length[2] = {0.0, 0.0};
    std::uint32_t size = 0;
    std::uint8_t held = 0;  // bit k: tree k of the pair holds it
  };

  // Empties the table for a pair of at most `most` splits.
  void reset(std::size_t most) {
    entries_.clear();
    const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(2 * most, 16));
    if (capacity > keys_.size() || ++stamp_ == 0) {
      keys_.assign(std::max(capacity, keys_.size()), 0);
      slots_.assign(keys_.size(), Slot{});
      stamp_ = 1;
    }
  }

  [[gnu::always_inline]] void add(std::uint64_t key, std::uint32_t size, unsigned tree, double length) {
    const std::size_t mask = keys_.size() - 1;
    for (std::size_t at = (key * 0x9e3779b97f4a7c15ull) >> 32 & mask;; at = (at + 1) & mask) {
      Slot& slot = slots_[at];
      if (slot.stamp != stamp_) {
        slot = Slot{stamp_, static_cast<std::uint32_t>(entries_.size())};
        keys_[at] = key;
        entries_.push_back(Entry{{0.0, 0.0}, size, 0});
        hold(entries_.back(), tree, length);
        return;
      }
      if (keys_[at] == key) {
        hold(entries_[slot.entry], tree, length);
        return;
      }
    }
  }

  std::span<const Entry> entries() const noexcept { return entries_; }

 private:
  struct Slot {
    std::uint32_t stamp = 0;
    std::uint32_t entry = 0;
  };

  static void hold(Entry& entry, unsigned tree, double length) noexcept {
    entry.length[tree] += length;
    entry.held |= static_cast<std::uint8_t>(1u << tree);
  }

  std::vector<std::uint64_t> keys_;
  std::vector<Slot> slots_;
  std::vector<Entry> entries_;
  std::uint32_t stamp_ = 0;
};

// Which runs (start, size) of shared taxa each tree of a pair holds, as bits:
// for the counts of rf and rf_norm, which need no lengths, over at most
// kMarkedTaxa shared taxa (a table of (s + 1)^2 bits per tree, 128 KiB at
// most), cheaper than the table of splits.  A pair clears what it marked:
// the whole table when it is small, else the words it remembers.  Marking never branches on
// the bits: whether a split is new or a side a split at all defeats the
// branch predictor.
constexpr std::uint32_t kMarkedTaxa = 1024;

class RunMarks {
 public:
  // For a pair of `shared` taxa whose trees have at most `most` splits each.
  void reset(std::uint32_t shared, std::size_t most) {
    for (unsigned tree = 0; tree < 2; ++tree) {
      if (tracked_) {
        for (std::size_t k = 0; k < marked_[tree]; ++k) bits_[tree][words_[tree][k]] = 0;
      } else {
        std::fill_n(bits_[tree].begin(), used_, 0);
      }
      marked_[tree] = 0;
      if (words_[tree].size() < most) words_[tree].resize(most);
    }
    width_ = shared + 1;
    used_ = (std::size_t{width_} * width_ + 63) / 64;
    // Clearing a small table whole costs less than remembering each mark.
    tracked_ = used_ > kClearedWords;
    if (bits_[0].size() < used_) {
      bits_[0].assign(used_, 0);
      bits_[1].assign(used_, 0);
    }
  }

  // Marks the run for the tree: 1 when it was new, 0 when marked before.
  // `from` and `size` are at most the pair's number of shared taxa.
  std::uint32_t mark(unsigned tree, std::uint32_t from, std::uint32_t size) {
    const std::uint32_t bit = from * width_ + size;
    std::uint64_t& word = bits_[tree][bit / 64];
    const auto fresh = static_cast<std::uint32_t>(~word >> (bit % 64) & 1);
    word |= std::uint64_t{1} << (bit % 64);
    if (tracked_) words_[tree][marked_[tree]++] = bit / 64;
    return fresh;
  }

  std::uint32_t holds(unsigned tree, std::uint32_t from, std::uint32_t size) const {
    const std::uint32_t bit = from * width_ + size;
    return static_cast<std::uint32_t>(bits_[tree][bit / 64] >> (bit % 64) & 1);
  }

 private:
  static constexpr std::size_t kClearedWords = 1024;  // 256 shared taxa

  std::uint32_t width_ = 0;
  std::size_t used_ = 0;
  bool tracked_ = false;
  std::vector<std::uint64_t> bits_[2];
  std::vector<std::uint32_t> words_[2];
  std::size_t marked_[2] = {0, 0};
};

using Square = unsigned __int128;

// Division by a size of at most kMarkedTaxa, of numbers below
// kQuotientBound, as a product and a shift: with m = floor(2^40 / c) + 1,
// x * m / 2^40 exceeds x / c by at most 2^-20, less than the 1 / c that
// separates x / c from the next integer.  (The division in floating point
// it replaces took a seventh of the counted pairs' time.)
constexpr std::uint32_t kQuotientBound = 1u << 20;
constexpr unsigned kReciprocalShift = 40;

// Per size c: m, and the sum of the squares of 0 .. c - 1, to which a run
// of c numbers from lo adds lo * (its sum + c (c - 1) / 2).
struct SizeTables {
  std::array<std::uint64_t, kMarkedTaxa + 1> reciprocal{};
  std::array<std::uint32_t, kMarkedTaxa + 1> squares{};
};

constexpr SizeTables size_tables() {
  SizeTables tables;
  for (std::uint64_t c = 1; c <= kMarkedTaxa; ++c) {
    tables.reciprocal[c] = (std::uint64_t{1} << kReciprocalShift) / c + 1;
    tables.squares[c] = static_cast<std::uint32_t>(c * (c - 1) * (2 * c - 1) / 6);
  }
  return tables;
}

constexpr SizeTables kSizeTables = size_tables();
static_assert(kMarkedTaxa * kMarkedTaxa / 2 < kQuotientBound &&
              kSizeTables.reciprocal[1] < ~std::uint64_t{0} / kQuotientBound);

// Along the second tree of a counted pair: before each position, how many
// shared taxa, and the sum and the sum of squares of their first-tree
// numbers.  Numbers below kMarkedTaxa keep both sums within 32 bits.
struct RunPrefix {
  std::uint32_t count;
  std::uint32_t sum;
  std::uint32_t square;
};
static_assert(std::uint64_t{kMarkedTaxa} * kMarkedTaxa * kMarkedTaxa / 3 < std::uint64_t{1} << 32);

// What one task keeps from pair to pair.
struct Scratch {
  Scratch(std::size_t words, bool weighted)
      : both(words),
        number(64 * words, 0),
        pendant{std::vector<double>(weighted ? 64 * words : 0),
                std::vector<double>(weighted ? 64 * words : 0)} {}
  std::vector<std::uint64_t> both;    // the pair's shared taxa, a bit per universe place
  std::vector<std::uint32_t> count;   // prefix counts of shared taxa along a tree
  std::vector<std::uint64_t> sum;     // prefix sums of their numbers along the second tree
  std::vector<Square> square;         // and of their squares
  std::vector<RunPrefix> prefix;      // all three at once, for counted pairs
  std::vector<std::uint32_t> number;  // universe place -> its number along the first tree
  PairSplits splits;
  RunMarks marks;
  std::vector<double> pendant[2];  // per tree of the pair, by number; zero between pairs
};

// The pair's shared taxa, as `both` in the scratch.
struct Shared {
  const std::uint64_t* both;
  std::uint32_t count = 0;

  bool holds(LeafId leaf) const noexcept { return (both[leaf / 64] >> (leaf % 64) & 1) != 0; }
  std::uint32_t bit(LeafId leaf) const noexcept {
    return static_cast<std::uint32_t>(both[leaf / 64] >> (leaf % 64) & 1);
  }
};

// Fills the scratch's `both` with the taxa trees (a, i) and (b, j) share.
Shared share(const PrunedLayout& a, std::size_t i, const PrunedLayout& b, std::size_t j, Scratch& scratch) {
  const std::uint64_t* x = a.taxa.data() + i * a.words;
  const std::uint64_t* y = b.taxa.data() + j * b.words;
  std::uint64_t* both = scratch.both.data();
  std::uint32_t count = 0;
  for (std::size_t w = 0; w < a.words; ++w) {
    both[w] = x[w] & y[w];
    count += static_cast<std::uint32_t>(std::popcount(both[w]));
  }
  return Shared{both, count};
}

// Keys: a run of the first tree's numbers, or (tag bit) a run of the second
// tree's own numbering when its taxa are not a run of the first's.
constexpr std::uint64_t kOwnRun = std::uint64_t{1} << 63;

std::uint64_t run_key(std::uint64_t from, std::uint64_t size) noexcept {
  return from << 32 | size;
}

bool weighted_metric(PairMetric metric) noexcept {
  return metric == PairMetric::kWrf || metric == PairMetric::kKf;
}

// What a split becomes for a pair: kind by its count c of shared taxa on its
// canonical side (side without the pair's first taxon, unrooted).
enum class Role { kNone, kPendant, kSplit };

[[gnu::always_inline]] inline Role role_of(std::uint32_t c, std::uint32_t s, bool rooted) noexcept {
  if (c >= 2 && (rooted ? c < s : c + 2 <= s)) return Role::kSplit;
  if (c == 0 || c == s) return Role::kNone;
  return Role::kPendant;  // one taxon, or unrooted all but the first
}

// Where the run of c consecutive numbers that sums to `total` starts, or
// kNoRun when none does: a quotient checked exactly, by the reciprocals
// when they reach, else by a division in floating point, which costs far
// less than an integer division.
constexpr std::uint64_t kNoRun = std::numeric_limits<std::uint64_t>::max();

inline std::uint64_t run_start(std::uint64_t total, std::uint32_t c) noexcept {
  const std::uint64_t triangle = std::uint64_t{c} * (c - 1) / 2;
  if (total < triangle) return kNoRun;
  const std::uint64_t excess = total - triangle;
  const std::uint64_t lo = excess < kQuotientBound && c <= kMarkedTaxa
                               ? excess * kSizeTables.reciprocal[c] >> kReciprocalShift
                               : static_cast<std::uint64_t>(double(excess) / double(c) + 0.5);
  return lo * c == excess ? lo : kNoRun;
}

// The sum of the squares of the run of c numbers from lo.  c distinct
// numbers are that run exactly when their sum is the run's and so is the
// sum of their squares, which any other set of c distinct numbers with that
// sum exceeds.
inline Square run_squares(std::uint64_t lo, std::uint32_t c) noexcept {
  const std::uint64_t triangle = std::uint64_t{c} * (c - 1) / 2;
  return Square{c} * lo * lo + Square{2} * lo * triangle +
         Square{c} * (c - 1) * (2 * std::uint64_t{c} - 1) / 6;
}

inline double count_distance(PairMetric metric, std::uint64_t only, std::uint64_t held) noexcept {
  if (metric == PairMetric::kRf) return double(only);
  return held == 0 ? 0.0 : double(only) / double(held);
}

// The distance of one pair, tree (a, i) taken first: its shared taxa are
// numbered along it from the pair's first taxon, the second tree's splits
// matched to the first's by the sums of those numbers over their arcs.
[[gnu::always_inline]] inline double pair_distance(const PrunedContext& context, const PrunedLayout& a,
                                                   std::size_t i, const PrunedLayout& b, std::size_t j,
                                                   Shared shared, Scratch& scratch) {
  const bool rooted = context.rooted;
  const bool weighted = weighted_metric(context.metric);
  const std::uint32_t s = shared.count;
  LeafId first = 0;
  while (shared.both[first / 64] == 0) first += 64;
  first += static_cast<LeafId>(std::countr_zero(shared.both[first / 64]));
  scratch.splits.reset((a.offsets[i + 1] - a.offsets[i]) + (b.offsets[j + 1] - b.offsets[j]));

  // The first tree: shared taxa numbered from the pair's first taxon on,
  // around the circle (rooted: from the order's start).
  const LeafId* order = a.order.data() + a.leaf_offsets[i];
  const auto n_first = static_cast<std::uint32_t>(a.leaf_offsets[i + 1] - a.leaf_offsets[i]);
  std::vector<std::uint32_t>& count = scratch.count;
  count.resize(std::max<std::size_t>(count.size(), n_first + 1));
  std::uint32_t at_first = 0;
  count[0] = 0;
  for (std::uint32_t k = 0; k < n_first; ++k) {
    count[k + 1] = count[k] + shared.bit(order[k]);
    if (order[k] == first) at_first = k;
  }
  const auto numbered = [&](const std::vector<std::uint32_t>& prefix, std::uint32_t n, std::uint32_t from,
                            std::uint32_t k) -> std::uint32_t {
    k = k == n ? 0 : k;
    if (rooted) return prefix[k];
    return k >= from ? prefix[k] - prefix[from] : s - prefix[from] + prefix[k];
  };
  if (rooted) at_first = 0;
  for (std::uint32_t k = 0; k < n_first; ++k) {
    if (count[k + 1] == count[k]) continue;
    const std::uint32_t number = numbered(count, n_first, at_first, k);
    scratch.number[order[k]] = number;
    if (weighted) scratch.pendant[0][number] += a.pendants[a.leaf_offsets[i] + k];
  }
  for (std::uint64_t e = a.offsets[i]; e < a.offsets[i + 1]; ++e) {
    const std::uint32_t start = a.starts[e];
    const std::uint32_t end = start + a.counts[e];
    std::uint32_t c = count[end] - count[start];
    std::uint32_t from = numbered(count, n_first, at_first, start);
    if (!rooted && start <= at_first && at_first < end) {
      c = s - c;
      from = numbered(count, n_first, at_first, end);
    }
    const double length = weighted ? a.lengths[e] : 0.0;
    const Role role = role_of(c, s, rooted);
    if (role == Role::kSplit) scratch.splits.add(run_key(from, c), c, 0, length);
    if (role == Role::kPendant && weighted) scratch.pendant[0][c == 1 ? from : 0] += length;
  }

  // The second tree: along it, prefix counts, sums and sums of squares of
  // the first tree's numbers.
  order = b.order.data() + b.leaf_offsets[j];
  const auto n_second = static_cast<std::uint32_t>(b.leaf_offsets[j + 1] - b.leaf_offsets[j]);
  count.resize(std::max<std::size_t>(count.size(), n_second + 1));
  scratch.sum.resize(std::max<std::size_t>(scratch.sum.size(), n_second + 1));
  scratch.square.resize(std::max<std::size_t>(scratch.square.size(), n_second + 1));
  std::uint64_t* sum = scratch.sum.data();
  Square* square = scratch.square.data();
  at_first = 0;
  sum[0] = 0;
  square[0] = 0;
  for (std::uint32_t k = 0; k < n_second; ++k) {
    const bool held = shared.holds(order[k]);
    const std::uint64_t number = held ? scratch.number[order[k]] : 0;
    count[k + 1] = count[k] + (held ? 1 : 0);
    sum[k + 1] = sum[k] + number;
    square[k + 1] = square[k] + Square{number} * number;
    if (order[k] == first) at_first = k;
    if (held && weighted) scratch.pendant[1][number] += b.pendants[b.leaf_offsets[j] + k];
  }
  if (rooted) at_first = 0;
  for (std::uint64_t e = b.offsets[j]; e < b.offsets[j + 1]; ++e) {
    const std::uint32_t start = b.starts[e];
    const std::uint32_t end = start + b.counts[e];
    std::uint32_t c = count[end] - count[start];
    std::uint64_t total = sum[end] - sum[start];
    Square squares = square[end] - square[start];
    std::uint32_t from = numbered(count, n_second, at_first, start);
    if (!rooted && start <= at_first && at_first < end) {
      c = s - c;
      total = sum[n_second] - total;
      squares = square[n_second] - squares;
      from = numbered(count, n_second, at_first, end);
    }
    const double length = weighted ? b.lengths[e] : 0.0;
    const Role role = role_of(c, s, rooted);
    if (role == Role::kPendant && weighted) scratch.pendant[1][c == 1 ? total : 0] += length;
    if (role != Role::kSplit) continue;
    std::uint64_t key = kOwnRun | run_key(from, c);
    if (const std::uint64_t lo = run_start(total, c); lo != kNoRun && squares == run_squares(lo, c))
      key = run_key(lo, c);
    scratch.splits.add(key, c, 1, length);
  }

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
      return count_distance(context.metric, only, held);
    }
    case PairMetric::kInfoRf: {
      double total = 0.0;
      for (const PairSplits::Entry& entry : entries)
        if (entry.held != 3) total += information_bits(context.table, entry.size, s);
      return total;
    }
    case PairMetric::kWrf:
    case PairMetric::kKf: {
      const bool kf = context.metric == PairMetric::kKf;
      const auto term = [kf](double x, double y) { return kf ? (x - y) * (x - y) : std::fabs(x - y); };
      double total = 0.0;
      for (const PairSplits::Entry& entry : entries) total += term(entry.length[0], entry.length[1]);
      for (std::uint32_t number = 0; number < s; ++number) {
        total += term(scratch.pendant[0][number], scratch.pendant[1][number]);
        scratch.pendant[0][number] = 0.0;
        scratch.pendant[1][number] = 0.0;
      }
      return kf ? std::sqrt(total) : total;
    }
  }
  throw InvariantFailure("unknown pair metric");
}

// rf or rf_norm of a pair of at most kMarkedTaxa shared taxa, from counts of
// distinct splits alone.  Counts do not depend on which shared taxon the
// canonical sides leave out, so it is the first one along the first tree:
// its numbers are then plain prefix counts, and a side holding that taxon
// becomes the run from its arc's end to the last number.
[[gnu::always_inline]] inline double counted_pair(PairMetric metric, bool rooted, const PrunedLayout& a,
                                                  std::size_t i, const PrunedLayout& b, std::size_t j,
                                                  Shared shared, Scratch& scratch) {
  const std::uint32_t s = shared.count;
  const std::uint32_t short_of_all = rooted ? 1 : 2;  // a split leaves at least this many out
  const auto is_split = [&](std::uint32_t c) -> std::uint32_t { return c >= 2 && c + short_of_all <= s; };
  scratch.marks.reset(s, std::max(a.offsets[i + 1] - a.offsets[i], b.offsets[j + 1] - b.offsets[j]));
  std::uint64_t distinct[2] = {0, 0};
  std::uint64_t matched = 0;

  const LeafId* order = a.order.data() + a.leaf_offsets[i];
  const auto n_first = static_cast<std::uint32_t>(a.leaf_offsets[i + 1] - a.leaf_offsets[i]);
  const auto n_second = static_cast<std::uint32_t>(b.leaf_offsets[j + 1] - b.leaf_offsets[j]);
  if (scratch.prefix.size() < std::size_t{std::max(n_first, n_second)} + 1)
    scratch.prefix.resize(std::size_t{std::max(n_first, n_second)} + 1);
  RunPrefix* prefix = scratch.prefix.data();
  std::uint32_t* number = scratch.number.data();
  // Positions before `pivot` hold no shared taxon but the last of them
  // (rooted: there are none).  Taxa outside the pair get numbers too,
  // never read.
  std::uint32_t held = 0;
  std::uint32_t pivot = 0;
  for (std::uint32_t k = 0; k < n_first; ++k) {
    prefix[k].count = held;
    number[order[k]] = held;
    pivot += held == 0 ? 1 : 0;
    held += shared.bit(order[k]);
  }
  prefix[n_first].count = held;
  if (rooted) pivot = 0;
  const LeafId left_out = rooted ? 0 : order[pivot - 1];
  for (std::uint64_t e = a.offsets[i]; e < a.offsets[i + 1]; ++e) {
    const std::uint32_t start = a.starts[e];
    const std::uint32_t end = start + a.counts[e];
    const bool holds_left_out = start < pivot;  // or holds no shared taxon at all
    const std::uint32_t from = holds_left_out ? prefix[end].count : prefix[start].count;
    const std::uint32_t c = holds_left_out ? s - prefix[end].count : prefix[end].count - prefix[start].count;
    distinct[0] += scratch.marks.mark(0, from, c) & is_split(c);
  }

  // The second tree: its sides as runs of its own prefix counts name them
  // within it; their first-tree numbers, summed, say which run of the
  // first tree each would be.
  order = b.order.data() + b.leaf_offsets[j];
  RunPrefix along{0, 0, 0};
  pivot = 0;
  for (std::uint32_t k = 0; k < n_second; ++k) {
    prefix[k] = along;
    const std::uint32_t bit = shared.bit(order[k]);
    const std::uint32_t x = number[order[k]] & (0u - bit);
    pivot = order[k] == left_out ? k + 1 : pivot;
    along.count += bit;
    along.sum += x;
    along.square += x * x;
  }
  prefix[n_second] = along;
  if (rooted) pivot = 0;
  for (std::uint64_t e = b.offsets[j]; e < b.offsets[j + 1]; ++e) {
    const std::uint32_t start = b.starts[e];
    const std::uint32_t end = start + b.counts[e];
    const RunPrefix& low = prefix[start];
    const RunPrefix& high = prefix[end];
    std::uint32_t c = high.count - low.count;
    std::uint32_t total = high.sum - low.sum;
    std::uint32_t squares = high.square - low.square;
    std::uint32_t from = low.count;
    if (start < pivot && pivot <= end) {
      c = s - c;
      total = along.sum - total;
      squares = along.square - squares;
      from = high.count == s ? 0 : high.count;
    }
    const std::uint32_t fresh = scratch.marks.mark(1, from, c) & is_split(c);
    distinct[1] += fresh;
    // Computed for every side, to be kept only for new splits that are
    // runs of the first tree's numbers: lo stays within the marks.
    const std::uint32_t triangle = c * (c - 1) / 2;
    const std::uint32_t excess = total - triangle;
    const auto lo = static_cast<std::uint32_t>(std::min<std::uint64_t>(
        std::min(excess, kQuotientBound) * kSizeTables.reciprocal[c] >> kReciprocalShift, s));
    const std::uint32_t run = (total >= triangle) & (lo * c == excess) &
                              (squares == lo * (total + triangle) + kSizeTables.squares[c]);
    matched += fresh & run & scratch.marks.holds(0, lo, c);
  }
  return count_distance(metric, distinct[0] + distinct[1] - 2 * matched, distinct[0] + distinct[1]);
}

void check_block(const PrunedLayout& a, const PrunedLayout& b, Block block) {
  if (a.words != b.words) throw InvariantFailure("pruned layouts over different universes");
  for (std::uint32_t t : block.rows)
    if (t >= a.size()) throw InvariantFailure("tree index out of range");
  for (std::uint32_t t : block.cols)
    if (t >= b.size()) throw InvariantFailure("tree index out of range");
}

// Whether trees i and j of one set hold the same taxa and the metric can
// compare them by their split ids.  Only counts qualify: they come out the
// same either way, where sums of lengths in another order would not, and
// the sets compared by `against` have ids of their own.
bool same_taxa(const PrunedContext& context, const PrunedLayout& layout, std::uint32_t i, std::uint32_t j) {
  return context.lists != nullptr &&
         (context.metric == PairMetric::kRf || context.metric == PairMetric::kRfNorm) &&
         layout.taxon_set[i] == layout.taxon_set[j];
}

// The metric between tree (a, i), taken first, and tree (b, j).
[[gnu::always_inline]] inline double pruned_pair(const PrunedContext& context, const PrunedLayout& a,
                                                 std::size_t i, const PrunedLayout& b, std::size_t j,
                                                 Scratch& scratch) {
  const Shared shared = share(a, i, b, j, scratch);
  if (shared.count < fewest_shared_taxa(context.rooted)) return std::numeric_limits<double>::quiet_NaN();
  const bool counts = context.metric == PairMetric::kRf || context.metric == PairMetric::kRfNorm;
  if (counts && shared.count <= kMarkedTaxa) {
    // The second tree costs more per split: the smaller one, since counts
    // do not depend on which tree comes first.
    if (b.leaf_offsets[j + 1] - b.leaf_offsets[j] > a.leaf_offsets[i + 1] - a.leaf_offsets[i])
      return counted_pair(context.metric, context.rooted, b, j, a, i, shared, scratch);
    return counted_pair(context.metric, context.rooted, a, i, b, j, shared, scratch);
  }
  return pair_distance(context, a, i, b, j, shared, scratch);
}

// Cells of rows [r0, r1) and columns [c0, c1) of the block, on one task;
// stops between rows once the task group is cancelled.
[[gnu::always_inline]] inline void fill_cells(const PrunedContext& context, const PrunedLayout& a,
                                              const PrunedLayout& b, Block block,
                                              const tbb::blocked_range2d<std::size_t>& range, double* out) {
  Scratch scratch(a.words, weighted_metric(context.metric));
  for (std::size_t r = range.rows().begin(); r != range.rows().end() && !stop_requested(); ++r) {
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
        cell = pruned_pair(context, b, j, a, i, scratch);
      } else {
        cell = pruned_pair(context, a, i, b, j, scratch);
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
  const auto with_lengths = [](const PrunedLayout& layout) {
    return layout.lengths.size() == layout.offsets.back() && layout.pendants.size() == layout.order.size();
  };
  if (weighted_metric(context.metric) && !(with_lengths(a) && with_lengths(b)))
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
