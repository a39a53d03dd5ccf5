// Robinson-Foulds distances: RF(i, j) = s_i + s_j - 2 shared(i, j), where
// s_i counts tree i's splits that are not in every tree and shared counts
// splits held by both with tree count 2..n-1.  Not halved.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "../primitives/cpu.hpp"
#include "layout.hpp"

namespace cladomatic {

// Fills `out` (exactly 4 * n * n bytes, any alignment) with the n x n matrix of
// little-endian u32, row-major.  `progress`, when given, grows by n(n-1)/2.
// Splits in at least max(ceil(share * n), 2) trees (share from
// CLADOMATIC_RF_DENSE_SHARE, read only when n >= 256) are intersected as bit
// rows, below 256 trees every shared split is.  Trees of one topology are
// compared once: with repeats the distinct topologies get their own matrix
// (and threshold), which is then copied out; the result is the same.
void distance_rf(Input&& input, std::atomic<std::uint64_t>* progress, std::span<std::byte> out);

// The same with the dense threshold given: splits in at least that many trees
// are dense (2 or less: all shared splits, n or more: none).  Any threshold
// gives the same matrix, and so does either `simd` (kBaseline: the scalar
// kernel).  Compares every pair of trees, repeats included.
void distance_rf_split(Input&& input, std::uint32_t dense_threshold, Simd simd,
                       std::atomic<std::uint64_t>* progress, std::span<std::byte> out);

// The threshold distance_rf uses for n trees and a share.
std::uint32_t rf_dense_threshold(std::size_t n, double share) noexcept;

// Dense bit rows with, per tree, the range of its nonzero words: intersections
// only look where both rows have bits.
struct BitRows {
  std::vector<std::uint64_t> bits;  // n * words
  std::vector<std::uint32_t> lo;    // first nonzero word, 0 for an empty row
  std::vector<std::uint32_t> hi;    // last nonzero word + 1, 0 for an empty row
  std::size_t words = 0;
};

BitRows bit_rows(std::vector<std::uint64_t>&& bits, std::size_t n, std::size_t words);

// The dense words of `trees`, word-major: word w of trees[c] at
// [w * trees.size() + c], so that word w of consecutive trees is one vector
// load for the vector kernels.
std::vector<std::uint64_t> word_major(const BitRows& rows, std::span<const std::uint32_t> trees);

// The vector block kernel's inner loop: adds to cells[c], for c in [from, width),
// the dense splits tree i shares with column c of `words` (word_major's
// layout), a pass per word of row i's nonzero range.  Inlined into a kernel
// built for wide vectors, each pass counts eight columns per instruction.
[[gnu::always_inline]] inline void add_shared_words(const BitRows& rows, std::size_t i,
                                                    std::span<const std::uint64_t> words, std::size_t width,
                                                    std::size_t from, std::uint32_t* cells) noexcept {
  const std::uint64_t* bits_i = rows.bits.data() + i * rows.words;
  for (std::uint32_t w = rows.lo[i]; w < rows.hi[i]; ++w) {
    const std::uint64_t word = bits_i[w];
    const std::uint64_t* column = words.data() + w * width;
    for (std::size_t c = from; c < width; ++c)
      cells[c] += static_cast<std::uint32_t>(std::popcount(column[c] & word));
  }
}

// Everything a pair's RF needs: shared dense splits as bits, shared rare ones
// through the postings, and each tree's count of splits not in every tree.
struct RfLayout {
  BitRows rows;
  Postings postings;
  std::vector<std::uint32_t> self;
};

// The layout's columns: splits held by 2 to n - 1 of the n trees.
ColumnMap rf_columns(std::span<const std::uint32_t> freq, std::size_t n, std::uint32_t dense_threshold);

// An owning input releases its trees and tree counts on the way.
RfLayout lay_out_rf(Input& input, std::uint32_t dense_threshold);

}  // namespace cladomatic
