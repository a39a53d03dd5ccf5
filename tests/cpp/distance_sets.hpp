// Random interned tree sets for the distance engine tests, and references
// computed straight from the definitions.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "snapshot/snapshots.hpp"

namespace cladomatic::testing {

struct SetShape {
  std::size_t trees = 0;
  std::uint32_t pendants = 0;   // n_pendant of every tree (0: plain RF)
  std::uint32_t splits = 60;    // non-pendant split ids to draw from
  std::uint32_t per_tree = 12;  // non-pendant splits per tree
  std::uint32_t bases = 3;      // base split sets trees are perturbed from
  std::uint32_t changes = 3;    // splits replaced per tree
  bool lengths = false;
  bool dyadic = true;  // lengths k/16: every sum is exact in any order
};

// Trees drawn as perturbed copies of a few base sets, so that tree counts run
// from 1 to n; ids are listed in random order.
inline Snapshots random_set(const SetShape& shape, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  const std::uint32_t first = shape.pendants;
  std::vector<std::vector<std::uint32_t>> bases(shape.bases);
  std::vector<std::uint32_t> pool(shape.splits);
  for (std::uint32_t s = 0; s < shape.splits; ++s) pool[s] = first + s;
  for (auto& base : bases) {
    std::shuffle(pool.begin(), pool.end(), rng);
    base.assign(pool.begin(), pool.begin() + std::min(shape.per_tree, shape.splits));
  }
  const auto length = [&]() {
    if (shape.dyadic) return static_cast<double>(rng() % 64) / 16.0;
    return std::uniform_real_distribution<double>(0.0, 2.0)(rng);
  };
  Snapshots set;
  set.freq.assign(first + shape.splits, 0);
  for (std::size_t t = 0; t < shape.trees; ++t) {
    std::vector<std::uint32_t> ids = bases[rng() % bases.size()];
    for (std::uint32_t c = 0; c < shape.changes && !ids.empty(); ++c) {
      const std::uint32_t fresh = first + static_cast<std::uint32_t>(rng() % shape.splits);
      if (std::find(ids.begin(), ids.end(), fresh) == ids.end()) ids[rng() % ids.size()] = fresh;
    }
    std::shuffle(ids.begin(), ids.end(), rng);
    InternSnap snap;
    snap.n_pendant = shape.pendants;
    snap.ids = ids;
    if (shape.lengths) {
      for (std::uint32_t p = 0; p < shape.pendants + ids.size(); ++p) snap.lengths.push_back(length());
    }
    for (std::uint32_t p = 0; p < shape.pendants; ++p) ++set.freq[p];
    for (std::uint32_t s : ids) ++set.freq[s];
    set.snaps.push_back(std::move(snap));
  }
  return set;
}

// Split id -> branch length (0.0 without lengths) of one tree.
inline std::map<std::uint32_t, double> splits_of(const InternSnap& snap) {
  std::map<std::uint32_t, double> splits;
  for (std::uint32_t p = 0; p < snap.n_pendant + snap.ids.size(); ++p) {
    const std::uint32_t s = p < snap.n_pendant ? p : snap.ids[p - snap.n_pendant];
    splits[s] = p < snap.lengths.size() ? snap.lengths[p] : 0.0;
  }
  return splits;
}

inline std::vector<std::uint32_t> brute_rf(const Snapshots& set) {
  const std::size_t n = set.snaps.size();
  std::vector<std::map<std::uint32_t, double>> trees;
  for (const InternSnap& snap : set.snaps) trees.push_back(splits_of(snap));
  std::vector<std::uint32_t> matrix(n * n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const auto& a = trees[i];
    for (std::size_t j = 0; j < n; ++j) {
      const auto& b = trees[j];
      std::uint32_t d = 0;
      for (const auto& [s, _] : a) d += b.count(s) ? 0 : 1;
      for (const auto& [s, _] : b) d += a.count(s) ? 0 : 1;
      matrix[i * n + j] = d;
    }
  }
  return matrix;
}

// Sums over every split id in ascending order, 0.0 for an absent split.
template <class Term, class Fin>
std::vector<double> brute_weighted(const Snapshots& set, Term term, Fin fin) {
  const std::size_t n = set.snaps.size();
  std::vector<std::map<std::uint32_t, double>> trees;
  for (const InternSnap& snap : set.snaps) trees.push_back(splits_of(snap));
  std::vector<double> matrix(n * n, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    const auto& a = trees[i];
    for (std::size_t j = 0; j < n; ++j) {
      const auto& b = trees[j];
      std::map<std::uint32_t, std::pair<double, double>> both;
      for (const auto& [s, x] : a) both[s].first = x;
      for (const auto& [s, y] : b) both[s].second = y;
      double sum = 0.0;
      for (const auto& [s, xy] : both) sum += term(xy.first, xy.second);
      matrix[i * n + j] = fin(sum);
    }
  }
  return matrix;
}

inline std::vector<double> brute_wrf(const Snapshots& set) {
  return brute_weighted(set, [](double a, double b) { return std::abs(a - b); }, [](double x) { return x; });
}

inline std::vector<double> brute_kf(const Snapshots& set) {
  return brute_weighted(
      set, [](double a, double b) { return (a - b) * (a - b); }, [](double x) { return std::sqrt(x); });
}

}  // namespace cladomatic::testing
