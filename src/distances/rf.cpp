#include "rf.hpp"

#include <tbb/info.h>

#include <bit>
#include <cstring>
#include <numeric>

#include "../primitives/cpu.hpp"
#include "boundary.hpp"
#include "matrix.hpp"
#include "topologies.hpp"

namespace cladomatic {
namespace {

// Below this many trees every shared split is intersected as bits: the rows
// are short and the postings would only add indirection.
constexpr std::size_t kSparseFrom = 256;

// Sixteen rows of u32 cells mirror into whole 64-byte lines below.
constexpr std::size_t kRowsPerItem = 16;

// Takes 2 off the cells of row i for each rare split it shares with a later
// tree.  The cells hold s_i + s_j - 2 (shared dense splits) by then; in u32
// the order of the terms cannot change the result.
[[gnu::always_inline]] inline void subtract_rare(const RfLayout& layout, const RowSlice<std::uint32_t>& cells,
                                                 std::size_t i) {
  for (std::uint32_t k : forward_row(layout.postings, i).trees) {
    for (std::uint32_t j : later_trees(layout.postings, k, static_cast<std::uint32_t>(i)).trees) {
      cells.set(i, j, cells.get(i, j) - 2);
    }
  }
}

[[gnu::always_inline]] inline void rf_rows(const RfLayout& layout, const RowSlice<std::uint32_t>& cells) {
  const BitRows& rows = layout.rows;
  const std::size_t n = cells.n;
  for (std::size_t i = cells.first; i < cells.first + cells.count; ++i) {
    // Row i's own range of nonzero words, the same for every j: a loop
    // whose length changed with j's range would be mispredicted at every
    // change of topology between neighbouring trees, which costs more than
    // the few words of zeros it skips.
    const std::uint32_t lo = rows.lo[i];
    const std::uint32_t hi = rows.hi[i];
    const std::uint64_t* bits_i = rows.bits.data() + i * rows.words;
    const std::uint32_t s_i = layout.self[i];
    for (std::size_t j = i + 1; j < n; ++j) {
      const std::uint64_t* bits_j = rows.bits.data() + j * rows.words;
      std::uint32_t shared = 0;
      for (std::uint32_t w = lo; w < hi; ++w)
        shared += static_cast<std::uint32_t>(std::popcount(bits_i[w] & bits_j[w]));
      cells.set(i, j, s_i + layout.self[j] - 2 * shared);
    }
    subtract_rare(layout, cells, i);
  }
}

void rf_rows_baseline(const RfLayout& layout, const RowSlice<std::uint32_t>& cells) {
  rf_rows(layout, cells);
}

#if CLADOMATIC_X86_KERNELS
// The baseline instruction set counts bits through a library call per word.
[[gnu::target("popcnt")]] void rf_rows_popcnt(const RfLayout& layout, const RowSlice<std::uint32_t>& cells) {
  rf_rows(layout, cells);
}

using U64x8 = std::uint64_t __attribute__((vector_size(64)));
using U32x8 = std::uint32_t __attribute__((vector_size(32)));

// Row i against the later trees sixteen at a time: their counts stay in two
// vector registers over all of row i's words, and each cell is stored once,
// as a distance; a pass per word over the whole row would load and store
// every cell once per word.  The same integer arithmetic as rf_rows, so the
// same cells.
[[gnu::target("avx512f,avx512vl,avx512bw,avx512vpopcntdq,popcnt")]] void rf_rows_avx512(
    const RfLayout& layout, std::span<const std::uint64_t> columns, const RowSlice<std::uint32_t>& cells) {
  constexpr std::size_t kStrip = 16;
  const BitRows& rows = layout.rows;
  const std::size_t n = cells.n;
  const std::uint32_t* self = layout.self.data();
  for (std::size_t i = cells.first; i < cells.first + cells.count; ++i) {
    auto* row = reinterpret_cast<std::uint32_t*>(cells.at(i, 0));
    const std::uint64_t* bits_i = rows.bits.data() + i * rows.words;
    const std::uint32_t lo = rows.lo[i];
    const std::uint32_t hi = rows.hi[i];
    const std::uint32_t s_i = self[i];
    std::size_t c = i + 1;
    for (; c + kStrip <= n; c += kStrip) {
      std::uint64_t shared[kStrip] = {};
      for (std::uint32_t w = lo; w < hi; ++w) {
        const std::uint64_t word = bits_i[w];
        const std::uint64_t* column = columns.data() + w * n + c;
        for (std::size_t k = 0; k < kStrip; ++k)
          shared[k] += static_cast<std::uint64_t>(std::popcount(column[k] & word));
      }
      // Whole vectors here: the cells may alias `self` as far as the
      // compiler knows, and it would otherwise store them one by one.
      U64x8 low, high;
      std::memcpy(&low, shared, sizeof low);
      std::memcpy(&high, shared + 8, sizeof high);
      U32x8 self_low, self_high;
      std::memcpy(&self_low, self + c, sizeof self_low);
      std::memcpy(&self_high, self + c + 8, sizeof self_high);
      const U32x8 d_low = s_i + self_low - 2 * __builtin_convertvector(low, U32x8);
      const U32x8 d_high = s_i + self_high - 2 * __builtin_convertvector(high, U32x8);
      std::memcpy(row + c, &d_low, sizeof d_low);
      std::memcpy(row + c + 8, &d_high, sizeof d_high);
    }
    for (; c < n; ++c) {
      std::uint32_t shared = 0;
      for (std::uint32_t w = lo; w < hi; ++w)
        shared += static_cast<std::uint32_t>(std::popcount(columns[w * n + c] & bits_i[w]));
      row[c] = s_i + self[c] - 2 * shared;
    }
    subtract_rare(layout, cells, i);
  }
}
#endif

void rf_row_kernel(const RfLayout& layout, const RowSlice<std::uint32_t>& cells) {
#if CLADOMATIC_X86_KERNELS
  if (cpu_features().popcnt) {
    rf_rows_popcnt(layout, cells);
    return;
  }
#endif
  rf_rows_baseline(layout, cells);
}

// The share is read only once a call has enough trees to use it.
std::uint32_t threshold_for(std::size_t n) {
  return n < kSparseFrom ? 2 : rf_dense_threshold(n, rf_dense_share());
}

}  // namespace

ColumnMap rf_columns(std::span<const std::uint32_t> freq, std::size_t n, std::uint32_t dense_threshold) {
  return assign_columns(freq, n, Eligible{2, static_cast<std::uint32_t>(n) - 1}, dense_threshold);
}

RfLayout lay_out_rf(Input& input, std::uint32_t dense_threshold) {
  const std::size_t n = input.size();
  ColumnMap columns = rf_columns(input.freq(), n, dense_threshold);
  std::uint32_t n_everywhere = 0;
  for (std::uint32_t f : input.freq()) n_everywhere += f == n ? 1 : 0;
  const std::size_t words = (columns.n_dense + 63) / 64;
  const unsigned shift = block_shift(static_cast<std::size_t>(tbb::info::default_concurrency()));
  PostingsBuilder builder = postings_builder(input.freq(), columns, n, shift, false);
  RfLayout layout;
  DenseRows<std::uint64_t> dense;
  const auto build = [&](const InternSnap& snap, std::span<std::uint64_t> row, SparseRow& sparse) {
    return rf_row(snap, columns, n_everywhere, row, sparse);
  };
  lay_out(input, shift, words, build, builder, layout.self, dense);
  input.release_freq();
  columns = {};
  layout.postings = finish(std::move(builder));
  layout.rows = bit_rows(std::move(dense.data), n, words);
  return layout;
}

std::vector<std::uint64_t> word_major(const BitRows& rows, std::span<const std::uint32_t> trees) {
  const std::size_t width = trees.size();
  std::vector<std::uint64_t> words(rows.words * width);
  for (std::size_t c = 0; c < width; ++c) {
    const std::uint64_t* row = rows.bits.data() + std::size_t{trees[c]} * rows.words;
    for (std::size_t w = 0; w < rows.words; ++w) words[w * width + c] = row[w];
  }
  return words;
}

std::uint32_t rf_dense_threshold(std::size_t n, double share) noexcept {
  return n < kSparseFrom ? 2 : dense_threshold(share, n);
}

BitRows bit_rows(std::vector<std::uint64_t>&& bits, std::size_t n, std::size_t words) {
  BitRows rows;
  rows.bits = std::move(bits);
  rows.words = words;
  rows.lo.assign(n, 0);
  rows.hi.assign(n, 0);
  for (std::size_t t = 0; t < n; ++t) {
    const std::uint64_t* row = rows.bits.data() + t * words;
    std::size_t hi = words;
    while (hi > 0 && row[hi - 1] == 0) --hi;
    if (hi == 0) continue;
    std::size_t lo = 0;
    while (row[lo] == 0) ++lo;
    rows.lo[t] = static_cast<std::uint32_t>(lo);
    rows.hi[t] = static_cast<std::uint32_t>(hi);
  }
  return rows;
}

void distance_rf_split(Input&& input, std::uint32_t dense_threshold, Simd simd,
                       std::atomic<std::uint64_t>* progress, std::span<std::byte> out) {
  Input taken = std::move(input);
  const std::size_t n = taken.size();
  require_matrix_bytes<std::uint32_t>(out, n);
  if (n == 0) return;
  const RfLayout layout = lay_out_rf(taken, dense_threshold);
#if CLADOMATIC_X86_KERNELS
  // The vector kernel addresses cells as u32, which needs them aligned.
  const bool aligned = reinterpret_cast<std::uintptr_t>(out.data()) % alignof(std::uint32_t) == 0;
  if (simd == Simd::kAuto && cpu_features().avx512_popcount && aligned) {
    std::vector<std::uint32_t> every_tree(n);
    std::iota(every_tree.begin(), every_tree.end(), 0u);
    const std::vector<std::uint64_t> columns = word_major(layout.rows, every_tree);
    fill_symmetric<std::uint32_t>(
        out, n, kRowsPerItem, progress,
        [&](const RowSlice<std::uint32_t>& cells) { rf_rows_avx512(layout, columns, cells); }, Fill::whole,
        Start::unwritten);
    return;
  }
#endif
  fill_symmetric<std::uint32_t>(
      out, n, kRowsPerItem, progress,
      [&](const RowSlice<std::uint32_t>& cells) { rf_row_kernel(layout, cells); }, Fill::whole,
      Start::unwritten);
}

void distance_rf(Input&& input, std::atomic<std::uint64_t>* progress, std::span<std::byte> out) {
  Input taken = std::move(input);
  const std::size_t n = taken.size();
  require_matrix_bytes<std::uint32_t>(out, n);
  if (n == 0) return;
  const Topologies topologies = distinct_topologies(taken.snaps());
  const std::size_t m = topologies.first.size();
  // The small matrix lives beside the full one: with more than half the
  // trees distinct it would cost over a quarter more memory for a saving
  // that the copy-out mostly eats.
  if (2 * m > n) {
    distance_rf_split(std::move(taken), threshold_for(n), Simd::kAuto, progress, out);
    return;
  }
  std::vector<std::uint32_t> groups_matrix(m * m);
  distance_rf_split(Input::subset(std::move(taken), topologies.first), threshold_for(m), Simd::kAuto,
                    progress, std::as_writable_bytes(std::span(groups_matrix)));
  expand_topologies(groups_matrix, topologies, progress, pairs_in_rows(n, 0, n) - pairs_in_rows(m, 0, m),
                    out);
}

}  // namespace cladomatic
