#include "distances/weighted.hpp"

#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "distance_sets.hpp"
#include "owned_results.hpp"

namespace cladomatic {
namespace {

using testing::brute_kf;
using testing::brute_wrf;
using testing::distance_kf;
using testing::distance_wrf;
using testing::random_set;
using testing::SetShape;

enum class Metric { kWrf, kKf };

std::vector<double> weighted(Metric metric, const Snapshots& set, std::uint32_t threshold,
                             std::atomic<std::uint64_t>* progress = nullptr, Simd simd = Simd::kAuto) {
  const std::size_t n = set.snaps.size();
  // One byte off: the caller's buffer has no alignment to offer.
  std::vector<std::byte> bytes(8 * n * n + 1, std::byte{0x55});
  const std::span<std::byte> out = std::span(bytes).subspan(1);
  if (metric == Metric::kWrf) {
    distance_wrf_split(Input::borrowing(set), threshold, simd, progress, out);
  } else {
    distance_kf_split(Input::borrowing(set), threshold, simd, progress, out);
  }
  std::vector<double> matrix(n * n);
  std::memcpy(matrix.data(), out.data(), out.size());
  return matrix;
}

std::vector<std::uint32_t> thresholds(std::size_t n) {
  const auto n32 = static_cast<std::uint32_t>(n);
  return {0, 2, 3, std::max(n32 / 4, 2u), n32, n32 + 1, 0xFFFFFFFFu};
}

void expect_bits_eq(const std::vector<double>& got, const std::vector<double>& expected) {
  ASSERT_EQ(got.size(), expected.size());
  for (std::size_t c = 0; c < got.size(); ++c) {
    ASSERT_EQ(std::bit_cast<std::uint64_t>(got[c]), std::bit_cast<std::uint64_t>(expected[c]))
        << "cell " << c << ": " << got[c] << " vs " << expected[c];
  }
}

// Lengths k/16: every sum is exact, so every summation order, dense or
// sparse, must give the reference's bits.
TEST(DistanceWeighted, ExactLengthsGiveTheReferenceBitsAtEveryThreshold) {
  for (std::size_t n : {2, 5, 33, 90}) {
    SCOPED_TRACE(n);
    const Snapshots set = random_set(
        {.trees = n, .pendants = 6, .splits = 70, .per_tree = 14, .changes = 4, .lengths = true}, n);
    const std::vector<double> wrf = brute_wrf(set);
    const std::vector<double> kf = brute_kf(set);
    for (std::uint32_t t : thresholds(n)) {
      SCOPED_TRACE(t);
      expect_bits_eq(weighted(Metric::kWrf, set, t), wrf);
      expect_bits_eq(weighted(Metric::kKf, set, t), kf);
    }
  }
}

// More than 512 dense columns: several strips, and lanes that must keep their
// order across strip boundaries.
TEST(DistanceWeighted, WideDenseRowsMatchTheReference) {
  const Snapshots set = random_set({.trees = 23,
                                    .pendants = 40,
                                    .splits = 900,
                                    .per_tree = 600,
                                    .bases = 2,
                                    .changes = 40,
                                    .lengths = true},
                                   4);
  expect_bits_eq(weighted(Metric::kWrf, set, 2), brute_wrf(set));
  expect_bits_eq(weighted(Metric::kKf, set, 2), brute_kf(set));
}

TEST(DistanceWeighted, RealLengthsAgreeAcrossThresholdsUpToRounding) {
  const Snapshots set =
      random_set({.trees = 70, .pendants = 10, .splits = 120, .lengths = true, .dyadic = false}, 9);
  const std::vector<double> wrf = brute_wrf(set);
  const std::vector<double> kf = brute_kf(set);
  for (std::uint32_t t : thresholds(70)) {
    const std::vector<double> got_wrf = weighted(Metric::kWrf, set, t);
    const std::vector<double> got_kf = weighted(Metric::kKf, set, t);
    for (std::size_t c = 0; c < wrf.size(); ++c) {
      ASSERT_NEAR(got_wrf[c], wrf[c], 1e-12 * (1 + wrf[c])) << t;
      ASSERT_NEAR(got_kf[c], kf[c], 1e-6 * (1 + kf[c])) << t;
    }
  }
}

TEST(DistanceWeighted, IdenticalTreesGiveExactlyZero) {
  Snapshots set = random_set({.trees = 30, .pendants = 8, .splits = 60, .lengths = true, .dyadic = false}, 2);
  for (std::size_t t = 0; t < 30; t += 3) set.snaps[t + 1] = set.snaps[t];
  std::fill(set.freq.begin(), set.freq.end(), 0);
  for (const InternSnap& snap : set.snaps) {
    for (std::uint32_t p = 0; p < snap.n_pendant; ++p) ++set.freq[p];
    for (std::uint32_t s : snap.ids) ++set.freq[s];
  }
  for (std::uint32_t t : thresholds(30)) {
    for (Metric metric : {Metric::kWrf, Metric::kKf}) {
      const std::vector<double> m = weighted(metric, set, t);
      for (std::size_t i = 0; i < 30; i += 3) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(m[i * 30 + i + 1]), 0u) << i;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(m[(i + 1) * 30 + i]), 0u) << i;
      }
    }
  }
}

