#include "matching.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <numeric>

#include "../primitives/row_progress.hpp"
#include "../snapshot/result.hpp"
#include "assignment.hpp"
#include "split_lists.hpp"

namespace cladomatic {
namespace {

// Tables of one leaf count: m log2 m, and log2 (2k - 3)!!.
struct Tables {
  std::uint32_t n = 0;
  std::vector<double> entropy;  // m log2 m, m = 0 .. n
  std::vector<double> lf;       // log2_double_factorials(n)

  explicit Tables(std::uint32_t leaves)
      : n(leaves), entropy(leaves + 1, 0.0), lf(log2_double_factorials(leaves)) {
    for (std::uint32_t m = 2; m <= n; ++m) entropy[m] = m * std::log2(static_cast<double>(m));
  }
  // log2 (2m - 5)!!, the unrooted binary trees of m leaves.
  double unrooted(std::uint32_t m) const noexcept { return m >= 1 ? lf[m - 1] : 0.0; }
  // The phylogenetic information of a split of p and q leaves on p + q leaves;
  // 0 for an empty side.
  double information(std::uint32_t p, std::uint32_t q) const noexcept {
    return p == 0 || q == 0 ? 0.0 : unrooted(p + q) - lf[p] - lf[q];
  }
  double clustering_entropy(std::uint32_t a) const noexcept {
    return (entropy[n] - entropy[a] - entropy[n - a]) / n;
  }
};

// The similarity (or, for kMsd, the cost) of splits of a and c leaves
// sharing x.
double pair_score(MatchingKind kind, const Tables& t, std::uint32_t a, std::uint32_t c,
                  std::uint32_t x) noexcept {
  const std::uint32_t n = t.n;
  const std::uint32_t ad = a - x;          // A n D
  const std::uint32_t bc = c - x;          // B n C
  const std::uint32_t bd = n - a - c + x;  // B n D
  switch (kind) {
    case MatchingKind::kCid:
    case MatchingKind::kCidNorm: {
      const auto& e = t.entropy;
      return (e[n] + e[x] + e[ad] + e[bc] + e[bd] - e[a] - e[n - a] - e[c] - e[n - c]) / n;
    }
    case MatchingKind::kPid: {
      // Compatible splits are nested one way: side of a1 leaves within a side
      // of a2; the trees holding both number (2a1-3)!! (2(n-a2)-3)!!
      // (2(a2-a1+2)-5)!!.
      std::uint32_t a1 = 0;
      std::uint32_t a2 = 0;
      if (x == 0) {
        a1 = a, a2 = n - c;
      } else if (ad == 0) {
        a1 = a, a2 = c;
      } else if (bc == 0) {
        a1 = c, a2 = a;
      } else if (bd == 0) {
        a1 = n - c, a2 = a;
      } else {
        return 0.0;
      }
      return t.unrooted(n) + t.unrooted(a2 - a1 + 2) - t.lf[n - a1] - t.lf[a2];
    }
    case MatchingKind::kMsid:
      return std::max(t.information(x, bd), t.information(ad, bc));
    case MatchingKind::kMsd: {
      const std::uint32_t apart = a + c - 2 * x;
      return std::min(apart, n - apart);
    }
  }
  return 0.0;
}

// A split's own term: H(S), h(S), or for kMsd its cost against the padding.
double self_score(MatchingKind kind, const Tables& t, std::uint32_t a) noexcept {
  switch (kind) {
    case MatchingKind::kCid:
    case MatchingKind::kCidNorm:
      return t.clustering_entropy(a);
    case MatchingKind::kPid:
    case MatchingKind::kMsid:
      return information_bits(t.lf, a, t.n);
    case MatchingKind::kMsd:
      return std::min(a, t.n - a);
  }
  return 0.0;
}

bool is_clustering(MatchingKind kind) noexcept {
  return kind == MatchingKind::kCid || kind == MatchingKind::kCidNorm;
}

bool maximises(MatchingKind kind) noexcept {
  return kind != MatchingKind::kMsd;
}

// Every shared split matched to itself (see the header).
bool shared_always_matched(MatchingKind kind) noexcept {
  return kind == MatchingKind::kCid || kind == MatchingKind::kCidNorm || kind == MatchingKind::kMsd;
}

struct TreeSplits {
  const std::uint64_t* bits;
  const std::uint32_t* sizes;
  std::size_t count;
};

TreeSplits tree_splits(const SplitBits& set, std::size_t tree) noexcept {
  const std::uint64_t first = set.offsets[tree];
  return {set.bits.data() + first * set.words, set.sizes.data() + first, set.offsets[tree + 1] - first};
}

int compare_bits(const std::uint64_t* x, const std::uint64_t* y, std::size_t words) noexcept {
  for (std::size_t w = 0; w < words; ++w)
    if (x[w] != y[w]) return x[w] < y[w] ? -1 : 1;
  return 0;
}

// What one task keeps from pair to pair.
struct Workspace {
  std::vector<std::uint32_t> rows, cols;                     // splits left in the problem
  std::vector<std::int64_t> partner_of_row, partner_of_col;  // the shared twin, or -1
  std::vector<double> scores;                                // rows x cols of the splits in the problem
  std::vector<double> cost;                                  // m x m
  std::vector<std::uint8_t> fixed_row, fixed_col;
  Assignment solver;
};

double pair_distance(MatchingKind kind, const Tables& t, std::size_t words, TreeSplits p, TreeSplits q,
                     Workspace& w) {
  // Shared splits, by a merge of the two sorted lists.
  w.partner_of_row.assign(p.count, -1);
  w.partner_of_col.assign(q.count, -1);
  for (std::size_t i = 0, j = 0; i < p.count && j < q.count;) {
    const int order = compare_bits(p.bits + i * words, q.bits + j * words, words);
    if (order == 0) {
      w.partner_of_row[i] = static_cast<std::int64_t>(j);
      w.partner_of_col[j] = static_cast<std::int64_t>(i);
      ++i, ++j;
    } else if (order < 0) {
      ++i;
    } else {
      ++j;
    }
  }
  w.fixed_row.assign(p.count, 0);
  w.fixed_col.assign(q.count, 0);
  const auto overlap = [&](std::size_t i, std::size_t j) {
    const std::uint64_t* x = p.bits + i * words;
    const std::uint64_t* y = q.bits + j * words;
    std::uint32_t count = 0;
    for (std::size_t k = 0; k < words; ++k) count += static_cast<std::uint32_t>(std::popcount(x[k] & y[k]));
    return count;
  };
  if (shared_always_matched(kind)) {
    for (std::size_t i = 0; i < p.count; ++i) w.fixed_row[i] = w.partner_of_row[i] >= 0;
    for (std::size_t j = 0; j < q.count; ++j) w.fixed_col[j] = w.partner_of_col[j] >= 0;
  } else {
    // A shared X is fixed where h(X) is at least its best score with another
    // split of the other tree plus the other tree's best score with it.
    w.scores.resize(p.count * q.count);
    for (std::size_t i = 0; i < p.count; ++i)
      for (std::size_t j = 0; j < q.count; ++j)
        w.scores[i * q.count + j] = pair_score(kind, t, p.sizes[i], q.sizes[j], overlap(i, j));
    for (std::size_t i = 0; i < p.count; ++i) {
      if (w.partner_of_row[i] < 0) continue;
      const auto twin = static_cast<std::size_t>(w.partner_of_row[i]);
      double best_row = 0.0;
      double best_col = 0.0;
      for (std::size_t j = 0; j < q.count; ++j)
        if (j != twin) best_row = std::max(best_row, w.scores[i * q.count + j]);
      for (std::size_t k = 0; k < p.count; ++k)
        if (k != i) best_col = std::max(best_col, w.scores[k * q.count + twin]);
      if (self_score(kind, t, p.sizes[i]) >= best_row + best_col) w.fixed_row[i] = w.fixed_col[twin] = 1;
    }
  }
  w.rows.clear();
  w.cols.clear();
  double own = 0.0;  // the self terms of the splits left, the rows' first
  for (std::size_t i = 0; i < p.count; ++i) {
    if (w.fixed_row[i]) continue;
    w.rows.push_back(static_cast<std::uint32_t>(i));
    if (maximises(kind)) own += self_score(kind, t, p.sizes[i]);
  }
  for (std::size_t j = 0; j < q.count; ++j) {
    if (w.fixed_col[j]) continue;
    w.cols.push_back(static_cast<std::uint32_t>(j));
    if (maximises(kind)) own += self_score(kind, t, q.sizes[j]);
  }
  const std::size_t m = std::max(w.rows.size(), w.cols.size());
  if (m == 0) return 0.0;
  // A square problem of costs to minimise: a similarity negated, a missing
  // partner 0 (or, for kMsd, the padding's cost).
  w.cost.assign(m * m, 0.0);
  if (is_clustering(kind) && w.rows.size() == w.cols.size()) {
    // Every row takes a real column: the terms of a split's own sides are in
    // every matching's sum alike, so only the intersections' are needed to
    // choose one; the pairs chosen are then scored whole.
    const auto& e = t.entropy;
    for (std::size_t r = 0; r < m; ++r) {
      const std::uint32_t a = p.sizes[w.rows[r]];
      for (std::size_t c = 0; c < m; ++c) {
        const std::uint32_t x = overlap(w.rows[r], w.cols[c]);
        const std::uint32_t cs = q.sizes[w.cols[c]];
        w.cost[r * m + c] = -(e[x] + e[a - x] + e[cs - x] + e[t.n - a - cs + x]);
      }
    }
    w.solver.solve(w.cost, m);
    double matched = 0.0;
    for (std::size_t r = 0; r < m; ++r) {
      const std::size_t i = w.rows[r];
      const std::size_t j = w.cols[w.solver.column_of(r)];
      matched -= pair_score(kind, t, p.sizes[i], q.sizes[j], overlap(i, j));
    }
    return std::max(0.0, own + 2.0 * matched);
  }
  for (std::size_t r = 0; r < m; ++r) {
    for (std::size_t c = 0; c < m; ++c) {
      double score = 0.0;
      if (r < w.rows.size() && c < w.cols.size()) {
        const std::size_t i = w.rows[r];
        const std::size_t j = w.cols[c];
        score = shared_always_matched(kind) ? pair_score(kind, t, p.sizes[i], q.sizes[j], overlap(i, j))
                                            : w.scores[i * q.count + j];
      } else if (!maximises(kind) && r < w.rows.size()) {
        score = self_score(kind, t, p.sizes[w.rows[r]]);
      } else if (!maximises(kind) && c < w.cols.size()) {
        score = self_score(kind, t, q.sizes[w.cols[c]]);
      }
      w.cost[r * m + c] = maximises(kind) ? -score : score;
    }
  }
  w.solver.solve(w.cost, m);
  double matched = 0.0;
  for (std::size_t r = 0; r < m; ++r) matched += w.cost[r * m + w.solver.column_of(r)];
  if (!maximises(kind)) return matched;
  // Rounding may leave a hair below 0 where the trees are equal on the
  // splits left: a distance is never negative.
  return std::max(0.0, own + 2.0 * matched);
}

// H(T), summed in the order of T's splits.
double total_entropy(const Tables& t, TreeSplits splits) noexcept {
  double total = 0.0;
  for (std::size_t k = 0; k < splits.count; ++k) total += t.clustering_entropy(splits.sizes[k]);
  return total;
}

}  // namespace

SplitBits split_bits(std::span<const InternSnap> snaps, const CladeTable& clades, std::uint32_t n_leaves) {
  SplitBits set;
  set.n_leaves = n_leaves;
  set.words = (n_leaves + 63) / 64;
  set.offsets.assign(snaps.size() + 1, 0);
  for (std::size_t t = 0; t < snaps.size(); ++t) set.offsets[t + 1] = set.offsets[t] + snaps[t].ids.size();
  set.bits.assign(set.offsets.back() * set.words, 0);
  set.sizes.assign(set.offsets.back(), 0);
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, snaps.size()),
                    [&](const tbb::blocked_range<std::size_t>& range) {
                      std::vector<std::uint64_t> tree_bits;
                      std::vector<std::uint32_t> order;
                      for (std::size_t t = range.begin(); t != range.end() && !stop_requested(); ++t) {
                        const std::span<const SplitId> ids = snaps[t].ids;
                        tree_bits.assign(ids.size() * set.words, 0);
                        for (std::size_t k = 0; k < ids.size(); ++k) {
                          if (ids[k] >= clades.rows()) throw InvariantFailure("a split without its leaves");
                          for (const LeafId leaf : clades.row(ids[k]))
                            tree_bits[k * set.words + leaf / 64] |= std::uint64_t{1} << (leaf % 64);
                        }
                        order.resize(ids.size());
                        std::iota(order.begin(), order.end(), 0u);
                        std::sort(order.begin(), order.end(), [&](std::uint32_t x, std::uint32_t y) {
                          return compare_bits(tree_bits.data() + x * set.words,
                                              tree_bits.data() + y * set.words, set.words) < 0;
                        });
                        const std::uint64_t first = set.offsets[t];
                        for (std::size_t k = 0; k < ids.size(); ++k) {
                          std::copy_n(tree_bits.data() + order[k] * set.words, set.words,
                                      set.bits.data() + (first + k) * set.words);
                          set.sizes[first + k] = static_cast<std::uint32_t>(clades.row(ids[order[k]]).size());
                        }
                      }
                    });
  return set;
}

