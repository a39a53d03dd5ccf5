#include "block.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <bit>
#include <vector>

namespace cladomatic {
namespace {

constexpr std::uint32_t kAbsent = 0xFFFFFFFFu;

// Per tree, its first position among the columns; a repeated column takes its
// cells from the first one.
std::vector<std::uint32_t> first_columns(std::span<const std::uint32_t> cols, std::size_t n) {
  std::vector<std::uint32_t> first(n, kAbsent);
  for (std::size_t p = 0; p < cols.size(); ++p) {
    if (cols[p] >= n) throw InvariantFailure("block column out of range");
    if (first[cols[p]] == kAbsent) first[cols[p]] = static_cast<std::uint32_t>(p);
  }
  return first;
}

void check_rows(std::span<const std::uint32_t> rows, std::size_t n) {
  for (std::uint32_t t : rows) {
    if (t >= n) throw InvariantFailure("block row out of range");
  }
}

// All trees holding rare split k, ascending, with their lengths when kept.
PostingSpan holders(const Postings& postings, std::uint32_t k) noexcept {
  const std::uint64_t begin = postings.starts[k];
  const std::uint64_t count = postings.starts[k + 1] - begin;
  PostingSpan all{{postings.docs.data() + begin, count}, {}};
  if (!postings.vals.empty()) all.vals = {postings.vals.data() + begin, count};
  return all;
}

// Runs `row(r, scratch)` for every block row in parallel, each counted when
// done; each task owns a scratch of one cell per column.
template <class Acc, class Row>
void for_rows(Block block, const Row& row) {
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, block.rows.size()),
                    [&](const tbb::blocked_range<std::size_t>& range) {
                      std::vector<Acc> scratch(block.cols.size());
                      for (std::size_t r = range.begin(); r != range.end() && !stop_requested(); ++r) {
                        std::fill(scratch.begin(), scratch.end(), Acc{});
                        row(r, scratch);
                        count_rows(block.rows_done, 1);
                      }
                    });
}

// Counts block row r's rare splits shared with each column tree into
// `shared`, at the first column of each tree.
[[gnu::always_inline]] inline void add_shared_rare(const RfLayout& layout,
                                                   std::span<const std::uint32_t> first, std::uint32_t i,
                                                   std::span<std::uint32_t> shared) {
  for (std::uint32_t k : forward_row(layout.postings, i).trees) {
    for (std::uint32_t j : holders(layout.postings, k).trees) {
      if (first[j] != kAbsent) ++shared[first[j]];
    }
  }
}

// Block row r of RF into `cells`: shared rare splits counted through the
// postings, then shared dense splits as bits.
[[gnu::always_inline]] inline void rf_block_row(const RfLayout& layout, Block block,
                                                std::span<const std::uint32_t> first, std::size_t r,
                                                std::span<std::uint32_t> shared, std::uint32_t* cells) {
  const BitRows& bits = layout.rows;
  const std::size_t width = block.cols.size();
  const std::uint32_t i = block.rows[r];
  add_shared_rare(layout, first, i, shared);
  const std::uint64_t* bits_i = bits.bits.data() + i * bits.words;
  for (std::size_t c = 0; c < width; ++c) {
    const std::uint32_t j = block.cols[c];
    if (j == i) {
      cells[c] = 0;
      continue;
    }
    const std::uint64_t* bits_j = bits.bits.data() + j * bits.words;
    const std::uint32_t lo = std::max(bits.lo[i], bits.lo[j]);
    const std::uint32_t hi = std::min(bits.hi[i], bits.hi[j]);
    std::uint32_t common = shared[first[j]];
    for (std::uint32_t w = lo; w < hi; ++w)
      common += static_cast<std::uint32_t>(std::popcount(bits_i[w] & bits_j[w]));
    cells[c] = layout.self[i] + layout.self[j] - 2 * common;
  }
}

// A row kernel; the word-major columns serve the vector kernel alone.
using RfBlockRow = void (*)(const RfLayout&, Block, std::span<const std::uint32_t>,
                            std::span<const std::uint64_t>, std::size_t, std::span<std::uint32_t>,
                            std::uint32_t*);

void rf_block_row_baseline(const RfLayout& layout, Block block, std::span<const std::uint32_t> first,
                           std::span<const std::uint64_t>, std::size_t r, std::span<std::uint32_t> shared,
                           std::uint32_t* cells) {
  rf_block_row(layout, block, first, r, shared, cells);
}

