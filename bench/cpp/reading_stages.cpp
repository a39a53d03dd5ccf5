// Where reading a tree file spends its time: the stages of
// `TreeSet.from_files` timed one by one on one file (plain or gzipped
// Newick or NEXUS), each at one thread and at every thread, next to the
// whole pipeline reading the same file.
//
//   reading_stages FILE [--repeat K]
//
//   read     the file's bytes through the reader's byte source, discarded
//   inflate  the same through zlib's inflate and through the reader's own
//            (ISA-L's when the build found it; a .gz file only)
//   cut      the reader and the selection: every tree cut out of the text
//            (read and inflate included), the texts dropped
//   parse    every tree's text (held in memory) to its splits, with its
//            TRANSLATE table
//   intern   the parsed trees interned chunk by chunk, and the final ids
//   whole    the pipeline over the file, without and with the file read
//            ahead on a thread of its own (as the module reads a regular
//            file when it may use more than one thread)
//
// Every figure is the best of K runs (the machine is shared); the shares are
// of the one-thread sum of cut, parse and intern, which is the work.

#include <tbb/blocked_range.h>
#include <tbb/global_control.h>
#include <tbb/info.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "reading/byte_source.hpp"
#include "reading/gzip_source.hpp"
#include "reading/selected_trees.hpp"
#include "reading/tree_records.hpp"
#include "snapshot/intern.hpp"
#include "snapshot/newick.hpp"
#include "snapshot/snapshots.hpp"

