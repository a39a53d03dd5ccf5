// Pairwise distance engines on generated interned tree sets shaped like a
// posterior sample: trees of 100 leaves drawn from a few variants of one base
// tree, each with a handful of splits from a long tail, so that split
// frequencies run from "in every tree" down to "in one tree".  The matrix
// goes into a byte buffer, as the module fills a bytes payload.
//
//   cmake -S . -B build/bench -G Ninja -DCLADOMATIC_BENCH=ON -DCLADOMATIC_MODULE=OFF
//   cmake --build build/bench && build/bench/bench/cpp/distances_bench
#include <benchmark/benchmark.h>
#include <tbb/global_control.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "distances/boundary.hpp"
#include "distances/rf.hpp"
#include "distances/weighted.hpp"

namespace cladomatic {
namespace {

constexpr std::uint32_t kLeaves = 100;
constexpr std::uint32_t kSplitsPerTree = kLeaves - 3;
constexpr std::uint32_t kVariants = 4;
constexpr std::uint32_t kVariantChanges = 10;
constexpr std::uint32_t kTreeChanges = 5;
constexpr std::uint32_t kTail = 50000;

Snapshots posterior_like(std::size_t trees, bool weighted) {
  std::mt19937_64 rng(42);
  const std::uint32_t pendants = weighted ? kLeaves : 0;
  std::uint32_t next_id = pendants;
  std::vector<std::uint32_t> base(kSplitsPerTree);
  for (std::uint32_t& s : base) s = next_id++;
  std::vector<std::vector<std::uint32_t>> variants(kVariants, base);
  for (auto& variant : variants) {
    for (std::uint32_t c = 0; c < kVariantChanges; ++c) variant[rng() % kSplitsPerTree] = next_id++;
  }
  const std::uint32_t tail_first = next_id;
  // Tail splits by a rough power law: a few are common, most are rare.
  std::discrete_distribution<std::uint32_t> variant_of({50, 25, 15, 10});
  std::exponential_distribution<double> length(10.0);
  Snapshots set;
  set.freq.assign(tail_first + kTail, 0);
  for (std::size_t t = 0; t < trees; ++t) {
    std::vector<std::uint32_t> ids = variants[variant_of(rng)];
    for (std::uint32_t c = 0; c < kTreeChanges; ++c) {
      const double u = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
      ids[rng() % kSplitsPerTree] = tail_first + static_cast<std::uint32_t>(kTail * u * u * u);
    }
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    std::shuffle(ids.begin(), ids.end(), rng);
    InternSnap snap;
    snap.n_pendant = pendants;
    snap.ids = ids;
    if (weighted) {
      snap.lengths.resize(pendants + ids.size());
      for (double& a : snap.lengths) a = length(rng);
    }
    for (std::uint32_t p = 0; p < pendants; ++p) ++set.freq[p];
    for (std::uint32_t s : ids) ++set.freq[s];
    set.snaps.push_back(std::move(snap));
  }
  return set;
}

// Dense columns and rare occurrences of the layout, as context for the rates.
void count_layout(benchmark::State& state, const Snapshots& set, Eligible eligible, std::uint32_t threshold) {
  const std::size_t n = set.snaps.size();
  const ColumnMap columns = assign_columns(set.freq, n, eligible, threshold);
  double rare = 0;
  for (std::size_t s = 0; s < set.freq.size(); ++s) {
    if (columns.column_of[s] != kNoColumn && columns.column_of[s] >= columns.n_dense) rare += set.freq[s];
  }
  state.counters["dense"] = static_cast<double>(columns.n_dense);
  state.counters["rare"] = rare / static_cast<double>(n);
}

template <class Cell, class Run>
void run_pairs(benchmark::State& state, bool weighted, Run run) {
  const auto n = static_cast<std::size_t>(state.range(0));
  // A second argument of 1 runs on one thread: the per-core rate, which is
  // what to compare on a machine shared with other work.
  std::unique_ptr<tbb::global_control> limit;
  if (state.range(1) == 1)
    limit = std::make_unique<tbb::global_control>(tbb::global_control::max_allowed_parallelism, 1);
  const Snapshots set = posterior_like(n, weighted);
  const auto n32 = static_cast<std::uint32_t>(n);
  if (weighted) {
    count_layout(state, set, Eligible{2, n32}, dense_threshold(weighted_dense_share(), n));
  } else {
    count_layout(state, set, Eligible{2, n32 - 1}, rf_dense_threshold(n, rf_dense_share()));
  }
  std::vector<std::byte> bytes(n * n * sizeof(Cell) + 1);
  const std::span<std::byte> out = std::span(bytes).subspan(1);
  for (auto _ : state) {
    run(Input::borrowing(set), out);
    benchmark::DoNotOptimize(bytes.data());
  }
  state.counters["pairs/s"] =
      benchmark::Counter(static_cast<double>(n * (n - 1) / 2), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_rf(benchmark::State& state) {
  run_pairs<std::uint32_t>(
      state, false, [](Input&& in, std::span<std::byte> out) { distance_rf(std::move(in), nullptr, out); });
}

void BM_wrf(benchmark::State& state) {
  run_pairs<double>(state, true,
                    [](Input&& in, std::span<std::byte> out) { distance_wrf(std::move(in), nullptr, out); });
}

void BM_kf(benchmark::State& state) {
  run_pairs<double>(state, true,
                    [](Input&& in, std::span<std::byte> out) { distance_kf(std::move(in), nullptr, out); });
}

BENCHMARK(BM_rf)
    ->ArgsProduct({{2000, 10000}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);
BENCHMARK(BM_wrf)
    ->ArgsProduct({{2000, 10000}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);
BENCHMARK(BM_kf)
    ->ArgsProduct({{2000, 10000}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

}  // namespace
}  // namespace cladomatic
