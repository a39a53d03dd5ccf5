#include "weighted.hpp"

#include <tbb/info.h>

#include <algorithm>
#include <cmath>

#include "boundary.hpp"
#include "matrix.hpp"

namespace cladomatic {
namespace {

// Both metrics use distance = fin(N_i + N_j - 2 C(i, j)): N a per-tree self
// term, C a cross term summed over the splits as pair(a, b), a split a tree
// lacks counting as 0.0 in a dense column.
//
// A rare split (sparse or column-less) enters C only when both trees hold it,
// so its absence never meets pair(a, 0.0).  For WRF with a negative length
// that term is a, not 0: rare splits therefore carry lone(a) = |a| in N and
// rare(a, b) = pair(a, b) - pair(a, 0) - pair(0, b) in C, which keeps
// |a - b| exact for every sign and equals pair(a, b) for non-negative lengths.

// |a - b| = a + b - 2 min(a, b).
struct Wrf {
  // The smaller; if one is NaN, the other.
  static double pair(double a, double b) noexcept { return b != b ? a : (a < b ? a : b); }
  static double self(double a) noexcept { return pair(a, a); }
  static double lone(double a) noexcept { return std::fabs(a); }
  static double rare(double a, double b) noexcept { return pair(a, b) - pair(a, 0.0) - pair(0.0, b); }
  static double fin(double x) noexcept { return x; }
};

// (a - b)^2 = a^2 + b^2 - 2ab; a * 0.0 is already 0.
struct Kf {
  static double pair(double a, double b) noexcept { return a * b; }
  static double self(double a) noexcept { return a * a; }
  static double lone(double a) noexcept { return a * a; }
  static double rare(double a, double b) noexcept { return a * b; }
  static double fin(double x) noexcept { return std::sqrt(x); }
};

struct WeightedLayout {
  DenseRows<double> rows;
  Postings postings;
  std::vector<double> self;
};

template <class Metric>
WeightedLayout lay_out_weighted(Input& input, std::uint32_t dense_threshold) {
  const std::size_t n = input.size();
  ColumnMap columns =
      assign_columns(input.freq(), n, Eligible{2, static_cast<std::uint32_t>(n)}, dense_threshold);
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

constexpr std::size_t kRowsPerItem = 8;
constexpr std::size_t kGroup = 4;
constexpr std::size_t kStrip = 512;
constexpr std::size_t kLanes = 8;

using Lanes = double[kLanes];

// Lane x mod 8 of `acc` takes pair(a[x], b[x]) for x in [x0, x1), ascending;
// x0 is a multiple of 8.
template <class Metric>
void accumulate(Lanes& acc, const double* a, const double* b, std::size_t x0, std::size_t x1) noexcept {
  std::size_t x = x0;
  for (; x + kLanes <= x1; x += kLanes) {
    for (std::size_t lane = 0; lane < kLanes; ++lane) acc[lane] += Metric::pair(a[x + lane], b[x + lane]);
  }
  for (std::size_t lane = 0; x < x1; ++x, ++lane) acc[lane] += Metric::pair(a[x], b[x]);
}

// Rows [first, first + count) against every later tree: rare splits through
// the postings, then dense columns 8 rows x 4 trees x 512 columns at a time,
// so a strip step reads 8 + 4 row pieces that stay in cache.
template <class Metric>
void weighted_rows(const WeightedLayout& layout, const RowSlice<double>& cells) {
  const std::size_t n = cells.n;
  const std::size_t first = cells.first;
  const std::size_t count = cells.count;
  for (std::size_t i = first; i < first + count; ++i) {
    const PostingSpan rare = forward_row(layout.postings, i);
    for (std::size_t e = 0; e < rare.trees.size(); ++e) {
      const double x = rare.vals[e];
      const PostingSpan later = later_trees(layout.postings, rare.trees[e], static_cast<std::uint32_t>(i));
      for (std::size_t p = 0; p < later.trees.size(); ++p) {
        const std::size_t j = later.trees[p];
        cells.set(i, j, cells.get(i, j) + Metric::rare(x, later.vals[p]));
      }
    }
  }
  const std::size_t width = layout.rows.width;
  Lanes acc[kRowsPerItem][kGroup];
  for (std::size_t g = first + 1; g < n; g += kGroup) {
    const std::size_t group = std::min(kGroup, n - g);
    for (auto& row : acc) {
      for (Lanes& lanes : row) std::fill(std::begin(lanes), std::end(lanes), 0.0);
    }
    for (std::size_t x0 = 0; x0 < width; x0 += kStrip) {
      const std::size_t x1 = std::min(x0 + kStrip, width);
      for (std::size_t r = 0; r < count; ++r) {
        const double* row_i = layout.rows.row(first + r);
        for (std::size_t c = 0; c < group; ++c) {
          if (g + c <= first + r) continue;
          accumulate<Metric>(acc[r][c], row_i, layout.rows.row(g + c), x0, x1);
        }
      }
    }
    for (std::size_t r = 0; r < count; ++r) {
      const std::size_t i = first + r;
      for (std::size_t c = 0; c < group; ++c) {
        const std::size_t j = g + c;
        if (j <= i) continue;
        const Lanes& lanes = acc[r][c];
        double d = lanes[0];
        for (std::size_t lane = 1; lane < kLanes; ++lane) d += lanes[lane];
        d += cells.get(i, j);
        const double v = (layout.self[i] + layout.self[j]) - (d + d);
        // Rounding can leave nearly identical trees slightly below 0; NaN
        // (from infinite or NaN lengths) also becomes 0.
        cells.set(i, j, Metric::fin(v > 0.0 ? v : 0.0));
      }
    }
  }
}

template <class Metric>
void distance_weighted(Input&& input, std::uint32_t dense_threshold, std::atomic<std::uint64_t>* progress,
                       std::span<std::byte> out) {
  Input taken = std::move(input);
  const std::size_t n = taken.size();
  require_matrix_bytes<double>(out, n);
  if (n == 0) return;
  const WeightedLayout layout = lay_out_weighted<Metric>(taken, dense_threshold);
  fill_symmetric<double>(out, n, kRowsPerItem, progress,
                         [&](const RowSlice<double>& cells) { weighted_rows<Metric>(layout, cells); });
}

template <class Metric>
void distance_weighted(Input&& input, std::atomic<std::uint64_t>* progress, std::span<std::byte> out) {
  const double share = weighted_dense_share();
  const std::size_t n = input.size();
  distance_weighted<Metric>(std::move(input), dense_threshold(share, n), progress, out);
}

template <class Metric>
std::vector<double> weighted_matrix(Input&& input, std::atomic<std::uint64_t>* progress) {
  const std::size_t n = input.size();
  std::vector<double> matrix(n * n);
  distance_weighted<Metric>(std::move(input), progress, std::as_writable_bytes(std::span(matrix)));
  return matrix;
}

}  // namespace

void distance_wrf(Input&& input, std::atomic<std::uint64_t>* progress, std::span<std::byte> out) {
  distance_weighted<Wrf>(std::move(input), progress, out);
}

void distance_kf(Input&& input, std::atomic<std::uint64_t>* progress, std::span<std::byte> out) {
  distance_weighted<Kf>(std::move(input), progress, out);
}

std::vector<double> distance_wrf(Input&& input, std::atomic<std::uint64_t>* progress) {
  return weighted_matrix<Wrf>(std::move(input), progress);
}

std::vector<double> distance_kf(Input&& input, std::atomic<std::uint64_t>* progress) {
  return weighted_matrix<Kf>(std::move(input), progress);
}

void distance_wrf_split(Input&& input, std::uint32_t dense_threshold, std::atomic<std::uint64_t>* progress,
                        std::span<std::byte> out) {
  distance_weighted<Wrf>(std::move(input), dense_threshold, progress, out);
}

void distance_kf_split(Input&& input, std::uint32_t dense_threshold, std::atomic<std::uint64_t>* progress,
                       std::span<std::byte> out) {
  distance_weighted<Kf>(std::move(input), dense_threshold, progress, out);
}

}  // namespace cladomatic
