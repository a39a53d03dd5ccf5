// Leaf-name hash flooding: 20,000 names found by brute force to share the low
// 16 bits of the name hash under one fixed seed (the probe-run length a fixed
// seed would let an attacker aim at), against 20,000 ordinary names.  Times
// the reading pipeline on 20 trees of each, which hashes names from the
// per-process seed, and the leaf index alone under the fixed seed, where the
// crafted names do share one probe run.
//
//   leaf_flood [NAMES] [TREES]

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "snapshot/fingerprint.hpp"
#include "snapshot/snapshots.hpp"

namespace cladomatic {
namespace {

using Clock = std::chrono::steady_clock;

// The seed the leaf index once used for every process.
constexpr std::uint64_t kFixedSeed = 0x243f6a8885a308d3ull;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class TextSource final : public TreeSource {
 public:
  explicit TextSource(const std::vector<std::string>& texts) : texts_(texts) {}
  std::optional<SourceTree> next() override {
    if (next_ == texts_.size()) return std::nullopt;
    return SourceTree{texts_[next_++], nullptr};
  }

 private:
  const std::vector<std::string>& texts_;
  std::size_t next_ = 0;
};

// `count` names whose fixed-seed hashes agree in their low 16 bits, searched
// in parallel over blocks of candidates and kept in candidate order.
std::vector<std::string> crafted_names(std::size_t count) {
  constexpr std::uint64_t kBlock = 1 << 20;
  std::vector<std::string> found;
  for (std::uint64_t first = 0; found.size() < count; first += 64 * kBlock) {
    std::vector<std::vector<std::string>> hits(64);
    tbb::parallel_for(
        tbb::blocked_range<std::size_t>(0, 64, 1), [&](const tbb::blocked_range<std::size_t>& r) {
          for (std::size_t b = r.begin(); b != r.end(); ++b) {
            char name[24] = "x";
            for (std::uint64_t c = first + b * kBlock; c < first + (b + 1) * kBlock; ++c) {
              std::string_view text(
                  name, static_cast<std::size_t>(std::to_chars(name + 1, name + 24, c).ptr - name));
              if ((hash_name(text, kFixedSeed) & 0xFFFF) == 0) hits[b].emplace_back(text);
            }
          }
        });
    for (auto& block : hits)
      for (auto& name : block)
        if (found.size() < count) found.push_back(std::move(name));
  }
  return found;
}

std::vector<std::string> ordinary_names(std::size_t count) {
  std::vector<std::string> names;
  for (std::size_t i = 0; i < count; ++i) names.push_back("x" + std::to_string(i));
  return names;
}

// Random binary trees over the names: shuffled, then joined pairwise.
std::vector<std::string> trees_over(const std::vector<std::string>& names, std::size_t count) {
  std::mt19937_64 rng(11);
  std::vector<std::string> trees;
  for (std::size_t t = 0; t < count; ++t) {
    std::vector<std::string> pool = names;
    std::shuffle(pool.begin(), pool.end(), rng);
    while (pool.size() > 2) {
      std::vector<std::string> next;
      for (std::size_t i = 0; i + 1 < pool.size(); i += 2)
        next.push_back("(" + pool[i] + "," + pool[i + 1] + ")");
      if (pool.size() % 2) next.push_back(pool.back());
      pool = std::move(next);
    }
    trees.push_back("(" + pool[0] + "," + pool[1] + ");");
  }
  return trees;
}

double best_pipeline(const std::vector<std::string>& texts) {
  double best = 1e300;
  for (int k = 0; k < 3; ++k) {
    TextSource source(texts);
    Clock::time_point start = Clock::now();
    Result<Snapshots> set = from_newick_iter_opts(source, PipelineOptions{});
    best = std::min(best, seconds_since(start));
    if (!set) {
      std::fprintf(stderr, "pipeline failed: %s\n", set.error().c_str());
      std::exit(1);
    }
  }
  return best;
}

// Builds the index under `seed` and looks every name up once.
double index_pass(std::vector<std::string> names, std::uint64_t seed) {
  std::sort(names.begin(), names.end());
  Clock::time_point start = Clock::now();
  LeafIndexMap index(names, seed);
  std::size_t found = 0;
  for (const std::string& name : names) found += index.find(name).has_value();
  double elapsed = seconds_since(start);
  if (found != names.size()) std::exit(1);
  return elapsed;
}

int run(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 20000;
  const std::size_t n_trees = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 20;
  Clock::time_point start = Clock::now();
  std::vector<std::string> crafted = crafted_names(n);
  std::printf("%zu names sharing the low 16 hash bits under the fixed seed, found in %.1f s\n", n,
              seconds_since(start));
  std::vector<std::string> ordinary = ordinary_names(n);

  double crafted_s = best_pipeline(trees_over(crafted, n_trees));
  double ordinary_s = best_pipeline(trees_over(ordinary, n_trees));
  std::printf(
      "pipeline, %zu trees of %zu leaves, per-process seed: crafted %.3f s, ordinary %.3f s, ratio %.2f\n",
      n_trees, n, crafted_s, ordinary_s, crafted_s / ordinary_s);
  double fixed_crafted = index_pass(crafted, kFixedSeed);
  double fixed_ordinary = index_pass(ordinary, kFixedSeed);
  std::printf("leaf index alone, fixed seed: crafted %.3f s, ordinary %.3f s, ratio %.1f\n", fixed_crafted,
              fixed_ordinary, fixed_crafted / fixed_ordinary);
  double seeded_crafted = index_pass(crafted, process_secrets().hash_seed);
  double seeded_ordinary = index_pass(ordinary, process_secrets().hash_seed);
  std::printf("leaf index alone, per-process seed: crafted %.4f s, ordinary %.4f s, ratio %.2f\n",
              seeded_crafted, seeded_ordinary, seeded_crafted / seeded_ordinary);
  return 0;
}

}  // namespace
}  // namespace cladomatic

int main(int argc, char** argv) {
  return cladomatic::run(argc, argv);
}
