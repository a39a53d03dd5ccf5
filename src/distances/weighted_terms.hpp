// The pair terms shared by the full weighted matrix and by blocks of it: the
// layout, the two metrics' arithmetic and how a pair's sums become its
// distance.  Blocks that follow these steps in the same order give the full
// matrix's cells bit for bit.
//
// Only for translation units that round every product before adding it (no
// floating-point contraction), as the self terms are summed that way.
#pragma once

#include <tbb/blocked_range.h>
#include <tbb/info.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "layout.hpp"
#include "postings.hpp"

namespace cladomatic {

// Both metrics use distance = fin(N_i + N_j - 2 C(i, j)): N a per-tree self
// term, C a cross term summed over the splits as pair(a, b), a split a tree
// lacks counting as 0.0 in a dense column.
//
// A rare split (sparse or column-less) enters C only when both trees hold it,
// so its absence never meets pair(a, 0.0).  For WRF with a negative length
// that term is a, not 0: rare splits therefore carry lone(a) = |a| in N and
// rare(a, b) = pair(a, b) - pair(a, 0) - pair(0, b) in C, which keeps
// |a - b| exact for every sign and equals pair(a, b) for non-negative lengths.
//
// The identity needs finite terms: an infinite or NaN length meets 0.0 or
// itself in C (inf * 0, inf - inf) and would leave anything from 0 to NaN.
// Such a length makes its tree's self term non-finite, and so every v of the
// tree's pairs; a v that overflowed does the same.  Those pairs are summed
// directly from the definition instead, term(a, b) over their splits, which
// gives what IEEE arithmetic gives: inf, or NaN where a NaN length or
// inf - inf enters.

// The identity also cancels: for nearly identical trees v is the small
// difference of two large sums, and its rounding error (a few ulps of the sums)
// can be all of it; KF of two trees that differ by 1e-8 in one length came out
// 0.  A v within kCancellation of the sums' size is therefore summed directly
// too, which bounds the relative error of every result far below what branch
// lengths carry; only pairs that close take the slower path.
constexpr double kCancellation = 0x1p-20;

// |a - b| = a + b - 2 min(a, b).
struct Wrf {
  // The smaller, as the processor takes it: a NaN length leaves v NaN
  // whatever min makes of it, and such pairs are summed directly.
  static double pair(double a, double b) noexcept { return a < b ? a : b; }
  static double self(double a) noexcept { return pair(a, a); }
  static double lone(double a) noexcept { return std::fabs(a); }
  static double rare(double a, double b) noexcept { return pair(a, b) - pair(a, 0.0) - pair(0.0, b); }
  static double term(double a, double b) noexcept { return std::fabs(a - b); }
  static double fin(double x) noexcept { return x; }
};

// (a - b)^2 = a^2 + b^2 - 2ab; a * 0.0 is already 0.
struct Kf {
  static double pair(double a, double b) noexcept { return a * b; }
  static double self(double a) noexcept { return a * a; }
  static double lone(double a) noexcept { return a * a; }
  static double rare(double a, double b) noexcept { return a * b; }
  static double term(double a, double b) noexcept { return (a - b) * (a - b); }
  static double fin(double x) noexcept { return std::sqrt(x); }
};

struct WeightedLayout {
  DenseRows<double> rows;
  Postings postings;
  std::vector<WeightedSelf> self;
};

// The layout's columns: splits held by at least 2 of the n trees.
inline ColumnMap weighted_columns(std::span<const std::uint32_t> freq, std::size_t n,
                                  std::uint32_t dense_threshold) {
  return assign_columns(freq, n, Eligible{2, static_cast<std::uint32_t>(n)}, dense_threshold);
}

template <class Metric>
WeightedLayout lay_out_weighted(Input& input, std::uint32_t dense_threshold) {
  const std::size_t n = input.size();
  ColumnMap columns = weighted_columns(input.freq(), n, dense_threshold);
  const unsigned shift = block_shift(static_cast<std::size_t>(tbb::info::default_concurrency()));
  PostingsBuilder builder = postings_builder(input.freq(), columns, n, shift, true);
  WeightedLayout layout;
  const auto build = [&](const InternSnap& snap, std::span<double> row, SparseRow& sparse) {
    return weighted_row<Metric>(snap, columns, row, sparse);
  };
  lay_out(input, shift, columns.n_dense, build, builder, layout.self, layout.rows);
  input.release_freq();
  columns = {};
  layout.postings = finish(std::move(builder));
  return layout;
}

// The definition summed over the splits of trees i and j, 0.0 for a split a
// tree lacks: dense columns ascending, then rare splits by ascending sparse
// index, then i's and j's column-less splits.
template <class Metric>
[[gnu::noinline, gnu::cold]] double direct(const WeightedLayout& layout, std::span<const WeightedSelf> self,
                                           std::size_t i, std::size_t j) noexcept {
  const double* a = layout.rows.row(i);
  const double* b = layout.rows.row(j);
  double sum = 0.0;
  for (std::size_t x = 0; x < layout.rows.width; ++x) sum += Metric::term(a[x], b[x]);
  const PostingSpan ri = forward_row(layout.postings, i);
  const PostingSpan rj = forward_row(layout.postings, j);
  std::size_t p = 0;
  std::size_t q = 0;
  while (p < ri.trees.size() || q < rj.trees.size()) {
    if (q == rj.trees.size() || (p < ri.trees.size() && ri.trees[p] < rj.trees[q])) {
      sum += Metric::term(ri.vals[p++], 0.0);
    } else if (p == ri.trees.size() || rj.trees[q] < ri.trees[p]) {
      sum += Metric::term(0.0, rj.vals[q++]);
    } else {
      sum += Metric::term(ri.vals[p++], rj.vals[q++]);
    }
  }
  sum += self[i].lone;
  sum += self[j].lone;
  return Metric::fin(sum);
}

// The distance of trees i < j from their cross term `d` (dense lanes summed,
// then the rare cross term added) and the metric's self terms: the identity
// when it is safe, the direct sum otherwise.
template <class Metric>
inline double finish_pair(const WeightedLayout& layout, std::span<const WeightedSelf> self, std::size_t i,
                          std::size_t j, double d) noexcept {
  const double scale = std::fabs(self[i].total) + std::fabs(self[j].total);
  const double v = (self[i].total + self[j].total) - (d + d);
  if (std::isfinite(v) && (v > scale * kCancellation || (v == 0.0 && scale == 0.0))) return Metric::fin(v);
  return direct<Metric>(layout, self, i, j);
}

// Another metric's self terms over the same columns: the rows and postings of
// a layout serve both metrics, only the self terms differ.
template <class Metric>
std::vector<WeightedSelf> weighted_self_terms(std::span<const InternSnap> snaps,
                                              std::span<const std::uint32_t> freq,
                                              std::uint32_t dense_threshold) {
  const ColumnMap columns = weighted_columns(freq, snaps.size(), dense_threshold);
  std::vector<WeightedSelf> self(snaps.size());
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, snaps.size()),
                    [&](const tbb::blocked_range<std::size_t>& r) {
                      std::vector<double> row(columns.n_dense);
                      SparseRow sparse;
                      for (std::size_t t = r.begin(); t != r.end(); ++t) {
                        std::fill(row.begin(), row.end(), 0.0);
                        sparse.clear();
                        self[t] = weighted_row<Metric>(snaps[t], columns, row, sparse);
                      }
                    });
  return self;
}

}  // namespace cladomatic
