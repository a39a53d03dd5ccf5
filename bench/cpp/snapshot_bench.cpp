// Newick reading throughput: bytes of tree text turned into snapshots per
// second on one core, on random binary trees with a branch length on every
// edge, written as a phylogenetics program would write them.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "snapshot/fingerprint.hpp"
#include "snapshot/newick.hpp"

namespace cladomatic {
namespace {

std::string length_text(std::mt19937_64& rng) {
  char buf[32];
  std::snprintf(buf, sizeof buf, ":%.8f", std::exponential_distribution<double>(20.0)(rng));
  return buf;
}

// Joins random pairs until one subtree is left; the last join is the root.
std::string random_tree(std::mt19937_64& rng, const std::vector<std::string>& names) {
  std::vector<std::string> pool;
  for (const std::string& name : names) pool.push_back(name + length_text(rng));
  while (pool.size() > 2) {
    std::uniform_int_distribution<std::size_t> pick(0, pool.size() - 1);
    std::size_t a = pick(rng), b = pick(rng);
    if (a == b) continue;
    pool[b] = "(" + pool[a] + "," + pool[b] + ")" + length_text(rng);
    if (a != pool.size() - 1) pool[a] = std::move(pool.back());
    pool.pop_back();
  }
  return "(" + pool[0] + "," + pool[1] + ");";
}

void bm_snapshot(benchmark::State& state) {
  const auto n = static_cast<std::uint32_t>(state.range(0));
  const bool rooted = state.range(1) != 0;
  std::vector<std::string> names;
  for (std::uint32_t i = 0; i < n; ++i) names.push_back("taxon_" + std::to_string(i));
  std::sort(names.begin(), names.end());
  const SnapshotContext context = snapshot_context(names, rooted);

  std::mt19937_64 rng(n);
  std::vector<std::string> trees;
  std::size_t total_bytes = 0;
  while (total_bytes < (std::size_t{4} << 20) || trees.size() < 4) {
    trees.push_back(random_tree(rng, names));
    total_bytes += trees.back().size();
  }
  const TranslateMap no_map;
  std::size_t bytes = 0;
  for (auto _ : state) {
    for (const std::string& tree : trees) {
      Result<Snapshot> snap = snapshot(tree, no_map, 0, context);
      if (!snap.ok()) {
        state.SkipWithError(snap.error().c_str());
        return;
      }
      benchmark::DoNotOptimize(snap.value().parts.data());
    }
    bytes += total_bytes;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  state.counters["trees/s"] =
      benchmark::Counter(static_cast<double>(trees.size() * state.iterations()), benchmark::Counter::kIsRate);
}

BENCHMARK(bm_snapshot)
    ->ArgNames({"leaves", "rooted"})
    ->Args({100, 0})
    ->Args({100, 1})
    ->Args({10000, 0})
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace cladomatic
