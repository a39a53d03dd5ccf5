#include "weighted.hpp"

#include <tbb/info.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>

#include "../primitives/cpu.hpp"
#include "boundary.hpp"
#include "matrix.hpp"
#include "weighted_terms.hpp"

namespace cladomatic {
namespace {

constexpr std::size_t kRowsPerItem = 8;
constexpr std::size_t kGroup = 4;
constexpr std::size_t kStrip = 512;
constexpr std::size_t kLanes = 8;

using Lanes = double[kLanes];

// Lanes of 2 (baseline), 4 (AVX2) or 8 (AVX-512) doubles.
using V2 = double __attribute__((vector_size(16)));
using V4 = double __attribute__((vector_size(32)));
using V8 = double __attribute__((vector_size(64)));

// Vectors never pass by value: outside a function built for them that would
// change the calling convention.
template <class V>
[[gnu::always_inline]] inline void load(V& v, const double* p) noexcept {
  std::memcpy(&v, p, sizeof(V));
}

// For R rows a[r] and M trees b[c], lane x mod 8 of acc[r][c] takes
// pair(a[r][x], b[c][x]) for x in [x0, x1), ascending; x0 is a multiple of 8.
// A row piece loaded once serves M trees and a tree piece R rows.  The lanes
// live in locals: through `acc` they could alias the rows and would go to
// memory every step.
template <class Metric, class V, std::size_t R, std::size_t M>
[[gnu::always_inline]] inline void accumulate(Lanes* const* acc, const double* const* a,
                                              const double* const* b, std::size_t x0,
                                              std::size_t x1) noexcept {
  constexpr std::size_t kWidth = sizeof(V) / sizeof(double);
  constexpr std::size_t kParts = kLanes / kWidth;
  V s[R][M][kParts];
  for (std::size_t r = 0; r < R; ++r) {
    for (std::size_t c = 0; c < M; ++c) {
      for (std::size_t p = 0; p < kParts; ++p) load(s[r][c][p], acc[r][c] + p * kWidth);
    }
  }
  std::size_t x = x0;
  for (; x + kLanes <= x1; x += kLanes) {
    V av[R][kParts];
    for (std::size_t r = 0; r < R; ++r) {
      for (std::size_t p = 0; p < kParts; ++p) load(av[r][p], a[r] + x + p * kWidth);
    }
    for (std::size_t c = 0; c < M; ++c) {
      for (std::size_t p = 0; p < kParts; ++p) {
        V bv;
        load(bv, b[c] + x + p * kWidth);
        for (std::size_t r = 0; r < R; ++r) {
          if constexpr (std::is_same_v<Metric, Kf>) {
            s[r][c][p] += av[r][p] * bv;
          } else {
            s[r][c][p] += av[r][p] < bv ? av[r][p] : bv;
          }
        }
      }
    }
  }
  for (std::size_t r = 0; r < R; ++r) {
    for (std::size_t c = 0; c < M; ++c) {
      for (std::size_t p = 0; p < kParts; ++p) std::memcpy(acc[r][c] + p * kWidth, &s[r][c][p], sizeof(V));
    }
  }
  for (std::size_t lane = 0; x < x1; ++x, ++lane) {
    for (std::size_t r = 0; r < R; ++r) {
      for (std::size_t c = 0; c < M; ++c) acc[r][c][lane] += Metric::pair(a[r][x], b[c][x]);
    }
  }
}

// The dense cross terms of rows [first, first + count) against every later
// tree, 8 rows x 4 trees x 512 columns at a time (the rows' and the trees'
// pieces of a strip stay in cache), finished into the cells, which hold the
// rare cross terms.  Blocks of kR rows x kM trees share their loads, as many
// as the vector registers hold the lanes of; the rows at the diagonal, whose
// later trees start inside the group, go one by one.
template <class Metric, class V, std::size_t kR, std::size_t kM>
[[gnu::always_inline]] inline void dense_rows(const WeightedLayout& layout, const RowSlice<double>& cells) {
  static_assert(kGroup % kM == 0 && kRowsPerItem % kR == 0);
  const std::size_t n = cells.n;
  const std::size_t first = cells.first;
  const std::size_t count = cells.count;
  const std::size_t width = layout.rows.width;
  Lanes acc[kRowsPerItem][kGroup];
  for (std::size_t g = first + 1; g < n; g += kGroup) {
    const std::size_t group = std::min(kGroup, n - g);
    for (auto& row : acc) {
      for (Lanes& lanes : row) std::fill(std::begin(lanes), std::end(lanes), 0.0);
    }
    const double* cols[kGroup];
    for (std::size_t c = 0; c < group; ++c) cols[c] = layout.rows.row(g + c);
    for (std::size_t x0 = 0; x0 < width; x0 += kStrip) {
      const std::size_t x1 = std::min(x0 + kStrip, width);
      std::size_t r = 0;
      if (group == kGroup && g >= first + count) {
        for (; r + kR <= count; r += kR) {
          const double* rows[kR];
          for (std::size_t k = 0; k < kR; ++k) rows[k] = layout.rows.row(first + r + k);
          for (std::size_t c = 0; c < kGroup; c += kM) {
            Lanes* block[kR];
            for (std::size_t k = 0; k < kR; ++k) block[k] = acc[r + k] + c;
            accumulate<Metric, V, kR, kM>(block, rows, cols + c, x0, x1);
          }
        }
      }
      for (; r < count; ++r) {
        const std::size_t i = first + r;
        const double* row_i = layout.rows.row(i);
        Lanes* lanes = acc[r];
        for (std::size_t c = g > i ? 0 : i + 1 - g; c < group; ++c) {
          Lanes* cell = lanes + c;
          accumulate<Metric, V, 1, 1>(&cell, &row_i, cols + c, x0, x1);
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
        cells.set(i, j, finish_pair<Metric>(layout, layout.self, i, j, d));
      }
    }
  }
}

template <class Metric>
void dense_rows_baseline(const WeightedLayout& layout, const RowSlice<double>& cells) {
  dense_rows<Metric, V2, 1, 2>(layout, cells);
}

#if CLADOMATIC_X86_KERNELS
template <class Metric>
[[gnu::target("avx2")]] void dense_rows_avx2(const WeightedLayout& layout, const RowSlice<double>& cells) {
  dense_rows<Metric, V4, 2, 2>(layout, cells);
}

// KF only: GCC lowers the 8-wide selects of WRF's min to scalar code before
// they reach this function, so WRF stays with AVX2 there.
template <class Metric>
[[gnu::target("avx512f")]] void dense_rows_avx512(const WeightedLayout& layout,
                                                  const RowSlice<double>& cells) {
  dense_rows<Metric, V8, 4, 4>(layout, cells);
}
#endif

// Rare splits first, through the postings: cell (i, j) starts as their
// cross term, added in ascending sparse index as in the self terms.
template <class Metric>
void weighted_rows(const WeightedLayout& layout, const RowSlice<double>& cells, [[maybe_unused]] Simd simd) {
  for (std::size_t i = cells.first; i < cells.first + cells.count; ++i) {
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
#if CLADOMATIC_X86_KERNELS
  if (simd == Simd::kAuto) {
    const CpuFeatures& cpu = cpu_features();
    if constexpr (std::is_same_v<Metric, Kf>) {
      if (cpu.avx512f) {
        dense_rows_avx512<Metric>(layout, cells);
        return;
      }
    }
    if (cpu.avx2) {
      dense_rows_avx2<Metric>(layout, cells);
      return;
    }
  }
#endif
  dense_rows_baseline<Metric>(layout, cells);
}

template <class Metric>
void distance_weighted(Input&& input, std::uint32_t dense_threshold, Simd simd,
                       std::atomic<std::uint64_t>* progress, std::span<std::byte> out,
                       Fill fill = Fill::whole) {
  Input taken = std::move(input);
  const std::size_t n = taken.size();
  require_matrix_bytes<double>(out, n);
  if (n == 0) return;
  const WeightedLayout layout = lay_out_weighted<Metric>(taken, dense_threshold);
  fill_symmetric<double>(
      out, n, kRowsPerItem, progress,
      [&](const RowSlice<double>& cells) { weighted_rows<Metric>(layout, cells, simd); }, fill);
}

template <class Metric>
void distance_weighted(Input&& input, std::atomic<std::uint64_t>* progress, std::span<std::byte> out,
                       Fill fill) {
  const double share = weighted_dense_share();
  const std::size_t n = input.size();
  distance_weighted<Metric>(std::move(input), dense_threshold(share, n), Simd::kAuto, progress, out, fill);
}

}  // namespace

void distance_wrf(Input&& input, std::atomic<std::uint64_t>* progress, std::span<std::byte> out, Fill fill) {
  distance_weighted<Wrf>(std::move(input), progress, out, fill);
}

void distance_kf(Input&& input, std::atomic<std::uint64_t>* progress, std::span<std::byte> out, Fill fill) {
  distance_weighted<Kf>(std::move(input), progress, out, fill);
}

void distance_wrf_split(Input&& input, std::uint32_t dense_threshold, Simd simd,
                        std::atomic<std::uint64_t>* progress, std::span<std::byte> out) {
  distance_weighted<Wrf>(std::move(input), dense_threshold, simd, progress, out);
}

void distance_kf_split(Input&& input, std::uint32_t dense_threshold, Simd simd,
                       std::atomic<std::uint64_t>* progress, std::span<std::byte> out) {
  distance_weighted<Kf>(std::move(input), dense_threshold, simd, progress, out);
}

}  // namespace cladomatic