#if CLADOMATIC_X86_KERNELS
// The baseline instruction set counts bits through a library call per word.
[[gnu::target("popcnt")]] void rf_block_row_popcnt(const RfLayout& layout, Block block,
                                                   std::span<const std::uint32_t> first,
                                                   std::span<const std::uint64_t>, std::size_t r,
                                                   std::span<std::uint32_t> shared, std::uint32_t* cells) {
  rf_block_row(layout, block, first, r, shared, cells);
}

// Block row r against all its columns a word at a time, eight columns per
// instruction, over row i's own range of nonzero words (the words outside it
// add nothing); then the counts become distances.  The same integer
// arithmetic as rf_block_row, so the same cells.
[[gnu::target("avx512f,avx512vl,avx512bw,avx512vpopcntdq,popcnt")]] void rf_block_row_avx512(
    const RfLayout& layout, Block block, std::span<const std::uint32_t> first,
    std::span<const std::uint64_t> words, std::size_t r, std::span<std::uint32_t> shared,
    std::uint32_t* cells) {
  const std::size_t width = block.cols.size();
  const std::uint32_t i = block.rows[r];
  add_shared_rare(layout, first, i, shared);
  std::fill_n(cells, width, 0u);
  add_shared_words(layout.rows, i, words, width, 0, cells);
  const std::uint32_t s_i = layout.self[i];
  for (std::size_t c = 0; c < width; ++c) {
    const std::uint32_t j = block.cols[c];
    cells[c] = j == i ? 0 : s_i + layout.self[j] - 2 * (cells[c] + shared[first[j]]);
  }
}

// The vector kernel pays a word-major copy of the columns per block: worth it
// from a few rows on, and only while the copy stays small beside the block.
constexpr std::size_t kWordMajorRows = 8;
constexpr std::size_t kWordMajorMaxBytes = std::size_t{64} << 20;
#endif

// The RF row kernel for a block, with the word-major columns when it needs them.
struct RfRows {
  RfBlockRow row = rf_block_row_baseline;
  std::vector<std::uint64_t> words;
};

RfRows rf_rows_for(const RfLayout& layout, Block block, Simd simd) {
  RfRows kernel;
  if (simd == Simd::kBaseline) return kernel;
#if CLADOMATIC_X86_KERNELS
  const CpuFeatures& cpu = cpu_features();
  if (cpu.avx512_popcount && block.rows.size() >= kWordMajorRows &&
      layout.rows.words * block.cols.size() <= kWordMajorMaxBytes / sizeof(std::uint64_t)) {
    kernel.row = rf_block_row_avx512;
    kernel.words = word_major(layout.rows, block.cols);
  } else if (cpu.popcnt) {
    kernel.row = rf_block_row_popcnt;
  }
#endif
  return kernel;
}

// Block rows are taken kRowGroup at a time, so that each column's dense row is
// read once for the whole group.
constexpr std::size_t kRowGroup = 4;

// The dense cross terms of kRowGroup rows `a` against one tree `b` as the full
// fill sums them: lane x mod 8 takes the columns x in ascending order.  The
// full fill puts the lower tree first; the other order gives the same sums,
// since a sum from +0.0 never becomes -0.0 and a NaN length sends the pair to
// the direct sum whatever its lanes hold.
template <class Metric>
void dense_lanes(const double* const* a, const double* b, std::size_t width,
                 double (&lanes)[kRowGroup][8]) noexcept {
  for (auto& row : lanes) std::fill(std::begin(row), std::end(row), 0.0);
  std::size_t x = 0;
  for (; x + 8 <= width; x += 8) {
    for (std::size_t k = 0; k < kRowGroup; ++k) {
      for (std::size_t lane = 0; lane < 8; ++lane)
        lanes[k][lane] += Metric::pair(a[k][x + lane], b[x + lane]);
    }
  }
  for (std::size_t lane = 0; x < width; ++x, ++lane) {
    for (std::size_t k = 0; k < kRowGroup; ++k) lanes[k][lane] += Metric::pair(a[k][x], b[x]);
  }
}