void matching_block(MatchingKind kind, const SplitBits& a, const SplitBits& b, Block block, double* out) {
  if (a.n_leaves != b.n_leaves || a.words != b.words)
    throw InvariantFailure("the two sets have different leaves");
  check_block(block, a.size(), b.size());
  const Tables tables(a.n_leaves);
  const bool same_set = &a == &b;
  // The rows are the columns: each pair once, from the diagonal on, and
  // copied across it at the end.
  const bool symmetric = same_set && block.rows.size() == block.cols.size() &&
                         std::equal(block.rows.begin(), block.rows.end(), block.cols.begin());
  const std::size_t width = block.cols.size();
  tbb::parallel_for(
      tbb::blocked_range<std::size_t>(0, block.rows.size()),
      [&](const tbb::blocked_range<std::size_t>& range) {
        Workspace work;
        for (std::size_t r = range.begin(); r != range.end() && !stop_requested(); ++r) {
          const std::uint32_t i = block.rows[r];
          for (std::size_t c = symmetric ? r : 0; c < width; ++c) {
            const std::uint32_t j = block.cols[c];
            double value = 0.0;
            if (!(same_set && i == j)) {
              // Within one set, from the lower-numbered tree.
              const bool swap = same_set && j < i;
              value = pair_distance(kind, tables, a.words, tree_splits(swap ? b : a, swap ? j : i),
                                    tree_splits(swap ? a : b, swap ? i : j), work);
            }
            if (kind == MatchingKind::kCidNorm && value != 0.0)
              value /= total_entropy(tables, tree_splits(a, i)) + total_entropy(tables, tree_splits(b, j));
            out[r * width + c] = value;
          }
          count_rows(block.rows_done, 1);
        }
      });
  if (!symmetric || stop_requested()) return;
  tbb::parallel_for(tbb::blocked_range<std::size_t>(1, width),
                    [&](const tbb::blocked_range<std::size_t>& range) {
                      for (std::size_t r = range.begin(); r != range.end(); ++r)
                        for (std::size_t c = 0; c < r; ++c) out[r * width + c] = out[c * width + r];
                    });
}

}  // namespace cladomatic
