#include "distances/block.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "distance_sets.hpp"
#include "distances/weighted.hpp"

namespace cladomatic {
namespace {

using testing::random_set;
using testing::SetShape;

// Rows and columns in random order with repeats, the diagonal among them.
std::vector<std::uint32_t> picks(std::size_t n, std::size_t count, std::mt19937_64& rng) {
  std::vector<std::uint32_t> out(count);
  for (auto& t : out) t = static_cast<std::uint32_t>(rng() % n);
  return out;
}

template <class Cell>
void expect_block_of(const std::vector<Cell>& full, std::size_t n, Block block, const std::vector<Cell>& got,
                     const std::string& what) {
  for (std::size_t r = 0; r < block.rows.size(); ++r) {
    for (std::size_t c = 0; c < block.cols.size(); ++c) {
      const Cell want = full[block.rows[r] * n + block.cols[c]];
      const Cell have = got[r * block.cols.size() + c];
      ASSERT_EQ(0, std::memcmp(&want, &have, sizeof(Cell)))
          << what << " cell (" << block.rows[r] << ", " << block.cols[c] << "): " << have << " vs " << want;
    }
  }
}

TEST(Block, RfCellsAreTheFullMatrixCellsAtEveryThreshold) {
  const Snapshots set = random_set({.trees = 300, .pendants = 6, .splits = 90, .per_tree = 14}, 7);
  const std::size_t n = set.snaps.size();
  std::mt19937_64 rng(1);
  for (std::uint32_t threshold : {2u, 3u, 40u, 301u}) {
    std::vector<std::uint32_t> full(n * n);
    distance_rf_split(Input::borrowing(set), threshold, Simd::kAuto, nullptr,
                      std::as_writable_bytes(std::span(full)));
    Input input = Input::borrowing(set);
    const RfLayout layout = lay_out_rf(input, threshold);
    const std::vector<std::uint32_t> rows = picks(n, 37, rng);
    const std::vector<std::uint32_t> cols = picks(n, 301, rng);
    for (Simd simd : {Simd::kAuto, Simd::kBaseline}) {
      std::vector<std::uint32_t> got(rows.size() * cols.size());
      rf_block(layout, {rows, cols}, got.data(), simd);
      expect_block_of(
          full, n, {rows, cols}, got,
          "rf threshold " + std::to_string(threshold) + (simd == Simd::kAuto ? " auto" : " baseline"));
    }
  }
}

// Real-valued lengths, some negative, one infinite: the summation order shows
// in the bits, and the direct sums are taken too.
Snapshots awkward_set(std::uint64_t seed) {
  Snapshots set = random_set(
      {.trees = 120, .pendants = 5, .splits = 70, .per_tree = 10, .lengths = true, .dyadic = false}, seed);
  std::mt19937_64 rng(seed);
  for (InternSnap& snap : set.snaps) {
    for (double& x : snap.lengths) {
      if (rng() % 7 == 0) x = -x;
    }
  }
  set.snaps[17].lengths[2] = std::numeric_limits<double>::infinity();
  set.snaps[40].lengths.back() = 1e-9;
  return set;
}

template <class Metric, class Other, class Full, class BlockFn>
void check_weighted(const Full& full_split, const BlockFn& block_fn, const char* name) {
  const Snapshots set = awkward_set(3);
  const std::size_t n = set.snaps.size();
  std::mt19937_64 rng(2);
  for (std::uint32_t threshold : {2u, 9u, 60u, 121u}) {
    std::vector<double> full(n * n);
    full_split(Input::borrowing(set), threshold, Simd::kAuto, nullptr,
               std::as_writable_bytes(std::span(full)));
    Input input = Input::borrowing(set);
    const WeightedLayout layout = lay_out_weighted<Metric>(input, threshold);
    const std::vector<std::uint32_t> rows = picks(n, 29, rng);
    const std::vector<std::uint32_t> cols = picks(n, 130, rng);
    std::vector<double> got(rows.size() * cols.size());
    block_fn(layout, layout.self, Block{rows, cols}, got.data());
    expect_block_of(full, n, {rows, cols}, got,
                    std::string(name) + " threshold " + std::to_string(threshold));
    // The other metric's layout with this metric's self terms: rows and postings are shared.
    Input other = Input::borrowing(set);
    const WeightedLayout shared = lay_out_weighted<Other>(other, threshold);
    const std::vector<WeightedSelf> self = weighted_self_terms<Metric>(set.snaps, set.freq, threshold);
    block_fn(shared, self, Block{rows, cols}, got.data());
    expect_block_of(full, n, {rows, cols}, got,
                    std::string(name) + " threshold " + std::to_string(threshold));
  }
}

TEST(Block, WeightedCellsAreTheFullMatrixCellsBitForBit) {
  check_weighted<Wrf, Kf>(distance_wrf_split, wrf_block, "wrf");
  check_weighted<Kf, Wrf>(distance_kf_split, kf_block, "kf");
}

TEST(Block, EmptyBlocksAndIndicesOutOfRange) {
  const Snapshots set = random_set({.trees = 5, .pendants = 3, .lengths = true}, 4);
  Input input = Input::borrowing(set);
  const RfLayout layout = lay_out_rf(input, 2);
  const std::vector<std::uint32_t> none;
  const std::vector<std::uint32_t> all{0, 1, 2, 3, 4};
  const std::vector<std::uint32_t> beyond{5};
  rf_block(layout, {none, all}, nullptr);
  rf_block(layout, {all, none}, nullptr);
  std::vector<std::uint32_t> out(5);
  EXPECT_THROW(rf_block(layout, {beyond, all}, out.data()), InvariantFailure);
  EXPECT_THROW(rf_block(layout, {all, beyond}, out.data()), InvariantFailure);
}

}  // namespace
}  // namespace cladomatic