namespace cladomatic {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

[[noreturn]] void die(const std::string& message) {
  std::fprintf(stderr, "reading_stages: %s\n", message.c_str());
  std::exit(1);
}

class NoHooks final : public SelectionHooks {
 public:
  std::optional<std::uint64_t> first_kept(std::size_t, std::uint64_t) override { return 0; }
  bool marked(const TreeRecord&, const Run&, bool) override { return true; }
  bool progress(const TreeReader&, std::uint64_t) override { return true; }
};

// The file's trees as the module reads them: one reading, every tree kept.
struct FileTrees {
  FileTrees(const std::string& path, bool ahead)
      : reader([path] { return open_file(path); }, path, ReaderOptions{.read_ahead = ahead}) {
    Reading reading;
    reading.inputs.push_back(&reader);
    std::vector<Reading> plan;
    plan.push_back(std::move(reading));
    trees = std::make_unique<SelectedTrees>(std::move(plan), hooks, SelectionOptions{});
  }
  TreeReader reader;
  NoHooks hooks;
  std::unique_ptr<SelectedTrees> trees;
};

// The bytes of the file (inflated when `inflate`), discarded: how many.
enum class Inflate { none, zlib, fastest };

std::size_t drain(const std::string& path, Inflate inflate) {
  Result<std::unique_ptr<ByteSource>> opened = open_file(path);
  if (!opened) die(opened.error());
  std::unique_ptr<ByteSource> source = std::move(opened).value();
  if (inflate == Inflate::zlib) source = zlib_gzip_source(std::move(source));
  if (inflate == Inflate::fastest) source = gzip_source(std::move(source));
  std::vector<char> buffer(std::size_t{1} << 20);
  std::size_t total = 0;
  for (;;) {
    Result<std::size_t> got = source->read(buffer);
    if (!got) die(got.error());
    if (got.value() == 0) return total;
    total += got.value();
  }
}

struct Cut {
  std::vector<std::string> texts;
  std::vector<std::shared_ptr<const TranslateMap>> tables;  // per tree
  std::vector<const TranslateMap*> maps;                    // per tree
  std::size_t bytes = 0;
};

Cut cut_all(const std::string& path, bool keep) {
  FileTrees file(path, false);
  Cut cut;
  while (std::optional<SourceTree> tree = file.trees->next()) {
    cut.bytes += tree->text.size();
    if (keep) {
      cut.texts.push_back(std::move(tree->text));
      cut.maps.push_back(tree->map);
    }
  }
  if (file.trees->error()) die(file.trees->error()->message);
  if (keep) cut.tables = file.trees->tables(0);  // keeps the maps alive
  return cut;
}

const TranslateMap& map_of(const TranslateMap* map) {
  static const TranslateMap empty;
  return map != nullptr ? *map : empty;
}

struct Parsed {
  std::vector<std::string> leaf_list;
  SnapshotContext context;
  std::size_t chunk_size = 0;
  std::size_t row_words = 0;
  NumberedLabels numbered;  // the first tree's map's (the pipeline resolves each map once)
};

Parsed setup(const Cut& cut) {
  Parsed parsed;
  parsed.leaf_list = sorted_leaf_name_list(leaf_names(cut.texts[0], map_of(cut.maps[0])).value()).value();
  parsed.context = make_snapshot_context(parsed.leaf_list, false);
  const Snapshot snap0 = snapshot(cut.texts[0], map_of(cut.maps[0]), 0, parsed.context).value();
  parsed.chunk_size = chunk_size_for(tbb::info::default_concurrency(), cut.texts[0].size(),
                                     snap0.parts.size(), snap0.order.size());
  parsed.row_words = snap0.row_words;
  parsed.numbered = numbered_labels(map_of(cut.maps[0]), parsed.context);
  if (std::any_of(cut.maps.begin(), cut.maps.end(),
                  [&](const TranslateMap* map) { return map != cut.maps[0]; }))
    die("the bench's parse stage wants one translate map for every tree");
  return parsed;
}

struct Timed {
  double parse = 0.0;
  double intern = 0.0;
};

Timed parse_and_intern(const Cut& cut, const Parsed& setup, bool numbered) {
  Timed timed;
  Interner interner(InternerOptions{.n_leaves = static_cast<std::uint32_t>(setup.leaf_list.size()),
                                    .row_words = setup.row_words});
  for (std::size_t begin = 0; begin < cut.texts.size(); begin += setup.chunk_size) {
    const std::size_t end = std::min(begin + setup.chunk_size, cut.texts.size());
    Clock::time_point start = Clock::now();
    std::vector<Snapshot> parsed(end - begin);
    tbb::parallel_for(tbb::blocked_range<std::size_t>(begin, end, 1),
                      [&](const tbb::blocked_range<std::size_t>& r) {
                        for (std::size_t t = r.begin(); t != r.end(); ++t)
                          parsed[t - begin] = snapshot(cut.texts[t], map_of(cut.maps[t]), t, setup.context,
                                                       numbered ? &setup.numbered : nullptr)
                                                  .value();
                      });
    timed.parse += seconds_since(start);
    start = Clock::now();
    if (std::optional<Error> error = interner.push_chunk(std::move(parsed))) die(error->message);
    timed.intern += seconds_since(start);
  }
  const Clock::time_point start = Clock::now();
  std::vector<std::string> names = setup.leaf_list;
  Snapshots set = std::move(interner).finish(std::move(names));
  timed.intern += seconds_since(start);
  if (set.freq.empty()) die("no splits");
  return timed;
}

double whole(const std::string& path, bool ahead) {
  FileTrees file(path, ahead);
  const Clock::time_point start = Clock::now();
  Result<Snapshots> set = from_newick_iter_opts(*file.trees, PipelineOptions{});
  const double elapsed = seconds_since(start);
  if (!set) die(set.error());
  return elapsed;
}

struct Figures {
  double read = 1e300, zlib = 1e300, inflate = 1e300, cut = 1e300, parse = 1e300, intern = 1e300,
         whole = 1e300, ahead = 1e300, parse_by_map = 1e300;
};

void keep_best(Figures& best, const Figures& run) {
  best.read = std::min(best.read, run.read);
  best.zlib = std::min(best.zlib, run.zlib);
  best.inflate = std::min(best.inflate, run.inflate);
  best.cut = std::min(best.cut, run.cut);
  best.parse = std::min(best.parse, run.parse);
  best.intern = std::min(best.intern, run.intern);
  best.whole = std::min(best.whole, run.whole);
  best.ahead = std::min(best.ahead, run.ahead);
  best.parse_by_map = std::min(best.parse_by_map, run.parse_by_map);
}

Figures one_run(const std::string& path, bool gzipped, const Cut& cut, const Parsed& parsed) {
  Figures figures;
  Clock::time_point start = Clock::now();
  drain(path, Inflate::none);
  figures.read = seconds_since(start);
  if (gzipped) {
    start = Clock::now();
    drain(path, Inflate::zlib);
    figures.zlib = seconds_since(start);
    start = Clock::now();
    drain(path, Inflate::fastest);
    figures.inflate = seconds_since(start);
  }
  start = Clock::now();
  cut_all(path, false);
  figures.cut = seconds_since(start);
  const Timed timed = parse_and_intern(cut, parsed, true);
  figures.parse = timed.parse;
  figures.intern = timed.intern;
  figures.parse_by_map = parse_and_intern(cut, parsed, false).parse;
  figures.whole = whole(path, false);
  figures.ahead = whole(path, true);
  return figures;
}

int run(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [--repeat K]\n", argv[0]);
    return 2;
  }
  const std::string path = argv[1];
  int repeat = 3;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc) repeat = std::max(1, std::atoi(argv[++i]));
  }
  const bool gzipped = path.ends_with(".gz");
  const Cut cut = cut_all(path, true);
  if (cut.texts.size() < 2) die("need at least 2 trees");
  const Parsed parsed = setup(cut);
  const std::size_t file_bytes = drain(path, Inflate::none);
  const std::size_t text_bytes = gzipped ? drain(path, Inflate::fastest) : file_bytes;

  const auto threads = static_cast<std::size_t>(tbb::info::default_concurrency());
  Figures one, all;
  for (int k = 0; k < repeat; ++k) {
    {
      tbb::global_control single(tbb::global_control::max_allowed_parallelism, 1);
      keep_best(one, one_run(path, gzipped, cut, parsed));
    }
    keep_best(all, one_run(path, gzipped, cut, parsed));
  }
  std::printf("%s: %zu trees, %.1f MB%s, %.1f MB of tree text, %zu leaves, %zu per chunk, best of %d\n",
              path.c_str(), cut.texts.size(), static_cast<double>(text_bytes) / 1e6,
              gzipped ? (" (" + std::to_string(file_bytes / 1000000) + " MB gzipped)").c_str() : "",
              static_cast<double>(cut.bytes) / 1e6, parsed.leaf_list.size(), parsed.chunk_size, repeat);
  const double work = one.cut + one.parse + one.intern;
  std::printf("%-44s %9s %9s %7s %9s %7s\n", "stage", "1 thr s", "MB/s", "share",
              std::to_string(threads).append(" thr s").c_str(), "x");
  const auto row = [&](const char* name, double s1, double sn, bool share) {
    const double mb = static_cast<double>(text_bytes) / 1e6;
    std::printf("%-44s %9.3f %9.0f ", name, s1, mb / s1);
    if (share) {
      std::printf("%6.1f%%", 100.0 * s1 / work);
    } else {
      std::printf("%7s", "");
    }
    std::printf(" %9.3f %6.2fx\n", sn, s1 / sn);
  };
  row("read (bytes from the page cache)", one.read, all.read, false);
  if (gzipped) {
    row("inflate (zlib)", one.zlib, all.zlib, false);
    row((std::string("inflate (") + gzip_inflate_name() + ", the reader's)").c_str(), one.inflate,
        all.inflate, false);
  }
  row(gzipped ? "cut (reader + selection, inflate included)" : "cut (reader + selection)", one.cut, all.cut,
      true);
  row("parse (texts in memory)", one.parse, all.parse, true);
  row("parse, every label through the map", one.parse_by_map, all.parse_by_map, false);
  row("intern (chunks, final ids)", one.intern, all.intern, true);
  row("whole pipeline over the file", one.whole, all.whole, false);
  row("whole, the file read ahead (as the module)", one.ahead, all.ahead, false);
  std::printf(
      "at %zu threads: whole / (cut + parse + intern) %.2f, read ahead / whole %.2f, read ahead / read "
      "%.1f\n",
      threads, all.whole / (all.cut + all.parse + all.intern), all.ahead / all.whole, all.ahead / all.read);
  return 0;
}

}  // namespace
}  // namespace cladomatic

int main(int argc, char** argv) {
  return cladomatic::run(argc, argv);
}