TEST(DistanceWeighted, SameBitsOnOneThreadWithAnyVectorsAndThroughThePublicCalls) {
  Snapshots set =
      random_set({.trees = 41, .pendants = 12, .splits = 90, .lengths = true, .dyadic = false}, 6);
  const std::vector<double> wrf = weighted(Metric::kWrf, set, 4);
  const std::vector<double> kf = weighted(Metric::kKf, set, 4);
  expect_bits_eq(weighted(Metric::kWrf, set, 4, nullptr, Simd::kBaseline), wrf);
  expect_bits_eq(weighted(Metric::kKf, set, 4, nullptr, Simd::kBaseline), kf);
  {
    tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
    expect_bits_eq(weighted(Metric::kWrf, set, 4), wrf);
    expect_bits_eq(weighted(Metric::kKf, set, 4), kf);
  }
  // The public calls with the default share (t = max(ceil(0.25 * 41), 2) = 11).
  std::atomic<std::uint64_t> progress{0};
  expect_bits_eq(distance_wrf(Input::borrowing(set), &progress), weighted(Metric::kWrf, set, 11));
  EXPECT_EQ(progress.load(), 41u * 40u / 2u);
  Snapshots copy = set;
  expect_bits_eq(distance_kf(Input::owning(std::move(copy)), nullptr), weighted(Metric::kKf, set, 11));
}

TEST(DistanceWeighted, TinySetsAndProgress) {
  std::atomic<std::uint64_t> progress{0};
  EXPECT_TRUE(distance_wrf(Input::owning(Snapshots{}), &progress).empty());
  distance_kf(Input::owning(Snapshots{}), &progress, {});
  EXPECT_EQ(progress.load(), 0u);

  const Snapshots one = random_set({.trees = 1, .pendants = 3, .splits = 5, .lengths = true}, 1);
  EXPECT_EQ(distance_kf(Input::borrowing(one), &progress), std::vector<double>{0.0});
  EXPECT_EQ(progress.load(), 0u);

  const Snapshots ten = random_set({.trees = 10, .pendants = 3, .splits = 20, .lengths = true}, 10);
  weighted(Metric::kWrf, ten, 3, &progress);
  EXPECT_EQ(progress.load(), 44u + 1u);
}

// The metric's definition holds for negative lengths too, whether a split is
// dense, sparse or in one tree only.
TEST(DistanceWeighted, NegativeLengthsFollowTheDefinitionAtEveryThreshold) {
  Snapshots set = random_set({.trees = 24, .pendants = 4, .splits = 50, .lengths = true}, 12);
  for (InternSnap& snap : set.snaps) {
    for (std::size_t p = 0; p < snap.lengths.size(); p += 3) snap.lengths[p] = -snap.lengths[p];
  }
  const std::vector<double> wrf = brute_wrf(set);
  const std::vector<double> kf = brute_kf(set);
  for (std::uint32_t t : thresholds(24)) {
    SCOPED_TRACE(t);
    expect_bits_eq(weighted(Metric::kWrf, set, t), wrf);
    expect_bits_eq(weighted(Metric::kKf, set, t), kf);
  }
}

// Off the diagonal the cells hold the definition's value, NaN where it is
// NaN; the diagonal holds 0 and the matrix is symmetric bit for bit.
void expect_definition(const std::vector<double>& got, const std::vector<double>& expected, std::size_t n) {
  ASSERT_EQ(got.size(), n * n);
  for (std::size_t i = 0; i < n; ++i) {
    ASSERT_EQ(std::bit_cast<std::uint64_t>(got[i * n + i]), 0u) << i;
    for (std::size_t j = 0; j < n; ++j) {
      const double g = got[i * n + j];
      ASSERT_EQ(std::bit_cast<std::uint64_t>(g), std::bit_cast<std::uint64_t>(got[j * n + i]))
          << i << ", " << j;
      if (i == j) continue;
      const double e = expected[i * n + j];
      if (std::isnan(e)) {
        ASSERT_TRUE(std::isnan(g)) << i << ", " << j << ": " << g;
      } else {
        ASSERT_EQ(std::bit_cast<std::uint64_t>(g), std::bit_cast<std::uint64_t>(e))
            << i << ", " << j << ": " << g;
      }
    }
  }
}

void expect_definition_everywhere(const Snapshots& set) {
  const std::size_t n = set.snaps.size();
  const std::vector<double> wrf = brute_wrf(set);
  const std::vector<double> kf = brute_kf(set);
  for (std::uint32_t t : thresholds(n)) {
    for (Simd simd : {Simd::kAuto, Simd::kBaseline}) {
      SCOPED_TRACE(::testing::Message()
                   << "threshold " << t << (simd == Simd::kAuto ? " auto" : " baseline"));
      expect_definition(weighted(Metric::kWrf, set, t, nullptr, simd), wrf, n);
      expect_definition(weighted(Metric::kKf, set, t, nullptr, simd), kf, n);
    }
  }
}

