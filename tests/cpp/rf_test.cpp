#include "distances/rf.hpp"

#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "distance_sets.hpp"
#include "distances/topologies.hpp"
#include "owned_results.hpp"

namespace cladomatic {
namespace {

using testing::brute_rf;
using testing::distance_rf;
using testing::random_set;
using testing::SetShape;

// Every kernel gives the same matrix: the widest, the baseline one, and the
// one an unaligned buffer gets.
std::vector<std::uint32_t> rf_with_threshold(const Snapshots& set, std::uint32_t threshold) {
  const std::size_t n = set.snaps.size();
  std::vector<std::uint32_t> matrix(n * n, 0xDEADBEEF);
  distance_rf_split(Input::borrowing(set), threshold, Simd::kAuto, nullptr,
                    std::as_writable_bytes(std::span(matrix)));
  std::vector<std::uint32_t> baseline(n * n, 0xDEADBEEF);
  distance_rf_split(Input::borrowing(set), threshold, Simd::kBaseline, nullptr,
                    std::as_writable_bytes(std::span(baseline)));
  EXPECT_EQ(baseline, matrix);
  std::vector<std::byte> unaligned(n * n * sizeof(std::uint32_t) + 1, std::byte{0xA5});
  const std::span<std::byte> shifted = std::span(unaligned).subspan(1);
  distance_rf_split(Input::borrowing(set), threshold, Simd::kAuto, nullptr, shifted);
  EXPECT_EQ(std::memcmp(shifted.data(), matrix.data(), shifted.size()), 0);
  return matrix;
}

TEST(DistanceRf, MatchesSymmetricDifferenceAtEveryThreshold) {
  struct Case {
    std::size_t trees;
    std::uint32_t pendants;
    std::uint32_t splits;
  };
  for (const Case c :
       {Case{2, 0, 10}, Case{7, 0, 30}, Case{40, 5, 80}, Case{70, 0, 300}, Case{300, 0, 150}}) {
    SCOPED_TRACE(c.trees);
    const Snapshots set = random_set({.trees = c.trees, .pendants = c.pendants, .splits = c.splits}, c.trees);
    const std::vector<std::uint32_t> expected = brute_rf(set);
    const auto n32 = static_cast<std::uint32_t>(c.trees);
    for (std::uint32_t threshold : {0u, 2u, 3u, n32 / 3, n32 - 1, n32, 0xFFFFFFFFu}) {
      SCOPED_TRACE(threshold);
      EXPECT_EQ(rf_with_threshold(set, threshold), expected);
    }
  }
}

TEST(DistanceRf, SharesOfTheDenseSettingGiveOneMatrix) {
  // 300 trees: the share decides the threshold (default 9, 0 gives 2, 1 gives n).
  const Snapshots set =
      random_set({.trees = 300, .splits = 400, .per_tree = 30, .bases = 4, .changes = 6}, 11);
  const std::vector<std::uint32_t> expected = brute_rf(set);
  EXPECT_EQ(rf_dense_threshold(300, 0.03), 9u);
  EXPECT_EQ(rf_dense_threshold(255, 0.0), 2u);
  EXPECT_EQ(rf_dense_threshold(255, 1.0), 2u);
  for (double share : {0.0, 0.03, 0.5, 1.0}) {
    EXPECT_EQ(rf_with_threshold(set, rf_dense_threshold(300, share)), expected) << share;
  }
  EXPECT_EQ(distance_rf(Input::borrowing(set), nullptr), expected);
}

TEST(DistanceRf, IdenticalTreesAndTinySets) {
  Snapshots set = random_set({.trees = 1, .splits = 20}, 3);
  EXPECT_EQ(distance_rf(Input::borrowing(set), nullptr), std::vector<std::uint32_t>{0});
  set.snaps.push_back(set.snaps[0]);
  for (std::uint32_t& f : set.freq) f *= 2;
  std::reverse(set.snaps[1].ids.begin(), set.snaps[1].ids.end());
  EXPECT_EQ(distance_rf(Input::borrowing(set), nullptr), std::vector<std::uint32_t>(4, 0));

  Snapshots empty;
  std::atomic<std::uint64_t> progress{0};
  EXPECT_TRUE(distance_rf(Input::owning(std::move(empty)), &progress).empty());
  distance_rf(Input::owning(Snapshots{}), &progress, {});
  EXPECT_EQ(progress.load(), 0u);
}

TEST(DistanceRf, OwningInputGivesTheSameAndCountsEveryPair) {
  const Snapshots set = random_set({.trees = 260, .pendants = 3, .splits = 200}, 5);
  const std::vector<std::uint32_t> expected = brute_rf(set);
  Snapshots copy = set;
  std::atomic<std::uint64_t> progress{0};
  std::vector<std::byte> bytes(4 * 260 * 260 + 1);
  // An odd offset: the caller's buffer has no alignment to offer.
  distance_rf(Input::owning(std::move(copy)), &progress, std::span(bytes).subspan(1));
  std::vector<std::uint32_t> got(260 * 260);
  std::memcpy(got.data(), bytes.data() + 1, 4 * got.size());
  EXPECT_EQ(got, expected);
  EXPECT_EQ(progress.load(), 260u * 259u / 2u);
}

TEST(DistanceRf, SameBitsOnOneThread) {
  const Snapshots set = random_set({.trees = 300, .splits = 300, .per_tree = 20}, 8);
  const std::vector<std::uint32_t> parallel = rf_with_threshold(set, 20);
  tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
  EXPECT_EQ(rf_with_threshold(set, 20), parallel);
}

// Trees drawn from `bases` topologies, each listing its splits in its own order.
Snapshots repeated_set(std::size_t trees, std::uint32_t bases, std::uint32_t pendants, std::uint64_t seed) {
  return random_set(
      {.trees = trees, .pendants = pendants, .splits = 400, .per_tree = 40, .bases = bases, .changes = 0},
      seed);
}

TEST(DistinctTopologies, GroupsTreesBySplitSetsWhateverTheirOrder) {
  const Snapshots set = random_set({.trees = 500, .splits = 12, .per_tree = 5, .changes = 2}, 21);
  const Topologies groups = distinct_topologies(set.snaps);
  ASSERT_EQ(groups.group_of.size(), 500u);
  ASSERT_LT(groups.first.size(), 500u);
  const auto sorted = [&](std::size_t t) {
    std::vector<std::uint32_t> ids = set.snaps[t].ids;
    std::sort(ids.begin(), ids.end());
    return ids;
  };
  for (std::size_t g = 0; g < groups.first.size(); ++g) {
    EXPECT_EQ(groups.group_of[groups.first[g]], g);
    if (g > 0) {
      EXPECT_LT(groups.first[g - 1], groups.first[g]);
    }
  }
  for (std::size_t t = 0; t < 500; ++t) {
    for (std::size_t u = t + 1; u < 500; u += 7) {
      EXPECT_EQ(groups.group_of[t] == groups.group_of[u], sorted(t) == sorted(u)) << t << " " << u;
    }
  }
}

TEST(DistinctTopologies, ABlockOfTwoSetsKeepsOneTreePerTopologyOfEach) {
  const Topologies mine = distinct_topologies(repeated_set(60, 4, 0, 3).snaps);
  const Topologies theirs = distinct_topologies(repeated_set(30, 3, 0, 4).snaps);
  const std::vector<std::uint32_t> rows{5, 0, 5, 59, 17}, cols{29, 0, 29, 3};
  const DistinctBlock block = distinct_block(mine, rows, theirs, cols);
  for (std::size_t r = 0; r < rows.size(); ++r)
    EXPECT_EQ(block.rows[block.row_at[r]], mine.first[mine.group_of[rows[r]]]);
  for (std::size_t c = 0; c < cols.size(); ++c)
    EXPECT_EQ(block.cols[block.col_at[c]], theirs.first[theirs.group_of[cols[c]]]);
  EXPECT_EQ(std::set(block.rows.begin(), block.rows.end()).size(), block.rows.size());
  EXPECT_EQ(std::set(block.cols.begin(), block.cols.end()).size(), block.cols.size());
  // Columns are trees of the other set: 30 is one of this set's only.
  EXPECT_THROW(distinct_block(mine, rows, theirs, std::vector<std::uint32_t>{30}), InvariantFailure);
}

TEST(DistanceRf, RepeatedTopologiesGiveTheMatrixOfEveryPair) {
  struct Case {
    std::size_t trees;
    std::uint32_t bases;
    std::uint32_t pendants;
  };
  // Distinct topologies below and above the size where rare splits move to
  // the postings, all trees below and above it, and none repeated.
  for (const Case c :
       {Case{2, 1, 0}, Case{40, 3, 4}, Case{600, 20, 0}, Case{700, 300, 3}, Case{300, 300, 0}}) {
    SCOPED_TRACE(c.trees);
    const Snapshots set = repeated_set(c.trees, c.bases, c.pendants, c.trees + c.bases);
    const std::vector<std::uint32_t> every_pair = rf_with_threshold(set, rf_dense_threshold(c.trees, 0.03));
    if (c.trees < 100) {
      EXPECT_EQ(every_pair, brute_rf(set));
    }
    EXPECT_EQ(distance_rf(Input::borrowing(set), nullptr), every_pair);
    Snapshots copy = set;
    std::atomic<std::uint64_t> progress{0};
    EXPECT_EQ(distance_rf(Input::owning(std::move(copy)), &progress), every_pair);
    EXPECT_EQ(progress.load(), c.trees * (c.trees - 1) / 2);
  }
}

TEST(DistanceRf, RepeatsFillAnUnalignedBufferOnOneThreadAlike) {
  const Snapshots set = repeated_set(333, 5, 2, 9);
  std::vector<std::byte> bytes(4 * 333 * 333 + 3);
  distance_rf(Input::borrowing(set), nullptr, std::span(bytes).subspan(3));
  std::vector<std::uint32_t> got(333 * 333);
  std::memcpy(got.data(), bytes.data() + 3, 4 * got.size());
  EXPECT_EQ(got, rf_with_threshold(set, 2));
  tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
  EXPECT_EQ(distance_rf(Input::borrowing(set), nullptr), got);
}

TEST(DistanceRf, WrongBufferSizeIsAnInvariantFailure) {
  const Snapshots set = random_set({.trees = 3, .splits = 10}, 1);
  std::vector<std::byte> bytes(4 * 9 - 1);
  EXPECT_THROW(distance_rf(Input::borrowing(set), nullptr, bytes), InvariantFailure);
}

}  // namespace
}  // namespace cladomatic