template <class Metric>
void weighted_block(const WeightedLayout& layout, std::span<const WeightedSelf> self, Block block,
                    double* out) {
  const std::size_t n = layout.self.size();
  if (self.size() != n) throw InvariantFailure("self terms for every tree");
  check_rows(block.rows, n);
  const std::vector<std::uint32_t> first = first_columns(block.cols, n);
  const std::size_t width = block.cols.size();
  const std::size_t groups = (block.rows.size() + kRowGroup - 1) / kRowGroup;
  tbb::parallel_for(
      tbb::blocked_range<std::size_t>(0, groups), [&](const tbb::blocked_range<std::size_t>& range) {
        std::vector<double> rare(kRowGroup * width);
        for (std::size_t group = range.begin(); group != range.end() && !stop_requested(); ++group) {
          const std::size_t r0 = group * kRowGroup;
          const std::size_t count = std::min(kRowGroup, block.rows.size() - r0);
          std::fill(rare.begin(), rare.end(), 0.0);
          const double* rows[kRowGroup];
          for (std::size_t k = 0; k < kRowGroup; ++k) {
            // A short last group repeats its last row rather than branch per column.
            const std::uint32_t i = block.rows[r0 + std::min(k, count - 1)];
            rows[k] = layout.rows.row(i);
            if (k >= count) continue;
            // Rare cross terms by ascending sparse index, each with the lower
            // tree's length first, as the full fill adds them.
            double* own_rare = rare.data() + k * width;
            const PostingSpan own = forward_row(layout.postings, i);
            for (std::size_t e = 0; e < own.trees.size(); ++e) {
              const double x = own.vals[e];
              const PostingSpan all = holders(layout.postings, own.trees[e]);
              for (std::size_t p = 0; p < all.trees.size(); ++p) {
                const std::uint32_t j = all.trees[p];
                if (j == i || first[j] == kAbsent) continue;
                own_rare[first[j]] += j > i ? Metric::rare(x, all.vals[p]) : Metric::rare(all.vals[p], x);
              }
            }
          }
          double lanes[kRowGroup][8];
          for (std::size_t c = 0; c < width; ++c) {
            const std::uint32_t j = block.cols[c];
            dense_lanes<Metric>(rows, layout.rows.row(j), layout.rows.width, lanes);
            for (std::size_t k = 0; k < count; ++k) {
              const std::uint32_t i = block.rows[r0 + k];
              double value = 0.0;
              if (j != i) {
                double d = lanes[k][0];
                for (std::size_t lane = 1; lane < 8; ++lane) d += lanes[k][lane];
                d += rare[k * width + first[j]];
                value = finish_pair<Metric>(layout, self, std::min(i, j), std::max(i, j), d);
              }
              out[(r0 + k) * width + c] = value;
            }
          }
          count_rows(block.rows_done, count);
        }
      });
}

}  // namespace

void check_block(const Block& block, std::size_t n_rows, std::size_t n_cols) {
  check_rows(block.rows, n_rows);
  for (std::uint32_t t : block.cols)
    if (t >= n_cols) throw InvariantFailure("block column out of range");
}

void rf_block(const RfLayout& layout, Block block, std::uint32_t* out, Simd simd) {
  check_rows(block.rows, layout.self.size());
  const std::vector<std::uint32_t> first = first_columns(block.cols, layout.self.size());
  const RfRows kernel = rf_rows_for(layout, block, simd);
  for_rows<std::uint32_t>(block, [&](std::size_t r, std::vector<std::uint32_t>& shared) {
    kernel.row(layout, block, first, kernel.words, r, shared, out + r * block.cols.size());
  });
}

void rf_norm_block(const RfLayout& layout, Block block, std::span<const std::uint32_t> splits, double* out) {
  check_rows(block.rows, layout.self.size());
  const std::vector<std::uint32_t> first = first_columns(block.cols, layout.self.size());
  const RfRows kernel = rf_rows_for(layout, block, Simd::kAuto);
  const std::size_t width = block.cols.size();
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, block.rows.size()),
                    [&](const tbb::blocked_range<std::size_t>& range) {
                      std::vector<std::uint32_t> shared(width);
                      std::vector<std::uint32_t> rf(width);
                      for (std::size_t r = range.begin(); r != range.end() && !stop_requested(); ++r) {
                        std::fill(shared.begin(), shared.end(), 0);
                        kernel.row(layout, block, first, kernel.words, r, shared, rf.data());
                        const std::uint64_t own = splits[block.rows[r]];
                        for (std::size_t c = 0; c < width; ++c) {
                          const std::uint64_t both = own + splits[block.cols[c]];
                          out[r * width + c] = both == 0 ? 0.0 : double(rf[c]) / double(both);
                        }
                        count_rows(block.rows_done, 1);
                      }
                    });
}

