// Branch-length parsing on the lengths tree files carry: the short decimals
// of simulation and bootstrap output, scientific forms, full 17-digit ones.
// bench/branch_length.sh builds this same file against an older revision too.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

// The revisions compared differ in the reader's header and form: an optional
// returned, or a flag and an out-parameter.
#if __has_include("snapshot/branch_length.hpp")
#include "snapshot/branch_length.hpp"
#else
#include "snapshot/newick.hpp"
#endif

namespace {

std::vector<std::string> lengths(const char* format, std::size_t count) {
  std::mt19937_64 rng(7);
  std::lognormal_distribution<double> length(-3.0, 1.5);
  std::vector<std::string> texts;
  char buffer[64];
  for (std::size_t i = 0; i < count; ++i) {
    std::snprintf(buffer, sizeof buffer, format, length(rng));
    texts.emplace_back(buffer);
  }
  return texts;
}

// A template, so that only the branch of the revision's form is compiled.
template <class Text>
void read_one(const Text& text) {
  if constexpr (requires(double value) { cladomatic::parse_branch_length(text, value); }) {
    double value;
    const bool read = cladomatic::parse_branch_length(text, value);
    benchmark::DoNotOptimize(read);
    benchmark::DoNotOptimize(value);
  } else {
    std::optional<double> value = cladomatic::parse_branch_length(text);
    benchmark::DoNotOptimize(value);
  }
}

void parse_all(benchmark::State& state, const char* format) {
  const std::vector<std::string> texts = lengths(format, 1 << 14);
  for (auto _ : state) {
    for (const std::string& text : texts) read_one(std::string_view(text));
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * texts.size()));
}

void bm_six_decimals(benchmark::State& state) {
  parse_all(state, "%.6f");
}
void bm_ten_decimals(benchmark::State& state) {
  parse_all(state, "%.10f");
}
void bm_scientific(benchmark::State& state) {
  parse_all(state, "%.6e");
}
void bm_round_trip(benchmark::State& state) {
  parse_all(state, "%.17g");
}

BENCHMARK(bm_six_decimals);
BENCHMARK(bm_ten_decimals);
BENCHMARK(bm_scientific);
BENCHMARK(bm_round_trip);

}  // namespace
