// The weighted sums round every product before adding it.  A fused
// multiply-add (which compilers emit on their own wherever FMA instructions
// are allowed) keeps the product's low bits and moves the last bit of the
// sums; these tests compare against a reference written in the engine's own
// summation order, on lengths where fusing makes a difference.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "distances/weighted.hpp"

namespace cladomatic {
namespace {

constexpr std::uint32_t kPendants = 20;
constexpr std::uint32_t kInner = 17;
constexpr std::size_t kWidth = kPendants + kInner;

using Lengths = std::vector<double>;  // by split id, every tree holds every split

// Lane x mod 8 takes the columns' terms in ascending x, then the lanes are
// added in order: the layout of the dense sums, self and cross alike.
template <class Step>
double lane_sum(Step step) {
  double lanes[8] = {};
  for (std::size_t x = 0; x < kWidth; ++x) lanes[x % 8] = step(lanes[x % 8], x);
  double total = lanes[0];
  for (int lane = 1; lane < 8; ++lane) total += lanes[lane];
  return total;
}

// Returned from a call the compiler may not inline, the product is rounded
// whatever the compiler settings.
[[gnu::noinline]] double rounded_product(double a, double b) {
  return a * b;
}

double multiply_add(double a, double b, double c, bool fused) {
  return fused ? std::fma(a, b, c) : c + rounded_product(a, b);
}

// KF of two trees holding the same splits, every split in a dense column.
double reference_kf(const Lengths& a, const Lengths& b, bool fused) {
  const auto self = [&](const Lengths& t) {
    return lane_sum([&](double acc, std::size_t x) { return multiply_add(t[x], t[x], acc, fused); });
  };
  const double cross =
      lane_sum([&](double acc, std::size_t x) { return multiply_add(a[x], b[x], acc, fused); });
  const double na = self(a);
  const double nb = self(b);
  const double v = (na + nb) - (cross + cross);
  if (std::isfinite(v) && v > (std::fabs(na) + std::fabs(nb)) * 0x1p-20) return std::sqrt(v);
  // Too close for the identity: the differences are summed directly.
  double sum = 0.0;
  for (std::size_t x = 0; x < kWidth; ++x) sum = multiply_add(a[x] - b[x], a[x] - b[x], sum, fused);
  return std::sqrt(sum);
}

Snapshots same_splits(const std::vector<Lengths>& trees) {
  Snapshots set;
  set.freq.assign(kWidth, static_cast<std::uint32_t>(trees.size()));
  for (const Lengths& lengths : trees) {
    InternSnap snap;
    snap.n_pendant = kPendants;
    for (std::uint32_t s = kPendants; s < kWidth; ++s) snap.ids.push_back(s);
    snap.lengths = lengths;
    set.snaps.push_back(std::move(snap));
  }
  return set;
}

std::vector<double> kf_matrix(const Snapshots& set, Simd simd) {
  const std::size_t n = set.snaps.size();
  std::vector<double> matrix(n * n);
  distance_kf_split(Input::borrowing(set), 0, simd, nullptr, std::as_writable_bytes(std::span(matrix)));
  return matrix;
}

TEST(WeightedRounding, KfProductsAreRoundedBeforeTheyAreAdded) {
  std::mt19937_64 rng(20240611);
  std::uniform_real_distribution<double> length(0.1, 2.0);
  std::vector<Lengths> trees(4, Lengths(kWidth));
  for (std::size_t t = 0; t < 3; ++t) {
    for (double& x : trees[t]) x = length(rng);
  }
  // A hair away from tree 0: the pair takes the direct sum.
  trees[3] = trees[0];
  trees[3][5] *= 1.0 + 0x1p-30;
  const Snapshots set = same_splits(trees);
  const std::size_t n = trees.size();

  std::size_t sensitive = 0;
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i + 1; j < n; ++j) {
      const double fused = reference_kf(trees[i], trees[j], true);
      const double rounded = reference_kf(trees[i], trees[j], false);
      sensitive += std::bit_cast<std::uint64_t>(fused) != std::bit_cast<std::uint64_t>(rounded) ? 1 : 0;
    }
  }
  // Fails too when contraction reaches this file's own sums: the core's
  // compile options reach its users.
  ASSERT_GE(sensitive, 4u) << "fusing changes nothing here: the lengths prove nothing, or products are fused";

  for (Simd simd : {Simd::kAuto, Simd::kBaseline}) {
    const std::vector<double> got = kf_matrix(set, simd);
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 0; j < n; ++j) {
        const double expected =
            i == j ? 0.0 : reference_kf(trees[std::min(i, j)], trees[std::max(i, j)], false);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(got[i * n + j]), std::bit_cast<std::uint64_t>(expected))
            << "pair " << i << ", " << j << " simd " << static_cast<int>(simd) << ": " << got[i * n + j]
            << " vs " << expected;
      }
    }
  }
}

}  // namespace
}  // namespace cladomatic