InfoWeights info_weights(std::span<const InternSnap> snaps, std::span<const std::uint32_t> freq,
                         std::span<const double> information, std::uint32_t dense_threshold) {
  const std::size_t n = snaps.size();
  const ColumnMap columns = rf_columns(freq, n, dense_threshold);
  if (information.size() != freq.size()) throw InvariantFailure("split information for every split id");
  InfoWeights weights;
  weights.dense.assign(columns.n_dense, 0.0);
  weights.sparse.assign(columns.n_columns - columns.n_dense, 0.0);
  for (std::size_t s = 0; s < freq.size(); ++s) {
    const std::uint32_t c = columns.column_of[s];
    if (c == kNoColumn) continue;
    (c < columns.n_dense ? weights.dense[c] : weights.sparse[c - columns.n_dense]) = information[s];
  }
  weights.lone.assign(n, 0.0);
  for (std::size_t t = 0; t < n; ++t) {
    for (SplitId s : snaps[t].ids) {
      if (s >= freq.size()) throw InvariantFailure("split id without a tree count");
      if (freq[s] == 1) weights.lone[t] += information[s];
    }
  }
  return weights;
}

void info_rf_block(const RfLayout& layout, const InfoWeights& weights, Block block, double* out) {
  const std::size_t n = layout.self.size();
  check_rows(block.rows, n);
  for (std::uint32_t t : block.cols) {
    if (t >= n) throw InvariantFailure("block column out of range");
  }
  const BitRows& bits = layout.rows;
  const std::size_t width = block.cols.size();
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, block.rows.size()),
                    [&](const tbb::blocked_range<std::size_t>& range) {
                      for (std::size_t r = range.begin(); r != range.end() && !stop_requested(); ++r) {
                        const std::uint32_t i = block.rows[r];
                        const std::uint64_t* bits_i = bits.bits.data() + i * bits.words;
                        const PostingSpan rare_i = forward_row(layout.postings, i);
                        for (std::size_t c = 0; c < width; ++c) {
                          const std::uint32_t j = block.cols[c];
                          double sum = 0.0;
                          if (j != i) {
                            const std::uint64_t* bits_j = bits.bits.data() + j * bits.words;
                            const std::uint32_t hi = std::max(bits.hi[i], bits.hi[j]);
                            for (std::uint32_t w = std::min(bits.lo[i], bits.lo[j]); w < hi; ++w) {
                              for (std::uint64_t x = bits_i[w] ^ bits_j[w]; x != 0; x &= x - 1)
                                sum += weights.dense[w * 64 + std::countr_zero(x)];
                            }
                            const PostingSpan rare_j = forward_row(layout.postings, j);
                            std::size_t p = 0;
                            std::size_t q = 0;
                            while (p < rare_i.trees.size() || q < rare_j.trees.size()) {
                              if (q == rare_j.trees.size() ||
                                  (p < rare_i.trees.size() && rare_i.trees[p] < rare_j.trees[q])) {
                                sum += weights.sparse[rare_i.trees[p++]];
                              } else if (p == rare_i.trees.size() || rare_j.trees[q] < rare_i.trees[p]) {
                                sum += weights.sparse[rare_j.trees[q++]];
                              } else {
                                ++p;
                                ++q;
                              }
                            }
                            sum += weights.lone[std::min(i, j)];
                            sum += weights.lone[std::max(i, j)];
                          }
                          out[r * width + c] = sum;
                        }
                        count_rows(block.rows_done, 1);
                      }
                    });
}

void wrf_block(const WeightedLayout& layout, std::span<const WeightedSelf> self, Block block, double* out) {
  weighted_block<Wrf>(layout, self, block, out);
}

void kf_block(const WeightedLayout& layout, std::span<const WeightedSelf> self, Block block, double* out) {
  weighted_block<Kf>(layout, self, block, out);
}

}  // namespace cladomatic
