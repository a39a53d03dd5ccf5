// Where the reading pipeline spends its time, on trees read from a file (one
// Newick string per line): its steps replayed chunk by chunk and timed one by
// one (copying the texts in, parsing, interning, the final id pass), next to
// one whole call of the pipeline on the same trees, on every core.
//
//   pipeline_stages FILE [--weighted] [--repeat K]

#include <tbb/blocked_range.h>
#include <tbb/info.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "snapshot/intern.hpp"
#include "snapshot/newick.hpp"
#include "snapshot/snapshots.hpp"

namespace cladomatic {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class VectorSource final : public TreeSource {
 public:
  explicit VectorSource(const std::vector<std::string>& texts) : texts_(texts) {}
  // Copies each text, as the module copies each Python string.
  std::optional<SourceTree> next() override {
    if (next_ == texts_.size()) return std::nullopt;
    return SourceTree{texts_[next_++], nullptr};
  }

 private:
  const std::vector<std::string>& texts_;
  std::size_t next_ = 0;
};

struct Setup {
  std::vector<std::string> leaf_list;
  SnapshotContext context;
  std::size_t chunk_size = 0;
  std::size_t row_words = 0;
};

Setup setup_from(const std::string& first) {
  const TranslateMap no_map;
  Setup setup;
  setup.leaf_list = sorted_leaf_name_list(leaf_names(first, no_map).value()).value();
  setup.context = snapshot_context(setup.leaf_list, false);
  Snapshot snap0 = snapshot(first, no_map, 0, setup.context).value();
  setup.chunk_size =
      chunk_size_for(tbb::info::default_concurrency(), first.size(), snap0.parts.size(), snap0.order.size());
  setup.row_words = snap0.row_words;
  return setup;
}

double time_whole(const std::vector<std::string>& texts, bool weighted) {
  VectorSource source(texts);
  const Clock::time_point start = Clock::now();
  Result<Snapshots> set = from_newick_iter_opts(source, PipelineOptions{.weighted = weighted});
  const double elapsed = seconds_since(start);
  if (!set) {
    std::fprintf(stderr, "pipeline failed: %s\n", set.error().c_str());
    std::exit(1);
  }
  return elapsed;
}

struct Stages {
  double pull = 0.0;
  double parse = 0.0;
  double intern = 0.0;
  double finish = 0.0;
  std::size_t splits = 0;
};

// The pipeline's own steps, chunk after chunk, each timed on its own.
Stages time_stages(const std::vector<std::string>& texts, const Setup& setup, bool weighted) {
  const TranslateMap no_map;
  Stages stages;
  Interner interner(InternerOptions{.n_leaves = static_cast<std::uint32_t>(setup.leaf_list.size()),
                                    .row_words = setup.row_words,
                                    .weighted = weighted});
  for (std::size_t begin = 0; begin < texts.size(); begin += setup.chunk_size) {
    const std::size_t end = std::min(begin + setup.chunk_size, texts.size());
    Clock::time_point start = Clock::now();
    std::vector<std::string> chunk(texts.begin() + static_cast<std::ptrdiff_t>(begin),
                                   texts.begin() + static_cast<std::ptrdiff_t>(end));
    stages.pull += seconds_since(start);
    start = Clock::now();
    std::vector<Snapshot> parsed(chunk.size());
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, chunk.size(), 1),
                      [&](const tbb::blocked_range<std::size_t>& r) {
                        for (std::size_t t = r.begin(); t != r.end(); ++t)
                          parsed[t] = snapshot(chunk[t], no_map, begin + t, setup.context).value();
                      });
    chunk = {};
    stages.parse += seconds_since(start);
    start = Clock::now();
    if (std::optional<Error> error = interner.push_chunk(std::move(parsed))) {
      std::fprintf(stderr, "interning failed: %s\n", error->message.c_str());
      std::exit(1);
    }
    stages.intern += seconds_since(start);
  }
  const Clock::time_point start = Clock::now();
  std::vector<std::string> names = setup.leaf_list;
  Snapshots set = std::move(interner).finish(std::move(names));
  stages.finish = seconds_since(start);
  stages.splits = set.freq.size();
  return stages;
}

int run(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [--weighted] [--repeat K]\n", argv[0]);
    return 2;
  }
  bool weighted = false;
  int repeat = 3;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--weighted") == 0) weighted = true;
    if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc) repeat = std::max(1, std::atoi(argv[++i]));
  }
  std::vector<std::string> texts;
  std::size_t bytes = 0;
  std::ifstream in(argv[1]);
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) continue;
    bytes += line.size();
    texts.push_back(std::move(line));
  }
  if (texts.size() < 2) {
    std::fprintf(stderr, "need at least 2 trees\n");
    return 2;
  }
  const Setup setup = setup_from(texts.front());

  // Best of `repeat` for each figure: the machine is shared.
  double whole = 1e300;
  Stages best{1e300, 1e300, 1e300, 1e300, 0};
  for (int k = 0; k < repeat; ++k) {
    whole = std::min(whole, time_whole(texts, weighted));
    const Stages stages = time_stages(texts, setup, weighted);
    best.pull = std::min(best.pull, stages.pull);
    best.parse = std::min(best.parse, stages.parse);
    best.intern = std::min(best.intern, stages.intern);
    best.finish = std::min(best.finish, stages.finish);
    best.splits = stages.splits;
  }
  const double n = static_cast<double>(texts.size());
  const double parts = best.pull + best.parse + best.intern + best.finish;
  std::printf("%zu trees, %.1f MiB of text, %zu per chunk, %d threads, %s, %zu split ids, best of %d\n",
              texts.size(), static_cast<double>(bytes) / (1 << 20), setup.chunk_size,
              tbb::info::default_concurrency(), weighted ? "weighted" : "unweighted", best.splits, repeat);
  std::printf("%-30s %8s %12s %7s\n", "stage", "s", "trees/s", "share");
  const auto row = [&](const char* name, double s) {
    std::printf("%-30s %8.3f %12.0f %6.1f%%\n", name, s, n / s, 100.0 * s / parts);
  };
  row("copy texts into chunks", best.pull);
  row("parse (parallel)", best.parse);
  row("intern (parallel by shard)", best.intern);
  row("finish (global ids)", best.finish);
  row("sum of the stages", parts);
  row("whole pipeline, one call", whole);
  return 0;
}

}  // namespace
}  // namespace cladomatic

int main(int argc, char** argv) {
  return cladomatic::run(argc, argv);
}