// Lengths may be NaN or infinite (the reader accepts them): inf against any
// tree, NaN from a NaN length or from inf - inf, on a split in every tree,
// in some or in one only, whichever path the split takes.
TEST(DistanceWeighted, NonFiniteLengthsFollowTheDefinitionAtEveryThreshold) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  Snapshots set;
  // Split 0 (pendant) everywhere, 1 in trees 0-2, 4 and 5, 2 in trees 1, 2,
  // 4 and 5, 3 in tree 3 only, 4 in trees 5 and 6.
  set.snaps = {
      InternSnap{.ids = {1}, .lengths = {1.0, inf}, .n_pendant = 1},
      InternSnap{.ids = {1, 2}, .lengths = {1.0, 2.0, nan}, .n_pendant = 1},
      InternSnap{.ids = {2, 1}, .lengths = {1.0, 3.0, 4.0}, .n_pendant = 1},
      InternSnap{.ids = {3}, .lengths = {-inf, 1.0}, .n_pendant = 1},
      InternSnap{.ids = {1, 2}, .lengths = {1.0, 3.0, 5.0}, .n_pendant = 1},
      InternSnap{.ids = {1, 2, 4}, .lengths = {-inf, inf, 5.0, -inf}, .n_pendant = 1},
      InternSnap{.ids = {4}, .lengths = {2.0, 7.0}, .n_pendant = 1},
  };
  set.freq = {7, 5, 4, 1, 2};
  expect_definition_everywhere(set);
  const std::vector<double> m = weighted(Metric::kKf, set, 0);
  EXPECT_EQ(m[0 * 7 + 2], inf);
  EXPECT_TRUE(std::isnan(m[0 * 7 + 5]));  // inf - inf on split 1
  EXPECT_TRUE(std::isnan(m[1 * 7 + 6]));
  EXPECT_EQ(m[2 * 7 + 4], std::sqrt(5.0));
}

// A few spoiled trees among many: the pairs of finite trees keep the exact
// bits, the spoiled ones follow the definition through every kernel shape.
TEST(DistanceWeighted, SpoiledTreesAmongManyFollowTheDefinition) {
  Snapshots set = random_set({.trees = 37, .pendants = 5, .splits = 60, .changes = 5, .lengths = true}, 21);
  const double values[] = {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                           std::numeric_limits<double>::quiet_NaN()};
  for (std::size_t t = 1; t < 37; t += 6) {
    InternSnap& snap = set.snaps[t];
    snap.lengths[(t * 7) % snap.lengths.size()] = values[t % 3];
  }
  expect_definition_everywhere(set);
}

// Finite lengths whose squares overflow break the identity as well.
TEST(DistanceWeighted, OverflowingSelfTermsFollowTheDefinition) {
  Snapshots set;
  set.snaps = {
      InternSnap{.ids = {1}, .lengths = {1e200, 1.0}, .n_pendant = 1},
      InternSnap{.ids = {1}, .lengths = {1e200, 2.0}, .n_pendant = 1},
      InternSnap{.ids = {1}, .lengths = {1e200, 1.0}, .n_pendant = 1},
  };
  set.freq = {3, 3};
  const std::vector<double> kf = brute_kf(set);
  for (std::uint32_t t : thresholds(3)) {
    for (Simd simd : {Simd::kAuto, Simd::kBaseline})
      expect_definition(weighted(Metric::kKf, set, t, nullptr, simd), kf, 3);
  }
  EXPECT_EQ(kf[1], 1.0);
}

// The identity subtracts sums of squares (or of minima) that nearly cancel for
// trees a hair apart; their distances must keep a small relative error and
// never collapse to 0.
TEST(DistanceWeighted, NearlyIdenticalTreesKeepTheirSmallDistances) {
  Snapshots set = random_set({.trees = 1, .pendants = 10, .splits = 40, .lengths = true, .dyadic = false}, 5);
  const InternSnap base = set.snaps[0];
  for (std::size_t t = 1; t < 9; ++t) {
    InternSnap near = base;
    near.lengths[t % near.lengths.size()] += 1e-8 * static_cast<double>(t);
    set.snaps.push_back(near);
  }
  for (std::uint32_t& f : set.freq) f = f == 0 ? 0 : 9;
  const std::vector<double> wrf = brute_wrf(set);
  const std::vector<double> kf = brute_kf(set);
  for (std::uint32_t t : thresholds(9)) {
    const std::vector<double> got_wrf = weighted(Metric::kWrf, set, t);
    const std::vector<double> got_kf = weighted(Metric::kKf, set, t);
    for (std::size_t c = 0; c < wrf.size(); ++c) {
      ASSERT_NEAR(got_wrf[c], wrf[c], 1e-9 * wrf[c]) << c;
      ASSERT_NEAR(got_kf[c], kf[c], 1e-9 * kf[c]) << c;
    }
  }
  EXPECT_GT(kf[1], 0.0);
}

}  // namespace
}  // namespace cladomatic
